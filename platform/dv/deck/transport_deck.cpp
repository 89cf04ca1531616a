#include "dv/deck/transport_deck.h"
#include "support/monotonic_clock.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/log.h"
#include "support/text.h"

namespace dv {
namespace {

using deck::MessageHeader;
using deck::MessageType;
using deck::ReplyCode;

constexpr int kReplyTimeoutMs = 3000;
// Why the connection ended when the deck said nothing: it was killed or unplugged.
constexpr const char* kDeckGoneText = "the deck went away without a word (killed or unplugged)";
// How long Close waits for the deck to confirm the end of the recording.
constexpr int kCloseReplyTimeoutMs = 1000;
// Room for about one frame in the socket: the sender stays at most a frame or two ahead of the
// deck, so the deck's pace reaches the filter almost at once.
constexpr int kSendBufferBytes = 128 * 1024;
// A deck whose queue of callers is full takes no connection; it is tried again this often until
// the reply timeout (the wait watches the interrupt).
constexpr int kConnectRetryMs = 20;

void Wake(int fd) {
    if (fd < 0) return;
    const uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

HRESULT StatusForErrno(int err) {
    switch (err) {
        case ENOSPC:
        case EFBIG:
        case EDQUOT:
            return kTransportDiskFull;
        case EACCES:
        case EPERM:
        case EROFS:
            return kTransportAccessDenied;
        default:
            return kTransportWriteFault;
    }
}

}  // namespace

// A reply as it comes off the socket.
struct DeckTransport::ReplyMessage {
    MessageHeader header;
    deck::StatusBody body;
};

DeckTransport::DeckTransport(std::string path) : socketPath(std::move(path)) {
    cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    interruptFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

DeckTransport::~DeckTransport() {
    Cancel();
    Close();
    if (cancelFd >= 0) ::close(cancelFd);
    if (interruptFd >= 0) ::close(interruptFd);
}

HRESULT DeckTransport::Interrupted() {
    return Fail(kTransportInterrupted, "the program is stopping; nothing more is asked of the deck");
}

void DeckTransport::Interrupt() {
    interrupted.store(true);
    Wake(interruptFd);
}

bool DeckTransport::GetGaps(GapAccount* account) const {
    if (account == nullptr) return false;
    std::lock_guard<std::mutex> lock(gapsLock);
    if (gapsKnown) *account = gaps;
    return gapsKnown;
}

HRESULT DeckTransport::Fail(HRESULT status, const std::string& text) { return lastFault.Keep(status, text); }

std::string DeckTransport::LastError() const { return lastFault.Text(); }

void DeckTransport::SetSystem(const DvSystem& wanted) { system.store(&wanted); }

HRESULT DeckTransport::Open() {
    std::lock_guard<std::mutex> lock(sendLock);
    if (interrupted.load()) return Interrupted();
    if (socketFd >= 0) return S_OK;
    if (cancelFd < 0 || interruptFd < 0) return Fail(E_OUTOFMEMORY, "no eventfd");
    int fd = -1;
    if (const HRESULT hr = Connect(kSendBufferBytes, kAllWaits, &fd); FAILED(hr)) return hr;
    socketFd = fd;
    failure = S_OK;
    midMessage = false;
    stalledAtCancelMs = 0;
    closeStatus = S_OK;

    struct {
        MessageHeader header;
        deck::HelloBody body;
    } hello {};
    hello.header = {uint32_t(MessageType::Hello), sizeof hello.body};
    hello.body = {deck::kMagic, deck::kVersion, uint32_t(system.load()->frameBytes), 0};
    HRESULT hr = SendAll(&hello, sizeof hello);
    deck::StatusBody reply {};
    if (SUCCEEDED(hr)) hr = ReadReply(&reply, kReplyTimeoutMs);
    if (SUCCEEDED(hr) && reply.code != uint32_t(ReplyCode::Ok)) hr = FailFromReply(reply);
    if (FAILED(hr)) {
        ::close(socketFd);
        socketFd = -1;
        return hr;
    }
    std::lock_guard<std::mutex> account(gapsLock);
    gaps = {};  // the stream begins now, whatever the deck said of an earlier one
    gapsKnown = true;
    return S_OK;
}

HRESULT DeckTransport::SendFrame(const uint8_t* frame, size_t size) {
    std::lock_guard<std::mutex> lock(sendLock);
    if (cancelled.load()) return kTransportCancelled;
    if (FAILED(failure)) return failure;
    if (interrupted.load()) return failure = Interrupted();
    if (socketFd < 0) return Fail(kTransportDeviceGone, "the deck is not connected");
    if (frame == nullptr || size != size_t(system.load()->frameBytes)) {
        return Fail(E_INVALIDARG, "this stream takes " + std::to_string(system.load()->frameBytes) + "-byte frames only");
    }
    const MessageHeader header {uint32_t(MessageType::Frame), uint32_t(size)};
    midMessage = true;
    HRESULT hr = SendAll(&header, sizeof header);
    if (SUCCEEDED(hr)) hr = SendAll(frame, size);
    if (SUCCEEDED(hr)) midMessage = false;
    if (FAILED(hr) && hr != kTransportCancelled) failure = hr;
    return hr;
}

HRESULT DeckTransport::SendAll(const void* buffer, size_t size, Waits waits) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    size_t sent = 0;
    int64_t lastProgress = platform::MonotonicMs();
    while (sent < size) {
        const ssize_t n = ::send(socketFd, p + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
            lastProgress = platform::MonotonicMs();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            const int err = errno;
            // The deck went away. It may have said why first (a tape error, a stop).
            deck::StatusBody reply {};
            if (SUCCEEDED(ReadReply(&reply, 0, waits)) && reply.code != uint32_t(ReplyCode::Ok)) {
                return FailFromReply(reply);
            }
            return Fail(kTransportDeviceGone, std::string(kDeckGoneText) + " (" + std::strerror(err) + ")");
        }
        const int64_t left = kTransportStallTimeoutMs - (platform::MonotonicMs() - lastProgress);
        if (left <= 0) {
            return Fail(kTransportTimeout, "the deck took nothing for " +
                                               std::to_string(kTransportStallTimeoutMs) + " ms");
        }
        // A reply another thread waits for (a status asked for while streaming) is its to read.
        const short events = repliesAwaited.load() > 0 ? POLLOUT : (POLLOUT | POLLIN);
        pollfd fds[3] = {{socketFd, events, 0},
                         {waits.cancel ? cancelFd : -1, POLLIN, 0},
                         {waits.interrupt ? interruptFd : -1, POLLIN, 0}};
        const int rc = ::poll(fds, 3, int(left));
        if (rc < 0 && errno != EINTR) return Fail(E_FAIL, std::string("poll: ") + std::strerror(errno));
        if (rc <= 0) continue;
        if (fds[2].revents & POLLIN) return Interrupted();
        if (fds[1].revents & POLLIN) {
            stalledAtCancelMs = platform::MonotonicMs() - lastProgress;
            return kTransportCancelled;
        }
        if (fds[0].revents & POLLIN) {
            // Replies come unasked only to report an error; or the deck closed the connection.
            deck::StatusBody reply {};
            const HRESULT hr = ReadReply(&reply, 0, waits);
            if (SUCCEEDED(hr) && reply.code != uint32_t(ReplyCode::Ok)) return FailFromReply(reply);
            if (FAILED(hr)) return hr;
        }
        if (fds[0].revents & (POLLHUP | POLLERR)) return Fail(kTransportDeviceGone, kDeckGoneText);
    }
    return S_OK;
}

HRESULT DeckTransport::ReadReply(deck::StatusBody* status, int timeoutMs, Waits waits) {
    std::lock_guard<std::mutex> reading(readLock);
    if (socketFd < 0) return Fail(kTransportDeviceGone, "the deck is not connected");
    ReplyMessage reply {};
    auto* p = reinterpret_cast<uint8_t*>(&reply);
    size_t have = 0;
    const int64_t deadline = platform::MonotonicMs() + timeoutMs;
    while (have < sizeof reply) {
        const ssize_t n = ::recv(socketFd, p + have, sizeof reply - have, 0);
        if (n > 0) {
            have += size_t(n);
            continue;
        }
        if (n == 0) return Fail(kTransportDeviceGone, kDeckGoneText);
        if (errno == EINTR) continue;
        if (errno != EAGAIN) {
            return Fail(kTransportDeviceGone, "the deck went away: " + std::string(std::strerror(errno)));
        }
        const int64_t left = deadline - platform::MonotonicMs();
        // An unasked reply is sent in one piece; once it has begun, wait for the rest of it.
        if (left <= 0 && have == 0 && timeoutMs > 0) {
            return Fail(kTransportTimeout, "the deck did not answer");
        }
        if (left <= 0 && have == 0) return Fail(kTransportDeviceGone, kDeckGoneText);
        pollfd fds[3] = {{socketFd, POLLIN, 0},
                         {waits.cancel ? cancelFd : -1, POLLIN, 0},
                         {waits.interrupt ? interruptFd : -1, POLLIN, 0}};
        const int rc = ::poll(fds, 3, left > 0 ? int(left) : 100);
        if (rc > 0 && (fds[2].revents & POLLIN)) return Interrupted();
        if (rc > 0 && (fds[1].revents & POLLIN)) return kTransportCancelled;
        if (rc == 0 && have > 0 && left <= 0) return Fail(kTransportDeviceGone, "the deck sent half a reply");
    }
    const HRESULT hr = TakeReply(reply, status);
    if (SUCCEEDED(hr)) {
        std::lock_guard<std::mutex> lock(gapsLock);
        gaps.ticks = status->gapTicks;
        gaps.longest = status->longestGap;
        gaps.longestAfter = status->longestGapAfter;
    }
    return hr;
}

HRESULT DeckTransport::TakeReply(ReplyMessage& reply, deck::StatusBody* status) {
    if (reply.header.type != uint32_t(MessageType::Reply) || reply.header.length != sizeof reply.body) {
        return Fail(kTransportDeviceGone, "the deck sent something that is not a reply");
    }
    reply.body.name[sizeof reply.body.name - 1] = '\0';
    reply.body.message[sizeof reply.body.message - 1] = '\0';
    *status = reply.body;
    return S_OK;
}

HRESULT DeckTransport::FailFromReply(const deck::StatusBody& status) {
    const std::string text = "deck " + platform::QuotedName(status.name) + ": " + status.message;
    switch (ReplyCode(status.code)) {
        case ReplyCode::Ok:
            return S_OK;
        case ReplyCode::Busy:
            return Fail(kTransportBusy, text);
        case ReplyCode::TapeError:
            return Fail(StatusForErrno(status.error), text);
        case ReplyCode::Stopping:
            return Fail(kTransportDeviceGone, text);
        case ReplyCode::Idle:
            return Fail(kTransportTimeout, text);
        case ReplyCode::ProtocolError:
            return Fail(status.error == EACCES ? kTransportAccessDenied : E_FAIL, text);
        case ReplyCode::WrongSystem:
            return Fail(kTransportWrongSystem, text);
        default:
            return Fail(E_FAIL, text);
    }
}

HRESULT DeckTransport::QueryStatus(deck::StatusBody* status) {
    std::lock_guard<std::mutex> lock(sendLock);
    if (interrupted.load()) return Interrupted();
    if (socketFd < 0) return Fail(kTransportDeviceGone, "the deck is not connected");
    if (FAILED(failure)) return failure;
    const MessageHeader header {uint32_t(MessageType::Status), 0};
    HRESULT hr = SendAll(&header, sizeof header);
    if (SUCCEEDED(hr)) hr = ReadReply(status, kReplyTimeoutMs);
    return hr;
}

HRESULT DeckTransport::SessionCall(const deck::CommandBody* command, deck::StatusBody* reply, Waits waits) {
    if (socketFd < 0 || (waits.cancel && cancelled.load()) || FAILED(failure) || midMessage) return S_FALSE;
    struct {
        MessageHeader header;
        deck::CommandBody body;
    } message {};
    message.header = {uint32_t(command != nullptr ? MessageType::Command : MessageType::Status),
                      command != nullptr ? uint32_t(sizeof message.body) : 0u};
    if (command != nullptr) message.body = *command;
    HRESULT hr = SendAll(&message, sizeof message.header + message.header.length, waits);
    if (SUCCEEDED(hr)) hr = ReadReply(reply, kReplyTimeoutMs, waits);
    // The connection now stands between two messages of the stream again; a failure is the
    // stream's too.
    if (FAILED(hr) && hr != kTransportCancelled) failure = hr;
    return hr;
}

HRESULT DeckTransport::SessionStatus(deck::StatusBody* reply) {
    // The question goes out between two frames; the answer is awaited without sendLock, so the
    // stream goes on meanwhile: the deck answers once it reaches the question, after the frames
    // sent before it, and a sender held up for that long would leave the deck without a frame.
    {
        std::lock_guard<std::mutex> lock(sendLock);
        if (socketFd < 0 || cancelled.load() || FAILED(failure) || midMessage) return S_FALSE;
        const MessageHeader header {uint32_t(MessageType::Status), 0};
        repliesAwaited.fetch_add(1);
        const HRESULT hr = SendAll(&header, sizeof header);
        if (FAILED(hr)) {
            repliesAwaited.fetch_sub(1);
            if (hr != kTransportCancelled) failure = hr;
            return hr;
        }
    }
    // Not cut short by Cancel (a stop of the graph): an answer left unread would be taken for
    // the answer to End. An interrupt or a failure leaves the connection unfit for another
    // question: STOP then hangs it up and goes by a control call.
    const HRESULT hr = ReadReply(reply, kReplyTimeoutMs, Waits {false, true});
    repliesAwaited.fetch_sub(1);
    if (FAILED(hr)) {
        std::lock_guard<std::mutex> lock(sendLock);
        if (SUCCEEDED(failure)) failure = hr;
    }
    return hr;
}

HRESULT DeckTransport::Connect(int sendBufferBytes, Waits waits, int* result) {
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path) {
        return Fail(kTransportBadPath, "bad deck socket path: " + platform::QuotedName(socketPath));
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    // Non-blocking: a blocking connect to a deck whose queue of callers is full would wait for
    // as long as the deck takes none.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Fail(E_FAIL, std::string("socket: ") + std::strerror(errno));
    if (sendBufferBytes > 0 &&
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes) != 0) {
        PLATFORM_LOG(platform::log::kDeck, Warning, "SO_SNDBUF: %s", std::strerror(errno));
    }
    const int64_t deadline = platform::MonotonicMs() + kReplyTimeoutMs;
    while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        if (err == EINTR) continue;
        const int64_t left = deadline - platform::MonotonicMs();
        if (err != EAGAIN || left <= 0) {
            ::close(fd);
            if (err == EAGAIN) return Fail(kTransportTimeout, "the deck at " + platform::QuotedName(socketPath) + " takes no calls");
            return Fail(kTransportDeviceGone, "no deck at " + platform::QuotedName(socketPath) + ": " + std::strerror(err));
        }
        pollfd wake {waits.interrupt ? interruptFd : -1, POLLIN, 0};
        if (::poll(&wake, 1, int(std::min<int64_t>(left, kConnectRetryMs))) > 0) {
            ::close(fd);
            return Interrupted();
        }
    }
    // Frames and commands go to a deck of our own user only, not to whatever another user put in
    // our way.
    ucred peer {};
    socklen_t peerSize = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 || peer.uid != ::geteuid()) {
        ::close(fd);
        return Fail(kTransportAccessDenied, "the deck at " + platform::QuotedName(socketPath) + " runs as another user");
    }
    *result = fd;
    return S_OK;
}

