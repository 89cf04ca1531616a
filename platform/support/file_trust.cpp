#include "file_trust.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

namespace platform {
namespace {

// As the kernel allows (MAXSYMLINKS).
constexpr int kMaxLinks = 40;

bool Trusted(uid_t owner, uid_t trusted) { return owner == 0 || owner == trusted; }

std::string Who(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    const std::string number = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return std::string(found->pw_name) + " (" + number + ")";
    return number;
}

std::string Owners(uid_t trusted) {
    return trusted == 0 ? "root" : "root or " + Who(trusted);
}

// "" when neither the group nor others may write, else who may.
std::string WritableBy(mode_t mode) {
    const bool group = (mode & S_IWGRP) != 0;
    const bool others = (mode & S_IWOTH) != 0;
    if (group && others) return "its group and everyone";
    if (group) return "its group";
    if (others) return "everyone";
    return "";
}

std::string Join(const std::vector<std::string>& names) {
    std::string path;
    for (const std::string& name : names) path += "/" + name;
    return path.empty() ? "/" : path;
}

std::deque<std::string> Split(const std::string& path) {
    std::deque<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

// The folder at `where` (already resolved), entered on the way down: "" or why it is unsafe.
// *sticky tells whether its entries need checking for their own owner.
std::string CheckFolder(const std::string& where, const struct stat& info, uid_t trusted,
                        bool* sticky) {
    *sticky = false;
    if (!Trusted(info.st_uid, trusted))
        return "the folder " + where + " is owned by " + Who(info.st_uid) + ", not by " +
               Owners(trusted);
    const std::string writers = WritableBy(info.st_mode);
    if (writers.empty()) return "";
    if ((info.st_mode & S_ISVTX) != 0 && (info.st_mode & S_IWOTH) != 0) {
        *sticky = true;
        return "";
    }
    return "the folder " + where + " is writable by " + writers;
}

}  // namespace

std::string ChangeableByOthers(const std::string& path, uid_t trusted) {
    if (path.empty() || path[0] != '/') return path + " is not an absolute path";
    std::deque<std::string> pending = Split(path);
    std::vector<std::string> resolved;     // the folder reached so far, from the root
    std::vector<bool> stickyAt;            // whether each folder of `resolved` (root first) is sticky
    int links = 0;

    struct stat info {};
    bool sticky = false;
    if (lstat("/", &info) != 0) return std::string("/ cannot be examined: ") + std::strerror(errno);
    if (std::string why = CheckFolder("/", info, trusted, &sticky); !why.empty()) return why;
    stickyAt.push_back(sticky);

    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            // Back to a folder that was checked on the way down (the root's parent is itself).
            if (!resolved.empty()) {
                resolved.pop_back();
                stickyAt.pop_back();
            }
            continue;
        }
        std::vector<std::string> next = resolved;
        next.push_back(name);
        const std::string where = Join(next);
        if (lstat(where.c_str(), &info) != 0)
            return where + " cannot be examined: " + std::strerror(errno);
        if (S_ISLNK(info.st_mode)) {
            // Folders and files have their owner checked below; a link's owner matters only
            // where everyone may add entries (its owner may then replace it).
            if (stickyAt.back() && !Trusted(info.st_uid, trusted))
                return "the symbolic link " + where + " is owned by " + Who(info.st_uid) +
                       ", not by " + Owners(trusted) + ", in " + Join(resolved) +
                       ", where everyone may add entries";
            if (++links > kMaxLinks) return path + ": too many levels of symbolic links";
            std::vector<char> target(PATH_MAX + 1);
            const ssize_t length = readlink(where.c_str(), target.data(), PATH_MAX);
            if (length <= 0) return where + " cannot be read: " + std::strerror(errno);
            const std::string text(target.data(), static_cast<size_t>(length));
            std::deque<std::string> names = Split(text);
            pending.insert(pending.begin(), names.begin(), names.end());
            if (text[0] == '/') {
                resolved.clear();
                stickyAt.resize(1);
            }
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            if (std::string why = CheckFolder(where, info, trusted, &sticky); !why.empty())
                return why;
            resolved = std::move(next);
            stickyAt.push_back(sticky);
            continue;
        }
        if (!pending.empty()) return where + " is not a folder";
        if (!S_ISREG(info.st_mode)) return where + " is not a regular file";
        if (!Trusted(info.st_uid, trusted))
            return "the file " + where + " is owned by " + Who(info.st_uid) + ", not by " +
                   Owners(trusted);
        if (const std::string writers = WritableBy(info.st_mode); !writers.empty())
            return "the file " + where + " is writable by " + writers;
        return "";
    }
    return path + " is a folder, not a file";
}

}  // namespace platform
