#include "dv/deck/deck_directory.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <platform/platform.h>

#include "support/log.h"
#include "support/text.h"

namespace dv {

std::string DeckDirectory::Path(bool create) {
    const std::string state = platform::StateDirectory();
    // No state directory (nowhere private to put one): no deck directory either, never "/dvdeck".
    if (state.empty()) return {};
    std::string dir = state + "/dvdeck";
    if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        PLATFORM_LOG(platform::log::kDeck, Error, "cannot make %s: %s", dir.c_str(), std::strerror(errno));
    }
    return dir;
}

std::optional<platform::Fault> DeckDirectory::CheckPrivate(const std::string& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        const int err = errno;
        return platform::Fault{err, platform::QuotedName(dir) + ": " + std::strerror(err)};
    }
    if (!S_ISDIR(st.st_mode))
        return platform::Fault{0, platform::QuotedName(dir) + " is not a directory" +
                                      (S_ISLNK(st.st_mode) ? " (a symbolic link)" : "")};
    if (st.st_uid != ::geteuid())
        return platform::Fault{0, platform::QuotedName(dir) + " belongs to user " + std::to_string(st.st_uid) +
                                      ", not to this user (" + std::to_string(::geteuid()) + ")"};
    if ((st.st_mode & 07777) != 0700) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return platform::Fault{0, platform::QuotedName(dir) + " has mode " + mode + "; it must be 0700, private to its user"};
    }
    return std::nullopt;
}

std::optional<platform::Fault> DeckDirectory::PrepareSocketPath(int pid, std::string* socketPath) {
    const std::string dir = Path(false);
    if (dir.empty())
        return platform::Fault{0, "the platform has no state directory for the deck (see PLATFORM_STATE_DIR)"};
    if (::mkdir(dir.c_str(), 0700) == 0) {
        // Made just now: a strict umask must not leave it unusable to its own user.
        if (::chmod(dir.c_str(), 0700) != 0) {
            PLATFORM_LOG(platform::log::kDeck, Warning, "chmod %s: %s", dir.c_str(), std::strerror(errno));
        }
    } else if (errno != EEXIST) {
        const int err = errno;
        return platform::Fault{err, "cannot make the deck directory " + platform::QuotedName(dir) + ": " + std::strerror(err)};
    }
    if (auto fault = CheckPrivate(dir)) {
        fault->text = "refusing the deck directory: " + fault->text;
        return fault;
    }
    *socketPath = dir + "/" + std::to_string(pid) + ".sock";
    return std::nullopt;
}

bool DeckDirectory::Probe(const std::string& socketPath, bool* stale) {
    *stale = false;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int err = errno;
    ::close(fd);
    if (rc == 0) return true;
    // A full backlog still means a listener.
    if (err == EAGAIN || err == EINPROGRESS) return true;
    *stale = err == ECONNREFUSED;
    return false;
}

std::vector<std::string> DeckDirectory::ListLive(const std::string& dir) {
    struct Entry {
        std::string path;
        struct timespec changed;
    };
    std::vector<Entry> entries;
    struct stat dirStat {};
    if (::lstat(dir.c_str(), &dirStat) != 0) return {};  // no deck has run yet
    if (auto fault = CheckPrivate(dir)) {
        PLATFORM_LOG(platform::log::kDeck, Warning, "not listing decks: %s", fault->text.c_str());
        return {};
    }
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(dir, ec)) {
        const std::string path = item.path().string();
        if (item.path().extension() != ".sock") continue;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        bool stale = false;
        if (!Probe(path, &stale)) {
            if (stale && ::unlink(path.c_str()) != 0) {
                PLATFORM_LOG(platform::log::kDeck, Warning, "cannot remove stale socket %s: %s", path.c_str(),
                             std::strerror(errno));
            }
            continue;
        }
        entries.push_back({path, st.st_ctim});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.changed.tv_sec != b.changed.tv_sec) return a.changed.tv_sec < b.changed.tv_sec;
        if (a.changed.tv_nsec != b.changed.tv_nsec) return a.changed.tv_nsec < b.changed.tv_nsec;
        return a.path < b.path;
    });
    std::vector<std::string> live;
    for (auto& e : entries) live.push_back(std::move(e.path));
    return live;
}

}  // namespace dv