HRESULT DeckTransport::ControlCall(deck::HelloRequest request, deck::StatusBody* reply, Waits waits) {
    int fd = -1;
    if (const HRESULT hr = Connect(0, waits, &fd); FAILED(hr)) return hr;
    struct {
        MessageHeader header;
        deck::HelloBody body;
    } hello {};
    hello.header = {uint32_t(MessageType::Hello), sizeof hello.body};
    hello.body = {deck::kMagic, deck::kVersion, uint32_t(system.load()->frameBytes), uint32_t(request)};
    // A few bytes into a fresh connection: they go at once or the deck is not there.
    if (::send(fd, &hello, sizeof hello, MSG_NOSIGNAL) != ssize_t(sizeof hello)) {
        const int err = errno;
        ::close(fd);
        return Fail(kTransportDeviceGone, std::string(kDeckGoneText) + " (" + std::strerror(err) + ")");
    }
    ReplyMessage answer {};
    auto* p = reinterpret_cast<uint8_t*>(&answer);
    size_t have = 0;
    const int64_t deadline = platform::MonotonicMs() + kReplyTimeoutMs;
    HRESULT hr = S_OK;
    while (have < sizeof answer) {
        const int64_t left = deadline - platform::MonotonicMs();
        pollfd fds[2] = {{fd, POLLIN, 0}, {waits.interrupt ? interruptFd : -1, POLLIN, 0}};
        const int rc = left > 0 ? ::poll(fds, 2, int(left)) : 0;
        if (rc < 0 && errno == EINTR) continue;
        if (rc > 0 && (fds[1].revents & POLLIN)) {
            hr = Interrupted();
            break;
        }
        if (rc <= 0) {
            hr = Fail(kTransportTimeout, "the deck did not answer");
            break;
        }
        const ssize_t n = ::recv(fd, p + have, sizeof answer - have, MSG_DONTWAIT);
        if (n > 0) {
            have += size_t(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            hr = Fail(kTransportDeviceGone, kDeckGoneText);
            break;
        }
    }
    ::close(fd);
    if (FAILED(hr)) return hr;
    return TakeReply(answer, reply);
}

HRESULT DeckTransport::DeckCall(deck::HelloRequest request, deck::StatusBody* reply) {
    // After Interrupt only STOP still goes out, its waits bounded as always but not cut short.
    const bool stop = request == deck::HelloRequest::Stop;
    if (!stop && interrupted.load()) return Interrupted();
    const Waits waits = stop ? kStopWaits : kAllWaits;
    if (request == deck::HelloRequest::Status) {
        const HRESULT hr = SessionStatus(reply);
        if (hr != S_FALSE) return hr;
    }
    {
        std::lock_guard<std::mutex> lock(sendLock);
        deck::CommandBody command {};
        switch (request) {
            case deck::HelloRequest::Record:
                command.command = uint32_t(deck::DeckCommand::Record);
                break;
            case deck::HelloRequest::Stop:
                command.command = uint32_t(deck::DeckCommand::Stop);
                break;
            case deck::HelloRequest::Play:
                command.command = uint32_t(deck::DeckCommand::Play);
                break;
            default:
                break;
        }
        const HRESULT hr = SessionCall(command.command != 0 ? &command : nullptr, reply, waits);
        if (hr != S_FALSE) return hr;
        if (stop && socketFd >= 0 && (midMessage || FAILED(failure))) {
            // The sender's connection cannot carry the STOP, and while it is open the deck
            // answers nobody else: hang it up (the deck drops a frame cut short), so the STOP
            // reaches the deck as a control call once it has taken what was left of the stream.
            PLATFORM_LOG(platform::log::kDeck, Info, "hanging up the stream to send STOP");
            std::lock_guard<std::mutex> reading(readLock);
            ::close(socketFd);
            socketFd = -1;
        }
    }
    return ControlCall(request, reply, waits);
}

HRESULT DeckTransport::SetDeckMode(DeckMode mode) {
    // The virtual deck records from the first frame after record: it has no record-pause to arm.
    if (mode != DeckMode::Record && mode != DeckMode::Play && mode != DeckMode::Stop) {
        return Fail(E_NOTIMPL, "the virtual deck has no such mode");
    }
    const deck::HelloRequest request = mode == DeckMode::Record ? deck::HelloRequest::Record
                                       : mode == DeckMode::Play ? deck::HelloRequest::Play
                                                                : deck::HelloRequest::Stop;
    deck::StatusBody reply {};
    const HRESULT hr = DeckCall(request, &reply);
    if (FAILED(hr)) return hr;
    if (reply.code == uint32_t(ReplyCode::Refused)) {
        const std::string text = "deck " + platform::QuotedName(reply.name) + ": " + reply.message;
        if (!(reply.media & deck::kMediaPresent)) return Fail(kTransportNoMedia, text);
        if (reply.media & deck::kMediaWriteProtected) return Fail(kTransportWriteProtected, text);
        return Fail(kTransportRejected, text);
    }
    return FailFromReply(reply);
}

HRESULT DeckTransport::AskStatus(deck::StatusBody* reply) {
    const HRESULT hr = DeckCall(deck::HelloRequest::Status, reply);
    return SUCCEEDED(hr) ? FailFromReply(*reply) : hr;
}

HRESULT DeckTransport::GetDeckState(DeckState* state) {
    if (state == nullptr) return E_POINTER;
    deck::StatusBody reply {};
    if (const HRESULT hr = AskStatus(&reply); FAILED(hr)) return hr;
    *state = {};
    state->mode = reply.mode == uint32_t(deck::DeckMode::Record) ? DeckMode::Record
                  : reply.mode == uint32_t(deck::DeckMode::Play) ? DeckMode::Play
                                                                 : DeckMode::Stop;
    state->mediaPresent = (reply.media & deck::kMediaPresent) != 0;
    state->writeProtected = (reply.media & deck::kMediaWriteProtected) != 0;
    state->positionKnown = (reply.timecodeFlags & deck::kTimecodeValid) != 0;
    state->positionBcd = reply.lastTimecode;
    state->dropFrame = (reply.timecodeFlags & deck::kTimecodeDrop) != 0;
    state->countsKnown = true;
    state->framesRecorded = reply.framesRecorded;
    state->framesRepeated = reply.missedTicks;
    return S_OK;
}

HRESULT DeckTransport::GetUnitSystem(DvStandard* standard) {
    if (standard == nullptr) return E_POINTER;
    deck::StatusBody reply {};
    if (const HRESULT hr = AskStatus(&reply); FAILED(hr)) return hr;
    *standard = reply.standard == uint32_t(DvStandard::Pal625_50) ? DvStandard::Pal625_50 : DvStandard::Ntsc525_60;
    return S_OK;
}

void DeckTransport::Cancel() {
    cancelled.store(true);
    Wake(cancelFd);
}

bool DeckTransport::SendEnd(const MessageHeader& header, int timeoutMs) {
    const int64_t deadline = platform::MonotonicMs() + timeoutMs;
    for (;;) {
        // A few bytes on a stream socket go whole or not at all.
        const ssize_t n = ::send(socketFd, &header, sizeof header, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == ssize_t(sizeof header)) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n >= 0 || errno != EAGAIN) return false;
        const int64_t left = deadline - platform::MonotonicMs();
        if (left <= 0) return false;
        pollfd fds[2] = {{socketFd, POLLOUT, 0}, {interruptFd, POLLIN, 0}};
        const int rc = ::poll(fds, 2, int(left));
        if (rc < 0 && errno != EINTR) return false;
        if (rc > 0 && (fds[1].revents & POLLIN)) return false;
        if (rc > 0 && (fds[0].revents & (POLLHUP | POLLERR))) return false;
    }
}

