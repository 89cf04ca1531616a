// Where running virtual decks can be found: each dvdeck listens on <state>/dvdeck/<pid>.sock.
// The directory is private to its user (0700, owned by them): a directory anyone else could
// write to would let them plant sockets that take our frames, or reach our decks.
// A failure's status is the errno of the call that failed, 0 when the directory is refused.
// Stateless; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/fault.h"

namespace dv {

class DeckDirectory {
public:
    // <state directory>/dvdeck, created (0700) when `create` is set; whether it is fit for use
    // is for Prepare or ListLive to say. Empty when the platform has no state directory.
    static std::string Path(bool create);

    // The socket a deck with this process id is to listen on, in the directory made if missing.
    // The failure when the directory cannot be made or is not private to this user.
    static std::optional<platform::Fault> PrepareSocketPath(int pid, std::string* socketPath);

    // Nothing when `dir` is a directory (not a link) owned by this process's user with mode
    // 0700; else why not.
    static std::optional<platform::Fault> CheckPrivate(const std::string& dir);

    // Sockets in `dir` that accept a connection, oldest first (by the socket file's change time,
    // so the deck started last comes last). Socket files nobody listens on any more (a deck that
    // was killed) are removed. Nothing is listed from a directory that is not private.
    static std::vector<std::string> ListLive(const std::string& dir);

    // True if something listens on the socket. A refused connection means a stale socket file.
    static bool Probe(const std::string& socketPath, bool* stale);
};

}  // namespace dv
