#include "deck_recorder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "deck_protocol.h"

namespace dv {
namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

// What the deck asks of the writer, and what it answers.
struct WriteRequest {
    uint64_t size;  // bytes from the start of the shared buffer
};
struct WriteAnswer {
    int64_t written;  // bytes that reached the tape
    int32_t error;    // errno of the write that failed, else 0
    int32_t reserved;
};

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

// The writer process. Runs right after fork, possibly in the child of a threaded program, so it
// keeps to async-signal-safe calls. Stop signals meant for the deck's process group (a terminal's
// Ctrl-C) must not cut a frame short: the deck's own closing of the socket is what ends it.
[[noreturn]] void RunWriter(int tape, int socket, const uint8_t* frame, size_t frameSize) {
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
    WriteRequest request {};
    while (ReceiveWhole(socket, &request, sizeof request)) {
        WriteAnswer answer {};
        const size_t size = request.size <= frameSize ? size_t(request.size) : frameSize;
        while (size_t(answer.written) < size) {
            const ssize_t n = ::write(tape, frame + answer.written, size - size_t(answer.written));
            if (n > 0) {
                answer.written += n;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            answer.error = n < 0 ? errno : ENOSPC;
            break;
        }
        if (!SendWhole(socket, &answer, sizeof answer)) break;
    }
    ::_exit(0);
}

}  // namespace

DeckRecorder::~DeckRecorder() { Close(); }

bool DeckRecorder::StartWriter() {
    void* shared = ::mmap(nullptr, frameSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        savedErrno = errno;
        return false;
    }
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        savedErrno = errno;
        ::munmap(shared, frameSize);
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        savedErrno = errno;
        ::close(pair[0]);
        ::close(pair[1]);
        ::munmap(shared, frameSize);
        return false;
    }
    if (pid == 0) RunWriter(fd, pair[1], static_cast<const uint8_t*>(shared), frameSize);
    ::close(pair[1]);
    writerPid = pid;
    writerSocket = pair[0];
    sharedFrame = static_cast<uint8_t*>(shared);
    return true;
}

ssize_t DeckRecorder::WriteThroughWriter(size_t size, int* writeErrno) {
    const WriteRequest request {size};
    WriteAnswer answer {};
    if (!SendWhole(writerSocket, &request, sizeof request) ||
        !ReceiveWhole(writerSocket, &answer, sizeof answer)) {
        *writeErrno = EIO;  // the writer is gone; what it wrote, if anything, is cut back
        return -1;
    }
    *writeErrno = answer.error;
    return ssize_t(answer.written);
}

void DeckRecorder::StopWriter() {
    if (writerSocket >= 0) {
        ::close(writerSocket);  // the writer sees the end and exits
        writerSocket = -1;
    }
    if (writerPid > 0) {
        while (::waitpid(writerPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        writerPid = -1;
    }
    if (sharedFrame != nullptr) {
        ::munmap(sharedFrame, frameSize);
        sharedFrame = nullptr;
    }
}

bool DeckRecorder::Open(const std::string& tapePath, std::string* error) {
    Close();
    path = tapePath;
    frameSize = deck::kFrameBytes;
    const int opened = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (opened < 0) {
        const int err = errno;
        savedErrno = err;
        *error = "cannot open tape " + path + ": " + ErrnoText(err);
        return false;
    }
    struct stat st {};
    if (::fstat(opened, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(opened);
        *error = "tape " + path + " is not a regular file";
        return false;
    }
    // Two decks appending to one tape would interleave their frames.
    if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
        ::close(opened);
        *error = "tape " + path + " is in use by another deck";
        return false;
    }
    if (st.st_size % frameSize != 0) {
        ::close(opened);
        *error = "tape " + path + " does not hold whole " + std::to_string(frameSize) +
                 "-byte frames; refusing to record after a partial frame";
        return false;
    }
    fd = opened;
    tapeBytes = uint64_t(st.st_size);
    if (!StartWriter()) {
        *error = "cannot start the tape writer for " + path + ": " + ErrnoText(savedErrno);
        ::close(fd);
        fd = -1;
        return false;
    }
    return true;
}

bool DeckRecorder::Append(const uint8_t* frame, size_t frameBytes, std::string* error) {
    if (fd < 0) {
        *error = "tape is not open";
        return false;
    }
    if (frameBytes != frameSize) {
        *error = "a tape takes " + std::to_string(frameSize) + "-byte frames only";
        return false;
    }
    std::memcpy(sharedFrame, frame, frameBytes);
    int writeErrno = 0;
    const ssize_t written = WriteThroughWriter(frameBytes, &writeErrno);
    if (written != ssize_t(frameBytes)) {
        // A short write followed by a failure (or a write that writes nothing) leaves part of a
        // frame: cut the tape back so that it ends on the last whole frame.
        savedErrno = writeErrno != 0 ? writeErrno : ENOSPC;
        *error = "cannot write tape " + path + ": " + ErrnoText(savedErrno);
        if (::ftruncate(fd, off_t(tapeBytes)) != 0) {
            *error += "; cutting back the partial frame failed too: " + ErrnoText(errno);
        }
        ::fsync(fd);
        return false;
    }
    tapeBytes += frameBytes;
    ++recordedCount;

    DeckTimecode tc;
    if (DeckTimecode::Read(frame, frameBytes, &tc)) {
        if (!timecodeSeen) {
            firstCode = tc;
            timecodeSeen = true;
        } else if (tc.FrameNumber() != lastCode.FrameNumber() + 1) {
            ++breakCount;
        }
        lastCode = tc;
    } else {
        ++untimedCount;
    }
    return true;
}

bool DeckRecorder::Flush(std::string* error) {
    if (fd < 0) return true;
    if (::fsync(fd) != 0) {
        savedErrno = errno;
        *error = "cannot flush tape " + path + ": " + ErrnoText(savedErrno);
        return false;
    }
    return true;
}

void DeckRecorder::Close() {
    StopWriter();
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
        fd = -1;
    }
}

}  // namespace dv
