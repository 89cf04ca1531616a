#include "dv/dif/dif_layout.h"

namespace dv::dif {

bool IsNtscDifFrame(const uint8_t* frame) {
    for (int sequence = 0; sequence < kSequences; ++sequence) {
        for (int block = 0; block < kBlocksPerSequence; ++block) {
            const uint8_t* b = frame + BlockOffset(sequence, block);
            if (static_cast<Section>(b[0] >> 5) != SectionAt(block) || (b[1] >> 4) != sequence) return false;
        }
        if (frame[BlockOffset(sequence, 0) + 3] & 0x80) return false;  // DSF 1: 625/50
    }
    return true;
}

}  // namespace dv::dif
