// Small filters for exercising the graph, on the platform's filter kit: a push source with an
// output pin "Out" that streams samples on a worker thread, a renderer with an input pin "In"
// that counts what it receives and can hold a sample to make back-pressure, and a pass-through
// with both pins. Every state call is written to a shared log, so tests can see the order in
// which the graph drives the filters.
//
// Threads and locks: the kit's filterLock and receive lock (kit_filter.h, kit_input_pin.h). The
// source's worker takes only streamMutex, never filterLock; streamMutex guards the counters, the
// receive hold and the worker's flags. Lock order: filterLock, the receive lock, streamMutex.
#pragma once

#include <dshow.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/com_object.h"
#include "support/com_ptr.h"
#include "filterkit/kit_filter.h"
#include "filterkit/kit_input_pin.h"
#include "filterkit/kit_output_pin.h"

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

// Whether mt is a video type, the only kind the test pins take.
HRESULT CheckVideo(const AM_MEDIA_TYPE* mt);

// Offers one fixed-size RGB24 video type; two buffers of its size.
class TestOutputPin final : public filterkit::KitOutputPin {
public:
    explicit TestOutputPin(filterkit::KitFilter* owner) : KitOutputPin(owner, u"Out") {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override { return CheckVideo(mt); }
    HRESULT GetMediaType(int position, filterkit::MediaType* mt) override;

private:
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
};

// Takes any video type.
class TestInputPin final : public filterkit::KitInputPin {
public:
    explicit TestInputPin(filterkit::KitFilter* owner) : KitInputPin(owner, u"In") {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override { return CheckVideo(mt); }

private:
    // Both to the owning TestFilter.
    HRESULT OnReceive(IMediaSample* sample) override;
    void UnblockReceive() override;
};

class TestFilter final
    : public platform::ComExtend<filterkit::KitFilter,
                                 Implements<IPersistPropertyBag, IID_IPersistPropertyBag>> {
public:
    enum class Kind { Source, PassThrough, Renderer };

    // One reference for the caller.
    static TestFilter* Create(Kind kind, const std::string& label);
    // Class creator for a renderer made through a device moniker.
    static HRESULT CreateRenderer(IUnknown* outer, REFIID iid, void** out);
    static int LiveCount();

    // IMediaFilter: logged, then the kit's.
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME tStart) override;
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* pClock) override;

    // IPersistPropertyBag (its IPersist is the kit's)
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        return KitFilter::GetClassID(clsid);
    }
    HRESULT STDMETHODCALLTYPE InitNew() override;
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override;
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag* pPropBag, BOOL fClearDirty,
                                   BOOL fSaveAllProperties) override;

    IPin* InputPin();   // not counted; null for a source
    IPin* OutputPin();  // not counted; null for a renderer

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

    // Called by the input pin on the streaming thread.
    HRESULT OnReceive(IMediaSample* sample);
    void WakeHeldReceive();

private:
    TestFilter(Kind kind, const std::string& label);
    ~TestFilter() override;
    void Log(const char* call);
    HRESULT OnActivate() override;
    void OnStop() override;
    void StopWorker();
    void WorkerLoop();

    const Kind kind;
    const std::string label;
    TestInputPin input;
    TestOutputPin output;
    std::u16string devicePath;  // filterLock
    std::thread worker;         // filterLock

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

// A new object of the class `clsid` by its interface `iid`, made in process as filters and
// graphs make the platform's objects (the graph manager, allocator, clock, device enumerator).
template <class Interface>
HRESULT CreateInstance(REFCLSID clsid, REFIID iid, Interface** object) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(object));
}

}  // namespace streamtest
