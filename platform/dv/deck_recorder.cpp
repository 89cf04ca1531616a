#include "deck_recorder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "deck_protocol.h"

namespace dv {
namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

}  // namespace

DeckRecorder::~DeckRecorder() { Close(); }

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
    return true;
}

bool DeckRecorder::Append(const uint8_t* frame, size_t frameBytes, std::string* error) {
    if (fd < 0) {
        *error = "tape is not open";
        return false;
    }
    size_t done = 0;
    while (done < frameBytes) {
        const ssize_t n = ::write(fd, frame + done, frameBytes - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A short write followed by a failure (or a write that writes nothing) leaves part of a
        // frame: cut the tape back so that it ends on the last whole frame.
        savedErrno = n < 0 ? errno : ENOSPC;
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
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
        fd = -1;
    }
}

}  // namespace dv
