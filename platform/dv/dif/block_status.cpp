#include "dv/dif/block_status.h"

namespace dv::dif {

BlockStatus VideoBlockStatus(const uint8_t* block) {
    const int sta = block[3] >> 4;
    if (sta == 0) return BlockStatus::Good;
    return (sta & 1) != 0 ? BlockStatus::Error : BlockStatus::Concealed;
}

bool AudioBlockInError(const uint8_t* block) {
    for (int at = kAudioSampleOffset; at + 1 < kBlockBytes; at += 2)
        if (block[at] == 0x80 && block[at + 1] == 0x00) return true;
    return false;
}

FrameDamage CountDamage(const uint8_t* frame, const DvSystem& system) {
    FrameDamage damage;
    for (int sequence = 0; sequence < system.sequences; ++sequence) {
        const int side = sequence % 2;
        for (int block = 6; block < kBlocksPerSequence; ++block) {
            const uint8_t* b = frame + BlockOffset(sequence, block);
            if (SectionAt(block) == Section::Audio) {
                if (AudioBlockInError(b)) ++damage.audioErrors[side];
                continue;
            }
            switch (VideoBlockStatus(b)) {
                case BlockStatus::Good: break;
                case BlockStatus::Concealed: ++damage.videoConcealed[side]; break;
                case BlockStatus::Error: ++damage.videoErrors[side]; break;
            }
        }
    }
    return damage;
}

}  // namespace dv::dif
