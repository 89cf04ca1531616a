// The platform filter kit's filter base: IBaseFilter with state, clock, graph and pins, for the
// filters of the platform's own servers (not the system's framework/, which has its own shape).
//
// A derived filter owns its pins (as members) and lists them with AddPin in its constructor; the
// pin set never changes afterwards. A reference on any pin is a reference on the filter.
//
// Threads and locks:
// - filterLock (recursive) serialises state changes, connections and the fields below marked
//   "filterLock". It is taken by the graph's threads (state changes, connection, queries). Lock
//   order: an upstream filter's filterLock before a downstream one's (Connect calls into the peer).
// - Streaming threads (IMemInputPin::Receive, quality messages) never take filterLock; they read
//   the state through the atomic `state`. A pin's receive lock (KitInputPin) comes after
//   filterLock.
#pragma once

#include <dshow.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "support/com_object.h"
#include "support/com_ptr.h"
#include "filterkit/kit_module.h"

namespace filterkit {

class KitPin;

// IUnknown answers IUnknown, IPersist, IMediaFilter and IBaseFilter; a derived filter adds its
// own interfaces with platform::ComExtend.
class KitFilter
    : public platform::ComObject<
          platform::Implements<IBaseFilter, IID_IBaseFilter, IID_IMediaFilter, IID_IPersist>> {
public:
    // What the filter is and the graph it is in (IPersist, IBaseFilter).
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* info) override;
    // Posts an event to the graph's sink, if the filter is in a graph. Any thread.
    HRESULT NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2);

    // The state (IMediaFilter). Stop deactivates the connected pins (input pins release a
    // blocked Receive and wait for it to return; output pins decommit their allocators);
    // leaving the stopped state activates them. The graph calls these downstream first.
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD timeoutMs, FILTER_STATE* state) override;
    // The current state; any thread, no lock.
    FILTER_STATE CurrentState() const { return state.load(); }
    // The recursive filter lock shared by the filter and its pins.
    std::recursive_mutex& FilterLock() { return filterLock; }

    // The clock (IMediaFilter).
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* clock) override;
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override;

    // The pins (IBaseFilter), and for the kit by index: 0-based, in AddPin order, null past the
    // end; any thread.
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** out) override;
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** out) override;
    int PinCount() const { return static_cast<int>(pins.size()); }
    KitPin* PinAt(int index) const;

protected:
    explicit KitFilter(const CLSID& clsid);
    ~KitFilter() override;

    // Called from the derived constructor for each pin it owns.
    void AddPin(KitPin* pin);

    // Hooks run with filterLock held, after the pins were deactivated (OnStop) or activated
    // (OnActivate, when leaving the stopped state). Default: nothing.
    virtual void OnStop() {}
    virtual HRESULT OnActivate() { return S_OK; }

private:
    ModuleObject counted;
    const CLSID clsid;

    std::recursive_mutex filterLock;
    std::atomic<FILTER_STATE> state{State_Stopped};  // written under filterLock
    REFERENCE_TIME startTime = 0;                    // filterLock
    platform::ComPtr<IReferenceClock> clock;         // filterLock
    std::u16string name;                             // filterLock
    // Uncounted: the graph holds the filter, not the other way round. Set by JoinFilterGraph
    // (filterLock); read by NotifyEvent without the lock (it only changes while stopped).
    IFilterGraph* graph = nullptr;
    std::atomic<IMediaEventSink*> eventSink{nullptr};
    std::vector<KitPin*> pins;  // fixed after construction
};

}  // namespace filterkit
