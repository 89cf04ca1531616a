#include "registry/store_files.h"

#include "registry/store_sql.h"

#include <platform/platform.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace platform {
namespace {

std::string Owner(uid_t uid) { return "user " + std::to_string(uid); }

const char* What(bool directory, StoreFiles::Scope scope) {
    if (scope == StoreFiles::Scope::kMachine)
        return directory ? "machine-wide registry directory" : "machine-wide registry file";
    return directory ? "state directory" : "registry file";
}

// Owner and mode of an existing entry; `what` is "state directory" or "registry file".
std::optional<Fault> CheckOwnership(const std::string& path, const struct stat& info,
                                    const char* what, mode_t privateMode,
                                    StoreFiles::Scope scope) {
    if (scope == StoreFiles::Scope::kMachine) {
        if (info.st_uid != 0 && info.st_uid != geteuid())
            return Fault{ERROR_ACCESS_DENIED, std::string(what) + " " + path + " belongs to " +
                                                  Owner(info.st_uid) +
                                                  ", neither to root nor to this user (" +
                                                  Owner(geteuid()) + "); refusing to use it"};
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return Fault{ERROR_ACCESS_DENIED,
                         std::string(what) + " " + path +
                             " is writable by group or others; refusing to use it"};
        return std::nullopt;
    }
    if (info.st_uid != geteuid())
        return Fault{ERROR_ACCESS_DENIED, std::string(what) + " " + path + " belongs to " +
                                              Owner(info.st_uid) + ", not to this user (" +
                                              Owner(geteuid()) + "); refusing to use it"};
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return Fault{ERROR_ACCESS_DENIED,
                     std::string(what) + " " + path +
                         " is writable by group or others; refusing to use it (make it private: "
                         "chmod " + (privateMode == 0700 ? "700 " : "600 ") + path + ")"};
    // Ours and only readable by others: make it private. A read-only file system keeps it as it is.
    if ((info.st_mode & 077) != 0) chmod(path.c_str(), privateMode);
    return std::nullopt;
}

const char* const kNoStateDirectory =
    "no state directory: none of " PLATFORM_STATE_DIR_ENV
    ", XDG_DATA_HOME, HOME (or a home directory in the password database) or XDG_RUNTIME_DIR "
    "names one";

// Whether a folder on the way to a store lets only root and this user change what it holds: a
// folder another user may write (or owns, and so may make writable) lets them swap the entries
// below it between our checks and SQLite's open. A sticky folder (/tmp) is fine: nobody may rename
// or remove another's entry there, and the entry below is checked in its turn.
std::optional<Fault> CheckFolderAbove(const std::string& folder, const std::string& dir,
                                      const char* what) {
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) {
        const int error = errno;
        return Fault{error == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND,
                     std::string(what) + " " + dir + " cannot be used: the folder " + folder +
                         " above it cannot be looked at: " + std::strerror(error)};
    }
    const std::string refusal = std::string("refusing to use the ") + what + " " + dir + ": ";
    if (!S_ISDIR(info.st_mode))
        // It was a folder a moment ago, when the path was resolved: something is changing it.
        return Fault{ERROR_ACCESS_DENIED,
                     refusal + "the folder " + folder + " above it changed while it was checked"};
    if (info.st_uid != 0 && info.st_uid != geteuid())
        return Fault{ERROR_ACCESS_DENIED,
                     refusal + "the folder " + folder + " above it belongs to " +
                         Owner(info.st_uid) + ", neither to root nor to this user (" +
                         Owner(geteuid()) +
                         "), who could swap what lies below it for files of their own"};
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0)
        return Fault{ERROR_ACCESS_DENIED,
                     refusal + "the folder " + folder + " above it is writable by " +
                         ((info.st_mode & S_IWOTH) != 0 ? "others" : "its group") +
                         " and not sticky, so they could swap what lies below it for files of "
                         "their own (chmod go-w " + folder + ", or choose another folder)"};
    return std::nullopt;
}

}  // namespace

