// UTF-8 <-> UTF-16 for system code, on the platform's code-page conversion (CP_UTF8): characters
// outside the Basic Multilingual Plane become surrogate pairs and back; input that is not valid
// UTF-8 (or UTF-16: an unpaired surrogate) is refused rather than guessed at.
#pragma once

#include <windows.h>

#include <string>

// Threads: none of its own; pure functions.
class CUtfText {
public:
    // The UTF-16 form of `text`; false (and *out empty) when it is not valid UTF-8.
    static bool ToUtf16(const std::string& text, std::u16string* out);
    // The UTF-8 form of the terminated `text` (null: empty); false (and *out empty) when it holds
    // an unpaired surrogate.
    static bool ToUtf8(const WCHAR* text, std::string* out);
    static bool ToUtf8(const std::u16string& text, std::string* out);
    // The UTF-8 form, or "" when `text` is not valid UTF-16: for names compared with a wanted one.
    static std::string Utf8OrEmpty(const WCHAR* text);
};
