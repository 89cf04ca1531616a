// The downstream input pin the tests and benchmarks put after a filter: IPin + IMemInputPin with
// the plain answers of a pin that takes whatever it is given. Test pins derive from it and
// override what they record or refuse.
//
// A pin the test keeps on its stack derives from testsupport::TestOwned too, so it is never
// destroyed through its count (see tests/support/com_fake.h); one made with new goes on its last
// Release.
//
// Threads: the defaults touch only the atomic count; a derived pin guards what it adds.
#pragma once

#include <dshow.h>

#include "support/com_object.h"
#include "tests/support/com_fake.h"

namespace testsupport {

// IMemInputPin is answered while OffersMemInputPin.
class FakeInputPin
    : public Withholding<platform::ComObject<platform::Implements<IPin, IID_IPin>,
                                            platform::Implements<IMemInputPin, IID_IMemInputPin>>> {
public:
    // The references held now, the test's own among them.
    LONG References() { return static_cast<LONG>(testsupport::References(*this)); }

    // IPin: an unconnectable input (connections come from the output side), accepting any type.
    HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Disconnect() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override {
        if (pin == nullptr) return E_POINTER;
        *pin = nullptr;
        return VFW_E_NOT_CONNECTED;
    }
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override {
        if (info == nullptr) return E_POINTER;
        info->pFilter = nullptr;
        info->dir = PINDIR_INPUT;
        info->achName[0] = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* direction) override {
        if (direction == nullptr) return E_POINTER;
        *direction = PINDIR_INPUT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndOfStream() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IMemInputPin: no allocator of its own (the upstream makes one), every sample taken.
    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** allocator) override {
        if (allocator == nullptr) return E_POINTER;
        *allocator = nullptr;
        return VFW_E_NO_ALLOCATOR;
    }
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample*) override { return S_OK; }
    // Receive for each sample in turn, up to the first that is not S_OK.
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** samples, LONG count,
                                              LONG* processed) override {
        if (processed == nullptr) return E_POINTER;
        *processed = 0;
        for (LONG i = 0; i < count; ++i) {
            const HRESULT hr = Receive(samples[i]);
            if (hr != S_OK) return hr;
            ++*processed;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_FALSE; }

protected:
    virtual bool OffersMemInputPin() const { return true; }
    bool Offers(REFIID iid) override { return iid != IID_IMemInputPin || OffersMemInputPin(); }
};

}  // namespace testsupport
