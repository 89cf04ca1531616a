#include "dv/deck/deck_server.h"
#include "support/monotonic_clock.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dv/dif/packs.h"
#include "support/log.h"
#include "support/text.h"

namespace dv {
namespace {

using deck::MessageHeader;
using deck::MessageType;
using deck::ReplyCode;

constexpr int64_t kNsPerSecond = 1000000000;
// Connections accepted in one go, so a flood of them does not starve the rest of the loop.
constexpr int kAcceptsPerWake = 16;

// Start of tick k of a schedule of `system`'s frames that began at t0 (exact, no accumulated
// rounding).
int64_t TickTime(const DvSystem& system, int64_t t0, uint64_t k) {
    return t0 + int64_t(k) * kNsPerSecond * system.rateDen / system.rateNum;
}

timespec ToTimespec(int64_t ns) {
    if (ns < 0) ns = 0;
    return timespec {time_t(ns / kNsPerSecond), long(ns % kNsPerSecond)};
}

std::string Duration(const DvSystem& system, uint64_t frames) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", double(frames) * double(system.rateDen) / double(system.rateNum));
    return text;
}

// The earlier of two wake-up times, 0 standing for none.
int64_t Earlier(int64_t a, int64_t b) {
    if (a == 0) return b;
    if (b == 0) return a;
    return a < b ? a : b;
}

}  // namespace

DeckServer::DeckServer(Options settings) : options(std::move(settings)) {}

int DeckServer::Run() {
    // Only a tape that may be written is opened: a write-protected one stays exactly as it is.
    if (auto fault = CanRecord() ? tape.Open(options.tapePath, size_t(options.system->frameBytes)) : std::nullopt) {
        std::fprintf(options.errors, "dvdeck: %s\n", fault->text.c_str());
        return 1;
    }
    tape.SetInterruptFd(options.stopFd);
    shownFrame.assign(size_t(options.system->frameBytes), 0);
    mode = options.startRecording && CanRecord() ? deck::DeckMode::Record : deck::DeckMode::Stop;
    if (auto fault = listener.Open(options.socketPath, options.errors)) {
        std::fprintf(options.errors, "dvdeck: %s\n", fault->text.c_str());
        return 1;
    }
    if (mode == deck::DeckMode::Record) {
        std::fprintf(options.report, "dvdeck: %s recording to %s, listening on %s\n",
                     platform::QuotedName(options.name).c_str(), platform::QuotedName(options.tapePath).c_str(),
                     platform::QuotedName(options.socketPath).c_str());
    } else {
        const std::string tapeText = !options.tapeIn ? std::string("no tape in")
                                     : options.writeProtected ? "write-protected tape " + platform::QuotedName(options.tapePath)
                                                              : "tape " + platform::QuotedName(options.tapePath);
        std::fprintf(options.report, "dvdeck: %s stopped (%s), listening on %s\n",
                     platform::QuotedName(options.name).c_str(), tapeText.c_str(),
                     platform::QuotedName(options.socketPath).c_str());
    }
    std::fflush(options.report);

    int status = 0;
    for (;;) {
        int conn = -1;
        const WaitEnd waited = WaitForSender(&conn);
        if (waited == WaitEnd::Failed) status = 1;
        if (waited != WaitEnd::Sender) break;
        std::fprintf(options.report, "dvdeck: sender connected\n");
        std::fflush(options.report);
        const uint64_t framesBefore = tape.framesRecorded();
        const uint64_t missedBefore = missedTicks;
        const SessionEnd end = RunSession(conn);
        EndGapAccount();
        ticksBefore += gaps.frames() + gaps.ticks();
        ::close(conn);
        sessionFd = -1;
        senderHungUp = false;
        if (end == SessionEnd::TapeFailed) {
            std::fprintf(options.errors, "dvdeck: %s; the tape keeps %llu whole frames\n",
                         tapeFault.text.c_str(), static_cast<unsigned long long>(tape.framesOnTape()));
            status = 1;
            break;
        }
        if (auto fault = tape.Flush()) {
            std::fprintf(options.errors, "dvdeck: %s\n", fault->text.c_str());
            status = 1;
            break;
        }
        PrintSessionReport(framesBefore, missedBefore);
        if (end == SessionEnd::Stop) break;
    }
    for (const int waiting : lobby.TakeAll()) {
        SendReply(waiting, ReplyCode::Stopping, 0, "the deck is stopping");
        ::close(waiting);
    }
    // The listing must not offer a deck that takes no more frames.
    listener.Close();
    if (auto fault = tape.Flush(); fault && status == 0) {
        std::fprintf(options.errors, "dvdeck: %s\n", fault->text.c_str());
        status = 1;
    }
    tape.Close();
    PrintFinalReport();
    return status;
}

