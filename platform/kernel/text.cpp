// Code-page conversion (the ANSI code page is UTF-8 here) and the lstr*/wsprintfA text functions.
#include <windows.h>

#include <cstdarg>
#include <cstring>
#include <string>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsUtf8CodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_UTF8;
}

// Decodes one UTF-8 sequence at text[0..length). On success returns the code point and the bytes
// used; an invalid sequence gives false and, in *used, the length of its longest valid prefix (at
// least 1), so each ill-formed subsequence becomes one replacement character.
bool DecodeUtf8(const unsigned char* text, size_t length, char32_t* codePoint, size_t* used) {
    const unsigned char lead = text[0];
    *used = 1;
    if (lead < 0x80) {
        *codePoint = lead;
        return true;
    }
    size_t count;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 3;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
        return false;
    }
    for (size_t i = 1; i <= count; ++i) {
        if (i >= length) return false;
        const unsigned char next = text[i];
        const unsigned char lo = i == 1 ? low : 0x80;
        const unsigned char hi = i == 1 ? high : 0xBF;
        if (next < lo || next > hi) return false;
        value = (value << 6) | (next & 0x3F);
        *used = i + 1;
    }
    *codePoint = value;
    return true;
}

// Appends a unit to a bounded output. Counting only when out is null. False once full.
template <typename Unit>
bool Put(Unit* out, int capacity, int* written, Unit unit) {
    if (out != nullptr) {
        if (*written >= capacity) return false;
        out[*written] = unit;
    }
    ++*written;
    return true;
}

// Sign, padding and width of one wsprintfA conversion, applied to its text.
struct FieldFormat {
    bool leftAlign = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;
};

std::string Pad(std::string text, const FieldFormat& format, bool numeric) {
    if (static_cast<int>(text.size()) >= format.width) return text;
    const size_t fill = static_cast<size_t>(format.width) - text.size();
    if (format.leftAlign) return text + std::string(fill, ' ');
    if (format.zeroPad && numeric) {
        const size_t signLength = (!text.empty() && text[0] == '-') ? 1 : 0;
        return text.insert(signLength, std::string(fill, '0'));
    }
    return std::string(fill, ' ') + text;
}

std::string Unsigned(unsigned long long value, unsigned radix, bool upper, int precision) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % radix]);
        value /= radix;
    } while (value != 0);
    if (precision > static_cast<int>(text.size())) {
        text.insert(0, static_cast<size_t>(precision) - text.size(), '0');
    }
    return text;
}

std::string WideToUtf8(const char16_t* text, int precision) {
    const int length = lstrlenW(text);
    const int take = precision >= 0 && precision < length ? precision : length;
    if (take == 0) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, take, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, take, out.data(), size, nullptr, nullptr);
    return out;
}

// The arguments both conversions refuse with ERROR_INVALID_PARAMETER: a code page other than
// UTF-8, no source, a source count of 0 or below -1 (-1: terminated), a negative target count,
// no target for a nonzero count, or a target that is the source.
bool ValidConversion(UINT codePage, const void* source, int sourceCount, const void* target,
                     int targetCount) {
    if (!IsUtf8CodePage(codePage) || source == nullptr || sourceCount == 0 || sourceCount < -1 ||
        targetCount < 0 || (target == nullptr && targetCount != 0) ||
        (target != nullptr && target == source)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

PLATFORM_API int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                            int cbMultiByte, LPWSTR lpWideCharStr,
                                            int cchWideChar) {
    if (!ValidConversion(CodePage, lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar)) {
        return 0;
    }
    const size_t length =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const auto* text = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    char16_t* out = cchWideChar == 0 ? nullptr : lpWideCharStr;
    int written = 0;
    for (size_t i = 0; i < length;) {
        char32_t codePoint;
        size_t used;
        if (!DecodeUtf8(text + i, length - i, &codePoint, &used)) {
            if (strict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            codePoint = kReplacement;
        }
        i += used;
        bool ok;
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            ok = Put<char16_t>(out, cchWideChar, &written, 0xD800 + (codePoint >> 10)) &&
                 Put<char16_t>(out, cchWideChar, &written, 0xDC00 + (codePoint & 0x3FF));
        } else {
            ok = Put<char16_t>(out, cchWideChar, &written, static_cast<char16_t>(codePoint));
        }
        if (!ok) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
    }
    return written;
}

// lpDefaultChar replaces what cannot be encoded (unpaired surrogates); '?' when none is given.
PLATFORM_API int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                                            int cchWideChar, LPSTR lpMultiByteStr,
                                            int cbMultiByte, LPCCH lpDefaultChar,
                                            LPBOOL lpUsedDefaultChar) {
    if (!ValidConversion(CodePage, lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte)) {
        return 0;
    }
    const size_t length = cchWideChar == -1 ? static_cast<size_t>(lstrlenW(lpWideCharStr)) + 1
                                            : static_cast<size_t>(cchWideChar);
    const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    const char replacement = lpDefaultChar != nullptr ? *lpDefaultChar : '?';
    char* out = cbMultiByte == 0 ? nullptr : lpMultiByteStr;
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
    int written = 0;
    for (size_t i = 0; i < length; ++i) {
        char32_t codePoint = lpWideCharStr[i];
        bool valid = true;
        if (codePoint >= 0xD800 && codePoint <= 0xDBFF && i + 1 < length &&
            lpWideCharStr[i + 1] >= 0xDC00 && lpWideCharStr[i + 1] <= 0xDFFF) {
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (lpWideCharStr[i + 1] - 0xDC00);
            ++i;
        } else if (codePoint >= 0xD800 && codePoint <= 0xDFFF) {
            valid = false;
        }
        bool ok;
        if (!valid) {
            if (strict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = TRUE;
            ok = Put<char>(out, cbMultiByte, &written, replacement);
        } else if (codePoint < 0x80) {
            ok = Put<char>(out, cbMultiByte, &written, static_cast<char>(codePoint));
        } else if (codePoint < 0x800) {
            ok = Put<char>(out, cbMultiByte, &written, static_cast<char>(0xC0 | (codePoint >> 6))) &&
                 Put<char>(out, cbMultiByte, &written, static_cast<char>(0x80 | (codePoint & 0x3F)));
        } else if (codePoint < 0x10000) {
            ok = Put<char>(out, cbMultiByte, &written, static_cast<char>(0xE0 | (codePoint >> 12))) &&
                 Put<char>(out, cbMultiByte, &written,
                           static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F))) &&
                 Put<char>(out, cbMultiByte, &written, static_cast<char>(0x80 | (codePoint & 0x3F)));
        } else {
            ok = Put<char>(out, cbMultiByte, &written, static_cast<char>(0xF0 | (codePoint >> 18))) &&
                 Put<char>(out, cbMultiByte, &written,
                           static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F))) &&
                 Put<char>(out, cbMultiByte, &written,
                           static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F))) &&
                 Put<char>(out, cbMultiByte, &written, static_cast<char>(0x80 | (codePoint & 0x3F)));
        }
        if (!ok) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
    }
    return written;
}

