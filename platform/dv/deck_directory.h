// Where running virtual decks can be found: each dvdeck listens on <state>/dvdeck/<pid>.sock.
// Stateless; safe from any thread.
#pragma once

#include <string>
#include <vector>

namespace dv {

class DeckDirectory {
public:
    // <state directory>/dvdeck, created when `create` is set.
    static std::string Path(bool create);

    // The socket a deck with this process id listens on.
    static std::string SocketPathFor(int pid);

    // Sockets in `dir` that accept a connection, oldest first (by the socket file's change time,
    // so the deck started last comes last). Socket files nobody listens on any more (a deck that
    // was killed) are removed.
    static std::vector<std::string> ListLive(const std::string& dir);

    // True if something listens on the socket. A refused connection means a stale socket file.
    static bool Probe(const std::string& socketPath, bool* stale);
};

}  // namespace dv