DeckServer::WaitEnd DeckServer::WaitForSender(int* conn) {
    std::vector<pollfd> fds;
    constexpr size_t kFirstGuest = 2;  // fds: the listener, the stop request, then the lobby's
    for (;;) {
        int64_t now = platform::MonotonicNs();
        for (const int expired : lobby.Expire(now)) {
            char text[64];
            std::snprintf(text, sizeof text, "no hello came within %lld s; the deck hung up",
                          static_cast<long long>(DeckLobby::kHelloTimeoutNs / kNsPerSecond));
            SendReply(expired, ReplyCode::Idle, 0, text);
            ::close(expired);
        }
        fds.clear();
        fds.push_back({listener.fd(), listener.Events(now), 0});
        fds.push_back({options.stopFd, POLLIN, 0});
        lobby.AddPollFds(&fds);
        const int64_t wake = Earlier(lobby.NextDeadlineNs(), listener.RetryAtNs());
        const timespec wait = ToTimespec(wake - now);
        const int rc = ppoll(fds.data(), fds.size(), wake != 0 ? &wait : nullptr, nullptr);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) {
            std::fprintf(options.errors, "dvdeck: waiting for a sender failed: %s\n", std::strerror(errno));
            return WaitEnd::Failed;
        }
        if (fds[1].revents & POLLIN) {
            TakeStopRequest();
            return WaitEnd::Stop;
        }
        // The lobby first, from its end: a Hello read leaves the lobby and moves later ones down.
        for (size_t i = fds.size(); i-- > kFirstGuest;) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            int guest = -1;
            platform::Fault refusal;
            deck::HelloRequest request = deck::HelloRequest::Send;
            switch (lobby.Read(i - kFirstGuest, &guest, &refusal, &request)) {
                case DeckLobby::Outcome::Waiting:
                case DeckLobby::Outcome::Gone:
                    break;
                case DeckLobby::Outcome::Bad:
                    PLATFORM_LOG(platform::log::kDeck, Info, "refusing a connection: %s", refusal.text.c_str());
                    SendReply(guest, ReplyCode(refusal.status), 0, refusal.text);
                    ::close(guest);
                    break;
                case DeckLobby::Outcome::Hello:
                    if (request != deck::HelloRequest::Send) {
                        AnswerControlCall(guest, request);
                        break;
                    }
                    gaps.Begin();  // the Ok already speaks for the new sender's stream
                    SendReply(guest, ReplyCode::Ok, 0, "ready");
                    // One sender at a time: whoever else waits is told now rather than later.
                    for (const int other : lobby.TakeAll()) {
                        SendReply(other, ReplyCode::Busy, 0, "another sender is recording on this deck");
                        ::close(other);
                    }
                    *conn = guest;
                    return WaitEnd::Sender;
            }
        }
        if (fds[0].revents & POLLIN) {
            now = platform::MonotonicNs();
            for (int i = 0; i < kAcceptsPerWake; ++i) {
                const int accepted = listener.Accept(now);
                if (accepted < 0) break;
                if (!Admit(accepted)) continue;
                const int evicted = lobby.Add(accepted, now);
                if (evicted >= 0) {
                    SendReply(evicted, ReplyCode::Busy, 0, "too many callers are waiting at this deck");
                    ::close(evicted);
                }
            }
        }
    }
}

std::string DeckServer::ModeText() const {
    switch (mode) {
        case deck::DeckMode::Record:
            return "record";
        case deck::DeckMode::Play:
            return "play";
        case deck::DeckMode::Stop:
            break;
    }
    return "stop";
}

