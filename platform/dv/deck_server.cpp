#include "deck_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace dv {
namespace {

using deck::MessageHeader;
using deck::MessageType;
using deck::ReplyCode;

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int kHandshakeTimeoutMs = 2000;

int64_t NowNs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

// Start of tick k of a schedule that began at t0 (exact, no accumulated rounding).
int64_t TickTime(int64_t t0, uint64_t k) {
    return t0 + int64_t(k) * kNsPerSecond * deck::kFrameRateDen / deck::kFrameRateNum;
}

timespec ToTimespec(int64_t ns) {
    if (ns < 0) ns = 0;
    return timespec {time_t(ns / kNsPerSecond), long(ns % kNsPerSecond)};
}

// Reads exactly n bytes within timeoutMs; false on EOF, error or timeout.
bool ReadExactly(int fd, void* buffer, size_t n, int timeoutMs) {
    auto* p = static_cast<uint8_t*>(buffer);
    size_t have = 0;
    const int64_t deadline = NowNs() + int64_t(timeoutMs) * 1000000;
    while (have < n) {
        const int64_t left = deadline - NowNs();
        if (left <= 0) return false;
        pollfd pfd {fd, POLLIN, 0};
        const timespec wait = ToTimespec(left);
        const int rc = ppoll(&pfd, 1, &wait, nullptr);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return false;
        const ssize_t got = ::read(fd, p + have, n - have);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        have += size_t(got);
    }
    return true;
}

std::string Duration(uint64_t frames) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s",
                  double(frames) * deck::kFrameRateDen / deck::kFrameRateNum);
    return text;
}

}  // namespace

DeckServer::DeckServer(Options settings) : options(std::move(settings)) {}

DeckServer::~DeckServer() { CloseSocket(); }

int DeckServer::Run() {
    std::string error;
    if (!tape.Open(options.tapePath, &error)) {
        std::fprintf(options.errors, "dvdeck: %s\n", error.c_str());
        return 1;
    }
    if (!OpenSocket()) return 1;
    std::fprintf(options.report, "dvdeck: \"%s\" recording to %s, listening on %s\n",
                 options.name.c_str(), options.tapePath.c_str(), options.socketPath.c_str());
    std::fflush(options.report);

    int status = 0;
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {options.stopFd, POLLIN, 0}};
        const int rc = ::poll(fds, options.stopFd >= 0 ? 2 : 1, -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) {
            std::fprintf(options.errors, "dvdeck: waiting for a sender failed: %s\n",
                         std::strerror(errno));
            status = 1;
            break;
        }
        if (options.stopFd >= 0 && (fds[1].revents & POLLIN)) break;
        if (!(fds[0].revents & POLLIN)) continue;
        const int conn = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (conn < 0) continue;
        if (!Handshake(conn)) {
            ::close(conn);
            continue;
        }
        std::fprintf(options.report, "dvdeck: sender connected\n");
        std::fflush(options.report);
        const uint64_t framesBefore = tape.framesRecorded();
        const uint64_t missedBefore = missedTicks.size();
        const SessionEnd end = RunSession(conn);
        ::close(conn);
        sessionFd = -1;
        senderHungUp = false;
        if (end == SessionEnd::TapeFailed) {
            std::fprintf(options.errors, "dvdeck: %s; the tape keeps %llu whole frames\n",
                         tapeError.c_str(), static_cast<unsigned long long>(tape.framesOnTape()));
            status = 1;
            break;
        }
        if (!tape.Flush(&error)) {
            std::fprintf(options.errors, "dvdeck: %s\n", error.c_str());
            status = 1;
            break;
        }
        PrintSessionReport(framesBefore, missedBefore);
        if (end == SessionEnd::Stop) break;
    }
    if (!tape.Flush(&error)) {
        std::fprintf(options.errors, "dvdeck: %s\n", error.c_str());
        status = 1;
    }
    tape.Close();
    CloseSocket();
    PrintFinalReport();
    return status;
}

