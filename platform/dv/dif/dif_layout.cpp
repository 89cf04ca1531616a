#include "dv/dif/dif_layout.h"

namespace dv::dif {

bool IsDifFrame(const uint8_t* frame, const DvSystem& system) {
    for (int sequence = 0; sequence < system.sequences; ++sequence) {
        for (int block = 0; block < kBlocksPerSequence; ++block) {
            const uint8_t* b = frame + BlockOffset(sequence, block);
            if (static_cast<Section>(b[0] >> 5) != SectionAt(block) || (b[1] >> 4) != sequence) return false;
        }
        const bool fifty = (frame[BlockOffset(sequence, 0) + 3] & 0x80) != 0;  // DSF 1: 625/50
        if (fifty != system.fiftyFields) return false;
    }
    return true;
}

}  // namespace dv::dif
