// The graph's event queue: what filters post through IMediaEventSink::Notify and applications
// read through IMediaEvent.
//
// Default handling: the one event the graph handles itself is EC_COMPLETE. While that handling
// is on (the default), the graph passes on a single EC_COMPLETE once every renderer of the
// running graph has sent its own; CancelDefaultHandling(EC_COMPLETE) passes each one on as sent.
// EC_COMPLETE, EC_ERRORABORT and EC_USERABORT, once queued, also end WaitForCompletion.
//
// Threads: filters post from their own threads (workers, device threads), the application reads
// from its threads, the graph arms and disarms it while changing state. Locking: `lock` guards
// every field; it is a leaf lock apart from SetEvent/ResetEvent on `handle` (the kernel's own
// lock). The graph takes it while holding its graph lock, never the other way round, so a filter
// thread posting an event never waits for a state change.
#pragma once

#include <dshow.h>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace platform::streaming {

class GraphEventQueue {
public:
    GraphEventQueue();
    ~GraphEventQueue();

    // Manual-reset event, signalled while events are queued; null if it could not be created.
    HANDLE Handle() const { return handle; }

    void Post(LONG code, LONG_PTR param1, LONG_PTR param2);
    // Next event, waiting up to msTimeout (negative: no limit); E_ABORT when none came.
    HRESULT Get(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG msTimeout);
    // Waits for a completion event of the current run; E_ABORT on timeout,
    // VFW_E_WRONG_STATE when the graph is (or becomes) stopped with no completion recorded.
    HRESULT WaitForCompletion(LONG msTimeout, LONG* code);
    HRESULT CancelDefaultHandling(LONG code);
    HRESULT RestoreDefaultHandling(LONG code);

    // The graph leaves the stopped state with this many renderers: completions start afresh.
    void Arm(int rendererCount);
    // The graph has stopped: waiters for completion return.
    void Disarm();

private:
    // Caller holds `lock`.
    void QueueLocked(LONG code, LONG_PTR param1, LONG_PTR param2);

    struct Event {
        LONG code;
        LONG_PTR param1;
        LONG_PTR param2;
    };

    HANDLE handle = nullptr;
    std::mutex lock;
    std::condition_variable changed;  // an event was queued, or the graph was armed or disarmed
    std::deque<Event> events;
    bool completeHandling = true;  // EC_COMPLETE default handling on
    bool armed = false;            // the graph is paused or running
    int renderers = 0;             // renderers of the current run
    int completesSeen = 0;         // EC_COMPLETEs received in the current run
    LONG completion = 0;           // completion code of the current run, 0 while none
};

}  // namespace platform::streaming