bool DeckServer::OpenSocket() {
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (options.socketPath.size() >= sizeof addr.sun_path) {
        std::fprintf(options.errors, "dvdeck: socket path too long: %s\n",
                     options.socketPath.c_str());
        return false;
    }
    // Bind under a name the device listing ignores and give the socket its real name only once
    // it listens: a listing that probed it in between would take it for a dead deck's leftover
    // and delete it, leaving this deck unlisted.
    const std::string pendingPath = options.socketPath + ".pending";
    if (pendingPath.size() >= sizeof addr.sun_path) {
        std::fprintf(options.errors, "dvdeck: socket path too long: %s\n", pendingPath.c_str());
        return false;
    }
    std::memcpy(addr.sun_path, pendingPath.c_str(), pendingPath.size() + 1);
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) {
        std::fprintf(options.errors, "dvdeck: socket: %s\n", std::strerror(errno));
        return false;
    }
    ::unlink(pendingPath.c_str());  // left behind by a deck that had our pid
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd, 8) != 0 ||
        ::rename(pendingPath.c_str(), options.socketPath.c_str()) != 0) {
        std::fprintf(options.errors, "dvdeck: cannot listen on %s: %s\n",
                     options.socketPath.c_str(), std::strerror(errno));
        ::close(listenFd);
        listenFd = -1;
        ::unlink(pendingPath.c_str());
        return false;
    }
    return true;
}

void DeckServer::CloseSocket() {
    if (listenFd < 0) return;
    ::close(listenFd);
    listenFd = -1;
    ::unlink(options.socketPath.c_str());
}

bool DeckServer::Handshake(int conn) {
    MessageHeader header {};
    deck::HelloBody hello {};
    // A provider probing for live decks connects and closes at once: that is not an error.
    if (!ReadExactly(conn, &header, sizeof header, kHandshakeTimeoutMs)) return false;
    if (header.type != uint32_t(MessageType::Hello) || header.length != sizeof hello ||
        !ReadExactly(conn, &hello, sizeof hello, kHandshakeTimeoutMs) ||
        hello.magic != deck::kMagic || hello.version != deck::kVersion) {
        SendReply(conn, ReplyCode::ProtocolError, 0, "expected a dvdeck hello");
        return false;
    }
    if (hello.frameBytes != deck::kFrameBytes) {
        SendReply(conn, ReplyCode::ProtocolError, 0,
                  "this deck records 525/60 DV: 120000-byte frames only");
        return false;
    }
    SendReply(conn, ReplyCode::Ok, 0, "ready");
    return true;
}

