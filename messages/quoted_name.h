// Names from the user or the system (a device's name, a file name) as messages show them.
#pragma once

#include <string>

// Quotes a name the way the shell-escape style of the core utilities does, so that what reaches
// the terminal can be pasted back into a shell and no control character reaches it raw: a name
// the shell takes as it is stays as it is; otherwise it goes in single quotes (in double quotes
// when its only trouble is a single quote), and each control character, and each byte that is no
// part of a UTF-8 character, is written as $'\t' or $'\NNN' outside them.
//
// Threads: none of its own; a pure function.
class CQuotedName {
public:
    static std::string Shell(const std::string& name);
};
