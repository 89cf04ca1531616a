#include "streaming/filter_graph.h"

#include <platform/platform.h>

#include <cstdio>
#include <new>

#include "streaming/filter_enumerator.h"
#include "streaming/system_clock.h"

namespace platform::streaming {

namespace {

const BuiltinClassRegistrar registerFilterGraph(CLSID_FilterGraph, &FilterGraph::Create);

// Filter names fit FILTER_INFO's field with its terminator.
constexpr size_t kMaxNameLength = MAX_FILTER_NAME - 1;
// How far ahead of the clock a run starts, so every filter has its start time before it is due.
constexpr REFERENCE_TIME kRunLead = 10 * 10000;  // 10 ms

// The object's identity (its IUnknown), for comparing interface pointers of one object.
IUnknown* Identity(IUnknown* object) {
    IUnknown* unknown = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))) &&
        unknown != nullptr) {
        unknown->Release();  // the object stays alive: the caller holds it
        return unknown;
    }
    return object;
}

bool HasDirection(IPin* pin, PIN_DIRECTION wanted) {
    PIN_DIRECTION direction = PINDIR_INPUT;
    return SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted;
}

}  // namespace

HRESULT FilterGraph::Create(IUnknown* outer, REFIID iid, void** out) {
    return CreateInstance<FilterGraph>(outer, iid, out);
}

FilterGraph::~FilterGraph() {
    std::vector<ComPtr<IBaseFilter>> removed;  // let go after graphLock
    {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        StopLocked();
        for (Entry& entry : filters) {
            DetachLocked(entry);
            removed.push_back(std::move(entry.filter));
        }
        filters.clear();
    }
}

// ---- membership -------------------------------------------------------------------------------

size_t FilterGraph::FindLocked(IUnknown* object) {
    for (size_t i = 0; i < filters.size(); ++i) {
        if (filters[i].filter.Get() == object) return i;
    }
    IUnknown* identity = Identity(object);
    for (size_t i = 0; i < filters.size(); ++i) {
        if (Identity(filters[i].filter.Get()) == identity) return i;
    }
    return filters.size();
}

bool FilterGraph::NameInUseLocked(const std::u16string& name) const {
    for (const Entry& entry : filters) {
        if (entry.name == name) return true;
    }
    return false;
}

HRESULT FilterGraph::UniqueNameLocked(LPCWSTR wanted, std::u16string* name, bool* renamed) const {
    std::u16string base = wanted != nullptr ? std::u16string(wanted) : std::u16string();
    *renamed = base.size() > kMaxNameLength;
    if (base.size() > kMaxNameLength) base.resize(kMaxNameLength);
    if (!base.empty() && !NameInUseLocked(base)) {
        *name = base;
        return S_OK;
    }
    // A clash or no name at all: "<name> 0001", "<name> 0002", ... or "0001", ...
    std::u16string stem;
    if (!base.empty()) {
        *renamed = true;
        stem = base.substr(0, kMaxNameLength - 5) + u" ";
    }
    for (int n = 1; n <= 9999; ++n) {
        char digits[12];  // room for any int, so no format can truncate
        std::snprintf(digits, sizeof digits, "%04d", n);
        std::u16string candidate = stem;
        for (const char* d = digits; *d != 0; ++d) candidate.push_back(static_cast<char16_t>(*d));
        if (!NameInUseLocked(candidate)) {
            *name = candidate;
            return S_OK;
        }
    }
    return VFW_E_DUPLICATE_NAME;
}

HRESULT FilterGraph::FilterOfPinLocked(IPin* pin, size_t* index) {
    PIN_INFO info{};
    const HRESULT hr = pin->QueryPinInfo(&info);
    if (FAILED(hr)) return hr;
    const auto filter = ComPtr<IBaseFilter>::Adopt(info.pFilter);
    if (!filter) return VFW_E_NOT_IN_GRAPH;
    *index = FindLocked(filter.Get());
    return *index < filters.size() ? S_OK : VFW_E_NOT_IN_GRAPH;
}

void FilterGraph::DetachLocked(Entry& entry) {
    // Both sides of every connection go, so no filter keeps another alive through its pins.
    ComPtr<IEnumPins> pins;
    if (SUCCEEDED(entry.filter->EnumPins(pins.Put())) && pins) {
        ComPtr<IPin> pin;
        while (pins->Next(1, pin.Put(), nullptr) == S_OK && pin) {
            ComPtr<IPin> peer;
            if (pin->ConnectedTo(peer.Put()) == S_OK && peer) peer->Disconnect();
            pin->Disconnect();
        }
    }
    if (entry.clockGiven) entry.filter->SetSyncSource(nullptr);
    entry.clockGiven = false;
    entry.filter->JoinFilterGraph(nullptr, nullptr);
}

