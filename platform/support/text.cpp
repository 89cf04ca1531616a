#include "text.h"

#include <climits>
#include <cstdio>

namespace platform {

std::string GuidText(REFGUID g) {
    char text[CHARS_IN_GUID + 1];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

bool ParseGuid(std::string_view text, GUID* guid) {
    if (text.size() != CHARS_IN_GUID - 1) return false;
    const std::u16string wide = Utf16FromUtf8(text);
    GUID parsed{};
    if (FAILED(CLSIDFromString(wide.c_str(), &parsed))) return false;
    *guid = parsed;
    return true;
}

std::string Utf8FromUtf16(std::u16string_view text) {
    if (text.empty() || text.size() > INT_MAX) return std::string();
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr) != size)
        return std::string();
    return out;
}

std::u16string Utf16FromUtf8(std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) return std::u16string();
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (size <= 0) return std::u16string();
    std::u16string out(static_cast<size_t>(size), u'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size) != size)
        return std::u16string();
    return out;
}

std::string Utf8FromWide(const WCHAR* text) {
    if (text == nullptr) return std::string();
    return Utf8FromUtf16(std::u16string_view(text));
}

BSTR NewBstrFromUtf8(std::string_view text) {
    if (text.empty()) return SysAllocString(u"");
    const std::u16string wide = Utf16FromUtf8(text);
    if (wide.empty()) return nullptr;
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace platform
