#include "dv/ieee1394/ieee1394_receiver.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "support/log.h"
#include "support/monotonic_clock.h"

#include "dv/ieee1394/ieee1394_discovery.h"
#include "dv/ieee1394/ieee1394_wait.h"
#include "dv/transport_interface.h"

namespace dv {

Ieee1394Receiver::Ieee1394Receiver(uint64_t guid)
    : guid(guid), connection(guid, Ieee1394Connection::Direction::FromUnit) {}

Ieee1394Receiver::~Ieee1394Receiver() {
    Cancel();
    Close();
}

void Ieee1394Receiver::Fail(HRESULT status, const std::string& text) {
    Ieee1394Connection::KeepFirstFailure(failure, guid, status, text);
    std::lock_guard<std::mutex> hold(lock);
    failed = true;
    arrived.notify_all();
}

std::string Ieee1394Receiver::LastError() const { return failure.Text(); }

void Ieee1394Receiver::Interrupt() { connection.Interrupt(); }

HRESULT Ieee1394Receiver::Open() {
    if (connection.handle() != nullptr) return S_OK;
    if (const auto fault = connection.Open()) {
        failure.KeepFirst(fault->status, fault->text);
        return HRESULT(fault->status);
    }
    fb = iec61883_dv_fb_init(connection.handle(), &OnFrame, this);
    if (fb == nullptr || iec61883_dv_fb_start(fb, connection.channel()) != 0) {
        if (fb != nullptr) iec61883_dv_fb_close(fb);
        fb = nullptr;
        connection.Close();
        failure.KeepFirst(E_FAIL, "cannot start IEEE 1394 reception");
        return E_FAIL;
    }
    stopLoop.store(false);
    loopThread = std::thread(&Ieee1394Receiver::Loop, this);
    pthread_setname_np(loopThread.native_handle(), "ieee1394-recv");
    return S_OK;
}

int Ieee1394Receiver::OnFrame(unsigned char* data, int length, int complete, void* self) {
    static_cast<Ieee1394Receiver*>(self)->TakeFrame(data, length, complete != 0);
    return 0;
}

void Ieee1394Receiver::TakeFrame(const unsigned char* data, int length, bool complete) {
    std::lock_guard<std::mutex> hold(lock);
    // A frame with blocks missing holds the previous frame's blocks in their place: never handed
    // on as if it were whole; nor is one of neither system's size.
    const DvSystem* system = length > 0 ? DvSystem::OfFrameBytes(size_t(length)) : nullptr;
    if (!complete || system == nullptr) {
        ++incomplete;
        return;
    }
    wireSystem.store(system);
    if (queue.size() >= kQueueFrames) {
        ++overflowed;
        return;
    }
    queue.emplace_back(data, data + length);
    ++frames;
    arrived.notify_one();
}

void Ieee1394Receiver::LinkUp(int64_t atMs) {
    // Counted on the wire, at the received stream's rate.
    lostInResets.fetch_add(connection.MarkUp(atMs, *wireSystem.load()));
}

void Ieee1394Receiver::Loop() {
    raw1394handle_t handle = connection.handle();
    auto fail = [&](HRESULT status, const std::string& text) {
        LinkUp(platform::MonotonicMs());
        Fail(status, text);
    };
    while (!stopLoop.load()) {
        // Short turns while a reset is pending, so that the connection is back soon.
        const BusWait waited = WaitOnBus(handle, connection.ResetPending() ? 5 : 50, nullptr);
        if (waited == BusWait::Failed) return fail(kTransportDeviceGone, "IEEE 1394 reception failed");
        if (!connection.ResetPending()) continue;
        const Ieee1394Connection::Recovery recovery = connection.Recover();
        if (recovery == Ieee1394Connection::Recovery::Restored) {
            LinkUp(platform::MonotonicMs());
            PLATFORM_LOG(platform::log::kIeee1394, Info, "DV unit %s: bus reset survived in reception: node %d, "
                         "channel %d, %llu frames lost so far",
                         Ieee1394Discovery::DevicePath(guid).c_str(), connection.node(), connection.channel(),
                         static_cast<unsigned long long>(lostInResets.load()));
        }
        if (const auto fault = Ieee1394Connection::GaveUp(recovery, "the DV unit's output")) {
            return fail(fault->status, fault->text);
        }
    }
}

HRESULT Ieee1394Receiver::ReceiveFrame(std::vector<uint8_t>* frame, int timeoutMs) {
    if (frame == nullptr) return E_POINTER;
    std::unique_lock<std::mutex> hold(lock);
    arrived.wait_for(hold, std::chrono::milliseconds(std::max(0, timeoutMs)),
                     [&] { return cancelled || failed || !queue.empty(); });
    if (cancelled) return kTransportCancelled;
    if (!queue.empty()) {
        frame->swap(queue.front());
        queue.pop_front();
        return S_OK;
    }
    if (failed) {
        hold.unlock();
        const HRESULT status = HRESULT(failure.Status());
        return FAILED(status) ? status : kTransportDeviceGone;
    }
    return S_FALSE;
}

void Ieee1394Receiver::Cancel() {
    std::lock_guard<std::mutex> hold(lock);
    cancelled = true;
    arrived.notify_all();
}

void Ieee1394Receiver::Close() {
    if (loopThread.joinable()) {
        stopLoop.store(true);
        loopThread.join();
    }
    if (fb != nullptr) {
        iec61883_dv_fb_close(fb);
        fb = nullptr;
    }
    if (connection.Down()) LinkUp(platform::MonotonicMs());
    connection.Close();
}

Receiver::Counts Ieee1394Receiver::GetCounts() const {
    Counts c;
    {
        std::lock_guard<std::mutex> hold(lock);
        c.frames = frames;
        c.incomplete = incomplete;
        c.overflowed = overflowed;
    }
    c.lostInResets = lostInResets.load();
    c.busResets = connection.busResets();
    c.channel = connection.channel();
    c.broadcast = connection.broadcast();
    return c;
}

}  // namespace dv