HRESULT FilterGraph::AddFilter(IBaseFilter* pFilter, LPCWSTR pName) {
    if (pFilter == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    if (FindLocked(pFilter) < filters.size()) return E_INVALIDARG;  // already a member
    // A filter joining a paused or running graph would miss the state it should be in.
    if (state != State_Stopped) return VFW_E_NOT_STOPPED;
    std::u16string name;
    bool renamed = false;
    HRESULT hr = S_OK;
    try {
        hr = UniqueNameLocked(pName, &name, &renamed);
        if (FAILED(hr)) return hr;
        filters.reserve(filters.size() + 1);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    hr = pFilter->JoinFilterGraph(static_cast<IFilterGraph*>(this), name.c_str());
    if (FAILED(hr)) return hr;
    filters.push_back(Entry{ComPtr<IBaseFilter>(pFilter), std::move(name), false});
    return renamed ? VFW_S_DUPLICATE_NAME : S_OK;
}

HRESULT FilterGraph::RemoveFilter(IBaseFilter* pFilter) {
    if (pFilter == nullptr) return E_POINTER;
    ComPtr<IBaseFilter> removed;  // let go after graphLock
    {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        const size_t index = FindLocked(pFilter);
        if (index == filters.size()) return VFW_E_NOT_FOUND;
        if (state != State_Stopped) return VFW_E_NOT_STOPPED;
        DetachLocked(filters[index]);
        removed = std::move(filters[index].filter);
        filters.erase(filters.begin() + static_cast<std::ptrdiff_t>(index));
    }
    return S_OK;
}

HRESULT FilterGraph::EnumFilters(IEnumFilters** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    return FilterEnumerator::CreateFrom(ppEnum, [this](FilterEnumerator::List* members) {
        for (const Entry& entry : filters) members->emplace_back(entry.filter.Get());
    });
}

HRESULT FilterGraph::FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) {
    if (ppFilter == nullptr) return E_POINTER;
    *ppFilter = nullptr;
    if (pName == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    for (const Entry& entry : filters) {
        if (entry.name == pName) {
            return entry.filter.CopyTo(ppFilter);
        }
    }
    return VFW_E_NOT_FOUND;
}

// ---- connections ------------------------------------------------------------------------------

HRESULT FilterGraph::ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) {
    if (ppinOut == nullptr || ppinIn == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    size_t outFilter = 0, inFilter = 0;
    if (FAILED(FilterOfPinLocked(ppinOut, &outFilter)) ||
        FAILED(FilterOfPinLocked(ppinIn, &inFilter))) {
        return VFW_E_NOT_IN_GRAPH;
    }
    if (state != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!HasDirection(ppinOut, PINDIR_OUTPUT) || !HasDirection(ppinIn, PINDIR_INPUT)) {
        return VFW_E_INVALID_DIRECTION;
    }
    return ppinOut->Connect(ppinIn, pmt);
}

HRESULT FilterGraph::Reconnect(IPin*) { return E_NOTIMPL; }

HRESULT FilterGraph::Disconnect(IPin* ppin) {
    if (ppin == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    size_t index = 0;
    if (FAILED(FilterOfPinLocked(ppin, &index))) return VFW_E_NOT_IN_GRAPH;
    if (state != State_Stopped) return VFW_E_NOT_STOPPED;
    return ppin->Disconnect();
}

HRESULT FilterGraph::SetDefaultSyncSource() {
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    if (state != State_Stopped) return VFW_E_NOT_STOPPED;
    return GiveClockLocked(true);
}

HRESULT FilterGraph::Connect(IPin* ppinOut, IPin* ppinIn) {
    return ConnectDirect(ppinOut, ppinIn, nullptr);
}

HRESULT FilterGraph::Render(IPin*) { return E_NOTIMPL; }
HRESULT FilterGraph::RenderFile(LPCWSTR, LPCWSTR) { return E_NOTIMPL; }
HRESULT FilterGraph::AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter** ppFilter) {
    if (ppFilter != nullptr) *ppFilter = nullptr;
    return E_NOTIMPL;
}
HRESULT FilterGraph::SetLogFile(DWORD_PTR) { return E_NOTIMPL; }
HRESULT FilterGraph::Abort() { return S_OK; }  // nothing here runs long enough to abort
HRESULT FilterGraph::ShouldOperationContinue() { return S_OK; }

// ---- IDispatch --------------------------------------------------------------------------------

HRESULT FilterGraph::GetTypeInfoCount(UINT* pctinfo) {
    if (pctinfo != nullptr) *pctinfo = 0;
    return E_NOTIMPL;
}
HRESULT FilterGraph::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
    if (ppTInfo != nullptr) *ppTInfo = nullptr;
    return E_NOTIMPL;
}
HRESULT FilterGraph::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
HRESULT FilterGraph::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                            UINT*) {
    return E_NOTIMPL;
}

