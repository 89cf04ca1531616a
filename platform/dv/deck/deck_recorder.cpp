#include "dv/deck/deck_recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "dv/deck/deck_protocol.h"
#include "dv/dif/packs.h"
#include "support/log.h"
#include "support/text.h"

namespace dv {
namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

std::string NotARegularFile(mode_t mode) {
    if (S_ISDIR(mode)) return "it is a directory, not a regular file";
    if (S_ISFIFO(mode)) return "it is a FIFO, not a regular file";
    if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
    return "not a regular file";
}

// What the deck asks of the writer, and what it answers.
struct WriteRequest {
    uint64_t frames;  // write every frame before this one (counted from the first of this run)
};
struct WriteAnswer {
    uint64_t written;  // frames of this run on the tape
    int32_t error;     // errno of the write that failed, else 0; once set the writer stops
    int32_t reserved;
};

// The slots start a page into the shared memory, after the count.
constexpr size_t kSlotsOffset = 4096;

bool SendWhole(int socket, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::send(socket, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool ReceiveWhole(int socket, void* data, size_t size) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::recv(socket, p, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

}  // namespace

struct DeckRecorder::Shared {
    std::atomic<uint64_t> committed {0};  // frames of this run whole in the ring
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the count is shared between processes");

namespace {

// Writes frames [from, to) from the ring; the frames written, and the errno of a failed write in
// *error (the tape is then cut back to its last whole frame).
uint64_t WriteFrames(int tape, const uint8_t* slots, size_t frameSize, uint64_t tapeStart,
                     uint64_t from, uint64_t to, int* error) {
    for (uint64_t frame = from; frame < to; ++frame) {
        const uint8_t* data = slots + (frame % DeckRecorder::kSlots) * frameSize;
        size_t done = 0;
        while (done < frameSize) {
            const ssize_t n = ::write(tape, data + done, frameSize - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            *error = n < 0 ? errno : ENOSPC;
            // Best effort: a tape that cannot be cut back still ends in a torn frame, which the
            // reader skips; the write's own error is what is reported.
            if (::ftruncate(tape, off_t(tapeStart + frame * frameSize)) != 0) {
                // nothing more to do
            }
            return frame;
        }
    }
    return to;
}

// The writer process. Runs right after fork, possibly in the child of a threaded program, so it
// keeps to async-signal-safe calls. Stop signals meant for the deck's process group (a terminal's
// Ctrl-C) must not cut a frame short: the deck's own closing of the socket is what ends it, and
// then every frame the deck took is written first.
[[noreturn]] void RunWriter(int tape, int socket, const std::atomic<uint64_t>* committed,
                            const uint8_t* slots, size_t frameSize, uint64_t tapeStart) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ}) ::sigaction(sig, &ignore, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Nothing else of the deck's (its listening socket, a sender's connection) stays open here.
    const unsigned low = unsigned(tape < socket ? tape : socket);
    const unsigned high = unsigned(tape < socket ? socket : tape);
    if (low > 3) ::close_range(3, low - 1, 0);
    if (high > low + 1) ::close_range(low + 1, high - 1, 0);
    ::close_range(high + 1, ~0u, 0);

    uint64_t written = 0;
    int error = 0;
    bool deckThere = true;
    while (deckThere) {
        WriteRequest request {};
        deckThere = ReceiveWhole(socket, &request, sizeof request);
        // Never past what the deck has finished putting in the ring; all of that once it is gone.
        const uint64_t whole = committed->load(std::memory_order_acquire);
        const uint64_t target = deckThere && request.frames < whole ? request.frames : whole;
        if (error == 0 && target > written) {
            written = WriteFrames(tape, slots, frameSize, tapeStart, written, target, &error);
        }
        const WriteAnswer answer {written, error, 0};
        if (deckThere) deckThere = SendWhole(socket, &answer, sizeof answer);
    }
    // The deck may have gone while this answered; what it took since is still to be written.
    const uint64_t whole = committed->load(std::memory_order_acquire);
    if (error == 0 && whole > written) WriteFrames(tape, slots, frameSize, tapeStart, written, whole, &error);
    ::_exit(0);
}

}  // namespace

DeckRecorder::~DeckRecorder() { Close(); }

bool DeckRecorder::StartWriter() {
    sharedBytes = kSlotsOffset + kSlots * frameSize;
    void* memory = ::mmap(nullptr, sharedBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        savedErrno = errno;
        return false;
    }
    shared = new (memory) Shared;
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        savedErrno = errno;
        StopWriter();
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        savedErrno = errno;
        ::close(pair[0]);
        ::close(pair[1]);
        StopWriter();
        return false;
    }
    if (pid == 0) {
        RunWriter(fd, pair[1], &shared->committed, Slot(0), frameSize, initialFrames * frameSize);
    }
    ::close(pair[1]);
    writerPid = pid;
    writerSocket = pair[0];
    return true;
}

void DeckRecorder::StopWriter() {
    if (writerSocket >= 0) {
        ::close(writerSocket);  // the writer writes what is left and exits
        writerSocket = -1;
    }
    // A writer the deck stopped waiting for is left to finish the tape and exit on its own.
    if (writerPid > 0 && !abandoned) {
        while (::waitpid(writerPid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    writerPid = -1;
    if (shared != nullptr) {
        shared->~Shared();
        ::munmap(shared, sharedBytes);
        shared = nullptr;
    }
}

uint8_t* DeckRecorder::Slot(uint64_t frame) const {
    return reinterpret_cast<uint8_t*>(shared) + kSlotsOffset + (frame % kSlots) * frameSize;
}

std::optional<platform::Fault> DeckRecorder::Failure() const {
    if (failure.empty()) return std::nullopt;
    return WithErrno(failure);
}

void DeckRecorder::Fail(int err) {
    savedErrno = err;
    failure = "cannot write tape " + platform::QuotedName(path) + ": " + ErrnoText(err);
    if (fd >= 0 && !abandoned && ::fsync(fd) != 0) {
        PLATFORM_LOG(platform::log::kDeck, Warning, "fsync of %s: %s", path.c_str(), std::strerror(errno));
    }
}

std::optional<platform::Fault> DeckRecorder::Open(const std::string& tapePath, size_t frameBytes) {
    Close();
    path = tapePath;
    frameSize = frameBytes;
    takenCount = requestedCount = writtenCount = 0;
    failure.clear();
    savedErrno = 0;
    abandoned = false;
    timecodeSeen = false;
    breakCount = untimedCount = 0;
    // Only a regular file is a tape. Opening a FIFO for writing would wait for a reader, and a
    // device could do anything; so look first, and open without waiting in case the name was
    // replaced in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return WithErrno("cannot open tape " + platform::QuotedName(path) + ": " + NotARegularFile(st.st_mode));
    const int opened = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (opened < 0) {
        const int err = errno;
        savedErrno = err;
        return WithErrno("cannot open tape " + platform::QuotedName(path) + ": " + ErrnoText(err));
    }
    if (::fstat(opened, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(opened);
        return WithErrno("cannot open tape " + platform::QuotedName(path) + ": " + NotARegularFile(st.st_mode));
    }
    ::fcntl(opened, F_SETFL, O_APPEND);  // back to blocking writes
    // Two decks appending to one tape would interleave their frames.
    if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
        ::close(opened);
        return WithErrno("tape " + platform::QuotedName(path) + " is in use by another deck");
    }
    if (st.st_size % frameSize != 0) {
        ::close(opened);
        return WithErrno("tape " + platform::QuotedName(path) + " does not hold whole " + std::to_string(frameSize) +
                         "-byte frames; refusing to record after a partial frame");
    }
    fd = opened;
    initialFrames = uint64_t(st.st_size) / frameSize;
    if (!StartWriter()) {
        ::close(fd);
        fd = -1;
        return WithErrno("cannot start the tape writer for " + platform::QuotedName(path) + ": " + ErrnoText(savedErrno));
    }
    return std::nullopt;
}

uint8_t* DeckRecorder::NextFrame(platform::Fault* fault) {
    if (shared == nullptr) {
        *fault = WithErrno("tape is not open");
        return nullptr;
    }
    // The slot is free once the frame kSlots before it is on the tape.
    while (failure.empty() && !abandoned && takenCount >= writtenCount + kSlots) {
        if (requestedCount < takenCount && !RequestWrite()) {
            Fail(EIO);
        } else if (AwaitWriter() && !ReadAnswers(true)) {
            Fail(EIO);
        }
    }
    if (auto failed = Failure()) {
        *fault = *failed;
        return nullptr;
    }
    if (abandoned) {
        *fault = WithErrno("stopped while waiting for the tape writer");
        return nullptr;
    }
    return Slot(takenCount);
}

std::optional<platform::Fault> DeckRecorder::CommitFrame() {
    if (shared == nullptr) return WithErrno("tape is not open");
    if (auto failed = Failure()) return failed;
    if (abandoned) return WithErrno("stopped while waiting for the tape writer");
    // No NextFrame first: that slot is still in use.
    if (takenCount >= writtenCount + kSlots) return WithErrno("no frame slot was asked for");
    shared->committed.store(++takenCount, std::memory_order_release);
    if (takenCount - requestedCount >= kBatchFrames && !RequestWrite()) Fail(EIO);
    // A failure the writer has reported shows here, a frame or a batch after the write.
    if (failure.empty() && !ReadAnswers(false)) Fail(EIO);
    return Failure();
}

std::optional<platform::Fault> DeckRecorder::Append(const uint8_t* frame, size_t frameBytes) {
    if (frameBytes != frameSize)
        return WithErrno("a tape takes " + std::to_string(frameSize) + "-byte frames only");
    platform::Fault fault;
    uint8_t* slot = NextFrame(&fault);
    if (slot == nullptr) return fault;
    std::memcpy(slot, frame, frameBytes);
    return CommitFrame();
}

bool DeckRecorder::RequestWrite() {
    const WriteRequest request {takenCount};
    if (!SendWhole(writerSocket, &request, sizeof request)) return false;
    requestedCount = takenCount;
    return true;
}

bool DeckRecorder::AwaitWriter() {
    if (interruptFd < 0) return true;  // the blocking read waits
    pollfd fds[2] = {{writerSocket, POLLIN, 0}, {interruptFd, POLLIN, 0}};
    for (;;) {
        const int rc = ::poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) {
            PLATFORM_LOG(platform::log::kDeck, Warning, "waiting for the tape writer: %s", std::strerror(errno));
            return true;
        }
        if (fds[0].revents != 0) return true;
        PLATFORM_LOG(platform::log::kDeck, Warning, "stopped while the tape writer of %s was behind; it finishes on its own",
                     path.c_str());
        abandoned = true;
        return false;
    }
}

bool DeckRecorder::ReadAnswers(bool wait) {
    for (;;) {
        WriteAnswer answer {};
        const ssize_t n = ::recv(writerSocket, &answer, sizeof answer, wait ? 0 : MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;  // the writer is gone
        // Answers are sent whole; the rest of one that arrived in pieces is on its way.
        if (size_t(n) < sizeof answer &&
            !ReceiveWhole(writerSocket, reinterpret_cast<uint8_t*>(&answer) + n, sizeof answer - size_t(n))) {
            return false;
        }
        NoteWritten(answer.written);
        if (answer.error != 0 && failure.empty()) Fail(answer.error);
        wait = false;
    }
}

void DeckRecorder::NoteWritten(uint64_t written) {
    for (; writtenCount < written && writtenCount < takenCount; ++writtenCount) {
        const std::optional<dif::TimecodePack> pack = dif::FindTimecodePack(Slot(writtenCount), frameSize);
        if (!pack) {
            ++untimedCount;
            continue;
        }
        if (!timecodeSeen) {
            firstCode = pack->label;
            timecodeSeen = true;
        } else {
            const std::optional<uint32_t> previous = lastCode.Frame();
            const std::optional<uint32_t> next = pack->label.Frame();
            if (!previous || !next || *next != *previous + 1) ++breakCount;
        }
        lastCode = pack->label;
    }
}

uint64_t DeckRecorder::framesRecorded() const { return failure.empty() ? takenCount : writtenCount; }

std::optional<platform::Fault> DeckRecorder::Flush() {
    if (fd < 0) return std::nullopt;
    if (shared != nullptr) {
        if (requestedCount < takenCount && failure.empty() && !abandoned && !RequestWrite()) Fail(EIO);
        while (failure.empty() && !abandoned && writtenCount < takenCount) {
            if (AwaitWriter() && !ReadAnswers(true)) Fail(EIO);
        }
    }
    if (auto failed = Failure()) return failed;
    if (abandoned)
        return WithErrno("stopped before the tape writer had written every frame; it finishes them on its own");
    if (::fsync(fd) != 0) {
        savedErrno = errno;
        return WithErrno("cannot flush tape " + platform::QuotedName(path) + ": " + ErrnoText(savedErrno));
    }
    return std::nullopt;
}

void DeckRecorder::Close() {
    if (fd >= 0) {
        if (auto fault = Flush())
            PLATFORM_LOG(platform::log::kDeck, Warning, "closing the tape: %s", fault->text.c_str());
    }
    StopWriter();
    if (fd >= 0) {
        if (!abandoned) ::fsync(fd);
        ::close(fd);
        fd = -1;
    }
}

}  // namespace dv
