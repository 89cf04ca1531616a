// A DV source for tests on the simulated bus. DvFeed: NTSC frames as libiec61883's DV transmitter
// asks for them (one 480-byte CIP data block a call), laid out as a camcorder reassembles them
// (header, subcode, VAUX, audio and video DIF blocks in each of the ten sequences), each frame's
// subcode carrying a non-drop time code that counts frames from 00:00:00:00; what a unit recorded
// then tells which frames reached its tape. DvStream: that feed on a channel, on a handle of its
// own, for as long as its loop runs (on the caller's thread, or on one of its own).
// Header-only test support. A DvStream's handle is used by one thread at a time: the caller's in
// Run, its own thread between RunInBackground and the destructor.
#pragma once

#include <libiec61883/iec61883.h>
#include <libraw1394/raw1394.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>

#include "tests/support/sim1394/raw1394_handle.h"

namespace sim1394test {

class DvFeed {
public:
    // libiec61883's DV feeder (iec61883_dv_xmit_init's callback, with the DvFeed as its data).
    static int Feed(unsigned char* data, int blocks, unsigned int /*dropped*/, void* self) {
        if (blocks > 0) static_cast<DvFeed*>(self)->Next(data);
        return 0;
    }
    uint64_t framesBegun() const { return (block + kBlocksPerFrame - 1) / kBlocksPerFrame; }

private:
    static constexpr uint64_t kBlocksPerFrame = 250;  // 1500 DIF blocks of 80 bytes, six a data block

    static uint8_t Bcd(uint64_t value) { return uint8_t((value / 10) << 4 | (value % 10)); }

    void Next(unsigned char* data) {
        const uint64_t frame = block / kBlocksPerFrame;
        for (int i = 0; i < 6; ++i) {
            const uint64_t k = (block % kBlocksPerFrame) * 6 + uint64_t(i);
            const int sequence = int(k / 150), j = int(k % 150);
            uint8_t* dif = data + 80 * i;
            std::memset(dif, 0xFF, 80);
            const int sectionType = j == 0 ? 0 : j <= 2 ? 1 : j <= 5 ? 2 : (j - 6) % 16 == 0 ? 3 : 4;
            // The block's number within its section, by which a receiver puts it in place.
            const int number = sectionType == 0 ? 0
                               : sectionType == 1 ? j - 1
                               : sectionType == 2 ? j - 3
                               : sectionType == 3 ? (j - 6) / 16
                                                  : j - 7 - (j - 6) / 16;
            dif[0] = uint8_t(sectionType << 5 | 0x1F);
            dif[1] = uint8_t(sequence << 4 | 0x07);
            dif[2] = uint8_t(number);
            if (sectionType == 0) {
                // DSF 0: 525/60 (a receiver sizes the frame by it); APT 000, data valid.
                dif[3] = 0x3F;
                dif[4] = 0x68;
                dif[5] = dif[6] = dif[7] = 0x78;
            }
            if (sectionType == 1 && sequence == 0) {
                // Six sync blocks of 8 bytes from byte 3: a 3-byte id, then the time code pack.
                for (int ssyb = 0; ssyb < 6; ++ssyb) {
                    uint8_t* pack = dif + 3 + ssyb * 8 + 3;
                    pack[0] = 0x13;
                    pack[1] = Bcd(frame % 30);
                    pack[2] = Bcd(frame / 30 % 60);
                    pack[3] = Bcd(frame / 1800 % 60);
                    pack[4] = Bcd(frame / 108000 % 24);
                }
            }
        }
        ++block;
    }

    uint64_t block = 0;
};

class DvStream {
public:
    explicit DvStream(int channel = 63) {
        handle = raw1394_new_handle_on_port(0);
        if (handle != nullptr) dv = iec61883_dv_xmit_init(handle, 0, &DvFeed::Feed, &feed);
        if (dv != nullptr) started = iec61883_dv_xmit_start(dv, channel) == 0;
    }
    ~DvStream() {
        stop = true;
        if (loop.joinable()) loop.join();
        if (dv != nullptr) iec61883_dv_close(dv);
        if (handle != nullptr) raw1394_destroy_handle(handle);
    }
    DvStream(const DvStream&) = delete;
    DvStream& operator=(const DvStream&) = delete;

    bool ok() const { return started; }
    // Runs the loop for about `ms` on this thread.
    void Run(int ms) { Iterate(handle, ms); }
    // Runs the loop on a thread of its own until the stream is destroyed.
    void RunInBackground() {
        loop = std::thread([this] {
            while (!stop) IterateOnce(handle);
        });
    }

private:
    raw1394handle_t handle = nullptr;
    iec61883_dv_t dv = nullptr;
    DvFeed feed;
    bool started = false;
    std::atomic<bool> stop {false};
    std::thread loop;
};

}  // namespace sim1394test
