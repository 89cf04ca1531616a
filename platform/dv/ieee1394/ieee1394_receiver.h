// Reception of DV from a camcorder or deck on the IEEE 1394 bus, through libiec61883's DV frame
// receiver (iec61883_dv_fb), which puts the CIP stream's DIF blocks back together into frames.
// The connection to the unit (its output plug connected point-to-point on a channel and with
// bandwidth allocated for us, or the broadcast channel for a unit without plugs; recovery after a
// bus reset) is Ieee1394Connection's.
//
// Open connects and starts the reception with a loop thread that services the raw1394 handle:
// libiec61883 calls OnFrame on it for every frame once the next one begins (so the last frame
// of a playback arrives when the unit sends the one after it). Whole frames go into a bounded
// queue (kQueueFrames) that ReceiveFrame empties; a frame that arrived with blocks missing is not
// handed on but counted, and so is one that found the queue full. After a bus reset the loop
// thread has the connection restored and counts the frames that went by on the wire while we
// were not connected as lost. A unit no longer there was unplugged: the receiver fails as gone
// (ReceiveFrame says so once the frames before it are taken) and Close frees only what is still
// ours.
//
// Threads and locks: Open, Close on the state-changing thread; ReceiveFrame on one consumer
// thread; Cancel, Interrupt, GetCounts, LastError on any thread. The raw1394 handle is used by
// the loop thread only while it runs, and by Open and Close only while it does not. `lock` guards
// the queue, `cancelled`, and the counters beside it; the loop thread holds it only to put a
// frame in. `failure` has a leaf lock of its own.
#pragma once

#include <libiec61883/iec61883.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "dv/dv_system.h"
#include "dv/ieee1394/ieee1394_connection.h"
#include "dv/receiver_interface.h"
#include "support/fault.h"

namespace dv {

class Ieee1394Receiver : public Receiver {
public:
    // About a second of frames: room for a consumer held up by a slow step now and then.
    static constexpr size_t kQueueFrames = 30;

    explicit Ieee1394Receiver(uint64_t guid);
    ~Ieee1394Receiver() override;

    HRESULT Open() override;
    HRESULT ReceiveFrame(std::vector<uint8_t>* frame, int timeoutMs) override;
    void Cancel() override;
    void Close() override;
    void Interrupt() override;
    Counts GetCounts() const override;
    std::string LastError() const override;

private:
    static int OnFrame(unsigned char* data, int length, int complete, void* self);
    void TakeFrame(const unsigned char* data, int length, bool complete);
    void Loop();
    // The connection stands again (or never will): counts the frames the gap took.
    void LinkUp(int64_t atMs);
    void Fail(HRESULT status, const std::string& text);

    const uint64_t guid;
    Ieee1394Connection connection;
    iec61883_dv_fb_t fb = nullptr;   // Open/Close; the loop thread between them
    std::thread loopThread;
    std::atomic<bool> stopLoop{false};

    mutable std::mutex lock;
    std::condition_variable arrived;            // a frame, a failure or Cancel
    std::deque<std::vector<uint8_t>> queue;     // lock
    bool cancelled = false;                     // lock
    bool failed = false;                        // lock: nothing more will come
    uint64_t frames = 0;                        // lock
    uint64_t incomplete = 0;                    // lock
    uint64_t overflowed = 0;                    // lock
    std::atomic<uint64_t> lostInResets{0};
    std::atomic<const DvSystem*> wireSystem{&k525_60};  // of the last whole frame: the rate LinkUp counts at

    platform::FaultRecord failure;  // its own leaf lock
};

}  // namespace dv
