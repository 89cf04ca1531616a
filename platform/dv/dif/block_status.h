// What a player marks in the DIF blocks it could not read off the tape: a video block's status
// (STA, the high nibble of its byte 3) and the error code 0x8000 in place of an audio sample
// (16-bit audio; IEC 61834-2, SMPTE 314M).
//
// Threads: plain functions on caller-owned memory; nothing allocates.
#pragma once

#include <cstdint>

#include "dv/dif/dif_layout.h"

namespace dv::dif {

enum class BlockStatus : uint8_t {
    Good,       // STA 0000: no error
    Concealed,  // an even STA but 0 (0010, 0100, 0110, 1010, ...): replaced from a neighbouring frame
    Error,      // an odd STA (0111, 1111, ...): an error left in the block
};

// The status a video block's STA gives.
BlockStatus VideoBlockStatus(const uint8_t* block);
// True when any of an audio block's 36 sample places holds the error code.
bool AudioBlockInError(const uint8_t* block);

// The damage of one frame, by the parity of the DIF sequence it is in: even sequences [0] and odd
// ones [1] are the tracks of the drum's two heads, so damage confined to one side is the mark of a
// clogged head.
struct FrameDamage {
    int videoErrors[2] = {0, 0};     // video blocks whose STA says error
    int videoConcealed[2] = {0, 0};  // video blocks whose STA says concealed
    int audioErrors[2] = {0, 0};     // audio blocks holding an error code

    int VideoErrors() const { return videoErrors[0] + videoErrors[1]; }
    int VideoConcealed() const { return videoConcealed[0] + videoConcealed[1]; }
    int AudioErrors() const { return audioErrors[0] + audioErrors[1]; }
    bool Any() const { return VideoErrors() + VideoConcealed() + AudioErrors() > 0; }
};

// Counts the damaged blocks of a whole frame of `system` (its sequences). Blocks are taken by
// their place in the sequence, as IsDifFrame checks them.
FrameDamage CountDamage(const uint8_t* frame, const DvSystem& system = k525_60);

}  // namespace dv::dif
