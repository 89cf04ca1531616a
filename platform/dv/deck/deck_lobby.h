// Connections to the deck that have not said Hello yet. Each is read as its bytes arrive, so one
// that says nothing holds up no other: a sender's Hello is answered at once however many idle
// connections (probes, stuck clients) are waiting beside it. A connection that has not said
// Hello within kHelloTimeoutNs, and the oldest one when a newcomer finds kCapacity waiting, is
// handed back to the caller, which tells it why before closing it.
//
// Threads: the deck's single thread; no locks.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "dv/deck/deck_protocol.h"
#include "support/fault.h"

namespace dv {

class DeckLobby {
public:
    static constexpr size_t kCapacity = 16;
    static constexpr int64_t kHelloTimeoutNs = 2000000000;  // 2 s

    enum class Outcome {
        Waiting,  // the Hello is not complete yet
        Gone,     // it closed or failed (a probe does that); the lobby has closed it
        Hello,    // a good Hello: the connection is handed over in *conn, what it asks in *request
        Bad,      // not a Hello this deck takes: handed over in *conn, with *refusal
    };

    // A lobby of a deck that records `system`'s frames.
    explicit DeckLobby(const DvSystem& system = k525_60) : system(&system) {}
    ~DeckLobby();
    DeckLobby(const DeckLobby&) = delete;
    DeckLobby& operator=(const DeckLobby&) = delete;

    // Takes a connection just accepted at nowNs. When kCapacity already wait, the oldest makes
    // room and is handed back (for the caller to refuse and close); else -1.
    int Add(int conn, int64_t nowNs);
    // Hands back the connections whose time is up at nowNs, for the caller to tell and close.
    std::vector<int> Expire(int64_t nowNs);
    // The earliest time one runs out; 0 when none waits.
    int64_t NextDeadlineNs() const;
    size_t size() const { return waiting.size(); }
    // Appends a POLLIN entry for each waiting connection, in the lobby's order.
    void AddPollFds(std::vector<pollfd>* fds) const;
    // Reads what connection `index` (its place in AddPollFds' order) has sent. A connection
    // handed over leaves the lobby, so the indexes of later ones move down by one. A refusal's
    // status is the deck::ReplyCode to answer with, its text the reason.
    Outcome Read(size_t index, int* conn, platform::Fault* refusal,
                 deck::HelloRequest* request = nullptr);
    // Hands over every waiting connection, emptying the lobby.
    std::vector<int> TakeAll();

private:
    struct Guest {
        int fd;
        int64_t deadlineNs;
        size_t have;  // bytes of the Hello received
        struct {
            deck::MessageHeader header;
            deck::HelloBody body;
        } hello;
    };
    // Why a Hello cannot be taken, checking what has arrived so far; nothing if no reason yet.
    std::optional<platform::Fault> Check(const Guest& guest) const;
    void Drop(size_t index);

    const DvSystem* const system;
    std::vector<Guest> waiting;  // oldest first
};

}  // namespace dv
