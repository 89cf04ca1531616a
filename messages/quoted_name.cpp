#include "quoted_name.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the printable UTF-8 character at text[at], or 0 for a control character or a
// byte that begins no valid character.
size_t PrintableLength(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    size_t count;
    uint32_t value;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 3;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + count >= text.size()) return 0;  // cut short
    for (size_t i = 1; i <= count; ++i) {
        const unsigned char next = byte(at + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
        value = value << 6 | (next & 0x3F);
    }
    // The C1 controls are control characters too.
    if (value >= 0x80 && value < 0xA0) return 0;
    return count + 1;
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
