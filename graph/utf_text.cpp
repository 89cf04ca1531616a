#include "utf_text.h"

#include <climits>

namespace {

bool Narrow(const WCHAR* text, size_t length, std::string* out) {
    out->clear();
    if (length == 0) return true;
    if (length > size_t(INT_MAX)) return false;
    const int count = int(length);
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, count, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return false;
    out->resize(size_t(size));
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, count, out->data(), size, nullptr, nullptr) !=
        size) {
        out->clear();
        return false;
    }
    return true;
}

}  // namespace

bool CUtfText::ToUtf16(const std::string& text, std::u16string* out) {
    out->clear();
    if (text.empty()) return true;
    if (text.size() > size_t(INT_MAX)) return false;
    const int count = int(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), count, nullptr, 0);
    if (size <= 0) return false;
    out->resize(size_t(size));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), count, out->data(), size) != size) {
        out->clear();
        return false;
    }
    return true;
}

bool CUtfText::ToUtf8(const WCHAR* text, std::string* out) {
    return Narrow(text, text == nullptr ? 0 : size_t(lstrlenW(text)), out);
}

bool CUtfText::ToUtf8(const std::u16string& text, std::string* out) { return Narrow(text.data(), text.size(), out); }

std::string CUtfText::Utf8OrEmpty(const WCHAR* text) {
    std::string out;
    return ToUtf8(text, &out) ? out : std::string();
}