void DeckTransport::Close() {
    std::lock_guard<std::mutex> lock(sendLock);
    // A frame cut short stays unfinished: the deck drops it. Otherwise say End and give the deck a
    // moment to flush its tape, so the tape is complete once Close returns. The last frames may
    // still fill the socket (the deck takes one a tick), so room for End is waited for, as long
    // as the answer is; a deck that makes none in that time is stalled and is not waited for.
    if (socketFd >= 0 && !midMessage && SUCCEEDED(failure)) {
        const MessageHeader header {uint32_t(MessageType::End), 0};
        deck::StatusBody reply {};
        if (SendEnd(header, kCloseReplyTimeoutMs)) {
            // The last frames reach the tape only now: a deck that says it could not write them
            // leaves that as the status and the error text. No answer in time says nothing sure.
            if (SUCCEEDED(ReadReply(&reply, kCloseReplyTimeoutMs, Waits {false, true}))) {
                failure = closeStatus = FailFromReply(reply);
            } else {
                PLATFORM_LOG(platform::log::kDeck, Info, "no confirmation of the end of the recording: %s", LastError().c_str());
            }
        }
    }
    if (midMessage && SUCCEEDED(failure) && stalledAtCancelMs >= kTransportStallAtStopMs) {
        // The stop freed a frame the deck had long stopped taking: the stall that would have
        // failed the stream a moment later went on to the end of it.
        failure = closeStatus = Fail(kTransportTimeout, "the deck took nothing for the last " +
                                                            std::to_string(stalledAtCancelMs) +
                                                            " ms before the stop; what was sent then is not on its tape");
    }
    std::lock_guard<std::mutex> reading(readLock);  // a status reader is done with the socket
    if (socketFd >= 0) ::close(socketFd);
    socketFd = -1;
}

HRESULT DeckTransport::CloseStatus() const {
    std::lock_guard<std::mutex> lock(sendLock);
    return closeStatus;
}

}  // namespace dv
