#include "dv/deck/deck_listener.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/log.h"
#include "support/text.h"

namespace dv {

DeckListener::~DeckListener() { Close(); }

std::optional<platform::Fault> DeckListener::Open(const std::string& socketPath, FILE* errors) {
    Close();
    errorOut = errors;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    // Bind under a name the device listing ignores and give the socket its real name only once
    // it listens: a listing that probed it in between would take it for a dead deck's leftover
    // and delete it, leaving this deck unlisted.
    const std::string pendingPath = socketPath + ".pending";
    if (pendingPath.size() >= sizeof addr.sun_path)
        return platform::Fault{0, "socket path too long: " + platform::QuotedName(socketPath)};
    std::memcpy(addr.sun_path, pendingPath.c_str(), pendingPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int err = errno;
        return platform::Fault{err, std::string("socket: ") + std::strerror(err)};
    }
    ::unlink(pendingPath.c_str());  // left behind by a deck that had our pid
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 64) != 0 || ::rename(pendingPath.c_str(), socketPath.c_str()) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(pendingPath.c_str());
        return platform::Fault{err, "cannot listen on " + platform::QuotedName(socketPath) + ": " + std::strerror(err)};
    }
    listenFd = fd;
    path = socketPath;
    retryAtNs = backoffNs = 0;
    return std::nullopt;
}

void DeckListener::Close() {
    if (listenFd < 0) return;
    ::close(listenFd);
    listenFd = -1;
    if (::unlink(path.c_str()) != 0) {
        PLATFORM_LOG(platform::log::kDeck, Warning, "cannot remove socket %s: %s", path.c_str(), std::strerror(errno));
    }
}

short DeckListener::Events(int64_t nowNs) const {
    return listenFd >= 0 && nowNs >= retryAtNs ? short(POLLIN) : short(0);
}

int DeckListener::Accept(int64_t nowNs) {
    if (listenFd < 0 || nowNs < retryAtNs) return -1;
    const int conn = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (conn >= 0) {
        if (backoffNs != 0) {
            std::fprintf(errorOut, "dvdeck: taking connections again\n");
            std::fflush(errorOut);
        }
        retryAtNs = backoffNs = 0;
        return conn;
    }
    const int err = errno;
    switch (err) {
        case EAGAIN:
        case EINTR:
        case ECONNABORTED:  // the caller gave up while waiting: nothing to do
            return -1;
        default:
            break;
    }
    // Out of descriptors or memory: the connection stays queued and the socket readable.
    if (backoffNs == 0) {
        backoffNs = kFirstBackoffNs;
        std::fprintf(errorOut, "dvdeck: cannot take a connection: %s; trying again every %.1f s at most\n",
                     std::strerror(err), double(kLongestBackoffNs) / 1e9);
        std::fflush(errorOut);
    } else {
        backoffNs = backoffNs * 2 < kLongestBackoffNs ? backoffNs * 2 : kLongestBackoffNs;
    }
    PLATFORM_LOG(platform::log::kDeck, Warning, "accept: %s; next try in %lld ms", std::strerror(err),
                 static_cast<long long>(backoffNs / 1000000));
    retryAtNs = nowNs + backoffNs;
    return -1;
}

bool DeckListener::FromOurUser(int conn, uid_t* peerUid) {
    ucred peer {};
    socklen_t size = sizeof peer;
    if (::getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
        PLATFORM_LOG(platform::log::kDeck, Warning, "SO_PEERCRED: %s", std::strerror(errno));
        *peerUid = uid_t(-1);
        return false;
    }
    *peerUid = peer.uid;
    return peer.uid == ::geteuid();
}

}  // namespace dv
