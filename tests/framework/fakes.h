// Stand-ins for the components around a filter: a downstream input pin with its allocator
// wishes (the allocator is the shared testsupport::FakeAllocator), a graph with an event sink,
// and a small source filter with one configurable push-stream pin. Reference counts are
// observable (testsupport::References) so tests can check that nothing leaks.
#pragma once

#include <dshow.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "support/com_object.h"
#include "tests/support/com_fake.h"
#include "tests/support/fake_allocator.h"
#include "tests/support/fake_input_pin.h"
#include "framework/media_type_record.h"
#include "framework/push_stream_pin.h"
#include "framework/source_filter_base.h"

namespace fakes {

DEFINE_GUID(CLSID_TestSource, 0x0f1e2d3c, 0x4b5a, 0x6978, 0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1,
            0xf0);

// An RGB24 720x480 video type with a VIDEOINFO block.
MediaTypeRecord VideoType(const GUID& subtype, LONG width = 720, LONG height = 480);

// ---- the downstream pin -------------------------------------------------------------------------
class FakeTypeEnumerator;

// A downstream input pin. Its own offered types, the types it accepts, whether it offers
// IMemInputPin and an allocator, and how it answers Receive are set by the test.
// On the shared testsupport::FakeInputPin.
class FakeInputPin : public testsupport::FakeInputPin, public testsupport::TestOwned {
public:
    FakeInputPin();
    ~FakeInputPin() override;

    // IPin
    HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector,
                                                const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* out) override {
        *out = direction;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** out) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override {
        ++endOfStreamCount;
        return S_OK;
    }

    // IMemInputPin
    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** out) override;
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* chosen, BOOL readOnly) override;
    HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample**, LONG, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_OK; }

    // Set by the test.
    PIN_DIRECTION direction = PINDIR_INPUT;
    bool offersMemInputPin = true;
    std::vector<MediaTypeRecord> offeredTypes;  // the peer's own list
    std::vector<GUID> acceptedSubtypes;         // ReceiveConnection accepts these subtypes
    HRESULT refusal = E_FAIL;                   // ... and answers others with this
    testsupport::FakeAllocator* ownAllocator = nullptr;  // GetAllocator's answer (none: failure)
    bool refuseOwnAllocator = false;            // NotifyAllocator refuses ownAllocator
    ALLOCATOR_PROPERTIES requirements = {};
    std::atomic<HRESULT> receiveAnswer{S_OK};

    // Observed (and References(), the shared pin's count).
    int enumerations = 0;                // EnumMediaTypes calls
    std::vector<GUID> offeredToConnect;  // subtypes passed to ReceiveConnection, in order
    IPin* connector = nullptr;           // held with a reference while connected
    MediaTypeRecord connectedType;
    IMemAllocator* notified = nullptr;  // the allocator announced, with a reference
    std::atomic<int> received{0};
    std::atomic<int> endOfStreamCount{0};

protected:
    bool OffersMemInputPin() const override { return offersMemInputPin; }
};

// ---- the graph ----------------------------------------------------------------------------------
// On the test's stack (see tests/support/com_fake.h). IMediaEventSink is answered while
// hasEventSink.
class FakeGraph
    : public testsupport::Withholding<platform::ComObject<
          platform::Implements<IFilterGraph, IID_IFilterGraph>,
          platform::Implements<IMediaEventSink, IID_IMediaEventSink>>>,
      public testsupport::TestOwned {
public:
    HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR, IBaseFilter**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Disconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override;

    struct Event {
        LONG code;
        LONG_PTR param1;
        LONG_PTR param2;
    };
    std::vector<Event> Events();

    bool hasEventSink = true;

protected:
    bool Offers(REFIID iid) override;

private:
    std::mutex eventsLock;
    std::vector<Event> events;
};

// ---- the filter under test ----------------------------------------------------------------------
class TestSource;

// A push-stream pin with one configurable type and a scripted fill.
class TestStream : public PushStreamPin {
public:
    TestStream(HRESULT* status, TestSource* owner, const WCHAR* name);

    HRESULT GetSingleType(MediaTypeRecord* type) override;
    HRESULT ChooseBufferSize(IMemAllocator* chosen, ALLOCATOR_PROPERTIES* request) override;
    HRESULT FillSample(IMediaSample* sample) override;
    HRESULT OnWorkerStart() override { return workerStartAnswer; }
    // The platform's Memory Allocator unless createAllocatorAnswer is a failure.
    HRESULT CreateAllocator(IMemAllocator** allocatorOut) override;

    // Pretends the offered type list changed.
    void ChangeTypeList() { ++typeListVersion; }

    MediaTypeRecord singleType;  // empty (wildcard) until set
    bool hasSingleType = true;
    LONG bufferSize = 1000;
    std::atomic<HRESULT> fillAnswer{S_OK};
    HRESULT workerStartAnswer = S_OK;
    HRESULT createAllocatorAnswer = S_OK;
    std::atomic<int> fills{0};
    std::vector<ALLOCATOR_PROPERTIES> sizingRequests;  // what ChooseBufferSize was handed
};

class TestSource : public SourceFilterBase {
public:
    explicit TestSource(IUnknown* outer = nullptr);
    // Pretends the pin set changed.
    void ChangePinSet() { ++pinVersion; }
    using SourceFilterBase::pinCount;
    using SourceFilterBase::pinTable;
    // Adds one more stream; the filter owns it.
    TestStream* AddStream(const WCHAR* name);
};

// The filter's IBaseFilter with one reference held by the test; Release it to destroy.
IBaseFilter* AsFilter(TestSource* source);

}  // namespace fakes