ReplyCode DeckServer::Execute(deck::DeckCommand command, std::string* message) {
    deck::DeckMode wanted = deck::DeckMode::Stop;
    switch (command) {
        case deck::DeckCommand::Record:
            if (!options.tapeIn) {
                *message = "there is no tape in the deck";
                return ReplyCode::Refused;
            }
            if (options.writeProtected) {
                *message = "the tape in the deck is write-protected";
                return ReplyCode::Refused;
            }
            wanted = deck::DeckMode::Record;
            break;
        case deck::DeckCommand::Play:
            if (!options.tapeIn) {
                *message = "there is no tape in the deck";
                return ReplyCode::Refused;
            }
            wanted = deck::DeckMode::Play;
            break;
        case deck::DeckCommand::Stop:
            break;
        default:
            *message = "unknown command";
            return ReplyCode::Refused;
    }
    if (wanted != mode) {
        mode = wanted;
        std::fprintf(options.report, "dvdeck: mode %s\n", ModeText().c_str());
        std::fflush(options.report);
    }
    *message = ModeText();
    return ReplyCode::Ok;
}

void DeckServer::AnswerControlCall(int conn, deck::HelloRequest request) {
    std::string message = ModeText();
    ReplyCode code = ReplyCode::Ok;
    switch (request) {
        case deck::HelloRequest::Record:
            code = Execute(deck::DeckCommand::Record, &message);
            break;
        case deck::HelloRequest::Stop:
            code = Execute(deck::DeckCommand::Stop, &message);
            break;
        case deck::HelloRequest::Play:
            code = Execute(deck::DeckCommand::Play, &message);
            break;
        default:
            break;
    }
    SendReply(conn, code, 0, message);
    ::close(conn);
}

bool DeckServer::Admit(int conn) {
    uid_t peer = 0;
    if (DeckListener::FromOurUser(conn, &peer)) return true;
    PLATFORM_LOG(platform::log::kDeck, Warning, "refusing a connection from user %d", int(peer));
    SendReply(conn, ReplyCode::ProtocolError, EACCES, "this deck takes frames from its own user only");
    ::close(conn);
    return false;
}

