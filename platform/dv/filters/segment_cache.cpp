#include "dv/filters/segment_cache.h"

#include <algorithm>
#include <cstring>

namespace dv {

namespace {

constexpr size_t kBlockBytes = kDifBlockBytes;

// The block of macroblock m of segment `slot` of sequence `seq`: six blocks of header, subcode
// and VAUX, an audio block before every three segments.
size_t BlockOffset(int seq, int slot, int m) {
    return (static_cast<size_t>(seq) * kDifBlocksPerSequence + 6 + static_cast<size_t>(slot / 3 + 1) +
            static_cast<size_t>(slot * 5 + m)) *
           kBlockBytes;
}

// The places of every macroblock (see the header's shuffling), computed once a system.
std::vector<SegmentCache::Macroblock> MakePlaces(const DvSystem& system) {
    static const int offset[5] = {2, 6, 8, 0, 4};
    const int sequences = system.sequences;
    std::vector<SegmentCache::Macroblock> places(static_cast<size_t>(sequences * SegmentCache::kSlots * 5));
    for (int seq = 0; seq < sequences; ++seq) {
        for (int slot = 0; slot < SegmentCache::kSlots; ++slot) {
            for (int m = 0; m < 5; ++m) {
                SegmentCache::Macroblock& mb = places[static_cast<size_t>((seq * SegmentCache::kSlots + slot) * 5 + m)];
                const int row = (seq + offset[m]) % sequences;
                if (system.fiftyFields) {
                    // Superblock columns of nine macroblocks, rows of three.
                    static const int column[5] = {18, 9, 27, 0, 36};
                    const int down = slot / 3 % 2 == 0 ? slot % 3 : 2 - slot % 3;
                    mb = {(column[m] + slot / 3) * 16, (down + row * 3) * 16, 16, 16, 0};
                } else {
                    static const int column[5] = {9, 4, 13, 0, 18};  // first macroblock column
                    static const int serpent[30] = {0, 1, 2, 3, 4, 5, 5, 4, 3, 2, 1, 0, 0, 1, 2,
                                                    3, 4, 5, 5, 4, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5};
                    const int k = slot + (m == 1 || m == 2 ? 3 : 0);
                    const int x = column[m] + k / 6;
                    const int y = serpent[k] + row * 6;
                    if (x > 21) {
                        // The right-hand 16 pixels: macroblocks of 16 x 16, three to a superblock.
                        mb = {x * 32, (y * 2 - row * 6) * 8, 16, 16, 0};
                    } else {
                        mb = {x * 32, y * 8, 32, 8, 0};
                    }
                }
                mb.blockOffset = BlockOffset(seq, slot, m);
            }
        }
    }
    return places;
}

const std::vector<SegmentCache::Macroblock> kPlaces525 = MakePlaces(k525_60);
const std::vector<SegmentCache::Macroblock> kPlaces625 = MakePlaces(k625_50);

// FNV-1a over 64-bit words in four interleaved lanes (so that they do not wait on each other),
// folded together. Contents are compared in full after a match.
uint64_t Hash(const uint8_t* data, size_t bytes) {
    constexpr uint64_t kPrime = 1099511628211ull;
    uint64_t h[4] = {1469598103934665603ull, 1469598103934665603ull ^ 1, 1469598103934665603ull ^ 2,
                     1469598103934665603ull ^ 3};
    for (size_t i = 0; i + 32 <= bytes; i += 32) {
        for (int lane = 0; lane < 4; ++lane) {
            uint64_t word;
            std::memcpy(&word, data + i + 8 * size_t(lane), 8);
            h[lane] = (h[lane] ^ word) * kPrime;
        }
    }
    return ((h[0] * kPrime ^ h[1]) * kPrime ^ h[2]) * kPrime ^ h[3];
}
static_assert(SegmentCache::kSegmentBytes % 32 == 0);

// Copies a macroblock's rows (32 or 16 pixels of UYVY each) from one place to another, each
// `fromStride` and `toStride` bytes after the one before; sizes known here copy without a call.
void CopyRows(uint8_t* to, size_t toStride, const uint8_t* from, size_t fromStride, const SegmentCache::Macroblock& mb) {
    if (mb.width == 32) {
        for (int r = 0; r < mb.height; ++r, to += toStride, from += fromStride) std::memcpy(to, from, 64);
    } else {
        for (int r = 0; r < mb.height; ++r, to += toStride, from += fromStride) std::memcpy(to, from, 32);
    }
}

}  // namespace

SegmentCache::SegmentCache(const DvSystem& system, size_t perSegment, size_t total)
    : system(&system),
      places(system.fiftyFields ? &kPlaces625 : &kPlaces525),
      rowBytes(static_cast<size_t>(system.width) * 2),
      pictureBytes(static_cast<size_t>(system.width) * 2 * static_cast<size_t>(system.height)),
      perSegment(perSegment),
      total(total),
      entries(static_cast<size_t>(system.sequences * kSlots)),
      changedSegments(static_cast<size_t>(system.sequences * kSlots)),
      content(kSegmentBytes) {
    const int columns = system.width / kCellWidth;
    cellSegment.assign(static_cast<size_t>(columns * (system.height / kCellRows)), -1);
    for (int s = 0; s < Segments(); ++s) {
        for (int m = 0; m < 5; ++m) {
            const Macroblock& mb = Place(s, m);
            for (int y = mb.y; y < mb.y + mb.height; y += kCellRows) {
                for (int x = mb.x; x < mb.x + mb.width; x += kCellWidth)
                    cellSegment[static_cast<size_t>((y / kCellRows) * columns + x / kCellWidth)] = s;
            }
        }
    }
}

void SegmentCache::Gather(const uint8_t* picture, int segment, uint8_t* out) const {
    for (int m = 0; m < 5; ++m) {
        const Macroblock& mb = Place(segment, m);
        const size_t bytes = static_cast<size_t>(mb.width) * 2;
        CopyRows(out, bytes, picture + static_cast<size_t>(mb.y) * rowBytes + static_cast<size_t>(mb.x) * 2, rowBytes, mb);
        out += bytes * static_cast<size_t>(mb.height);
    }
}

void SegmentCache::Changed(const uint8_t* picture, int first, int end) {
    changed.clear();
    // Rows first (most of a picture is as it was); in a row that differs, which of its cells do,
    // a word at a time; then the segments of those cells, in order.
    const int columns = system->width / kCellWidth;
    constexpr size_t kCellBytes = kCellWidth * 2;
    std::fill(changedSegments.begin(), changedSegments.end(), 0);
    bool any = false;
    for (int y = std::max(first, 0); y < std::min(end, system->height); ++y) {
        const size_t at = static_cast<size_t>(y) * rowBytes;
        const uint8_t* now = picture + at;
        const uint8_t* before = previous.data() + at;
        if (std::memcmp(now, before, rowBytes) == 0) continue;
        any = true;
        const int* segmentOf = cellSegment.data() + static_cast<size_t>(y / kCellRows) * columns;
        for (int c = 0; c < columns; ++c) {
            uint64_t differs = 0;
            for (size_t i = 0; i < kCellBytes; i += 8) {
                uint64_t a, b;
                std::memcpy(&a, now + c * kCellBytes + i, 8);
                std::memcpy(&b, before + c * kCellBytes + i, 8);
                differs |= a ^ b;
            }
            if (differs != 0) changedSegments[static_cast<size_t>(segmentOf[c])] = 1;
        }
    }
    if (!any) return;
    for (int s = 0; s < Segments(); ++s) {
        if (changedSegments[static_cast<size_t>(s)] != 0) changed.push_back(s);
    }
}

const SegmentCache::Entry* SegmentCache::Find(int segment, const uint8_t* wanted) const {
    const uint64_t h = Hash(wanted, kSegmentBytes);
    const KeptContents& list = entries[static_cast<size_t>(segment)];
    for (size_t i = 0; i < list.hashes.size(); ++i) {
        if (list.hashes[i] == h && std::memcmp(list.entries[i].content, wanted, kSegmentBytes) == 0)
            return &list.entries[i];
    }
    return nullptr;
}

bool SegmentCache::Assemble(const uint8_t* picture, uint8_t* frame, std::vector<int>* missing,
                            const RowSpan* changedRows) {
    missing->clear();
    found.clear();
    if (!havePrevious) return false;
    if (changedRows != nullptr) {
        Changed(picture, changedRows->first, changedRows->end);
    } else {
        Changed(picture, 0, system->height);
    }
    for (int s : changed) {
        Gather(picture, s, content.data());
        const Entry* hit = Find(s, content.data());
        found.push_back(hit);
        if (hit == nullptr) missing->push_back(s);
    }
    if (!missing->empty()) return false;
    Apply(picture, nullptr, frame);
    return true;
}

void SegmentCache::Complete(const uint8_t* picture, const uint8_t* encoded, uint8_t* frame) {
    // Copied before the new contents are kept, since keeping may drop a segment's oldest.
    Apply(picture, encoded, frame);
    for (size_t i = 0; i < changed.size(); ++i) {
        if (found[i] == nullptr) Keep(picture, changed[i], previousFrame.data());
    }
    found.clear();
}

void SegmentCache::Apply(const uint8_t* picture, const uint8_t* encoded, uint8_t* frame) {
    for (size_t i = 0; i < changed.size(); ++i) {
        for (int m = 0; m < 5; ++m) {
            const size_t at = Place(changed[i], m).blockOffset;
            const uint8_t* from = found[i] != nullptr ? found[i]->encoded + m * kBlockBytes : encoded + at;
            std::memcpy(previousFrame.data() + at, from, kBlockBytes);
        }
    }
    // Every change lies in a changed segment's macroblocks: only those are copied.
    for (int s : changed) {
        for (int m = 0; m < 5; ++m) {
            const Macroblock& mb = Place(s, m);
            const size_t at = static_cast<size_t>(mb.y) * rowBytes + static_cast<size_t>(mb.x) * 2;
            CopyRows(previous.data() + at, rowBytes, picture + at, rowBytes, mb);
        }
    }
    std::memcpy(frame, previousFrame.data(), previousFrame.size());
}

void SegmentCache::Keep(const uint8_t* picture, int s, const uint8_t* frame) {
    KeptContents& list = entries[static_cast<size_t>(s)];
    size_t at = 0;
    if (list.entries.size() >= perSegment || (kept >= total && !list.entries.empty())) {
        // Full: the oldest makes way.
        at = list.oldest;
        list.oldest = (at + 1) % list.entries.size();
    } else if (kept < total) {
        at = list.entries.size();
        list.entries.emplace_back();
        list.hashes.push_back(0);
        ++kept;
    } else {
        return;
    }
    Entry& e = list.entries[at];
    Gather(picture, s, e.content);
    for (int m = 0; m < 5; ++m) std::memcpy(e.encoded + m * kBlockBytes, frame + Place(s, m).blockOffset, kBlockBytes);
    list.hashes[at] = Hash(e.content, kSegmentBytes);
}

void SegmentCache::Harvest(const uint8_t* picture, const uint8_t* frame) {
    if (havePrevious) {
        Changed(picture, 0, system->height);
        for (int s : changed) Keep(picture, s, frame);
    }
    found.clear();
    Remember(picture, frame);
}

void SegmentCache::Remember(const uint8_t* picture, const uint8_t* frame) {
    previous.assign(picture, picture + pictureBytes);
    previousFrame.assign(frame, frame + system->frameBytes);
    havePrevious = true;
}

}  // namespace dv
