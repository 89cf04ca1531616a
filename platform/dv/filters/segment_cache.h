// Encoded DV video segments kept by their content, so that a picture that differs from the one
// before only in places is put together from segments already encoded, and only the segments
// never seen need encoding.
//
// DV codes each video segment (five macroblocks taken from five places of the picture) on its own,
// and libavcodec's DV encoder codes a segment's content the same way every time, so a segment's 400
// bytes depend only on its place and its macroblocks' pixels. For a new UYVY picture the cache
// finds the segments holding a macroblock that differs from the previous picture. When each of
// them is kept with exactly this content, the frame is the previous frame with those segments
// copied in, and nothing is encoded. Otherwise the caller encodes the segments the cache lacks
// (Assemble lists them) and hands that frame back (Complete), which keeps them; or, with no
// previous picture, encodes the whole picture and hands it back (Harvest).
//
// Where a segment's macroblocks lie in the picture and its blocks in the frame follows the DV
// shuffling of IEC 61834-2, as libavcodec implements it. Segment `slot` (0-26) of DIF sequence
// `seq` takes one macroblock from each of the five superblock columns, taken in the order 2, 1,
// 3, 0, 4, from superblock rows seq + 2, 6, 8, 0 and 4 (modulo the sequences):
//   - 525/60, 4:1:1 (ten sequences): macroblocks 32 x 8, six to a superblock column walked down
//     and up, macroblock `slot` (three further on in the second and third columns); the last
//     column's right-hand macroblocks are 16 x 16;
//   - 625/50, 4:2:0 (twelve sequences): macroblocks 16 x 16, superblocks of 9 x 3 walked down and
//     up in columns of three, macroblock `slot` of each.
// A sequence's 150 blocks are six of header, subcode and VAUX, then an audio block before every
// three segments of five.
//
// The picture's maker may say which rows hold every difference from the previous picture
// (RowSpan); only those rows are then compared.
//
// Bounded: at most `perSegment` contents a segment and `total` in all; the oldest of a segment go
// first. Contents are compared byte for byte, never by hash alone.
//
// Threads: not thread-safe; owned and used by one VideoEncoderCodec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dv/dv_system.h"
#include "dv/filters/row_span.h"

namespace dv {

class SegmentCache {
public:
    static constexpr int kSlots = 27;
    static constexpr size_t kMacroblockBytes = 512;  // 32 x 8 or 16 x 16 pixels of UYVY
    static constexpr size_t kSegmentBytes = 5 * kMacroblockBytes;
    static constexpr size_t kEncodedBytes = 5 * 80;

    explicit SegmentCache(const DvSystem& system = k525_60, size_t perSegment = 64, size_t total = 4096);

    const DvSystem& System() const { return *system; }
    // The frame's video segments: 270 in 525/60, 324 in 625/50; segment seq * 27 + slot.
    int Segments() const { return system->sequences * kSlots; }

    // Puts the frame of a UYVY picture (rows top first) together from kept segments: true when
    // every segment that changed since the previous picture was kept, `frame` then holds it and
    // it becomes the previous picture. False when something must be encoded: `missing` then lists
    // the changed segments not kept, in order (empty: no previous picture, encode it whole).
    // With `changedRows`, the picture differs from the previous one in those rows alone (a caller
    // that is not sure passes none).
    bool Assemble(const uint8_t* picture, uint8_t* frame, std::vector<int>* missing,
                  const RowSpan* changedRows = nullptr);
    // After an Assemble of the same picture that listed missing segments: `encoded` is a frame of
    // libavcodec in which at least those segments were encoded from the picture. Keeps them, puts
    // the frame together in `frame` (which may be `encoded`), and the picture becomes the
    // previous one.
    void Complete(const uint8_t* picture, const uint8_t* encoded, uint8_t* frame);
    // The frame libavcodec made of the whole `picture`: keeps the segments that changed since the
    // previous picture, and both become the previous ones.
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
    const Macroblock& Place(int segment, int m) const { return (*places)[static_cast<size_t>(segment * 5 + m)]; }

private:
    struct Entry {
        uint8_t content[kSegmentBytes];
        uint8_t encoded[kEncodedBytes];
    };
    // A segment's kept contents in one array (a lookup reaches an entry's bytes with no pointer
    // to follow), and their hashes side by side (searched without touching the entries). Once
    // the segment may keep no more, the oldest is replaced: `oldest` goes round the array.
    struct KeptContents {
        std::vector<uint64_t> hashes;
        std::vector<Entry> entries;
        size_t oldest = 0;
    };

    // The segments with a macroblock that differs from the previous picture in rows [first,
    // end), in order, in `changed`.
    void Changed(const uint8_t* picture, int first, int end);
    void Gather(const uint8_t* picture, int segment, uint8_t* content) const;
    const Entry* Find(int segment, const uint8_t* content) const;
    void Keep(const uint8_t* picture, int segment, const uint8_t* frame);
    // The changed segments' blocks (found[i], or `encoded`'s for a missing one) into the previous
    // frame, their macroblocks into the previous picture, and the frame out.
    void Apply(const uint8_t* picture, const uint8_t* encoded, uint8_t* frame);
    void Remember(const uint8_t* picture, const uint8_t* frame);

    const DvSystem* system;
    const std::vector<Macroblock>* places;
    size_t rowBytes;
    size_t pictureBytes;
    const size_t perSegment;
    const size_t total;
    std::vector<KeptContents> entries;  // by segment
    size_t kept = 0;
    bool havePrevious = false;
    std::vector<uint8_t> previous;       // the previous picture
    std::vector<uint8_t> previousFrame;  // and its frame
    std::vector<int> changed;            // scratch: the last Assemble's changed segments
    std::vector<const Entry*> found;     // scratch: their kept contents, null where missing
    // The picture in cells of 16 pixels by 8 rows, of which every macroblock is whole ones: the
    // segment each cell belongs to, a row of cells after another.
    static constexpr int kCellWidth = 16;
    static constexpr int kCellRows = 8;
    std::vector<int> cellSegment;
    std::vector<uint8_t> changedSegments;  // scratch, by segment: a cell of it differs
    std::vector<uint8_t> content;        // scratch, kSegmentBytes
};

}  // namespace dv
