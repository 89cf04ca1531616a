// The input pin base: IPin (ReceiveConnection), IMemInputPin and the streaming state.
//
// A derived pin supplies CheckMediaType and OnReceive, and optionally the flush/end-of-stream
// hooks and UnblockReceive.
//
// Threads and locks:
// - Connection, allocator announcements and state changes come from graph threads under the
//   filter's filterLock.
// - Receive, ReceiveMultiple, EndOfStream and NewSegment come from the upstream streaming thread.
//   They hold receiveLock (after filterLock in lock order) while they call OnReceive /
//   OnEndOfStream, and never take filterLock.
// - BeginFlush/EndFlush come from any thread and take no lock of this pin while calling out.
// - Deactivate (filter Stop) marks the pin stopped and calls UnblockReceive so that a Receive
//   blocked in the derived pin returns promptly; once the filter's other pins are deactivated too
//   (an output allocator decommitted releases a Receive waiting for a buffer), WaitIdle takes
//   receiveLock so that no Receive is still running when the filter reports stopped.
#pragma once

#include <atomic>
#include <mutex>

#include "filterkit/kit_pin.h"

namespace filterkit {

// IUnknown: KitPin's interfaces and IMemInputPin.
class KitInputPin
    : public platform::ComExtend<KitPin, platform::Implements<IMemInputPin, IID_IMemInputPin>> {
public:
    // IPin
    HRESULT STDMETHODCALLTYPE Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) override;
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;

    // IMemInputPin. GetAllocator hands out a platform Memory Allocator (created on first use);
    // NotifyAllocator records the allocator the upstream pin chose.
    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** out) override;
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
    HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    // Refuses samples while stopped (VFW_E_WRONG_STATE) or flushing (S_FALSE) and a null sample
    // (E_POINTER); otherwise calls OnReceive under receiveLock.
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** samples, LONG count,
                                              LONG* processed) override;
    HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override;

    HRESULT Activate() override;
    HRESULT Deactivate() override;
    void WaitIdle() override;

    // Passes a quality message to the upstream peer's IQualityControl. Any thread.
    HRESULT SendQualityUpstream(const Quality& q);

    bool IsFlushing() const { return flushing.load(); }
    bool IsStopped() const { return stopped.load(); }

protected:
    KitInputPin(KitFilter* filter, const char16_t* name);
    ~KitInputPin() override;

    // The work on one sample, on the streaming thread under receiveLock. Its status goes back to
    // the upstream pin (anything but S_OK ends the upstream's streaming).
    virtual HRESULT OnReceive(IMediaSample* sample) = 0;
    // Passing end-of-stream and flushes on (a transform passes them to its output pin's peer).
    // Defaults do nothing and return S_OK.
    virtual HRESULT OnEndOfStream() { return S_OK; }
    virtual HRESULT OnBeginFlush() { return S_OK; }
    virtual HRESULT OnEndFlush() { return S_OK; }
    // Wakes a Receive that is blocked inside the derived pin (e.g. waiting for room in a
    // queue). Called by Deactivate and BeginFlush without receiveLock. Default: nothing.
    virtual void UnblockReceive() {}

    void BreakConnect() override;

private:
    std::mutex receiveLock;           // serialises OnReceive/OnEndOfStream with Stop
    std::atomic<bool> stopped{true};  // written under filterLock
    std::atomic<bool> flushing{false};
    platform::ComPtr<IMemAllocator> allocator;  // filterLock
    BOOL readOnly = FALSE;                      // filterLock
};

}  // namespace filterkit
