// A simulated unit's DV output as IEC 61883-1/-2 put it on the wire (SD 525-60, or SD 625-50 for
// a PAL unit): one isochronous packet a bus cycle, tag 1, sy 0, each a CIP header (SID the unit's
// node number, DBS 0x78, FN, QPC and SPH 0, DBC counting the data blocks sent before; FMT 0
// (DVCR), FDF 0x00 (the 50/60 bit clear for 525-60, STYPE 0) or 0x80 (set for 625-50), SYT) and
// either one 480-byte data block (six DIF blocks) or nothing. A 525/60 frame is 250 data blocks
// in the order the frame stores its DIF blocks. Frame k of a stream started at cycle c begins at
// cycle c + ceil(k * 8008 / 30): 29.97 frames a second as the bus cycle counts them, with the 250
// data packets spread evenly over the frame's 266 or 267 cycles and the empty packets between. A
// 625/50 frame is 300 data blocks over 320 cycles: 25 frames a second. The packet that carries a frame's first block (its header) has
// the SYT ((cycle + 3) & 0xF) << 12; all others 0xFFFF. An empty packet's DBC is the next block's.
// Threads: none of its own; owned by a VirtualNode (the bus server's thread).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace sim1394 {

struct WirePacket {
    int64_t cycle = 0;
    int channel = 63;
    std::vector<uint8_t> payload;  // as on the wire; tag 1, sy 0
};

class TapePlayer {
public:
    // The frame to send as the stream's frame `index` (0, 1, ...): 120000 bytes (144000 in 625/50),
    // or false when there is none (the stream ends there).
    using FrameSource = std::function<bool(int64_t index, std::vector<uint8_t>* frame)>;

    // A new stream whose frame 0 begins at bus cycle `cycle`; of 625/50 frames when `pal`.
    void Start(int64_t cycle, bool pal = false);
    void Stop() { running = false; }
    bool playing() const { return running; }

    // The packets of the cycles before `until`, appended to *out, on `channel` from node `sid`.
    void Produce(int64_t until, int sid, int channel, const FrameSource& source, std::vector<WirePacket>* out);

private:
    // Cycles from the stream's start.
    int64_t FrameStart(int64_t index) const { return pal ? index * 320 : (index * 8008 + 29) / 30; }

    bool running = false;
    bool pal = false;
    int64_t streamStart = 0;
    int64_t next = 0;            // the next cycle to send
    int64_t frameIndex = 0;      // the frame whose window holds `next` (or is next to begin)
    int64_t windowStart = -1;    // that frame's first cycle; -1: its frame is not fetched yet
    int blocksSent = 0;          // of that frame
    uint8_t dbc = 0;             // the unit's data block counter, kept across streams
    std::vector<uint8_t> frame;
};

}  // namespace sim1394
