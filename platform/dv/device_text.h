// UTF-8 <-> wide text for the device side (device paths and names cross the COM boundary as
// BSTRs). The platform's ANSI code page is UTF-8.
#pragma once

#include <objbase.h>

#include <string>

namespace dv {

// A new BSTR holding the text, or null when out of memory.
inline BSTR NewBstrFromUtf8(const std::string& text) {
    if (text.empty()) return SysAllocString(u"");
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0) return nullptr;
    BSTR out = SysAllocStringLen(nullptr, UINT(n));
    if (out == nullptr) return nullptr;
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out, n);
    out[n] = 0;
    return out;
}

inline std::string Utf8FromWide(const WCHAR* text) {
    if (text == nullptr || text[0] == 0) return "";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return "";
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(size_t(n - 1));
    return out;
}

}  // namespace dv
