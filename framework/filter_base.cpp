#include "filter_base.h"

#include <new>

#include "lock_holder.h"
#include "pin_base.h"
#include "pin_enumerator.h"
#include "wide_name.h"

namespace {

// Calls step(pin, index) on each connected pin at an index below `end`, in order, while it
// returns true.
template <class Step>
void ForConnectedPins(FilterBase* filter, int end, Step step) {
    for (int index = 0; index < end; ++index) {
        PinBase* pin = filter->PinAt(index);
        if (pin != nullptr && pin->IsConnected() && !step(pin, index)) {
            return;
        }
    }
}

// Registers (or unregisters) the filter's data through a Filter Mapper of its own apartment;
// what the mapper answered, or why none could be made.
HRESULT RegisterThroughMapper(const FilterSetup* setup, BOOL registering) {
    CoInitialize(nullptr);
    IFilterMapper* mapper = nullptr;
    HRESULT status = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IFilterMapper, reinterpret_cast<void**>(&mapper));
    if (SUCCEEDED(status)) {
        status = RegisterWithMapper(setup, mapper, registering);
        mapper->Release();
    }
    CoFreeUnusedLibraries();
    CoUninitialize();
    return status;
}

}  // namespace

FilterBase::FilterBase(const char* objectName, IUnknown* outer, CRITICAL_SECTION* filterLock,
                       const CLSID& filterClassId)
    : ObjectBase(objectName, outer),
      state(State_Stopped),
      clock(nullptr),
      startTime(0),
      classId(filterClassId),
      lock(filterLock),
      name(nullptr),
      graph(nullptr),
      eventSink(nullptr),
      pinVersion(1) {}

FilterBase::~FilterBase() {
    delete[] name;
    name = nullptr;
    if (clock != nullptr) {
        clock->Release();
        clock = nullptr;
    }
}

HRESULT FilterBase::InnerQueryInterface(REFIID iid, void** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IBaseFilter || iid == IID_IMediaFilter || iid == IID_IPersist) {
        return HandOutInterface(static_cast<IBaseFilter*>(this), result);
    }
    if (iid == IID_IAMovieSetup) {
        return HandOutInterface(static_cast<IAMovieSetup*>(this), result);
    }
    return ObjectBase::InnerQueryInterface(iid, result);
}

HRESULT FilterBase::CurrentStreamTime(REFERENCE_TIME* time) {
    if (clock == nullptr) {
        return VFW_E_NO_CLOCK;
    }
    // Not handed on to a clock that might write through it.
    if (time == nullptr) {
        return E_POINTER;
    }
    const HRESULT status = clock->GetTime(time);
    if (FAILED(status)) {
        return status;
    }
    *time -= startTime;
    return S_OK;
}

LONG FilterBase::PinSetVersion() { return pinVersion; }

const FilterSetup* FilterBase::RegistrationData() { return nullptr; }

HRESULT FilterBase::PostGraphEvent(LONG code, LONG_PTR param1, LONG_PTR param2) {
    // Called from worker threads, which must not take the filter lock; the pointer itself is
    // read atomically against JoinFilterGraph.
    IMediaEventSink* sink = __atomic_load_n(&eventSink, __ATOMIC_ACQUIRE);
    if (sink == nullptr) {
        return E_NOTIMPL;
    }
    return sink->Notify(code, param1, param2);
}

bool FilterBase::IsStarted() {
    LockHolder hold(lock);
    return state == State_Paused || state == State_Running;
}

HRESULT STDMETHODCALLTYPE FilterBase::QueryInterface(REFIID iid, void** result) {
    return OuterUnknown()->QueryInterface(iid, result);
}

ULONG STDMETHODCALLTYPE FilterBase::AddRef() { return OuterUnknown()->AddRef(); }

ULONG STDMETHODCALLTYPE FilterBase::Release() { return OuterUnknown()->Release(); }