DeckServer::SessionEnd DeckServer::RunSession(int conn) {
    headerBytes = 0;
    frameBytes = 0;
    frameComplete = false;
    endRequested = false;
    sessionFd = conn;
    senderHungUp = false;
    frameSlot = nullptr;
    bool started = false;  // ticks count only from the sender's first frame
    int64_t t0 = NowNs();
    uint64_t k = 0;
    const int64_t period = TickTime(0, 1);

    for (;;) {
        const int64_t deadline = TickTime(t0, k + 1);
        // Take at most one frame in this tick.
        while (!frameComplete) {
            const int64_t now = NowNs();
            if (now >= deadline) break;
            pollfd fds[3] = {{conn, POLLIN, 0}, {listenFd, NewcomerEvents(), 0}, {options.stopFd, POLLIN, 0}};
            const timespec wait = ToTimespec(deadline - now);
            const int rc = ppoll(fds, options.stopFd >= 0 ? 3 : 2, &wait, nullptr);
            if (rc < 0 && errno != EINTR) return SessionEnd::SenderDone;
            if (rc <= 0) continue;
            if (options.stopFd >= 0 && (fds[2].revents & POLLIN)) {
                SendReply(conn, ReplyCode::Stopping, 0, "the deck is stopping");
                return SessionEnd::Stop;
            }
            if (fds[1].revents & POLLIN) RefuseNewcomer();
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ReadResult r = ReadSome(conn);
                if (r == ReadResult::Failed) return SessionEnd::SenderDone;
                if (r == ReadResult::TapeFailed) {
                    SendReply(conn, ReplyCode::TapeError, tape.lastErrno(), tapeError);
                    return SessionEnd::TapeFailed;
                }
                if (r == ReadResult::Ended) {
                    if (endRequested) {
                        std::string error;
                        const bool flushed = tape.Flush(&error);
                        SendReply(conn, flushed ? ReplyCode::Ok : ReplyCode::TapeError,
                                  flushed ? 0 : tape.lastErrno(),
                                  flushed ? "recorded" : error.c_str());
                        if (!flushed) {
                            tapeError = error;
                            return SessionEnd::TapeFailed;
                        }
                    }
                    return SessionEnd::SenderDone;
                }
            }
        }
        if (frameComplete) {
            std::string error;
            if (!tape.CommitFrame(&error)) {
                tapeError = error;
                SendReply(conn, ReplyCode::TapeError, tape.lastErrno(), error);
                return SessionEnd::TapeFailed;
            }
            frameComplete = false;
            frameBytes = 0;
            started = true;
            ++ticks;
        } else if (started) {
            missedTicks.push_back(ticks);
            ++ticks;
        }
        if (!WaitUntil(deadline)) {
            SendReply(conn, ReplyCode::Stopping, 0, "the deck is stopping");
            return SessionEnd::Stop;
        }
        ++k;
        // Far behind (the machine stalled us): start a new schedule rather than rushing to catch
        // up, as a device running at its own rate would.
        if (NowNs() - TickTime(t0, k) > 10 * period) {
            t0 = NowNs();
            k = 0;
        }
    }
}

DeckServer::ReadResult DeckServer::ReadSome(int conn) {
    if (headerBytes < sizeof messageHeader) {
        const ssize_t n = ::read(conn, reinterpret_cast<uint8_t*>(&messageHeader) + headerBytes,
                                 sizeof messageHeader - headerBytes);
        if (n == 0) return ReadResult::Ended;  // disconnect; a partial message is dropped
        if (n < 0) {
            return (errno == EAGAIN || errno == EINTR) ? ReadResult::NeedMore : ReadResult::Ended;
        }
        headerBytes += size_t(n);
        if (headerBytes < sizeof messageHeader) return ReadResult::NeedMore;
        switch (MessageType(messageHeader.type)) {
            case MessageType::Frame:
                if (messageHeader.length != deck::kFrameBytes) break;
                frameSlot = tape.NextFrame(&tapeError);
                if (frameSlot == nullptr) return ReadResult::TapeFailed;
                frameBytes = 0;
                return ReadFrameBody(conn);  // usually already there: no second poll for it
            case MessageType::Status:
                if (messageHeader.length != 0) break;
                headerBytes = 0;
                SendReply(conn, ReplyCode::Ok, 0, "recording");
                return ReadResult::NeedMore;
            case MessageType::End:
                if (messageHeader.length != 0) break;
                headerBytes = 0;
                endRequested = true;
                return ReadResult::Ended;
            default:
                break;
        }
        SendReply(conn, ReplyCode::ProtocolError, 0, "unexpected message");
        return ReadResult::Failed;
    }
    return ReadFrameBody(conn);
}

DeckServer::ReadResult DeckServer::ReadFrameBody(int conn) {
    const ssize_t n = ::read(conn, frameSlot + frameBytes, deck::kFrameBytes - frameBytes);
    if (n == 0) return ReadResult::Ended;
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? ReadResult::NeedMore : ReadResult::Ended;
    frameBytes += size_t(n);
    if (frameBytes < deck::kFrameBytes) return ReadResult::NeedMore;
    frameComplete = true;
    headerBytes = 0;
    return ReadResult::FrameReady;
}

