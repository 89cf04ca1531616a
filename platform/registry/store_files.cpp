#include "registry/store_files.h"

#include <platform/platform.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace platform {
namespace {

std::string Owner(uid_t uid) { return "user " + std::to_string(uid); }

const char* What(bool directory, StoreFiles::Scope scope) {
    if (scope == StoreFiles::Scope::kMachine)
        return directory ? "machine-wide registry directory" : "machine-wide registry file";
    return directory ? "state directory" : "registry file";
}

// Owner and mode of an existing entry; `what` is "state directory" or "registry file".
LONG CheckOwnership(const std::string& path, const struct stat& info, const char* what,
                    mode_t privateMode, StoreFiles::Scope scope, std::string* problem) {
    if (scope == StoreFiles::Scope::kMachine) {
        if (info.st_uid != 0 && info.st_uid != geteuid()) {
            *problem = std::string(what) + " " + path + " belongs to " + Owner(info.st_uid) +
                       ", neither to root nor to this user (" + Owner(geteuid()) +
                       "); refusing to use it";
            return ERROR_ACCESS_DENIED;
        }
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            *problem = std::string(what) + " " + path +
                       " is writable by group or others; refusing to use it";
            return ERROR_ACCESS_DENIED;
        }
        return ERROR_SUCCESS;
    }
    if (info.st_uid != geteuid()) {
        *problem = std::string(what) + " " + path + " belongs to " + Owner(info.st_uid) +
                   ", not to this user (" + Owner(geteuid()) + "); refusing to use it";
        return ERROR_ACCESS_DENIED;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *problem = std::string(what) + " " + path +
                   " is writable by group or others; refusing to use it (make it private: "
                   "chmod " + (privateMode == 0700 ? "700 " : "600 ") + path + ")";
        return ERROR_ACCESS_DENIED;
    }
    // Ours and only readable by others: make it private. A read-only file system keeps it as it is.
    if ((info.st_mode & 077) != 0) chmod(path.c_str(), privateMode);
    return ERROR_SUCCESS;
}

}  // namespace

const char* const StoreFiles::kSuffixes[4] = {"", "-wal", "-shm", "-journal"};

LONG StoreFiles::CheckDirectory(const std::string& dir, std::string* problem, Scope scope) {
    const char* what = What(true, scope);
    if (dir.empty()) {
        *problem = "no state directory: none of " PLATFORM_STATE_DIR_ENV
                   ", XDG_DATA_HOME, HOME (or a home directory in the password database) or "
                   "XDG_RUNTIME_DIR names one";
        return ERROR_PATH_NOT_FOUND;
    }
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0) {
        const int error = errno;
        *problem = std::string(what) + " " + dir + " cannot be used: " + std::strerror(error);
        return error == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
    }
    if (!S_ISDIR(info.st_mode)) {
        *problem = std::string(what) + " " + dir + " is not a directory";
        return ERROR_PATH_NOT_FOUND;
    }
    return CheckOwnership(dir, info, what, 0700, scope, problem);
}

LONG StoreFiles::CheckFile(const std::string& path, bool* exists, std::string* problem,
                           Scope scope) {
    const std::string what = What(false, scope);
    *exists = false;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return ERROR_SUCCESS;
        const int error = errno;
        *problem = what + " " + path + " cannot be used: " + std::strerror(error);
        return error == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
    }
    *exists = true;
    if (S_ISLNK(info.st_mode)) {
        *problem = what + " " + path + " is a symbolic link; refusing to use it";
        return ERROR_ACCESS_DENIED;
    }
    if (!S_ISREG(info.st_mode)) {
        *problem = what + " " + path + " is not a regular file";
        return ERROR_CANTOPEN;
    }
    return CheckOwnership(path, info, what.c_str(), 0600, scope, problem);
}

LONG StoreFiles::SetAside(const std::string& databasePath, std::string* movedTo,
                          std::string* problem) {
    // A name no earlier set-aside used: the time, then a counter.
    const std::string stem = databasePath + ".damaged-" + std::to_string(std::time(nullptr));
    std::string target = stem;
    for (int n = 1; access(target.c_str(), F_OK) == 0; ++n) target = stem + "-" + std::to_string(n);
    for (const char* suffix : kSuffixes) {
        const std::string from = databasePath + suffix;
        if (std::rename(from.c_str(), (target + suffix).c_str()) == 0 || errno == ENOENT)
            continue;
        const int error = errno;
        *problem = "cannot move " + from + " aside: " + std::strerror(error);
        return error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED
                                                                   : ERROR_CANTWRITE;
    }
    *movedTo = target;
    return ERROR_SUCCESS;
}

}  // namespace platform