HRESULT STDMETHODCALLTYPE FilterBase::GetClassID(CLSID* classIdOut) {
    if (classIdOut == nullptr) {
        return E_POINTER;
    }
    *classIdOut = classId;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::Stop() {
    LockHolder hold(lock);
    HRESULT remembered = S_OK;
    if (state != State_Stopped) {
        ForConnectedPins(this, PinCount(), [&remembered](PinBase* pin, int) {
            const HRESULT status = pin->Deactivate();
            if (FAILED(status) && SUCCEEDED(remembered)) {
                remembered = status;
            }
            return true;
        });
    }
    // A failing pin does not keep the filter from stopping.
    state = State_Stopped;
    return remembered;
}

HRESULT STDMETHODCALLTYPE FilterBase::Pause() {
    LockHolder hold(lock);
    if (state == State_Stopped) {
        HRESULT status = S_OK;
        ForConnectedPins(this, PinCount(), [this, &status](PinBase* pin, int index) {
            status = pin->Activate();
            if (FAILED(status)) {
                // The filter stays stopped, so the pins already started must stop again: a
                // later Stop would find the filter stopped and leave them streaming.
                ForConnectedPins(this, index, [](PinBase* earlier, int) {
                    earlier->Deactivate();
                    return true;
                });
                return false;
            }
            return true;
        });
        if (FAILED(status)) {
            return status;
        }
    }
    state = State_Paused;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::Run(REFERENCE_TIME start) {
    LockHolder hold(lock);
    startTime = start;
    if (state == State_Stopped) {
        // Through the interface, so that a derived filter's Pause takes part.
        const HRESULT status = static_cast<IBaseFilter*>(this)->Pause();
        if (FAILED(status)) {
            return status;
        }
    }
    if (state != State_Running) {
        HRESULT status = S_OK;
        ForConnectedPins(this, PinCount(), [start, &status](PinBase* pin, int) {
            status = pin->StartRunning(start);
            return SUCCEEDED(status);
        });
        if (FAILED(status)) {
            return status;
        }
    }
    state = State_Running;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::GetState(DWORD /*milliseconds*/, FILTER_STATE* stateOut) {
    if (stateOut == nullptr) {
        return E_POINTER;
    }
    *stateOut = state;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::SetSyncSource(IReferenceClock* newClock) {
    LockHolder hold(lock);
    // AddRef first: setting the clock already held must not destroy it.
    if (newClock != nullptr) {
        newClock->AddRef();
    }
    if (clock != nullptr) {
        clock->Release();
    }
    clock = newClock;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::GetSyncSource(IReferenceClock** clockOut) {
    if (clockOut == nullptr) {
        return E_POINTER;
    }
    LockHolder hold(lock);
    *clockOut = clock;
    if (clock != nullptr) {
        clock->AddRef();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::EnumPins(IEnumPins** enumerator) {
    if (enumerator == nullptr) {
        return E_POINTER;
    }
    *enumerator = new (std::nothrow) PinEnumerator(this, nullptr);
    return *enumerator == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::QueryFilterInfo(FILTER_INFO* info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    // JoinFilterGraph frees the name it replaces; copy it (and take the graph) under the lock.
    LockHolder hold(lock);
    CopyNameField(info->achName, MAX_FILTER_NAME, name);
    info->pGraph = graph;
    if (graph != nullptr) {
        graph->AddRef();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::JoinFilterGraph(IFilterGraph* newGraph, LPCWSTR newName) {
    LockHolder hold(lock);
    graph = newGraph;
    IMediaEventSink* newSink = nullptr;
    if (newGraph != nullptr) {
        IMediaEventSink* sink = nullptr;
        if (SUCCEEDED(
                newGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) &&
            sink != nullptr) {
            // Held uncounted: the graph owns us and outlives our membership.
            sink->Release();
            newSink = sink;
        }
    }
    __atomic_store_n(&eventSink, newSink, __ATOMIC_RELEASE);
    delete[] name;
    name = DuplicateWideName(newName);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::QueryVendorInfo(LPWSTR* vendorInfo) {
    if (vendorInfo == nullptr) {
        return E_POINTER;
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FilterBase::Register() {
    const FilterSetup* setup = RegistrationData();
    if (setup == nullptr) {
        return S_FALSE;
    }
    // Registration is best effort: what the mapper says does not change the answer.
    RegisterThroughMapper(setup, TRUE);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::Unregister() {
    const FilterSetup* setup = RegistrationData();
    if (setup == nullptr) {
        return S_FALSE;
    }
    const HRESULT status = RegisterThroughMapper(setup, FALSE);
    return status == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : status;
}
