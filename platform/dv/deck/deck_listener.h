// The deck's listening socket. It is bound under a name the device listing ignores and renamed
// once it listens, and removed on Close. Accepting that fails for want of resources (EMFILE and
// the like) leaves the socket readable, so instead of polling it again at once the listener
// backs off, says so once, and leaves the socket out of the polls until the back-off ends.
//
// Threads: the deck's single thread; no locks.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "support/fault.h"

namespace dv {

class DeckListener {
public:
    static constexpr int64_t kFirstBackoffNs = 100000000;  // 0.1 s, doubling while it fails
    static constexpr int64_t kLongestBackoffNs = 1000000000;  // 1 s: well inside a sender's wait

    DeckListener() = default;
    ~DeckListener();
    DeckListener(const DeckListener&) = delete;
    DeckListener& operator=(const DeckListener&) = delete;

    // Listens on socketPath; the failure (the errno, 0 for a path too long) when it cannot.
    // `errors` takes the notes on accepting that fails and recovers.
    std::optional<platform::Fault> Open(const std::string& socketPath, FILE* errors);
    void Close();

    int fd() const { return listenFd; }
    // The events to poll the socket for: none while backing off.
    short Events(int64_t nowNs) const;
    // When the current back-off ends; 0 when there is none.
    int64_t RetryAtNs() const { return retryAtNs; }

    // One waiting connection, non-blocking; -1 when none is waiting or accepting failed (a
    // back-off then starts).
    int Accept(int64_t nowNs);

    // Whether the process at the other end of `conn` runs as this process's user; its user in
    // *peerUid. A deck takes frames from its own user only.
    static bool FromOurUser(int conn, uid_t* peerUid);

private:
    std::string path;
    FILE* errorOut = stderr;
    int listenFd = -1;
    int64_t retryAtNs = 0;  // accept nothing before this while backing off
    int64_t backoffNs = 0;  // the current back-off; 0 while accepting works
};

}  // namespace dv
