// The transport to a DV camcorder or deck on the IEEE 1394 bus, through libiec61883.
//
// Open finds the unit by its unique id, connects our output plug to its input plug with the
// connection management procedures (falling back to broadcast channel 63 when the unit has no
// plugs to connect), and prepares an NTSC DV transmitter. The first frame starts transmission and
// a loop thread that services the raw1394 handle. From then on the 8 kHz bus cycle paces the
// frames: SendFrame waits for room in Ieee1394FrameQueue, and the feeder callback repeats the
// last frame whenever the queue is dry. A bus reset finds the unit again by its id (node numbers
// change) and remakes the connection on the same channel; a unit no longer on the bus is gone.
// A loop error, or a bus that stops asking for packets, fails the transport (the device is gone).
//
// Threads: Open and Close on the state-changing thread; SendFrame on the streaming thread;
// Cancel on any thread. The raw1394 handle is used by the loop thread only while it runs (the
// feeder and the bus reset handler are called from raw1394_loop_iterate on it), and by
// Open/Close only while it does not. `failure` and `errorText` are guarded by errorLock.
#pragma once

#include <libiec61883/iec61883.h>
#include <libraw1394/raw1394.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "ieee1394_frame_queue.h"
#include "transport_interface.h"

namespace dv {

class Ieee1394Transport : public Transport {
public:
    explicit Ieee1394Transport(uint64_t guid);
    ~Ieee1394Transport() override;

    HRESULT Open() override;
    HRESULT SendFrame(const uint8_t* frame, size_t size) override;
    void Cancel() override;
    void Close() override;
    std::string LastError() const override;

private:
    static int Feeder(unsigned char* data, int difBlocks, unsigned int dropped, void* self);
    static int OnBusReset(raw1394handle_t handle, unsigned int generation);
    void Loop();
    HRESULT Fail(HRESULT status, const std::string& text);
    HRESULT Failure();

    const uint64_t guid;
    Ieee1394FrameQueue queue;
    raw1394handle_t handle = nullptr;  // see the class comment
    iec61883_dv_t transmitter = nullptr;
    nodeid_t deviceNode = 0;
    int outputPlug = -1;
    int inputPlug = -1;
    int bandwidth = 0;
    int channel = -1;
    bool connected = false;             // a point-to-point connection was made (not broadcast)
    bool started = false;               // streaming thread: transmission and loop started
    std::thread loopThread;
    std::atomic<bool> stopLoop{false};
    std::atomic<int64_t> lastFeedMs{0};  // when the feeder last ran; the loop's stall check
    mutable std::mutex errorLock;
    HRESULT failure = S_OK;
    std::string errorText;
};

}  // namespace dv