std::optional<Fault> StoreFiles::ResolveDirectory(const std::string& dir, std::string* resolved,
                                                  Scope scope) {
    const char* what = What(true, scope);
    if (dir.empty()) return Fault{ERROR_PATH_NOT_FOUND, kNoStateDirectory};
    // The folders above are resolved; the directory itself is kept by name, so that a link
    // there is seen (and refused) rather than followed.
    const size_t slash = dir.rfind('/');
    std::string above = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        above = dir;
        name.clear();
    }
    char* real = realpath(above.c_str(), nullptr);
    if (real == nullptr) {
        const int error = errno;
        return Fault{error == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND,
                     std::string(what) + " " + dir + " cannot be used: the folder " + above +
                         " above it cannot be reached: " + std::strerror(error)};
    }
    const std::string base = real;
    std::free(real);
    *resolved = name.empty() ? base : base == "/" ? "/" + name : base + "/" + name;
    // Every folder from the root down to the one holding the directory.
    std::vector<std::string> folders{"/"};
    for (size_t at = resolved->find('/', 1); at != std::string::npos; at = resolved->find('/', at + 1))
        folders.push_back(resolved->substr(0, at));
    for (const std::string& folder : folders) {
        if (folder == *resolved) break;
        if (auto fault = CheckFolderAbove(folder, *resolved, what)) return fault;
    }
    return std::nullopt;
}

const char* const StoreFiles::kSuffixes[4] = {"", "-wal", "-shm", "-journal"};

std::optional<Fault> StoreFiles::CheckDirectory(const std::string& dir, Scope scope) {
    const char* what = What(true, scope);
    if (dir.empty()) return Fault{ERROR_PATH_NOT_FOUND, kNoStateDirectory};
    struct stat info {};
    if (lstat(dir.c_str(), &info) != 0) {
        const int error = errno;
        return Fault{error == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND,
                     std::string(what) + " " + dir + " cannot be used: " + std::strerror(error)};
    }
    if (S_ISLNK(info.st_mode)) {
        // Links above the directory are followed; the directory's own entry is where a planted
        // link would lead the store elsewhere.
        char* target = realpath(dir.c_str(), nullptr);
        Fault link{ERROR_ACCESS_DENIED,
                   std::string(what) + " " + dir +
                       " is a symbolic link; refusing to use it (a link there could lead the "
                       "registry to another user's files; point " +
                       (scope == Scope::kMachine ? PLATFORM_MACHINE_DIR_ENV
                                                 : PLATFORM_STATE_DIR_ENV) +
                       " at the directory itself" +
                       (target != nullptr ? std::string(", ") + target : std::string()) + ")"};
        std::free(target);
        return link;
    }
    if (!S_ISDIR(info.st_mode))
        return Fault{ERROR_PATH_NOT_FOUND, std::string(what) + " " + dir + " is not a directory"};
    return CheckOwnership(dir, info, what, 0700, scope);
}

std::optional<Fault> StoreFiles::CheckFile(const std::string& path, bool* exists, Scope scope) {
    const std::string what = What(false, scope);
    *exists = false;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return std::nullopt;
        const int error = errno;
        return Fault{error == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN,
                     what + " " + path + " cannot be used: " + std::strerror(error)};
    }
    *exists = true;
    if (S_ISLNK(info.st_mode))
        return Fault{ERROR_ACCESS_DENIED,
                     what + " " + path + " is a symbolic link; refusing to use it"};
    if (!S_ISREG(info.st_mode))
        return Fault{ERROR_CANTOPEN, what + " " + path + " is not a regular file"};
    return CheckOwnership(path, info, what.c_str(), 0600, scope);
}

void StoreFiles::RemoveAbandoned(const std::string& path) {
    const std::string dir = path.substr(0, path.rfind('/'));
    const std::string prefix = path.substr(path.rfind('/') + 1) + ".new-";
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.rfind(prefix, 0) != 0) continue;
        const pid_t pid = static_cast<pid_t>(std::atol(name.c_str() + prefix.size()));
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) unlink((dir + "/" + name).c_str());
    }
    closedir(listing);
}

std::optional<Fault> StoreFiles::SetAside(const std::string& databasePath, std::string* movedTo) {
    // A name no earlier set-aside used: the time, then a counter.
    const std::string stem = databasePath + ".damaged-" + std::to_string(std::time(nullptr));
    std::string target = stem;
    for (int n = 1; access(target.c_str(), F_OK) == 0; ++n) target = stem + "-" + std::to_string(n);
    for (const char* suffix : kSuffixes) {
        const std::string from = databasePath + suffix;
        if (std::rename(from.c_str(), (target + suffix).c_str()) == 0 || errno == ENOENT)
            continue;
        const int error = errno;
        return Fault{error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED
                                                                         : ERROR_CANTWRITE,
                     "cannot move " + from + " aside: " + std::strerror(error)};
    }
    *movedTo = target;
    return std::nullopt;
}

