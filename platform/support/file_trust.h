// Whether anyone but root can change a file: the check behind the machine-wide registry's
// servers. What the machine-wide registry names, every user's programs load, so it must be a
// file that no other user can rewrite or replace, through the file itself or any folder on the
// way to it.
//
// Threads: any; nothing is kept.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform {

// "" when nobody but root and `trusted` (a user id; pass 0 for root alone) can change what the
// absolute `path` names. Otherwise why not, naming the file or folder at fault.
//
// The path is walked as the system resolves it, symbolic links included (each link is read from
// a folder already checked, and the folders its target passes through are checked too). Every
// folder must be owned by root or `trusted` and writable by neither its group nor others; a
// folder writable by others with the sticky bit (as /tmp) is accepted when the entry next on
// the path is owned by root or `trusted`, as only an entry's owner may then remove or rename
// it. The file must be a regular file owned by root or `trusted`, writable by neither its group
// nor others. Access control lists are not looked at.
std::string ChangeableByOthers(const std::string& path, uid_t trusted);

}  // namespace platform
