// Text forms shared by the platform's modules: the registry form of a GUID, UTF-8 <-> UTF-16
// (the platform's ANSI code page is UTF-8; wide text is UTF-16), and a name as a message shows it.
#pragma once

#include <objbase.h>

#include <string>
#include <string_view>

namespace platform {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.
std::string GuidText(REFGUID guid);
// Reads the form above (either case); false, with *guid untouched, on anything else.
bool ParseGuid(std::string_view text, GUID* guid);

// Conversions; text that does not convert (malformed UTF-8 or UTF-16) gives an empty string.
std::string Utf8FromUtf16(std::u16string_view text);
std::u16string Utf16FromUtf8(std::string_view text);
// The same for a terminated wide string; null gives "".
std::string Utf8FromWide(const WCHAR* text);
// A new BSTR holding the text, or null when out of memory or the text does not convert.
BSTR NewBstrFromUtf8(std::string_view text);

// The length of the well-formed UTF-8 character at text[0] (at most `left` bytes there), or 0
// when the byte starts none: a stray continuation, an overlong form, a surrogate, beyond U+10FFFF,
// or cut short.
size_t Utf8Length(const unsigned char* text, size_t left);

// A name a program was given or found (a file name, a device's name) as its messages show it,
// quoted the way a shell would read it back, so that nothing in it reaches the terminal as a
// control: 'name' in single quotes, a single quote in it as '\'', and every control character
// (C0, DEL, C1) and every byte that is not UTF-8 outside the quotes as $'...' with C escapes
// (\n, \t ...) or three octal digits ($'\033' for ESC). "" is ''.
std::string QuotedName(std::string_view name);

}  // namespace platform
