#include "dv/filters/segment_cache.h"

#include <array>
#include <cstring>

namespace dv {

namespace {

constexpr size_t kRowBytes = SegmentCache::kWidth * 2;
constexpr int kBlocksPerSequence = 150;
constexpr size_t kBlockBytes = 80;

// The places of every macroblock, computed once (see the header's shuffling).
std::array<SegmentCache::Macroblock, SegmentCache::kSegments * 5> MakePlaces() {
    static const int offset[5] = {2, 6, 8, 0, 4};
    static const int column[5] = {9, 4, 13, 0, 18};  // first macroblock column of each superblock column
    static const int serpent[30] = {0, 1, 2, 3, 4, 5, 5, 4, 3, 2, 1, 0, 0, 1, 2,
                                    3, 4, 5, 5, 4, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5};
    std::array<SegmentCache::Macroblock, SegmentCache::kSegments * 5> places {};
    for (int seq = 0; seq < SegmentCache::kSequences; ++seq) {
        for (int slot = 0; slot < SegmentCache::kSlots; ++slot) {
            for (int m = 0; m < 5; ++m) {
                const int row = (seq + offset[m]) % SegmentCache::kSequences;
                const int k = slot + (m == 1 || m == 2 ? 3 : 0);
                const int x = column[m] + k / 6;
                int y = serpent[k] + row * 6;
                SegmentCache::Macroblock& mb = places[static_cast<size_t>((seq * SegmentCache::kSlots + slot) * 5 + m)];
                if (x > 21) {
                    // The right-hand 16 pixels: macroblocks of 16 x 16, three to a superblock.
                    y = y * 2 - row * 6;
                    mb = {x * 32, y * 8, 16, 16, 0};
                } else {
                    mb = {x * 32, y * 8, 32, 8, 0};
                }
                // Six blocks of header, subcode and VAUX, an audio block before every three segments.
                mb.blockOffset = (static_cast<size_t>(seq) * kBlocksPerSequence + 6 + (slot / 3 + 1) + slot * 5 + m) *
                                 kBlockBytes;
            }
        }
    }
    return places;
}

const std::array<SegmentCache::Macroblock, SegmentCache::kSegments * 5> kPlaces = MakePlaces();

uint64_t Hash(const uint8_t* data, size_t bytes) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i + 8 <= bytes; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        h = (h ^ word) * 1099511628211ull;
    }
    return h;
}

}  // namespace

const SegmentCache::Macroblock& SegmentCache::Place(int segment, int m) {
    return kPlaces[static_cast<size_t>(segment * 5 + m)];
}

SegmentCache::SegmentCache(size_t perSegment, size_t total)
    : perSegment(perSegment), total(total), entries(kSegments), content(kSegmentBytes) {}

void SegmentCache::Gather(const uint8_t* picture, int segment, uint8_t* out) const {
    for (int m = 0; m < 5; ++m) {
        const Macroblock& mb = Place(segment, m);
        const size_t rowBytes = static_cast<size_t>(mb.width) * 2;
        for (int r = 0; r < mb.height; ++r) {
            std::memcpy(out, picture + static_cast<size_t>(mb.y + r) * kRowBytes + static_cast<size_t>(mb.x) * 2, rowBytes);
            out += rowBytes;
        }
    }
}

void SegmentCache::Changed(const uint8_t* picture, std::vector<int>* segments) {
    segments->clear();
    // Rows first (most of a picture is as it was), then the macroblocks over a changed row.
    std::vector<bool>& rowChanged = changedRows;
    rowChanged.assign(kHeight, false);
    bool any = false;
    for (int y = 0; y < kHeight; ++y) {
        const size_t at = static_cast<size_t>(y) * kRowBytes;
        rowChanged[static_cast<size_t>(y)] = std::memcmp(picture + at, previous.data() + at, kRowBytes) != 0;
        any = any || rowChanged[static_cast<size_t>(y)];
    }
    if (!any) return;
    for (int s = 0; s < kSegments; ++s) {
        bool differs = false;
        for (int m = 0; m < 5 && !differs; ++m) {
            const Macroblock& mb = Place(s, m);
            for (int r = 0; r < mb.height && !differs; ++r) {
                if (!rowChanged[static_cast<size_t>(mb.y + r)]) continue;
                const size_t at = static_cast<size_t>(mb.y + r) * kRowBytes + static_cast<size_t>(mb.x) * 2;
                differs = std::memcmp(picture + at, previous.data() + at, static_cast<size_t>(mb.width) * 2) != 0;
            }
        }
        if (differs) segments->push_back(s);
    }
}

bool SegmentCache::Assemble(const uint8_t* picture, uint8_t* frame) {
    if (!havePrevious) return false;
    Changed(picture, &changed);
    std::vector<const Entry*> found;
    found.reserve(changed.size());
    for (int s : changed) {
        Gather(picture, s, content.data());
        const uint64_t h = Hash(content.data(), kSegmentBytes);
        const Entry* hit = nullptr;
        for (const Entry& e : entries[static_cast<size_t>(s)]) {
            if (e.hash == h && std::memcmp(e.content.data(), content.data(), kSegmentBytes) == 0) {
                hit = &e;
                break;
            }
        }
        if (hit == nullptr) return false;
        found.push_back(hit);
    }
    // The previous frame and picture become this one's by their changed segments and rows alone.
    for (size_t i = 0; i < changed.size(); ++i) {
        for (int m = 0; m < 5; ++m) {
            std::memcpy(previousFrame.data() + Place(changed[i], m).blockOffset, found[i]->encoded + m * kBlockBytes,
                        kBlockBytes);
        }
    }
    for (int y = 0; y < kHeight; ++y) {
        if (!changedRows[static_cast<size_t>(y)]) continue;
        const size_t at = static_cast<size_t>(y) * kRowBytes;
        std::memcpy(previous.data() + at, picture + at, kRowBytes);
    }
    std::memcpy(frame, previousFrame.data(), kFrameBytes);
    return true;
}

void SegmentCache::Harvest(const uint8_t* picture, const uint8_t* frame) {
    if (havePrevious) {
        Changed(picture, &changed);
        for (int s : changed) {
            std::deque<Entry>& list = entries[static_cast<size_t>(s)];
            if (list.size() >= perSegment || (kept >= total && !list.empty())) {
                list.pop_front();
                --kept;
            }
            if (kept >= total) continue;
            Entry e;
            e.content.resize(kSegmentBytes);
            Gather(picture, s, e.content.data());
            e.hash = Hash(e.content.data(), kSegmentBytes);
            for (int m = 0; m < 5; ++m)
                std::memcpy(e.encoded + m * kBlockBytes, frame + Place(s, m).blockOffset, kBlockBytes);
            list.push_back(std::move(e));
            ++kept;
        }
    }
    Remember(picture, frame);
}

void SegmentCache::Remember(const uint8_t* picture, const uint8_t* frame) {
    previous.assign(picture, picture + static_cast<size_t>(kHeight) * kRowBytes);
    previousFrame.assign(frame, frame + kFrameBytes);
    havePrevious = true;
}

}  // namespace dv
