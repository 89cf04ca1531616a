// The Filter Graph Manager (CLSID_FilterGraph): holds the filters, connects their pins, changes
// their states and carries their events to the application.
//
// State changes go to the filters downstream first (sinks first, in the order of the connection
// topology), so a renderer holding its upstream in back-pressure lets go before the upstream
// stops. Leaving the stopped state, every filter is given the graph's system clock.
//
// Threads: the application calls from any thread; filters post events (IMediaEventSink::Notify)
// from their own threads.
// Locking, outermost first:
//   graphLock  guards filters, state and clock; held across calls into filters for state changes,
//              connections and membership (filters then take their own locks). Recursive, so a
//              filter may call back into the graph from JoinFilterGraph or a state change.
//   the event queue's own lock (GraphEventQueue), taken by Notify without graphLock, so a filter
//              thread posting an event never waits for a state change in progress.
#pragma once

#include <dshow.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "support/com_object.h"
#include "support/com_ptr.h"
#include "streaming/graph_event_queue.h"

namespace platform::streaming {

class FilterGraph final
    : public ComObject<Implements<IGraphBuilder, IID_IGraphBuilder, IID_IFilterGraph>,
                       Implements<IMediaControl, IID_IMediaControl, IID_IDispatch>,
                       Implements<IMediaEvent, IID_IMediaEvent>,
                       Implements<IMediaEventSink, IID_IMediaEventSink>> {
public:
    static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

    FilterGraph() = default;
    FilterGraph(const FilterGraph&) = delete;
    FilterGraph& operator=(const FilterGraph&) = delete;

    // IFilterGraph
    HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter* pFilter, LPCWSTR pName) override;
    HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter* pFilter) override;
    HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) override;
    HRESULT STDMETHODCALLTYPE ConnectDirect(IPin* ppinOut, IPin* ppinIn,
                                            const AM_MEDIA_TYPE* pmt) override;
    HRESULT STDMETHODCALLTYPE Reconnect(IPin* ppin) override;
    HRESULT STDMETHODCALLTYPE Disconnect(IPin* ppin) override;
    HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() override;

    // IGraphBuilder. Connect tries a direct connection only; no filters are inserted.
    HRESULT STDMETHODCALLTYPE Connect(IPin* ppinOut, IPin* ppinIn) override;
    HRESULT STDMETHODCALLTYPE Render(IPin* ppinOut) override;
    HRESULT STDMETHODCALLTYPE RenderFile(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) override;
    HRESULT STDMETHODCALLTYPE AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName,
                                              IBaseFilter** ppFilter) override;
    HRESULT STDMETHODCALLTYPE SetLogFile(DWORD_PTR hFile) override;
    HRESULT STDMETHODCALLTYPE Abort() override;
    HRESULT STDMETHODCALLTYPE ShouldOperationContinue() override;

    // IDispatch (of IMediaControl and IMediaEvent): not supported.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                            LCID lcid, DISPID* rgDispId) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                     EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    // IMediaControl
    HRESULT STDMETHODCALLTYPE Run() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE GetState(LONG msTimeout, OAFilterState* pfs) override;
    HRESULT STDMETHODCALLTYPE RenderFile(BSTR strFilename) override;
    HRESULT STDMETHODCALLTYPE AddSourceFilter(BSTR strFilename, IDispatch** ppUnk) override;
    HRESULT STDMETHODCALLTYPE get_FilterCollection(IDispatch** ppUnk) override;
    HRESULT STDMETHODCALLTYPE get_RegFilterCollection(IDispatch** ppUnk) override;
    HRESULT STDMETHODCALLTYPE StopWhenReady() override;

    // IMediaEvent
    HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT* hEvent) override;
    HRESULT STDMETHODCALLTYPE GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2,
                                       LONG msTimeout) override;
    HRESULT STDMETHODCALLTYPE WaitForCompletion(LONG msTimeout, LONG* pEvCode) override;
    HRESULT STDMETHODCALLTYPE CancelDefaultHandling(LONG lEvCode) override;
    HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(LONG lEvCode) override;
    HRESULT STDMETHODCALLTYPE FreeEventParams(LONG lEvCode, LONG_PTR lParam1,
                                              LONG_PTR lParam2) override;

    // IMediaEventSink
    HRESULT STDMETHODCALLTYPE Notify(LONG EventCode, LONG_PTR EventParam1,
                                     LONG_PTR EventParam2) override;

private:
    struct Entry {
        ComPtr<IBaseFilter> filter;
        std::u16string name;
        bool clockGiven;  // the filter holds our clock
    };

    // The filters in state-change order, each held, and how many are renderers (a connected
    // input and no connected output).
    struct Plan {
        std::vector<ComPtr<IBaseFilter>> order;
        int renderers = 0;
    };

    ~FilterGraph() override;

    // All of these: caller holds graphLock.
    HRESULT MakePlanLocked(Plan* plan);
    HRESULT StopLocked();
    HRESULT PauseLocked();
    // A stopped graph is paused first, so that its filters have their first data ready; a
    // failure of that pause, S_OK otherwise.
    HRESULT CueLocked();
    HRESULT GiveClockLocked(bool everyFilter);
    size_t FindLocked(IUnknown* object);  // index in filters, or filters.size()
    bool NameInUseLocked(const std::u16string& name) const;
    HRESULT UniqueNameLocked(LPCWSTR wanted, std::u16string* name, bool* renamed) const;
    HRESULT FilterOfPinLocked(IPin* pin, size_t* index);
    void DetachLocked(Entry& entry);

    std::recursive_mutex graphLock;
    std::vector<Entry> filters;        // graphLock; in order of addition
    FILTER_STATE state = State_Stopped;  // graphLock
    ComPtr<IReferenceClock> clock;     // graphLock; made when first needed

    GraphEventQueue events;  // its own lock
};

}  // namespace platform::streaming