bool DeckServer::WaitUntil(int64_t deadlineNs) {
    for (;;) {
        const int64_t now = NowNs();
        if (now >= deadlineNs) return !StopRequested();
        pollfd fds[2] = {{listenFd, NewcomerEvents(), 0}, {options.stopFd, POLLIN, 0}};
        const timespec wait = ToTimespec(deadlineNs - now);
        const int rc = ppoll(fds, options.stopFd >= 0 ? 2 : 1, &wait, nullptr);
        if (rc <= 0) continue;
        if (options.stopFd >= 0 && (fds[1].revents & POLLIN)) return false;
        if (fds[0].revents & POLLIN) RefuseNewcomer();
    }
}

void DeckServer::RefuseNewcomer() {
    if (sessionFd >= 0) {
        pollfd session {sessionFd, POLLRDHUP, 0};
        if (::poll(&session, 1, 0) > 0 && (session.revents & (POLLHUP | POLLRDHUP | POLLERR))) {
            senderHungUp = true;
            return;
        }
    }
    const int conn = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (conn < 0) return;
    SendReply(conn, ReplyCode::Busy, 0, "another sender is recording on this deck");
    ::close(conn);
}

bool DeckServer::StopRequested() {
    if (options.stopFd < 0) return false;
    pollfd pfd {options.stopFd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN);
}

void DeckServer::SendReply(int conn, ReplyCode code, int error, const std::string& message) {
    struct {
        MessageHeader header;
        deck::StatusBody body;
    } reply {};
    reply.header = {uint32_t(MessageType::Reply), sizeof reply.body};
    reply.body.code = uint32_t(code);
    reply.body.error = error;
    reply.body.framesRecorded = tape.framesRecorded();
    reply.body.missedTicks = missedTicks.size();
    std::snprintf(reply.body.name, sizeof reply.body.name, "%s", options.name.c_str());
    std::snprintf(reply.body.message, sizeof reply.body.message, "%s", message.c_str());
    // Best effort: a sender that is gone cannot be told anything.
    (void)::send(conn, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void DeckServer::PrintSessionReport(uint64_t framesBefore, uint64_t missedBefore) {
    const uint64_t frames = tape.framesRecorded() - framesBefore;
    std::fprintf(options.report, "dvdeck: sender finished: %llu frames (%s), %llu ticks without a frame\n",
                 static_cast<unsigned long long>(frames), Duration(frames).c_str(),
                 static_cast<unsigned long long>(missedTicks.size() - missedBefore));
    std::fflush(options.report);
}

void DeckServer::PrintFinalReport() {
    FILE* out = options.report;
    const uint64_t frames = tape.framesRecorded();
    std::fprintf(out, "dvdeck: stopped\n");
    std::fprintf(out, "tape: %s\n", options.tapePath.c_str());
    std::fprintf(out, "frames: %llu\n", static_cast<unsigned long long>(frames));
    std::fprintf(out, "duration: %s\n", Duration(frames).c_str());
    if (tape.hasTimecode()) {
        std::fprintf(out, "timecode: %s - %s\n", tape.firstTimecode().Text().c_str(),
                     tape.lastTimecode().Text().c_str());
    } else {
        std::fprintf(out, "timecode: none\n");
    }
    std::fprintf(out, "timecode breaks: %llu\n",
                 static_cast<unsigned long long>(tape.timecodeBreaks()));
    std::fprintf(out, "frames without timecode: %llu\n",
                 static_cast<unsigned long long>(tape.framesWithoutTimecode()));
    std::fprintf(out, "ticks without a frame: %zu", missedTicks.size());
    const size_t shown = missedTicks.size() < 20 ? missedTicks.size() : 20;
    for (size_t i = 0; i < shown; ++i) {
        std::fprintf(out, "%s%llu", i == 0 ? " (at " : ", ",
                     static_cast<unsigned long long>(missedTicks[i]));
    }
    if (shown > 0) std::fprintf(out, "%s)", shown < missedTicks.size() ? ", ..." : "");
    std::fprintf(out, "\n");
    std::fflush(out);
}

}  // namespace dv
