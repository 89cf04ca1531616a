// Reads a sim1394 capture and checks that it holds a valid IEC 61883 DV stream (SD 525-60, or
// SD 625-50) as a camcorder expects it: per packet tag 1 and sy 0, one packet per bus cycle, CIP
// headers with DBS 0x78, FMT 0 (DVCR), FDF 0 (525-60; 0x80, the 50/60 bit, for 625-50) and the
// sender's node in SID, the data block counter carried on from packet to packet, 480-byte data
// blocks (250 a frame paced 1000 data packets in 1068; 300 a frame, 15 in 16), and a SYT exactly
// in the packet that carries a frame's header block.
// Header-only test support; no threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sim1394 {

struct CapturedPacket {
    uint32_t cycle = 0;
    uint8_t channel = 0, tag = 0, sy = 0;
    std::vector<uint8_t> payload;  // as on the wire

    uint32_t Quadlet(size_t i) const {
        const uint8_t* p = payload.data() + 4 * i;
        return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    }
    bool IsData() const { return payload.size() == 488; }
    const uint8_t* Block() const { return payload.data() + 8; }
    bool StartsFrame() const { return IsData() && (Block()[0] >> 5) == 0 && (Block()[1] >> 4) == 0; }
};

// The packets of a capture file; false with a reason when it is not one.
inline bool ReadCapture(const std::string& path, std::vector<CapturedPacket>* packets, std::string* why) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *why = "cannot open " + path;
        return false;
    }
    char magic[8];
    bool ok = std::fread(magic, 1, 8, f) == 8 && std::string(magic, 8) == "ISO1394\n";
    if (!ok) *why = "no ISO1394 signature";
    uint8_t h[12];
    while (ok && std::fread(h, 1, 12, f) == 12) {
        CapturedPacket p;
        p.cycle = uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 | uint32_t(h[3]) << 24;
        p.channel = h[4];
        p.tag = h[5];
        p.sy = h[6];
        const uint32_t length = uint32_t(h[8]) | uint32_t(h[9]) << 8 | uint32_t(h[10]) << 16 | uint32_t(h[11]) << 24;
        if (h[7] != 0 || length > 4096) {
            *why = "bad packet header";
            ok = false;
            break;
        }
        p.payload.resize(length);
        if (std::fread(p.payload.data(), 1, length, f) != length) {
            *why = "truncated packet";
            ok = false;
            break;
        }
        packets->push_back(std::move(p));
    }
    std::fclose(f);
    return ok;
}

struct StreamCheck {
    std::vector<std::string> errors;  // empty: valid
    uint64_t packets = 0, dataPackets = 0, frames = 0, cycleGaps = 0;
    int channel = -1;
    double dataShare = 0;  // data packets / packets (1000/1068 for NTSC, 15/16 for PAL)
};

// Checks the packets of one channel from the sender with this node number.
inline StreamCheck CheckDvStream(const std::vector<CapturedPacket>& all, int channel, int sourceNode,
                                 bool pal = false) {
    const uint32_t fdf = pal ? 0x80 : 0x00;
    const int64_t packetsPerFrame = pal ? 300 : 250;
    StreamCheck c;
    c.channel = channel;
    auto error = [&](const std::string& text) {
        if (c.errors.size() < 20) c.errors.push_back(text);
    };
    int expectedDbc = -1;
    int64_t lastCycle = -1;
    int64_t dataSinceFrame = -1;
    for (size_t i = 0; i < all.size(); ++i) {
        const CapturedPacket& p = all[i];
        if (p.channel != channel) continue;
        const std::string at = "packet " + std::to_string(i) + " (cycle " + std::to_string(p.cycle) + "): ";
        ++c.packets;
        if (lastCycle >= 0 && int64_t(p.cycle) <= lastCycle) error(at + "cycle does not advance");
        if (lastCycle >= 0 && int64_t(p.cycle) > lastCycle + 1) ++c.cycleGaps;
        lastCycle = p.cycle;
        if (p.tag != 1 || p.sy != 0) error(at + "tag/sy not 1/0");
        if (p.payload.size() != 8 && p.payload.size() != 488) {
            error(at + "length " + std::to_string(p.payload.size()));
            continue;
        }
        const uint32_t q0 = p.Quadlet(0), q1 = p.Quadlet(1);
        if ((q0 >> 30) != 0 || int((q0 >> 24) & 0x3f) != sourceNode) error(at + "SID is not the sender");
        if (((q0 >> 16) & 0xff) != 0x78) error(at + "DBS is not 0x78");
        if (((q0 >> 8) & 0xff) != 0) error(at + "FN/QPC/SPH not 0");
        if ((q1 >> 30) != 2 || ((q1 >> 24) & 0x3f) != 0) error(at + "not FMT 0 (DVCR)");
        if (((q1 >> 16) & 0xff) != fdf) error(at + (pal ? "FDF is not 625-50" : "FDF is not 525-60"));
        const int dbc = int(q0 & 0xff);
        if (expectedDbc >= 0 && dbc != expectedDbc) error(at + "DBC " + std::to_string(dbc) + ", expected " +
                                                          std::to_string(expectedDbc));
        const bool syt = (q1 & 0xffff) != 0xffff;
        if (p.IsData()) {
            ++c.dataPackets;
            expectedDbc = (dbc + 1) & 0xff;
            if (p.StartsFrame()) {
                if (dataSinceFrame >= 0 && dataSinceFrame != packetsPerFrame) {
                    error(at + "frame header after " + std::to_string(dataSinceFrame) + " data packets");
                }
                dataSinceFrame = 0;
                ++c.frames;
                if (!syt) error(at + "frame header without SYT");
            } else if (syt) {
                error(at + "SYT in a packet that starts no frame");
            }
            if (dataSinceFrame >= 0) ++dataSinceFrame;
        } else {
            expectedDbc = dbc;  // an empty packet carries the next block's count
            if (syt) error(at + "SYT in an empty packet");
        }
    }
    c.dataShare = c.packets > 0 ? double(c.dataPackets) / double(c.packets) : 0;
    return c;
}

}  // namespace sim1394
