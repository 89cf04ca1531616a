#include "base_filter.h"

#include <algorithm>

#include "base_pin.h"
#include "base_pin_enumerator.h"
#include "dv_classes.h"

namespace dv {

BaseFilter::BaseFilter(const CLSID& clsid) : clsid(clsid) { ModuleObjectCreated(); }

BaseFilter::~BaseFilter() {
    if (clock != nullptr) clock->Release();
    ModuleObjectDestroyed();
}

HRESULT BaseFilter::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPersist || iid == IID_IMediaFilter ||
        iid == IID_IBaseFilter) {
        *out = static_cast<IBaseFilter*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG BaseFilter::AddRef() { return ++refCount; }

ULONG BaseFilter::Release() {
    const ULONG count = --refCount;
    if (count == 0) delete this;
    return count;
}

HRESULT BaseFilter::GetClassID(CLSID* out) {
    if (out == nullptr) return E_POINTER;
    *out = clsid;
    return S_OK;
}

HRESULT BaseFilter::Stop() {
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    if (state.load() == State_Stopped) return S_OK;
    // Published first so that streaming threads refuse new work while the pins wind down.
    state.store(State_Stopped);
    HRESULT result = S_OK;
    for (BasePin* pin : pins) {
        if (!pin->IsConnected()) continue;
        const HRESULT hr = pin->Deactivate();
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    for (BasePin* pin : pins)
        if (pin->IsConnected()) pin->WaitIdle();
    OnStop();
    return result;
}

HRESULT BaseFilter::Pause() {
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    if (state.load() == State_Stopped) {
        for (BasePin* pin : pins) {
            if (!pin->IsConnected()) continue;
            const HRESULT hr = pin->Activate();
            if (FAILED(hr)) {
                for (BasePin* other : pins)
                    if (other->IsConnected()) other->Deactivate();
                return hr;
            }
        }
        const HRESULT hr = OnActivate();
        if (FAILED(hr)) {
            for (BasePin* pin : pins)
                if (pin->IsConnected()) pin->Deactivate();
            return hr;
        }
    }
    state.store(State_Paused);
    return S_OK;
}

HRESULT BaseFilter::Run(REFERENCE_TIME start) {
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    if (state.load() == State_Stopped) {
        const HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    startTime = start;
    state.store(State_Running);
    return S_OK;
}

HRESULT BaseFilter::GetState(DWORD /*timeoutMs*/, FILTER_STATE* out) {
    if (out == nullptr) return E_POINTER;
    *out = state.load();
    return S_OK;
}

HRESULT BaseFilter::SetSyncSource(IReferenceClock* newClock) {
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    if (newClock != nullptr) newClock->AddRef();
    if (clock != nullptr) clock->Release();
    clock = newClock;
    return S_OK;
}

HRESULT BaseFilter::GetSyncSource(IReferenceClock** out) {
    if (out == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    *out = clock;
    if (clock != nullptr) clock->AddRef();
    return S_OK;
}

HRESULT BaseFilter::EnumPins(IEnumPins** out) {
    if (out == nullptr) return E_POINTER;
    *out = PinEnumerator::Create(this, 0);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT BaseFilter::FindPin(LPCWSTR id, IPin** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (id == nullptr) return E_POINTER;
    for (BasePin* pin : pins) {
        if (pin->Name() == id) {
            *out = static_cast<IPin*>(pin);
            pin->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT BaseFilter::QueryFilterInfo(FILTER_INFO* info) {
    if (info == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    const size_t length = std::min<size_t>(name.size(), MAX_FILTER_NAME - 1);
    std::copy_n(name.data(), length, info->achName);
    info->achName[length] = u'\0';
    info->pGraph = graph;
    if (graph != nullptr) graph->AddRef();
    return S_OK;
}

HRESULT BaseFilter::JoinFilterGraph(IFilterGraph* newGraph, LPCWSTR newName) {
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    graph = newGraph;
    name = (newGraph != nullptr && newName != nullptr) ? std::u16string(newName) : std::u16string();
    IMediaEventSink* sink = nullptr;
    if (newGraph != nullptr &&
        SUCCEEDED(newGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) &&
        sink != nullptr) {
        // Held uncounted like the graph itself: a counted one would keep the graph alive forever.
        sink->Release();
    } else {
        sink = nullptr;
    }
    eventSink.store(sink);
    return S_OK;
}

HRESULT BaseFilter::QueryVendorInfo(LPWSTR* info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    return E_NOTIMPL;
}

BasePin* BaseFilter::PinAt(int index) const {
    if (index < 0 || index >= PinCount()) return nullptr;
    return pins[static_cast<size_t>(index)];
}

HRESULT BaseFilter::NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2) {
    IMediaEventSink* sink = eventSink.load();
    if (sink == nullptr) return E_NOTIMPL;
    return sink->Notify(code, param1, param2);
}

void BaseFilter::AddPin(BasePin* pin) { pins.push_back(pin); }

}  // namespace dv
