#include "dv/deck/deck_timecode.h"

#include <cstdio>

#include "dv/ntsc_dv.h"

namespace dv {
namespace {

constexpr size_t kBlockBytes = ntsc::kDifBlockBytes;
constexpr size_t kBlocksPerSequence = ntsc::kDifBlocksPerSequence;
constexpr size_t kSequenceBytes = kBlockBytes * kBlocksPerSequence;

// Decodes a BCD byte whose tens digit is masked to `tensMask`; -1 when a digit is not decimal.
int Bcd(uint8_t byte, uint8_t tensMask) {
    const int units = byte & 0x0F;
    const int tens = (byte >> 4) & tensMask;
    if (units > 9 || tens > 9) return -1;
    return tens * 10 + units;
}

}  // namespace

bool DeckTimecode::Read(const uint8_t* frame, size_t size, DeckTimecode* out) {
    // Subcode blocks are blocks 1 and 2 of every sequence; each holds six sync blocks of
    // 8 bytes from byte 3: a 2-byte ID, 0xFF, then a 5-byte pack.
    for (size_t seq = 0; (seq + 1) * kSequenceBytes <= size; ++seq) {
        for (size_t block = 1; block <= 2; ++block) {
            const uint8_t* b = frame + seq * kSequenceBytes + block * kBlockBytes;
            for (size_t ssyb = 0; ssyb < 6; ++ssyb) {
                const uint8_t* pack = b + 3 + ssyb * 8 + 3;
                if (pack[0] != 0x13) continue;
                DeckTimecode tc;
                tc.frames = Bcd(pack[1], 0x3);
                tc.dropFrame = (pack[1] & 0x40) != 0;
                tc.seconds = Bcd(pack[2], 0x7);
                tc.minutes = Bcd(pack[3], 0x7);
                tc.hours = Bcd(pack[4], 0x3);
                if (tc.frames < 0 || tc.frames > 29 || tc.seconds < 0 || tc.seconds > 59 ||
                    tc.minutes < 0 || tc.minutes > 59 || tc.hours < 0 || tc.hours > 23) {
                    continue;
                }
                *out = tc;
                return true;
            }
        }
    }
    return false;
}

int64_t DeckTimecode::FrameNumber() const {
    const int64_t totalMinutes = int64_t(hours) * 60 + minutes;
    int64_t n = (totalMinutes * 60 + seconds) * 30 + frames;
    if (dropFrame) n -= 2 * (totalMinutes - totalMinutes / 10);
    return n;
}

std::string DeckTimecode::Text() const {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", hours, minutes, seconds,
                  dropFrame ? ';' : ':', frames);
    return text;
}

}  // namespace dv
