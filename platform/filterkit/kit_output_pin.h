// The output pin base: IPin::Connect with media-type and allocator negotiation, delivery to the
// downstream IMemInputPin, and quality messages passed upstream.
//
// A derived pin supplies CheckMediaType, GetMediaType (the types it offers) and DecideBufferSize.
//
// Threads and locks: Connect and the allocator negotiation run under filterLock (and call into
// the downstream pin, which takes its own filter's lock after ours). Activate/Deactivate run
// under filterLock. GetDeliveryBuffer, Deliver and DeliverEndOfStream run on the streaming thread
// without any lock; they read `allocator` and `inputPin`, which change only while the filter is
// stopped. Notify arrives on the downstream's threads and takes no filter lock.
#pragma once

#include "filterkit/kit_pin.h"

namespace filterkit {

class KitInputPin;

class KitOutputPin : public KitPin {
public:
    // IPin
    HRESULT STDMETHODCALLTYPE Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) override;
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;  // E_UNEXPECTED: output pins take none
    HRESULT STDMETHODCALLTYPE BeginFlush() override;   // E_UNEXPECTED
    HRESULT STDMETHODCALLTYPE EndFlush() override;     // E_UNEXPECTED

    // IQualityControl::Notify: to the sink set with SetSink if any, otherwise to the upstream
    // peer of the filter's input pin (see SetQualityRoute), so a downstream device's messages
    // reach the source. E_NOTIMPL when there is no route.
    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* sender, Quality q) override;

    // Commit/decommit the allocator (VFW_E_NO_ALLOCATOR when unconnected).
    HRESULT Activate() override;
    HRESULT Deactivate() override;

    // Streaming thread. For filters that make one whole frame of each input sample: gives `out`
    // the times of `in` (none for an untimed input, whatever the recycled sample carried
    // before), marks it a sync point, and copies the discontinuity and preroll flags. Media
    // times are left alone.
    static void PassFrameTimes(IMediaSample* in, IMediaSample* out);

    // Streaming thread. An empty sample from the allocator (E_NOINTERFACE when unconnected).
    HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                              DWORD flags);
    // Hands a sample to the downstream Receive; its status unchanged (VFW_E_NOT_CONNECTED when
    // unconnected).
    HRESULT Deliver(IMediaSample* sample);
    HRESULT DeliverEndOfStream();
    HRESULT DeliverBeginFlush();
    HRESULT DeliverEndFlush();
    HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    // The input pin whose upstream peer receives this pin's quality messages. Set once by the
    // owning filter's constructor.
    void SetQualityRoute(KitInputPin* route) { qualityRoute = route; }

protected:
    KitOutputPin(KitFilter* filter, const char16_t* name);
    ~KitOutputPin() override;

    // Sets the buffer count and size in props (which holds the downstream's wishes, alignment
    // at least 1) and calls allocator->SetProperties; fails when the granted buffers are too
    // small. Under filterLock.
    virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) = 0;

    // For pins of fixed-size frames: asks for at least one buffer of frameBytes and fails with
    // E_FAIL when the allocator grants less.
    static HRESULT SizeForFrames(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props,
                                 LONG frameBytes);

    HRESULT CompleteConnect(IPin* peer) override;
    void BreakConnect() override;

private:
    // One connection attempt with one fully specified type.
    HRESULT TryConnect(IPin* receivePin, const AM_MEDIA_TYPE* mt);
    // Tries each type of the enumerator that matches the partial type (or all of them).
    HRESULT TryTypeList(IPin* receivePin, const AM_MEDIA_TYPE* partial, IEnumMediaTypes* types);
    // Prefers the downstream allocator; falls back to a Memory Allocator of our own.
    HRESULT NegotiateAllocator();

    platform::ComPtr<IMemAllocator> allocator;  // filterLock (see above)
    platform::ComPtr<IMemInputPin> inputPin;    // filterLock (see above)
    KitInputPin* qualityRoute = nullptr;        // fixed after construction
};

}  // namespace filterkit