DeckServer::SessionEnd DeckServer::RunSession(int conn) {
    headerBytes = 0;
    frameBytes = 0;
    frameComplete = false;
    endRequested = false;
    commandPending = false;
    commandBytes = 0;
    messageStartNs = 0;
    sessionFd = conn;
    senderHungUp = false;
    frameSlot = nullptr;
    int64_t t0 = platform::MonotonicNs();
    int64_t lastFrame = t0;  // when the last frame, or the session, began
    uint64_t k = 0;
    const int64_t period = TickTime(*options.system, 0, 1);

    for (;;) {
        int64_t deadline = TickTime(*options.system, t0, k + 1);
        bool resumed = false;
        // Take at most one frame and a few other messages in this tick: every message costs the
        // deck a read and most a reply, so none may come faster than the frames do.
        otherMessages = 0;
        while (!frameComplete && otherMessages < kOtherMessagesPerTick) {
            const int64_t now = platform::MonotonicNs();
            pollfd waiting {conn, POLLIN, 0};
            if (now >= deadline && !resumed && now - deadline > period / 2 && ::poll(&waiting, 1, 0) > 0) {
                // The deck itself is late (its thread was not run: a busy or virtual machine) and
                // the sender's next frame is waiting: a sender held to a frame or two ahead could
                // not have filled the ticks the deck missed, so its clock pauses instead, and this
                // tick gets half a period from now. With nothing waiting the sender is late too,
                // and the ticks count.
                PLATFORM_LOG(platform::log::kDeck, Info, "the deck ran %lld ms late; its ticks go on from now",
                             static_cast<long long>((now - deadline) / 1000000));
                t0 += now - deadline + period / 2;
                deadline = TickTime(*options.system, t0, k + 1);
                resumed = true;
            }
            // Past the tick's end the deck still takes what is already there (a frame that was
            // in the socket when the tick ended came in time), and waits for nothing more.
            const bool over = now >= deadline;
            pollfd fds[3] = {{conn, POLLIN, 0}, {listener.fd(), NewcomerEvents(now), 0}, {options.stopFd, POLLIN, 0}};
            const timespec wait = ToTimespec(deadline - now);
            const int rc = ppoll(fds, options.stopFd >= 0 ? 3 : 2, &wait, nullptr);
            if (rc < 0 && errno != EINTR) {
                PLATFORM_LOG(platform::log::kDeck, Error, "waiting for the sender: %s", std::strerror(errno));
                return SessionEnd::SenderDone;
            }
            if (rc <= 0 || (over && !(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))) {
                if (over) break;
                continue;
            }
            if (options.stopFd >= 0 && (fds[2].revents & POLLIN)) {
                TakeStopRequest();
                SendReply(conn, ReplyCode::Stopping, 0, "the deck is stopping");
                return SessionEnd::Stop;
            }
            if (fds[1].revents & POLLIN) RefuseNewcomer(now);
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ReadResult r = ReadSome(conn);
                if (r == ReadResult::Failed) return SessionEnd::SenderDone;
                if (r == ReadResult::Stopped) {
                    SendReply(conn, ReplyCode::Stopping, 0, "the deck is stopping");
                    return SessionEnd::Stop;
                }
                if (r == ReadResult::TapeFailed) {
                    SendReply(conn, ReplyCode::TapeError, int(tapeFault.status), tapeFault.text);
                    return SessionEnd::TapeFailed;
                }
                if (r == ReadResult::Ended) {
                    EndGapAccount();  // before the last word, which carries the account
                    if (endRequested) {
                        const std::optional<platform::Fault> fault = tape.Flush();
                        if (fault && tape.interrupted()) {
                            SendReply(conn, ReplyCode::Stopping, 0, "the deck is stopping");
                            return SessionEnd::Stop;
                        }
                        if (!fault) {
                            SendReply(conn, ReplyCode::Ok, 0, "recorded");
                        } else {
                            SendReply(conn, ReplyCode::TapeError, int(fault->status), fault->text);
                            tapeFault = *fault;
                            return SessionEnd::TapeFailed;
                        }
                    }
                    return SessionEnd::SenderDone;
                }
            }
        }
        if (frameComplete) {
            if (frameToTape) {
                if (const auto code = dif::FindTimecodePack(frameSlot, size_t(options.system->frameBytes))) {
                    lastTimecode = code->label.Bcd();
                    timecodeFlags = deck::kTimecodeValid | (code->label.dropFrame ? deck::kTimecodeDrop : 0);
                }
                if (auto fault = tape.CommitFrame()) {
                    tapeFault = *fault;
                    SendReply(conn, ReplyCode::TapeError, int(fault->status), fault->text);
                    return SessionEnd::TapeFailed;
                }
            } else {
                ++framesShown;
            }
            frameComplete = false;
            frameBytes = 0;
            lastFrame = deadline;
            NoteFrame();
        } else {
            gaps.OnMissedTick();
        }
        // Bytes that trickle in, or talk without frames, must not hold the deck either.
        char idle[96] = "";
        if (deadline - lastFrame >= kSenderIdleTimeoutNs) {
            std::snprintf(idle, sizeof idle, "no frame came from the sender for %lld s; the deck hung up",
                          static_cast<long long>(kSenderIdleTimeoutNs / kNsPerSecond));
        } else if (messageStartNs != 0 && deadline - messageStartNs >= kMessageTimeoutNs) {
            std::snprintf(idle, sizeof idle, "a message took the sender over %lld s; the deck hung up",
                          static_cast<long long>(kMessageTimeoutNs / kNsPerSecond));
        }
        if (idle[0] != '\0') {
            std::fprintf(options.report, "dvdeck: %s\n", idle);
            SendReply(conn, ReplyCode::Idle, 0, idle);
            return SessionEnd::SenderDone;
        }
        if (!WaitUntil(deadline)) {
            SendReply(conn, ReplyCode::Stopping, 0, "the deck is stopping");
            return SessionEnd::Stop;
        }
        ++k;
        // Far behind (the machine stalled us): start a new schedule rather than rushing to catch
        // up, as a device running at its own rate would.
        if (platform::MonotonicNs() - TickTime(*options.system, t0, k) > 10 * period) {
            t0 = platform::MonotonicNs();
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
            if (errno == EAGAIN || errno == EINTR) return ReadResult::NeedMore;
            PLATFORM_LOG(platform::log::kDeck, Info, "reading from the sender: %s", std::strerror(errno));
            return ReadResult::Ended;
        }
        if (headerBytes == 0) messageStartNs = platform::MonotonicNs();
        headerBytes += size_t(n);
        if (headerBytes < sizeof messageHeader) return ReadResult::NeedMore;
        switch (MessageType(messageHeader.type)) {
            case MessageType::Frame:
                if (messageHeader.length != uint32_t(options.system->frameBytes)) break;
                // Outside record mode the deck shows the frame and lets it go, as a camcorder in
                // VCR mode does before REC.
                frameToTape = mode == deck::DeckMode::Record;
                frameSlot = frameToTape ? tape.NextFrame(&tapeFault) : shownFrame.data();
                if (frameSlot == nullptr) return tape.interrupted() ? ReadResult::Stopped : ReadResult::TapeFailed;
                frameBytes = 0;
                return ReadFrameBody(conn);  // usually already there: no second poll for it
            case MessageType::Status:
                if (messageHeader.length != 0) break;
                headerBytes = 0;
                messageStartNs = 0;
                ++otherMessages;
                SendReply(conn, ReplyCode::Ok, 0, ModeText());
                return ReadResult::NeedMore;
            case MessageType::Command:
                if (messageHeader.length != sizeof commandBody) break;
                commandPending = true;
                commandBytes = 0;
                return ReadCommandBody(conn);
            case MessageType::End:
                if (messageHeader.length != 0) break;
                headerBytes = 0;
                endRequested = true;
                return ReadResult::Ended;
            default:
                break;
        }
        PLATFORM_LOG(platform::log::kDeck, Info, "unexpected message %u of %u bytes from the sender",
                     messageHeader.type, messageHeader.length);
        SendReply(conn, ReplyCode::ProtocolError, 0, "unexpected message");
        return ReadResult::Failed;
    }
    if (commandPending) return ReadCommandBody(conn);
    return ReadFrameBody(conn);
}

