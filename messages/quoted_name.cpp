#include "quoted_name.h"

#include <windows.h>

#include <cstdio>

namespace {

// The length of the printable UTF-8 character at text[at], or 0 for a control character or a
// byte that begins no valid character (the platform's strict UTF-8 decoding judges the sequence).
size_t PrintableLength(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (at + length > text.size()) return 0;  // cut short
    WCHAR units[2];
    const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data() + at, static_cast<int>(length),
                                          units, 2);
    if (count <= 0) return 0;
    // The C1 controls are control characters too.
    if (count == 1 && units[0] >= 0x80 && units[0] < 0xA0) return 0;
    return length;
}

// Characters the shell takes as they are anywhere in a word.
bool Plain(char c, size_t at) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '%': case '+': case ',': case '-': case '.': case '/': case ':': case '@': case '_':
        case ']': case '}': case '{':
            return true;
        case '#': case '~':  // special only at the start of a word
            return at != 0;
        default:
            return false;
    }
}

std::string Escape(unsigned char byte) {
    switch (byte) {
        case '\a': return "\\a";
        case '\b': return "\\b";
        case '\f': return "\\f";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        case '\v': return "\\v";
        default: {
            char text[8];
            std::snprintf(text, sizeof text, "\\%03o", unsigned(byte));
            return text;
        }
    }
}

}  // namespace

std::string CQuotedName::Shell(const std::string& name) {
    if (name.empty()) return "''";
    bool plain = true, unprintable = false, singleQuote = false, doubleTrouble = false;
    for (size_t at = 0; at < name.size();) {
        const size_t width = PrintableLength(name, at);
        if (width == 0) {
            unprintable = true;
            plain = false;
            ++at;
            continue;
        }
        if (width == 1) {
            const char c = name[at];
            if (!Plain(c, at)) plain = false;
            if (c == '\'') singleQuote = true;
            if (c == '"' || c == '$' || c == '`' || c == '\\' || c == '!') doubleTrouble = true;
        }
        at += width;
    }
    if (plain) return name;
    if (!unprintable && singleQuote && !doubleTrouble) return "\"" + name + "\"";

    // Printable runs in single quotes ('\'' for a quote), unprintable runs as $'...'.
    std::string out;
    bool inQuotes = false, inEscapes = false;
    for (size_t at = 0; at < name.size();) {
        const size_t width = PrintableLength(name, at);
        if (width == 0) {
            if (inQuotes) out += '\'';
            inQuotes = false;
            if (!inEscapes) out += "$'";
            inEscapes = true;
            out += Escape(static_cast<unsigned char>(name[at]));
            ++at;
            continue;
        }
        if (inEscapes) out += '\'';
        inEscapes = false;
        if (name[at] == '\'') {
            if (inQuotes) out += '\'';
            inQuotes = false;
            out += "\\'";
        } else {
            if (!inQuotes) out += '\'';
            inQuotes = true;
            out.append(name, at, width);
        }
        at += width;
    }
    if (inQuotes || inEscapes) out += '\'';
    return out;
}
