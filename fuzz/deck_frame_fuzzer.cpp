// Fuzzes what the virtual deck reads from the DIF frames it receives: the timecode in the
// subcode blocks (dif::FindTimecodePack), on frames of any size and content.
//
// Two kinds of input, chosen by the first byte:
//   - raw: the rest is the frame, in a heap block of exactly its size, so a read past the end is
//     caught; whatever Read finds must be a valid label;
//   - written: a frame number from the input, a whole frame with the system data the muxer
//     writes for it (WriteSystemData), then a few bytes changed by the input. Untouched, the
//     deck must read back exactly the drop-frame label the muxer wrote and count it back to
//     the same frame number (within the day the label can tell).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "dv/dif/dif_layout.h"
#include "dv/dif/packs.h"
#include "dv/dif/system_data.h"
#include "fuzz_check.h"

namespace {

// 24 hours of drop-frame labels: 144 ten-minute blocks of 17982 frames.
constexpr int64_t kFramesPerDay = 144 * 17982;

void CheckLabel(const dv::Timecode& tc) {
    FUZZ_CHECK(tc.hours >= 0 && tc.hours <= 23);
    FUZZ_CHECK(tc.minutes >= 0 && tc.minutes <= 59);
    FUZZ_CHECK(tc.seconds >= 0 && tc.seconds <= 59);
    FUZZ_CHECK(tc.frames >= 0 && tc.frames <= 29);
    FUZZ_CHECK(tc.Text().size() == 11);
    // Only a label drop-frame counting skips names no frame.
    FUZZ_CHECK(tc.Frame().has_value() != tc.Skipped());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) {
        // Raw frame of exactly the input's size.
        const size_t frameBytes = size - 1;
        std::unique_ptr<uint8_t[]> frame(new uint8_t[frameBytes == 0 ? 1 : frameBytes]);
        if (frameBytes) std::memcpy(frame.get(), data + 1, frameBytes);
        if (const auto pack = dv::dif::FindTimecodePack(frame.get(), frameBytes)) CheckLabel(pack->label);
        return 0;
    }

    FuzzedDataProvider input(data + 1, size - 1);
    // Up to 2^40 frames: over a thousand years of stream, far past any real tape.
    const uint64_t frameNumber = input.ConsumeIntegralInRange<uint64_t>(0, uint64_t{1} << 40);
    std::vector<uint8_t> frame(dv::dif::kFrameBytes, 0);
    dv::dif::WriteSystemData(frame.data(), frameNumber);
    bool changed = false;
    while (input.remaining_bytes() >= 3) {
        const size_t at = input.ConsumeIntegralInRange<size_t>(0, frame.size() - 1);
        const uint8_t value = input.ConsumeIntegral<uint8_t>();
        changed = changed || frame[at] != value;
        frame[at] = value;
    }
    const auto pack = dv::dif::FindTimecodePack(frame.data(), frame.size());
    if (pack) CheckLabel(pack->label);
    if (!changed) {
        FUZZ_CHECK(pack.has_value());
        const dv::Timecode& tc = pack->label;
        FUZZ_CHECK(tc.dropFrame);
        FUZZ_CHECK(tc == dv::Timecode::OfFrame(static_cast<int64_t>(frameNumber)));
        FUZZ_CHECK(tc.Frame() == static_cast<uint32_t>(frameNumber % kFramesPerDay));
    }
    return 0;
}
