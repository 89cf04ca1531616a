#include "dv/deck/deck_lobby.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/log.h"

namespace dv {

DeckLobby::~DeckLobby() {
    for (const Guest& guest : waiting) ::close(guest.fd);
}

int DeckLobby::Add(int conn, int64_t nowNs) {
    int evicted = -1;
    if (waiting.size() >= kCapacity) {
        PLATFORM_LOG(platform::log::kDeck, Warning, "%zu connections wait without a hello; turning the oldest away",
                     waiting.size());
        evicted = waiting.front().fd;
        waiting.erase(waiting.begin());
    }
    Guest guest {};
    guest.fd = conn;
    guest.deadlineNs = nowNs + kHelloTimeoutNs;
    waiting.push_back(guest);
    return evicted;
}

void DeckLobby::Drop(size_t index) {
    ::close(waiting[index].fd);
    waiting.erase(waiting.begin() + ptrdiff_t(index));
}

std::vector<int> DeckLobby::Expire(int64_t nowNs) {
    std::vector<int> expired;
    for (size_t i = 0; i < waiting.size();) {
        if (waiting[i].deadlineNs > nowNs) {
            ++i;
            continue;
        }
        PLATFORM_LOG(platform::log::kDeck, Info, "hanging up on a connection that sent no hello for %lld ms",
                     static_cast<long long>(kHelloTimeoutNs / 1000000));
        expired.push_back(waiting[i].fd);
        waiting.erase(waiting.begin() + ptrdiff_t(i));
    }
    return expired;
}

int64_t DeckLobby::NextDeadlineNs() const {
    int64_t next = 0;
    for (const Guest& guest : waiting) {
        if (next == 0 || guest.deadlineNs < next) next = guest.deadlineNs;
    }
    return next;
}

void DeckLobby::AddPollFds(std::vector<pollfd>* fds) const {
    for (const Guest& guest : waiting) fds->push_back({guest.fd, POLLIN, 0});
}

std::optional<platform::Fault> DeckLobby::Check(const Guest& guest) const {
    auto refuse = [](const char* reason) {
        return platform::Fault{long(deck::ReplyCode::ProtocolError), reason};
    };
    const auto& hello = guest.hello;
    if (guest.have >= sizeof hello.header &&
        (hello.header.type != uint32_t(deck::MessageType::Hello) || hello.header.length != sizeof hello.body)) {
        return refuse("expected a dvdeck hello");
    }
    if (guest.have < sizeof hello) return std::nullopt;
    if (hello.body.magic != deck::kMagic || hello.body.version != deck::kVersion) {
        return refuse("expected a dvdeck hello");
    }
    if (hello.body.request > uint32_t(deck::HelloRequest::Play)) return refuse("unknown request in the hello");
    const DvSystem* sent = DvSystem::OfFrameBytes(hello.body.frameBytes);
    if (sent == nullptr) return refuse("expected DV frames of 120000 or 144000 bytes");
    // A sender of the other system's frames would record nothing: it is told so at once. Deck
    // control (status, commands) is for a caller of either system.
    if (sent != system && hello.body.request == uint32_t(deck::HelloRequest::Send)) {
        return platform::Fault{long(deck::ReplyCode::WrongSystem),
                               std::string("this deck records ") + system->name + " DV, not " + sent->name};
    }
    return std::nullopt;
}

DeckLobby::Outcome DeckLobby::Read(size_t index, int* conn, platform::Fault* refusal,
                                   deck::HelloRequest* request) {
    Guest& guest = waiting[index];
    // Never past the Hello: what follows it belongs to the session.
    const ssize_t n = ::read(guest.fd, reinterpret_cast<uint8_t*>(&guest.hello) + guest.have,
                             sizeof guest.hello - guest.have);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Outcome::Waiting;
    if (n <= 0) {
        // A provider probing for live decks connects and closes at once: that is not an error.
        if (n < 0) PLATFORM_LOG(platform::log::kDeck, Info, "a connection failed before its hello: %s", std::strerror(errno));
        Drop(index);
        return Outcome::Gone;
    }
    guest.have += size_t(n);
    const std::optional<platform::Fault> bad = Check(guest);
    if (!bad && guest.have < sizeof guest.hello) return Outcome::Waiting;
    *conn = guest.fd;
    if (request != nullptr) *request = deck::HelloRequest(guest.hello.body.request);
    waiting.erase(waiting.begin() + ptrdiff_t(index));
    if (!bad) return Outcome::Hello;
    *refusal = *bad;
    return Outcome::Bad;
}

std::vector<int> DeckLobby::TakeAll() {
    std::vector<int> fds;
    for (const Guest& guest : waiting) fds.push_back(guest.fd);
    waiting.clear();
    return fds;
}

}  // namespace dv
