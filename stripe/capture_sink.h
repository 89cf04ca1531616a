// The capture sink of tamsel-stripe's verify graph: a filter with one input pin "In" that takes
// whole interleaved DV frames (what the DV device's "DV A/V Out" delivers) and keeps them in a
// bounded queue for the checking thread.
#pragma once

#include <dshow.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

// IBaseFilter and, through its pin, IPin and IMemInputPin, written out by hand: the program uses
// the published interfaces only. The pin takes MEDIATYPE_Interleaved / MEDIASUBTYPE_dvsd samples
// of exactly `frameBytes`; any other length is refused. Receive waits (in short bounded turns)
// while the queue is full, so the checker's pace holds the device's worker back rather than
// losing frames here; a stopped filter or Stop ends the wait.
//
// Threads and locks: the graph's thread calls the filter and connection methods; Receive and
// EndOfStream come on the device's streaming thread; Take on the checking thread. `lock_` guards
// the queue, the end flag and the peer; no call goes out while it is held.
class CCaptureSink : public IBaseFilter {
public:
    static constexpr size_t kQueueFrames = 60;

    explicit CCaptureSink(size_t frameBytes);

    // What Take found.
    enum TakeResult { kFrame, kNone, kEnded };
    // Waits up to timeoutMs for the next frame: kFrame with it in *frame; kNone when none came;
    // kEnded when the stream ended (end-of-stream) and every frame was taken.
    TakeResult Take(std::vector<uint8_t>* frame, int timeoutMs);
    // Frames refused because they were not whole DV frames.
    int64_t Refused() const { return refused_.load(); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IPersist, IMediaFilter, IBaseFilter
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD timeoutMs, FILTER_STATE* state) override;
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* clock) override;
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override;
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** out) override;
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** out) override;
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* info) override;

private:
    class Pin;
    class PinEnum;
    friend class Pin;

    virtual ~CCaptureSink();

    HRESULT Receive(IMediaSample* sample);
    void End();

    const size_t frameBytes_;
    std::atomic<ULONG> refs_ {1};
    std::atomic<FILTER_STATE> state_ {State_Stopped};
    IFilterGraph* graph_ = nullptr;  // not counted: the graph holds us
    Pin* pin_;

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::vector<uint8_t>> queue_;  // lock_
    bool ended_ = false;                      // lock_
    std::atomic<int64_t> refused_ {0};
};