DeckServer::ReadResult DeckServer::ReadCommandBody(int conn) {
    const ssize_t n = ::read(conn, reinterpret_cast<uint8_t*>(&commandBody) + commandBytes,
                             sizeof commandBody - commandBytes);
    if (n == 0) return ReadResult::Ended;
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return ReadResult::NeedMore;
        return ReadResult::Ended;
    }
    commandBytes += size_t(n);
    if (commandBytes < sizeof commandBody) return ReadResult::NeedMore;
    commandPending = false;
    headerBytes = 0;
    messageStartNs = 0;
    ++otherMessages;
    std::string message;
    const ReplyCode code = Execute(deck::DeckCommand(commandBody.command), &message);
    SendReply(conn, code, 0, message);
    return ReadResult::NeedMore;
}

DeckServer::ReadResult DeckServer::ReadFrameBody(int conn) {
    const size_t wanted = size_t(options.system->frameBytes);
    const ssize_t n = ::read(conn, frameSlot + frameBytes, wanted - frameBytes);
    if (n == 0) return ReadResult::Ended;
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return ReadResult::NeedMore;
        PLATFORM_LOG(platform::log::kDeck, Info, "reading a frame from the sender: %s", std::strerror(errno));
        return ReadResult::Ended;
    }
    frameBytes += size_t(n);
    if (frameBytes < wanted) return ReadResult::NeedMore;
    frameComplete = true;
    headerBytes = 0;
    messageStartNs = 0;
    return ReadResult::FrameReady;
}

bool DeckServer::WaitUntil(int64_t deadlineNs) {
    for (;;) {
        const int64_t now = platform::MonotonicNs();
        if (now >= deadlineNs) {
            if (!StopRequested()) return true;
            TakeStopRequest();
            return false;
        }
        pollfd fds[2] = {{listener.fd(), NewcomerEvents(now), 0}, {options.stopFd, POLLIN, 0}};
        const timespec wait = ToTimespec(deadlineNs - now);
        const int rc = ppoll(fds, options.stopFd >= 0 ? 2 : 1, &wait, nullptr);
        if (rc <= 0) continue;
        if (options.stopFd >= 0 && (fds[1].revents & POLLIN)) {
            TakeStopRequest();
            return false;
        }
        if (fds[0].revents & POLLIN) RefuseNewcomer(now);
    }
}

void DeckServer::RefuseNewcomer(int64_t nowNs) {
    if (sessionFd >= 0) {
        pollfd session {sessionFd, POLLRDHUP, 0};
        if (::poll(&session, 1, 0) > 0 && (session.revents & (POLLHUP | POLLRDHUP | POLLERR))) {
            senderHungUp = true;
            return;
        }
    }
    const int conn = listener.Accept(nowNs);
    if (conn < 0) return;
    SendReply(conn, ReplyCode::Busy, 0, "another sender is recording on this deck");
    ::close(conn);
}

bool DeckServer::StopRequested() {
    if (options.stopFd < 0) return false;
    pollfd pfd {options.stopFd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN);
}

void DeckServer::TakeStopRequest() {
    // Room for a signalfd's records of both stop signals, an eventfd's count or a pipe's bytes.
    uint8_t buffer[512];
    while (StopRequested()) {
        if (::read(options.stopFd, buffer, sizeof buffer) <= 0) {
            PLATFORM_LOG(platform::log::kDeck, Warning, "reading the stop request: %s", std::strerror(errno));
            return;
        }
    }
}

