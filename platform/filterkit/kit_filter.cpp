#include "filterkit/kit_filter.h"

#include <algorithm>

#include "filterkit/kit_pin.h"
#include "filterkit/kit_module.h"
#include "support/list_enumerator.h"

namespace filterkit {

KitFilter::KitFilter(const CLSID& clsid) : clsid(clsid) {}

KitFilter::~KitFilter() = default;

HRESULT KitFilter::GetClassID(CLSID* out) {
    if (out == nullptr) return E_POINTER;
    *out = clsid;
    return S_OK;
}

HRESULT KitFilter::Stop() {
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    if (state.load() == State_Stopped) return S_OK;
    // Published first so that streaming threads refuse new work while the pins wind down.
    state.store(State_Stopped);
    HRESULT result = S_OK;
    for (KitPin* pin : pins) {
        if (!pin->IsConnected()) continue;
        const HRESULT hr = pin->Deactivate();
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    for (KitPin* pin : pins)
        if (pin->IsConnected()) pin->WaitIdle();
    OnStop();
    return result;
}

HRESULT KitFilter::Pause() {
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    if (state.load() == State_Stopped) {
        for (KitPin* pin : pins) {
            if (!pin->IsConnected()) continue;
            const HRESULT hr = pin->Activate();
            if (FAILED(hr)) {
                for (KitPin* other : pins)
                    if (other->IsConnected()) other->Deactivate();
                return hr;
            }
        }
        const HRESULT hr = OnActivate();
        if (FAILED(hr)) {
            for (KitPin* pin : pins)
                if (pin->IsConnected()) pin->Deactivate();
            return hr;
        }
    }
    state.store(State_Paused);
    return S_OK;
}

HRESULT KitFilter::Run(REFERENCE_TIME start) {
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    if (state.load() == State_Stopped) {
        const HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    startTime = start;
    state.store(State_Running);
    return S_OK;
}

HRESULT KitFilter::GetState(DWORD /*timeoutMs*/, FILTER_STATE* out) {
    if (out == nullptr) return E_POINTER;
    *out = state.load();
    return S_OK;
}

HRESULT KitFilter::SetSyncSource(IReferenceClock* newClock) {
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    clock.Assign(newClock);
    return S_OK;
}

HRESULT KitFilter::GetSyncSource(IReferenceClock** out) {
    if (out == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    return clock.CopyTo(out);
}

HRESULT KitFilter::EnumPins(IEnumPins** out) {
    if (out == nullptr) return E_POINTER;
    using PinEnumerator = platform::ListEnumerator<IEnumPins, IID_IEnumPins,
                                                   platform::InterfaceItems<IPin, E_INVALIDARG>>;
    // A reference on a pin is one on this filter, so the list keeps the filter (and with it the
    // module) alive; the pin set never changes, so a snapshot is the live set.
    return PinEnumerator::CreateFrom(out, [this](PinEnumerator::List* list) {
        for (KitPin* pin : pins) list->emplace_back(static_cast<IPin*>(pin));
    });
}

HRESULT KitFilter::FindPin(LPCWSTR id, IPin** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (id == nullptr) return E_POINTER;
    for (KitPin* pin : pins) {
        if (pin->Name() == id) {
            platform::CopyTo(static_cast<IPin*>(pin), out);
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT KitFilter::QueryFilterInfo(FILTER_INFO* info) {
    if (info == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filterLock);
    const size_t length = std::min<size_t>(name.size(), MAX_FILTER_NAME - 1);
    std::copy_n(name.data(), length, info->achName);
    info->achName[length] = u'\0';
    platform::CopyTo(graph, &info->pGraph);
    return S_OK;
}

HRESULT KitFilter::JoinFilterGraph(IFilterGraph* newGraph, LPCWSTR newName) {
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

HRESULT KitFilter::QueryVendorInfo(LPWSTR* info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    return E_NOTIMPL;
}

KitPin* KitFilter::PinAt(int index) const {
    if (index < 0 || index >= PinCount()) return nullptr;
    return pins[static_cast<size_t>(index)];
}

HRESULT KitFilter::NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2) {
    IMediaEventSink* sink = eventSink.load();
    if (sink == nullptr) return E_NOTIMPL;
    return sink->Notify(code, param1, param2);
}

void KitFilter::AddPin(KitPin* pin) { pins.push_back(pin); }

}  // namespace filterkit