PLATFORM_API int WINAPI lstrlenA(LPCSTR lpString) {
    return lpString == nullptr ? 0 : static_cast<int>(std::strlen(lpString));
}

PLATFORM_API int WINAPI lstrlenW(LPCWSTR lpString) {
    if (lpString == nullptr) return 0;
    int length = 0;
    while (lpString[length] != 0) ++length;
    return length;
}

// Ordinal comparison; a null string sorts before any other, two nulls are equal.
PLATFORM_API int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
    if (lpString1 == nullptr || lpString2 == nullptr) {
        return (lpString1 != nullptr) - (lpString2 != nullptr);
    }
    const int order = std::strcmp(lpString1, lpString2);
    return (order > 0) - (order < 0);
}

PLATFORM_API int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
    if (lpString1 == nullptr || lpString2 == nullptr) {
        return (lpString1 != nullptr) - (lpString2 != nullptr);
    }
    while (*lpString1 != 0 && *lpString1 == *lpString2) {
        ++lpString1;
        ++lpString2;
    }
    return (*lpString1 > *lpString2) - (*lpString1 < *lpString2);
}

// Copies at most iMaxLength - 1 characters and always terminates (for iMaxLength > 0).
PLATFORM_API LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
    if (lpString1 == nullptr || iMaxLength <= 0) return lpString1;
    if (lpString2 == nullptr) {
        lpString1[0] = '\0';
        return lpString1;
    }
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i] != '\0'; ++i) lpString1[i] = lpString2[i];
    lpString1[i] = '\0';
    return lpString1;
}

// Returns the number of characters written, not counting the terminator. The buffer must hold
// 1024 bytes (the platform's limit); longer output is cut there.
PLATFORM_API int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    constexpr size_t kLimit = 1024;
    if (buffer == nullptr) return 0;
    if (format == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    std::string out;
    va_list args;
    va_start(args, format);
    for (const char* p = format; *p != '\0' && out.size() < kLimit; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        FieldFormat field;
        for (;; ++p) {
            if (*p == '-') field.leftAlign = true;
            else if (*p == '0') field.zeroPad = true;
            else break;
        }
        while (*p >= '0' && *p <= '9' && field.width < 10000) field.width = field.width * 10 + (*p++ - '0');
        if (*p == '.') {
            field.precision = 0;
            ++p;
            while (*p >= '0' && *p <= '9' && field.precision < 10000) {
                field.precision = field.precision * 10 + (*p++ - '0');
            }
        }
        bool wide = false;
        if (*p == 'l') {
            wide = true;
            ++p;
        } else if (*p == 'h') {
            ++p;
        }
        switch (*p) {
        case 'd':
        case 'i': {
            const int value = va_arg(args, int);
            const long long wideValue = value;
            std::string text = Unsigned(static_cast<unsigned long long>(wideValue < 0 ? -wideValue : wideValue),
                                        10, false, field.precision);
            if (value < 0) text.insert(0, 1, '-');
            out += Pad(text, field, field.precision < 0);
            break;
        }
        case 'u':
            out += Pad(Unsigned(va_arg(args, unsigned), 10, false, field.precision), field,
                       field.precision < 0);
            break;
        case 'x':
        case 'X':
            out += Pad(Unsigned(va_arg(args, unsigned), 16, *p == 'X', field.precision), field,
                       field.precision < 0);
            break;
        case 'c':
            out += Pad(std::string(1, static_cast<char>(va_arg(args, int))), field, false);
            break;
        case 's':
            if (wide) {
                const auto* text = va_arg(args, const char16_t*);
                out += Pad(text == nullptr ? std::string("(null)") : WideToUtf8(text, field.precision),
                           field, false);
            } else {
                const char* text = va_arg(args, const char*);
                std::string value = text == nullptr ? "(null)" : text;
                if (field.precision >= 0 && static_cast<size_t>(field.precision) < value.size()) {
                    value.resize(static_cast<size_t>(field.precision));
                }
                out += Pad(value, field, false);
            }
            break;
        case '%':
            out += '%';
            break;
        case '\0':
            // A lone '%' at the end: keep it and stop.
            out.append(start, p);
            --p;
            break;
        default:
            // Not a known conversion: copied as written.
            out.append(start, p + 1);
            break;
        }
    }
    va_end(args);
    if (out.size() > kLimit - 1) out.resize(kLimit - 1);
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return static_cast<int>(out.size());
}

}  // extern "C"