void DeckServer::NoteFrame() {
    const DeckGaps::Run ended = gaps.OnFrame();
    for (uint64_t i = 0; i < ended.ticks && firstMissedTicks.size() < kMissedTicksListed; ++i) {
        firstMissedTicks.push_back(ticksBefore + ended.firstTick + i);
    }
    missedTicks += ended.ticks;
}

void DeckServer::EndGapAccount() {
    const uint64_t dropped = gaps.End();
    if (dropped > 0) {
        PLATFORM_LOG(platform::log::kDeck, Info, "the sender ended %llu ticks after its last frame",
                     static_cast<unsigned long long>(dropped));
    }
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
    reply.body.missedTicks = missedTicks;
    std::snprintf(reply.body.name, sizeof reply.body.name, "%s", options.name.c_str());
    std::snprintf(reply.body.message, sizeof reply.body.message, "%s", message.c_str());
    reply.body.mode = uint32_t(mode);
    reply.body.media = (options.tapeIn ? deck::kMediaPresent : 0) |
                       (options.tapeIn && options.writeProtected ? deck::kMediaWriteProtected : 0);
    reply.body.lastTimecode = lastTimecode;
    reply.body.timecodeFlags = timecodeFlags;
    reply.body.gapTicks = gaps.ticks();
    reply.body.longestGap = gaps.longest();
    reply.body.longestGapAfter = gaps.longestAfter();
    reply.body.standard = uint32_t(options.system->standard);
    // Best effort: a sender that is gone, or has left no room, cannot be told anything.
    const ssize_t sent = ::send(conn, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent != ssize_t(sizeof reply)) {
        PLATFORM_LOG(platform::log::kDeck, Info, "could not send reply %u (\"%s\"): %s", unsigned(code), message.c_str(),
                     sent < 0 ? std::strerror(errno) : "sent in part");
    }
}

void DeckServer::PrintSessionReport(uint64_t framesBefore, uint64_t missedBefore) {
    const uint64_t frames = tape.framesRecorded() - framesBefore;
    std::fprintf(options.report, "dvdeck: sender finished: %llu frames (%s), %llu ticks without a frame",
                 static_cast<unsigned long long>(frames), Duration(*options.system, frames).c_str(),
                 static_cast<unsigned long long>(missedTicks - missedBefore));
    if (gaps.longest() > 0) {
        std::fprintf(options.report, ", the longest run %llu ticks after its frame %llu",
                     static_cast<unsigned long long>(gaps.longest()),
                     static_cast<unsigned long long>(gaps.longestAfter()));
    }
    std::fprintf(options.report, "\n");
    std::fflush(options.report);
}

void DeckServer::PrintFinalReport() {
    FILE* out = options.report;
    const uint64_t frames = tape.framesRecorded();
    std::fprintf(out, "dvdeck: stopped\n");
    if (!options.tapeIn) {
        std::fprintf(out, "tape: none\n");
    } else if (options.writeProtected) {
        std::fprintf(out, "tape: %s (write-protected, not written)\n", platform::QuotedName(options.tapePath).c_str());
    } else {
        std::fprintf(out, "tape: %s\n", platform::QuotedName(options.tapePath).c_str());
    }
    std::fprintf(out, "system: %s\n", options.system->name);
    std::fprintf(out, "mode: %s\n", ModeText().c_str());
    std::fprintf(out, "frames shown, not recorded: %llu\n", static_cast<unsigned long long>(framesShown));
    std::fprintf(out, "frames: %llu\n", static_cast<unsigned long long>(frames));
    std::fprintf(out, "duration: %s\n", Duration(*options.system, frames).c_str());
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
    std::fprintf(out, "ticks without a frame: %llu", static_cast<unsigned long long>(missedTicks));
    for (size_t i = 0; i < firstMissedTicks.size(); ++i) {
        std::fprintf(out, "%s%llu", i == 0 ? " (at " : ", ",
                     static_cast<unsigned long long>(firstMissedTicks[i]));
    }
    if (!firstMissedTicks.empty()) std::fprintf(out, "%s)", firstMissedTicks.size() < missedTicks ? ", ..." : "");
    std::fprintf(out, "\n");
    std::fflush(out);
}

}  // namespace dv
