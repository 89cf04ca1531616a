// The generic filter: IBaseFilter (with IMediaFilter and IPersist) and IAMovieSetup on top of
// ObjectBase. It keeps the filter state, the reference clock and run start time and its graph
// membership, and drives its pins through state changes. The pins themselves are supplied by a
// derived class through PinCount and PinAt (SourceFilterBase).
//
// Locks: `lock` points to the filter's one recursive lock (SourceFilterBase::filterLock), shared
// with every pin. Stop, Pause, Run, SetSyncSource, GetSyncSource, JoinFilterGraph,
// QueryFilterInfo (JoinFilterGraph frees the name it reads) and IsStarted take it; pins are
// activated, deactivated and started with it held. GetState, GetClassID, CurrentStreamTime,
// EnumPins, PostGraphEvent and PinSetVersion take no lock (PostGraphEvent is called from
// push-stream worker threads and reads the event sink atomically).
// Threads: state changes come from the graph's thread; events may be posted from worker threads.
#pragma once

#include <dshow.h>

#include "filter_setup.h"
#include "object_base.h"

class PinBase;

class FilterBase : public ObjectBase, public IBaseFilter, public IAMovieSetup {
public:
    FilterBase(const char* objectName, IUnknown* outer, CRITICAL_SECTION* lock,
               const CLSID& classId);
    // Frees the name and releases the clock.
    ~FilterBase() override;

    // ---- inner interface ----
    HRESULT InnerQueryInterface(REFIID iid, void** result) override;

    // ---- own virtual operations, in this order ----
    // Clock time minus the run start time; VFW_E_NO_CLOCK without a clock. No lock.
    virtual HRESULT CurrentStreamTime(REFERENCE_TIME* time);
    virtual LONG PinSetVersion();
    virtual int PinCount() = 0;
    // The pin at a zero-based index, null outside 0..PinCount()-1. No reference is added.
    virtual PinBase* PinAt(int index) = 0;
    // Registration data for IAMovieSetup; none by default.
    virtual const FilterSetup* RegistrationData();

    // Notifies the graph's event sink; E_NOTIMPL when there is none. No lock.
    HRESULT PostGraphEvent(LONG code, LONG_PTR param1, LONG_PTR param2);
    // True when paused or running. Takes the lock.
    bool IsStarted();

    // ---- IUnknown of the exposed interfaces: forwarded to the outer object ----
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ---- IPersist ----
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* classIdOut) override;

    // ---- IMediaFilter ----
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD milliseconds, FILTER_STATE* stateOut) override;
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* newClock) override;
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clockOut) override;

    // ---- IBaseFilter ----
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** enumerator) override;
    // FindPin is supplied by SourceFilterBase.
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* newGraph, LPCWSTR newName) override;
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* vendorInfo) override;

    // ---- IAMovieSetup ----
    HRESULT STDMETHODCALLTYPE Register() override;
    HRESULT STDMETHODCALLTYPE Unregister() override;

protected:
    FILTER_STATE state;          // guarded by *lock; read without it by GetState
    IReferenceClock* clock;      // guarded by *lock; one reference; null when none
    REFERENCE_TIME startTime;    // guarded by *lock; start time given to the last Run
    CLSID classId;               // fixed at construction
    CRITICAL_SECTION* lock;      // the filter lock; not owned
    WCHAR* name;                 // guarded by *lock; owned copy, null when none
    IFilterGraph* graph;         // guarded by *lock; not counted (the graph owns us)
    IMediaEventSink* eventSink;  // written under *lock with atomic stores, read atomically
                                 // without it; not counted; null when none
    LONG pinVersion;             // 1; nothing changes it
};
