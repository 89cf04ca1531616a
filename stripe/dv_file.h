// A raw DV file as a source of frames for the tape checker: whole DIF frames one after the other,
// as dvdeck records a tape and FFmpeg's dv muxer writes one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dv/dif/dif_layout.h"  // dv::DvSystem

// Opens only a regular file (a symbolic link to one is fine): never a device, a FIFO or a socket,
// whose reading could block, consume someone else's data or never end. Opened read-only; the file
// is never written.
//
// Threads: one caller at a time; owns its descriptor.
class CDvFile {
public:
    CDvFile() = default;
    ~CDvFile();
    CDvFile(const CDvFile&) = delete;
    CDvFile& operator=(const CDvFile&) = delete;

    // "" when the file is open, else why it could not be (for a message after the file's name).
    // Its frames are of the system its first header block names (DSF): 120000 bytes of 525/60,
    // 144000 of 625/50; 525/60's when the file does not begin with a header block.
    std::string Open(const std::string& path);
    const dv::DvSystem& System() const { return *system_; }
    // The whole frames the file held when opened.
    int64_t Frames() const { return size_ / int64_t(frameBytes_); }

    enum Read { kFrame, kEnd, kPartial, kFailed };
    // Reads the next frame into Frame(): kFrame; kEnd at the end; kPartial when the file ends
    // within a frame (PartialBytes() of it); kFailed when reading failed (Failure()).
    Read Next();
    const uint8_t* Frame() const { return frame_.data(); }
    size_t PartialBytes() const { return partial_; }
    const std::string& Failure() const { return failure_; }

private:
    int fd_ = -1;
    int64_t size_ = 0;
    size_t frameBytes_ = 1;
    const dv::DvSystem* system_ = &dv::k525_60;
    size_t partial_ = 0;
    std::vector<uint8_t> frame_;
    std::string failure_;
};
