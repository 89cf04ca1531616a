// Small filters for exercising the graph, on the platform's COM support classes: a push source with an output pin "Out" that streams
// samples from a platform Memory Allocator on a worker thread, a renderer with an input pin "In"
// (IMemInputPin) that counts what it receives and can hold a sample to make back-pressure, and a
// pass-through with both pins. Every state call is written to a shared log, so tests can see the
// order in which the graph drives the filters.
//
// Threads: filterLock (recursive) guards state, clock, graph, name and the pins' connections;
// the source's worker takes only streamMutex, never filterLock. streamMutex guards the counters,
// the receive hold and the worker's flags. Lock order: filterLock, then streamMutex.
#pragma once

#include <dshow.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/com_object.h"
#include "support/com_ptr.h"

namespace streamtest {

using platform::ComPtr;
using platform::Implements;

// Shared record of state calls: "<label>:<call>".
class CallLog {
public:
    static void Record(const std::string& entry);
    static std::vector<std::string> Take();
    // Entries for one call ("Pause"), in order, as labels.
    static std::vector<std::string> Labels(const std::vector<std::string>& log,
                                           const std::string& call);
};

class TestFilter;

// IPin shared by both directions; references count on the owning filter.
class TestPin : public platform::ComPart<Implements<IPin, IID_IPin>> {
public:
    TestPin(TestFilter* owner, PIN_DIRECTION direction, const char16_t* name);
    ~TestPin() override;

    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pPin) override;
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* pInfo) override;
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* pPinDir) override;
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* Id) override;
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                                         double dRate) override;

    bool IsConnected();

protected:
    virtual void ReleaseConnection() {}  // under filterLock

    TestFilter* const owner;
    const PIN_DIRECTION direction;
    const std::u16string name;
    ComPtr<IPin> peer;     // filterLock
    AM_MEDIA_TYPE type{};  // connection type without format; filterLock
};

class TestOutputPin final : public TestPin {
public:
    explicit TestOutputPin(TestFilter* owner);
    ~TestOutputPin() override;

    HRESULT STDMETHODCALLTYPE Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* pConnector,
                                                const AM_MEDIA_TYPE* pmt) override;

    // Streaming side (worker or upstream thread); fields fixed while not stopped.
    ComPtr<IMemAllocator> allocator;
    ComPtr<IMemInputPin> input;

private:
    void ReleaseConnection() override;
};

class TestInputPin final
    : public platform::ComExtend<TestPin, Implements<IMemInputPin, IID_IMemInputPin>> {
public:
    explicit TestInputPin(TestFilter* owner);

    HRESULT STDMETHODCALLTYPE Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* pConnector,
                                                const AM_MEDIA_TYPE* pmt) override;

    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** ppAllocator) override;
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* pSample) override;
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** pSamples, LONG nSamples,
                                              LONG* nSamplesProcessed) override;
    HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override;
};

class TestFilter final
    : public platform::ComObject<
          Implements<IBaseFilter, IID_IBaseFilter, IID_IMediaFilter, IID_IPersist>,
          Implements<IPersistPropertyBag, IID_IPersistPropertyBag>> {
public:
    enum class Kind { Source, PassThrough, Renderer };

    // One reference for the caller.
    static TestFilter* Create(Kind kind, const std::string& label);
    // Class creator for a renderer made through a device moniker.
    static HRESULT CreateRenderer(IUnknown* outer, REFIID iid, void** out);
    static int LiveCount();

    // IBaseFilter
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME tStart) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) override;
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* pClock) override;
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** pClock) override;
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR Id, IPin** ppPin) override;
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* pInfo) override;
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* pVendorInfo) override;

    // IPersistPropertyBag
    HRESULT STDMETHODCALLTYPE InitNew() override;
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override;
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag* pPropBag, BOOL fClearDirty,
                                   BOOL fSaveAllProperties) override;

    IPin* InputPin() { return input; }    // not counted; null for a source
    IPin* OutputPin() { return output; }  // not counted; null for a renderer

    // Test controls and observations (any thread).
    int Received();
    // Waits (bounded, so a fault fails rather than hangs) until `count` samples were received.
    bool WaitForReceived(int count);
    // The renderer keeps the next sample (and its thread) in Receive until it is stopped.
    void HoldReceive();
    bool WaitUntilHolding();
    // The source reports a failure after delivering this many samples.
    void FailAfter(int samples);
    REFERENCE_TIME LastSampleStart();
    LONG LastSampleLength();
    std::u16string Name();
    std::u16string DevicePath();
    IReferenceClock* Clock();  // not counted
    IFilterGraph* Graph();     // not counted

    // Called by the pins.
    std::recursive_mutex& Lock() { return filterLock; }
    FILTER_STATE StateLocked() const { return state; }
    HRESULT OnReceive(IMediaSample* sample);

private:
    TestFilter(Kind kind, const std::string& label);
    ~TestFilter() override;
    void Log(const char* call);
    void WorkerLoop();

    const Kind kind;
    const std::string label;
    TestInputPin* input = nullptr;
    TestOutputPin* output = nullptr;

    std::recursive_mutex filterLock;
    FILTER_STATE state = State_Stopped;
    ComPtr<IReferenceClock> clock;
    IFilterGraph* graph = nullptr;     // not counted
    IMediaEventSink* sink = nullptr;   // not counted
    std::u16string name;
    std::u16string devicePath;
    std::thread worker;

    std::mutex streamMutex;
    std::condition_variable streamChanged;
    bool workerStop = true;  // true while stopped: no streaming, no receiving
    int received = 0;
    int delivered = 0;
    int failAfter = -1;
    bool holdNext = false;
    bool holding = false;
    REFERENCE_TIME lastStart = -1;
    LONG lastLength = -1;
};

}  // namespace streamtest
