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

namespace {

// The escape for one byte inside $'...'.
void AppendEscape(unsigned char byte, std::string* out) {
    switch (byte) {
        case '\a': *out += "\\a"; return;
        case '\b': *out += "\\b"; return;
        case '\t': *out += "\\t"; return;
        case '\n': *out += "\\n"; return;
        case '\v': *out += "\\v"; return;
        case '\f': *out += "\\f"; return;
        case '\r': *out += "\\r"; return;
        default: break;
    }
    char octal[8];
    std::snprintf(octal, sizeof octal, "\\%03o", unsigned(byte));
    *out += octal;
}

}  // namespace

std::string QuotedName(std::string_view name) {
    enum class Open { None, Quote, Escape } open = Open::None;
    std::string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
    for (size_t at = 0; at < name.size();) {
        size_t width = Utf8Length(bytes + at, name.size() - at);
        // C1 controls are U+0080..U+009F, two bytes C2 80..C2 9F.
        const bool plain = width == 1   ? bytes[at] >= 0x20 && bytes[at] != 0x7F
                           : width == 2 ? !(bytes[at] == 0xC2 && bytes[at + 1] < 0xA0)
                                        : width > 0;
        if (width == 0) width = 1;  // a byte that is not UTF-8 is escaped on its own
        if (plain) {
            if (open == Open::Escape) out += '\'';
            if (open != Open::Quote) out += '\'';
            open = Open::Quote;
            if (bytes[at] == '\'') {
                out += "'\\''";  // end the quote, a quoted quote, and on
            } else {
                out.append(name.substr(at, width));
            }
        } else {
            if (open == Open::Quote) out += '\'';
            if (open != Open::Escape) out += "$'";
            open = Open::Escape;
            for (size_t i = 0; i < width; ++i) AppendEscape(bytes[at + i], &out);
        }
        at += width;
    }
    if (open == Open::None) return "''";
    out += '\'';
    return out;
}

}  // namespace platform
