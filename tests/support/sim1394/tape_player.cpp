#include "tape_player.h"

#include <arpa/inet.h>

#include <cstring>

namespace sim1394 {
namespace {

constexpr size_t kBlockBytes = 480;

}  // namespace

void TapePlayer::Start(int64_t cycle, bool fifty) {
    running = true;
    pal = fifty;
    streamStart = cycle;
    next = cycle;
    frameIndex = 0;
    windowStart = -1;
    blocksSent = 0;
}

void TapePlayer::Produce(int64_t until, int sid, int channel, const FrameSource& source, std::vector<WirePacket>* out) {
    const int blocksPerFrame = pal ? 300 : 250;
    const uint32_t fdf = pal ? 0x80 : 0x00;  // the 50/60 bit
    while (running && next < until) {
        if (windowStart < 0) {
            if (!source(frameIndex, &frame) || frame.size() != size_t(blocksPerFrame) * kBlockBytes) {
                running = false;  // nothing more to play: the output falls silent
                return;
            }
            windowStart = streamStart + FrameStart(frameIndex);
            blocksSent = 0;
        }
        const int64_t length = streamStart + FrameStart(frameIndex + 1) - windowStart;  // 266 or 267 cycles, or 320
        const int64_t i = next - windowStart;
        // Blocks due by the end of this cycle: ceil((i + 1) * blocks / length), the first in cycle 0.
        const int due = int(((i + 1) * blocksPerFrame + length - 1) / length);
        const bool data = due > blocksSent && blocksSent < blocksPerFrame;
        WirePacket packet;
        packet.cycle = next;
        packet.channel = channel;
        packet.payload.resize(8 + (data ? kBlockBytes : 0));
        const bool frameStart = data && blocksSent == 0;
        const uint32_t syt = frameStart ? uint32_t(((next + 3) & 0xF) << 12) : 0xFFFFu;
        const uint32_t q0 = uint32_t(sid & 0x3f) << 24 | 0x78u << 16 | dbc;
        const uint32_t q1 = 0x80000000u | 0x00u << 24 | fdf << 16 | syt;
        const uint32_t wire[2] = {htonl(q0), htonl(q1)};
        std::memcpy(packet.payload.data(), wire, 8);
        if (data) {
            std::memcpy(packet.payload.data() + 8, frame.data() + size_t(blocksSent) * kBlockBytes, kBlockBytes);
            ++blocksSent;
            ++dbc;
        }
        out->push_back(std::move(packet));
        ++next;
        if (i + 1 >= length) {  // the frame's window is over
            ++frameIndex;
            windowStart = -1;
        }
    }
}

}  // namespace sim1394
