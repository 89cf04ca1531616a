// The output side of a connection: obtains the downstream pin's IMemInputPin, chooses a sample
// allocator (the downstream one if it can be sized and is accepted, else a platform Memory
// Allocator of its own), and while streaming hands out empty samples and passes filled samples,
// end-of-stream, flushes and segments downstream.
//
// Locks: connection operations (ValidatePeer, TearDownConnection, FinishConnection,
// NegotiateAllocator) run under the filter lock held by PinBase; Activate and Deactivate are
// called with it held. The streaming operations (GetOutputSample, DeliverSample, Signal*) take
// no lock: they run on the push-stream worker and read `allocator`, `inputPin` and `peer`, which
// change only while the filter is stopped and the worker is not running.
#pragma once

#include "pin_base.h"

class OutputPinBase : public PinBase {
public:
    OutputPinBase(const char* objectName, FilterBase* owner, CRITICAL_SECTION* lock,
                  HRESULT* status, const WCHAR* pinName);
    // Releases an allocator and input pin still held.
    ~OutputPinBase() override;

    // ---- PinBase operations filled here ----
    // Commits the allocator; VFW_E_NO_ALLOCATOR without one.
    HRESULT Activate() override;
    // Decommits the allocator; VFW_E_NO_ALLOCATOR without one.
    HRESULT Deactivate() override;
    // Direction check, then the peer's IMemInputPin into `inputPin`.
    HRESULT ValidatePeer(IPin* peerPin) override;
    // Releases allocator, then input pin.
    HRESULT TearDownConnection() override;
    // NegotiateAllocator(inputPin, &allocator).
    HRESULT FinishConnection(IPin* peerPin) override;

    // ---- own virtual operations, in this order ----
    virtual HRESULT NegotiateAllocator(IMemInputPin* input, IMemAllocator** allocatorOut);
    // Sizes the buffers; supplied by the derived stream. Called under the filter lock.
    virtual HRESULT ChooseBufferSize(IMemAllocator* chosen, ALLOCATOR_PROPERTIES* request) = 0;
    // An empty sample with one reference for the caller; E_NOINTERFACE without an allocator.
    virtual HRESULT GetOutputSample(IMediaSample** sample, REFERENCE_TIME* start,
                                    REFERENCE_TIME* stop, DWORD flags);
    // The input pin's Receive; VFW_E_NOT_CONNECTED without an input pin.
    virtual HRESULT DeliverSample(IMediaSample* sample);
    // A new platform Memory Allocator.
    virtual HRESULT CreateAllocator(IMemAllocator** allocatorOut);
    virtual HRESULT SignalEndOfStream();
    virtual HRESULT SignalBeginFlush();
    virtual HRESULT SignalEndFlush();
    virtual HRESULT SignalNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    // ---- IPin notifications only an input pin takes: E_UNEXPECTED ----
    HRESULT STDMETHODCALLTYPE EndOfStream() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;

    // The chosen allocator, not AddRef'd; null while unconnected.
    IMemAllocator* ConnectionAllocator() const { return allocator; }

protected:
    IMemAllocator* allocator;  // guarded by the filter lock; one reference; null if unconnected
    IMemInputPin* inputPin;    // guarded by the filter lock; one reference; null if unconnected
};
