#include "dv_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

CDvFile::~CDvFile() {
    if (fd_ >= 0) close(fd_);
}

std::string CDvFile::Open(const std::string& path) {
    system_ = &dv::k525_60;
    frameBytes_ = size_t(system_->frameBytes);
    frame_.assign(frameBytes_, 0);
    // O_NONBLOCK: opening a FIFO without a writer must not hang before it can be refused.
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return std::strerror(errno);
    struct stat st {};
    if (fstat(fd_, &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "a directory, not a DV file";
    if (!S_ISREG(st.st_mode)) return "not a regular file (a device, FIFO or socket is not read)";
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return std::strerror(errno);
    size_ = st.st_size;
    if (size_ == 0) return "empty: no frame to check";
    // The first block: a header (section type 0, sequence 0) says the system in DSF.
    uint8_t header[4] = {};
    if (pread(fd_, header, sizeof header, 0) == ssize_t(sizeof header) && header[0] >> 5 == 0 &&
        header[1] >> 4 == 0 && (header[3] & 0x80) != 0) {
        system_ = &dv::k625_50;
        frameBytes_ = size_t(system_->frameBytes);
        frame_.assign(frameBytes_, 0);
    }
    posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return "";
}

CDvFile::Read CDvFile::Next() {
    size_t got = 0;
    while (got < frameBytes_) {
        const ssize_t n = read(fd_, frame_.data() + got, frameBytes_ - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure_ = std::strerror(errno);
            return kFailed;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    if (got == frameBytes_) return kFrame;
    if (got == 0) return kEnd;
    partial_ = got;
    return kPartial;
}