namespace {

using regdb::FromErrno;

// Copies the whole of `from` into the new file `to` (0644 whatever the umask) and syncs it.
bool CopyFile(const std::string& from, const std::string& to, int* error) {
    const int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        *error = errno;
        return false;
    }
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = out >= 0 && fchmod(out, 0644) == 0;
    char buffer[65536];
    while (ok) {
        const ssize_t got = read(in, buffer, sizeof(buffer));
        if (got == 0) break;
        if (got < 0) {
            ok = errno == EINTR;
            continue;
        }
        for (ssize_t done = 0; ok && done < got;) {
            const ssize_t wrote = write(out, buffer + done, static_cast<size_t>(got - done));
            if (wrote > 0) done += wrote;
            else ok = wrote < 0 && errno == EINTR;
        }
    }
    *error = errno;
    close(in);
    if (out >= 0) close(out);
    return ok;
}

bool SyncPath(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

}  // namespace

std::optional<Fault> MachineWrite::Lock(const std::string& databasePath, int waitMs) {
    database = databasePath;
    const std::string path = database + ".lock";
    // Private to the writer: a reader who could open it could take it and hold root up.
    lockFd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat info {};
    if (lockFd < 0 || fstat(lockFd, &info) != 0) {
        const int error = errno;
        Abandon();
        return Fault{FromErrno(error), "cannot open the machine-wide registry's lock " + path +
                                           ": " + std::strerror(error)};
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        Abandon();
        return Fault{ERROR_ACCESS_DENIED,
                     "the machine-wide registry's lock " + path +
                         " is not a private file of this user; refusing to use it"};
    }
    // Bounded: a write takes milliseconds, so a lock held much longer belongs to a stuck writer.
    const auto start = std::chrono::steady_clock::now();
    while (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            const int error = errno;
            Abandon();
            return Fault{FromErrno(error), "cannot lock " + path + ": " + std::strerror(error)};
        }
        if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(waitMs)) {
            Abandon();
            return Fault{ERROR_BUSY, database + ": locked by another process; gave up waiting "
                                                "after " + std::to_string(waitMs / 1000) +
                                         " s (another registration is running or stuck; its "
                                         "lock is " + path + ")"};
        }
        usleep(5000);
    }
    return std::nullopt;
}

std::optional<Fault> MachineWrite::Begin(const std::string& databasePath, int waitMs,
                                         std::string* written) {
    if (auto fault = Lock(databasePath, waitMs)) return fault;
    StoreFiles::RemoveAbandoned(database);
    static std::atomic<unsigned> serial{0};
    copy = database + ".new-" + std::to_string(getpid()) + "-w" + std::to_string(serial++);
    unlink(copy.c_str());  // an earlier process of the same id's, never a live one's
    int error = 0;
    if (!CopyFile(database, copy, &error)) {
        // Abandon forgets the copy's name: the text is made first.
        Fault failed{FromErrno(error), "cannot copy the machine-wide registry " + database +
                                           " to " + copy + " for writing: " +
                                           std::strerror(error)};
        Abandon();
        return failed;
    }
    *written = copy;
    return std::nullopt;
}

std::optional<Fault> MachineWrite::Commit() {
    const std::string dir = database.substr(0, database.rfind('/') + 1);
    int error = 0;
    if (!SyncPath(copy, O_RDONLY) || rename(copy.c_str(), database.c_str()) != 0) {
        error = errno;
        // Abandon forgets the copy's name: the text is made first.
        Fault failed{FromErrno(error), "cannot replace the machine-wide registry " + database +
                                           " with " + copy + ": " + std::strerror(error)};
        Abandon();
        return failed;
    }
    copy.clear();
    // The rename itself reaches the disk with the folder.
    SyncPath(dir, O_RDONLY | O_DIRECTORY);
    Abandon();
    return std::nullopt;
}

void MachineWrite::Abandon() {
    if (!copy.empty()) {
        for (const char* suffix : StoreFiles::kSuffixes) unlink((copy + suffix).c_str());
        copy.clear();
    }
    if (lockFd >= 0) close(lockFd);  // releases the lock
    lockFd = -1;
}

}  // namespace platform
