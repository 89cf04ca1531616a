// The platform filter kit's source filter: one output pin fed by a worker thread. Leaving the
// stopped state starts the worker, which takes a buffer from the pin's allocator, has the derived
// filter fill it (FillSample) and delivers it, as fast as downstream takes them, while paused as
// while running. Without a buffer (the allocator not committed yet, or being decommitted by a
// stop) it waits a little and tries again. When downstream refuses a sample (it stops first,
// flushes, or fails and reports that itself) the worker ends quietly until the next activation;
// a sample the filter cannot fill posts EC_ERRORABORT and ends it too.
//
// Threads and locks (see kit_filter.h): the worker is started by OnActivate and joined by OnStop,
// both under filterLock; it never takes filterLock. Stop asks it to end before the pins are
// deactivated, so the failures the winding down causes are no failures. `stopLock` is a leaf lock
// guarding `stopRequested`. Like every upstream filter it relies on the graph stopping downstream
// first, which releases a delivery blocked downstream.
#pragma once

#include <dshow.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "filterkit/kit_filter.h"
#include "filterkit/kit_output_pin.h"
#include "support/log.h"

namespace filterkit {

class KitSourceFilter : public KitFilter {
public:
    HRESULT STDMETHODCALLTYPE Stop() override;

protected:
    // `category` and `name` say whose failure a log line tells.
    KitSourceFilter(const CLSID& clsid, const platform::log::Category& category, const char* name);
    ~KitSourceFilter() override;

    // The pin the worker delivers on (a member of the derived filter, added with AddPin).
    virtual KitOutputPin& SourcePin() = 0;
    // On the worker before its first sample: the stream starts again from sample 0.
    virtual void OnStreamStart() {}
    // On the worker: fills `sample`, the stream's sample number `index`, with its data, length,
    // times and flags (see Stamp).
    virtual HRESULT FillSample(IMediaSample* sample, uint64_t index) = 0;

    // The sample's buffer when it holds at least `bytes`: S_OK, else VFW_E_BUFFER_OVERFLOW.
    static HRESULT BufferOf(IMediaSample* sample, LONG bytes, BYTE** data);
    // Sets what every sample of a source carries: its times, media times, data length, a sync
    // point, a discontinuity on the first.
    static HRESULT Stamp(IMediaSample* sample, REFERENCE_TIME start, REFERENCE_TIME stop, LONGLONG mediaStart,
                         LONGLONG mediaStop, LONG bytes, bool first);

    HRESULT OnActivate() override;
    void OnStop() override;

private:
    void Stream();  // the worker
    // Waits up to ms or until Stop asks the worker to end; true when it asked.
    bool WaitForStop(int ms);
    bool Stopping();

    const platform::log::Category& category;
    const char* const name;
    std::thread worker;  // filterLock
    std::mutex stopLock;
    std::condition_variable stopSignal;
    bool stopRequested = false;  // stopLock
};

}  // namespace filterkit
