// Encoded DV video segments kept by their content, so that a picture that differs from the one
// before only in places is put together from segments already encoded.
//
// DV codes each video segment (five macroblocks taken from five places of the picture) on its own,
// and libavcodec's DV encoder codes a segment's content the same way every time, so a segment's 400
// bytes depend only on its place and its macroblocks' pixels. For a new UYVY picture the cache
// finds the segments holding a macroblock that differs from the previous picture; when each of
// them is kept with exactly this content, the frame is the previous frame with those segments
// copied in, and nothing is encoded. Otherwise the caller encodes the whole picture and hands the
// frame back (Harvest), which keeps the segments that had changed.
//
// Where a segment's macroblocks lie in the picture and its blocks in the frame follows the DV
// shuffling of 525/60 4:1:1 (IEC 61834-2): segment `slot` of DIF sequence `seq` takes macroblock
// `slot` (three further on for the second and third) of the superblocks of rows seq + 2, 6, 8, 0
// and 4 and columns 2, 1, 3, 0 and 4, superblocks walked down and up in columns of six; the last
// column's right-hand macroblocks are 16 x 16.
//
// Bounded: at most `perSegment` contents a segment and `total` in all; the oldest of a segment go
// first. Contents are compared byte for byte, never by hash alone.
//
// Threads: not thread-safe; owned and used by one VideoEncoderCodec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace dv {

class SegmentCache {
public:
    static constexpr int kWidth = 720;
    static constexpr int kHeight = 480;
    static constexpr int kSequences = 10;
    static constexpr int kSlots = 27;
    static constexpr int kSegments = kSequences * kSlots;
    static constexpr size_t kMacroblockBytes = 512;  // 32 x 8 or 16 x 16 pixels of UYVY
    static constexpr size_t kSegmentBytes = 5 * kMacroblockBytes;
    static constexpr size_t kEncodedBytes = 5 * 80;
    static constexpr size_t kFrameBytes = 120000;

    explicit SegmentCache(size_t perSegment = 64, size_t total = 4096);

    // Puts the frame of a UYVY picture (rows top first) together from kept segments: true when
    // every segment that changed since the previous picture was kept, `frame` then holds it and
    // it becomes the previous picture. False when it must be encoded (nothing is kept then).
    bool Assemble(const uint8_t* picture, uint8_t* frame);
    // The frame libavcodec made of `picture`: keeps the segments that changed since the previous
    // picture, and both become the previous ones.
    void Harvest(const uint8_t* picture, const uint8_t* frame);
    // Forgets the previous picture (a new stream); kept segments stay.
    void Forget() { havePrevious = false; }

    size_t Kept() const { return kept; }

    // Where macroblock m of segment s lies: its top-left pixel and its size; where its block is in
    // the frame.
    struct Macroblock {
        int x, y, width, height;
        size_t blockOffset;
    };
    static const Macroblock& Place(int segment, int m);

private:
    struct Entry {
        uint64_t hash;
        std::vector<uint8_t> content;  // kSegmentBytes
        uint8_t encoded[kEncodedBytes];
    };

    // The segments with a macroblock that differs from the previous picture.
    // Also marks the rows that differ in changedRows.
    void Changed(const uint8_t* picture, std::vector<int>* segments);
    void Gather(const uint8_t* picture, int segment, uint8_t* content) const;
    void Remember(const uint8_t* picture, const uint8_t* frame);

    const size_t perSegment;
    const size_t total;
    std::vector<std::deque<Entry>> entries;  // by segment
    size_t kept = 0;
    bool havePrevious = false;
    std::vector<uint8_t> previous;       // the previous picture
    std::vector<uint8_t> previousFrame;  // and its frame
    std::vector<int> changed;            // scratch
    std::vector<bool> changedRows;       // scratch
    std::vector<uint8_t> content;        // scratch, kSegmentBytes
};

}  // namespace dv