// ---- state changes ----------------------------------------------------------------------------

HRESULT FilterGraph::MakePlanLocked(Plan* plan) {
    const size_t count = filters.size();
    try {
        std::vector<std::vector<size_t>> downstream(count);
        std::vector<bool> connectedIn(count, false), connectedOut(count, false);
        for (size_t i = 0; i < count; ++i) {
            ComPtr<IEnumPins> pins;
            if (FAILED(filters[i].filter->EnumPins(pins.Put())) || !pins) continue;
            ComPtr<IPin> pin;
            while (pins->Next(1, pin.Put(), nullptr) == S_OK && pin) {
                ComPtr<IPin> peer;
                if (pin->ConnectedTo(peer.Put()) == S_OK && peer) {
                    if (HasDirection(pin.Get(), PINDIR_OUTPUT)) {
                        connectedOut[i] = true;
                        size_t j = 0;
                        if (SUCCEEDED(FilterOfPinLocked(peer.Get(), &j))) downstream[i].push_back(j);
                    } else {
                        connectedIn[i] = true;
                    }
                }
            }
        }
        // Depth-first, each filter after everything downstream of it; a cycle is cut where it
        // closes. Filters of one chain keep the order in which they were added.
        std::vector<int> mark(count, 0);  // 0 new, 1 in progress, 2 placed
        std::vector<size_t> order;
        auto visit = [&](auto&& self, size_t i) -> void {
            if (mark[i] != 0) return;
            mark[i] = 1;
            for (size_t j : downstream[i]) self(self, j);
            mark[i] = 2;
            order.push_back(i);
        };
        for (size_t i = 0; i < count; ++i) visit(visit, i);
        plan->order.reserve(count);
        for (size_t i : order) {
            plan->order.emplace_back(filters[i].filter.Get());
            if (connectedIn[i] && !connectedOut[i]) ++plan->renderers;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT FilterGraph::GiveClockLocked(bool everyFilter) {
    if (!clock) {
        const HRESULT hr = SystemClock::Create(nullptr, IID_IReferenceClock, clock.PutVoid());
        if (FAILED(hr)) return hr;
    }
    for (Entry& entry : filters) {
        if (entry.clockGiven && !everyFilter) continue;
        const HRESULT hr = entry.filter->SetSyncSource(clock.Get());
        if (FAILED(hr)) return hr;
        entry.clockGiven = true;
    }
    return S_OK;
}

HRESULT FilterGraph::StopLocked() {
    // Every filter is told, whatever state the graph believes it is in: a failed start may have
    // left some filters paused.
    HRESULT first = S_OK;
    Plan plan;
    if (SUCCEEDED(MakePlanLocked(&plan))) {
        for (const auto& filter : plan.order) {
            const HRESULT hr = filter->Stop();
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
        }
    } else {
        for (auto it = filters.rbegin(); it != filters.rend(); ++it) {
            const HRESULT hr = it->filter->Stop();
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
        }
    }
    state = State_Stopped;
    events.Disarm();
    return first;
}

HRESULT FilterGraph::PauseLocked() {
    if (state == State_Paused) return S_OK;
    const bool fromStopped = state == State_Stopped;
    Plan plan;
    HRESULT hr = MakePlanLocked(&plan);
    if (FAILED(hr)) return hr;
    if (fromStopped) {
        hr = GiveClockLocked(false);
        if (FAILED(hr)) return hr;
        events.Arm(plan.renderers);
    }
    HRESULT first = S_OK;
    for (const auto& filter : plan.order) {
        hr = filter->Pause();
        if (FAILED(hr)) {
            if (fromStopped) {
                // Nothing may keep streaming in a graph that reports itself stopped.
                StopLocked();
                return hr;
            }
            if (SUCCEEDED(first)) first = hr;
        }
    }
    state = State_Paused;
    return first;
}

HRESULT FilterGraph::CueLocked() {
    if (state != State_Stopped) return S_OK;
    const HRESULT hr = PauseLocked();
    return FAILED(hr) ? hr : S_OK;
}

HRESULT FilterGraph::Run() {
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    if (const HRESULT hr = CueLocked(); FAILED(hr)) return hr;
    if (!clock) {
        const HRESULT hr = GiveClockLocked(false);
        if (FAILED(hr)) return hr;
    }
    Plan plan;
    HRESULT hr = MakePlanLocked(&plan);
    if (FAILED(hr)) return hr;
    REFERENCE_TIME now = 0;
    clock->GetTime(&now);
    const REFERENCE_TIME start = now + kRunLead;
    // Running already, the filters only take the new start time.
    const bool wasRunning = state == State_Running;
    for (const auto& filter : plan.order) {
        hr = filter->Run(start);
        if (FAILED(hr)) {
            if (!wasRunning) {
                for (const auto& other : plan.order) other->Pause();
            }
            return hr;
        }
    }
    state = State_Running;
    return S_OK;
}

HRESULT FilterGraph::Pause() {
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    return PauseLocked();
}

HRESULT FilterGraph::Stop() {
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    return StopLocked();
}

HRESULT FilterGraph::GetState(LONG msTimeout, OAFilterState* pfs) {
    if (pfs == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    *pfs = state;
    HRESULT result = S_OK;
    const DWORD wait = msTimeout < 0 ? INFINITE : static_cast<DWORD>(msTimeout);
    for (const Entry& entry : filters) {
        FILTER_STATE filterState = State_Stopped;
        const HRESULT hr = entry.filter->GetState(wait, &filterState);
        if (FAILED(hr)) {
            if (SUCCEEDED(result)) result = hr;
        } else if (hr == VFW_S_STATE_INTERMEDIATE && result == S_OK) {
            result = hr;
        }
    }
    return result;
}

HRESULT FilterGraph::RenderFile(BSTR) { return E_NOTIMPL; }
HRESULT FilterGraph::AddSourceFilter(BSTR, IDispatch** ppUnk) {
    if (ppUnk != nullptr) *ppUnk = nullptr;
    return E_NOTIMPL;
}
HRESULT FilterGraph::get_FilterCollection(IDispatch** ppUnk) {
    if (ppUnk != nullptr) *ppUnk = nullptr;
    return E_NOTIMPL;
}
HRESULT FilterGraph::get_RegFilterCollection(IDispatch** ppUnk) {
    if (ppUnk != nullptr) *ppUnk = nullptr;
    return E_NOTIMPL;
}

HRESULT FilterGraph::StopWhenReady() {
    // Cue the filters (a paused graph has its first data ready), then stop.
    std::lock_guard<std::recursive_mutex> guard(graphLock);
    if (const HRESULT hr = CueLocked(); FAILED(hr)) return hr;
    return StopLocked();
}

// ---- events -----------------------------------------------------------------------------------

HRESULT FilterGraph::GetEventHandle(OAEVENT* hEvent) {
    if (hEvent == nullptr) return E_POINTER;
    if (events.Handle() == nullptr) return E_OUTOFMEMORY;
    *hEvent = reinterpret_cast<OAEVENT>(events.Handle());
    return S_OK;
}

HRESULT FilterGraph::GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2,
                              LONG msTimeout) {
    return events.Get(lEventCode, lParam1, lParam2, msTimeout);
}

HRESULT FilterGraph::WaitForCompletion(LONG msTimeout, LONG* pEvCode) {
    return events.WaitForCompletion(msTimeout, pEvCode);
}

HRESULT FilterGraph::CancelDefaultHandling(LONG lEvCode) {
    return events.CancelDefaultHandling(lEvCode);
}

HRESULT FilterGraph::RestoreDefaultHandling(LONG lEvCode) {
    return events.RestoreDefaultHandling(lEvCode);
}

// Event parameters here are plain values; nothing was allocated for them.
HRESULT FilterGraph::FreeEventParams(LONG, LONG_PTR, LONG_PTR) { return S_OK; }

HRESULT FilterGraph::Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
    events.Post(EventCode, EventParam1, EventParam2);
    return S_OK;
}

}  // namespace platform::streaming
