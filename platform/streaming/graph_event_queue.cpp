#include "streaming/graph_event_queue.h"

#include <algorithm>
#include <chrono>

namespace platform::streaming {

namespace {

bool EndsRun(LONG code) {
    return code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT;
}

// Waits on `cv` until `ready` holds or the timeout passes; a negative timeout waits for ever.
template <typename Ready>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& guard, LONG msTimeout,
             Ready ready) {
    if (msTimeout < 0) {
        cv.wait(guard, ready);
        return true;
    }
    return cv.wait_for(guard, std::chrono::milliseconds(msTimeout), ready);
}

}  // namespace

GraphEventQueue::GraphEventQueue() { handle = CreateEventA(nullptr, TRUE, FALSE, nullptr); }

GraphEventQueue::~GraphEventQueue() {
    if (handle != nullptr) CloseHandle(handle);
}

void GraphEventQueue::Post(LONG code, LONG_PTR param1, LONG_PTR param2) {
    std::lock_guard<std::mutex> guard(lock);
    if (code == EC_COMPLETE && completeHandling) {
        // Held back until every renderer of this run has finished, and passed on once.
        ++completesSeen;
        if (completesSeen != std::max(renderers, 1)) return;
        param1 = S_OK;
        param2 = 0;
    }
    QueueLocked(code, param1, param2);
}

void GraphEventQueue::QueueLocked(LONG code, LONG_PTR param1, LONG_PTR param2) {
    events.push_back(Event{code, param1, param2});
    if (EndsRun(code) && completion == 0) completion = code;
    if (handle != nullptr) SetEvent(handle);
    changed.notify_all();
}

HRESULT GraphEventQueue::Get(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG msTimeout) {
    if (code == nullptr || param1 == nullptr || param2 == nullptr) return E_POINTER;
    *code = 0;
    *param1 = *param2 = 0;
    std::unique_lock<std::mutex> guard(lock);
    if (!WaitFor(changed, guard, msTimeout, [this] { return !events.empty(); })) return E_ABORT;
    const Event event = events.front();
    events.pop_front();
    if (events.empty() && handle != nullptr) ResetEvent(handle);
    *code = event.code;
    *param1 = event.param1;
    *param2 = event.param2;
    return S_OK;
}

HRESULT GraphEventQueue::WaitForCompletion(LONG msTimeout, LONG* code) {
    if (code == nullptr) return E_POINTER;
    *code = 0;
    std::unique_lock<std::mutex> guard(lock);
    const bool done = WaitFor(changed, guard, msTimeout,
                              [this] { return completion != 0 || !armed; });
    if (completion != 0) {
        *code = completion;
        return S_OK;
    }
    return done ? VFW_E_WRONG_STATE : E_ABORT;
}

HRESULT GraphEventQueue::CancelDefaultHandling(LONG code) {
    if (code != EC_COMPLETE) return S_FALSE;  // no default handling to cancel
    std::lock_guard<std::mutex> guard(lock);
    completeHandling = false;
    return S_OK;
}

HRESULT GraphEventQueue::RestoreDefaultHandling(LONG code) {
    if (code != EC_COMPLETE) return S_FALSE;
    std::lock_guard<std::mutex> guard(lock);
    completeHandling = true;
    return S_OK;
}

void GraphEventQueue::Arm(int rendererCount) {
    std::lock_guard<std::mutex> guard(lock);
    armed = true;
    renderers = rendererCount;
    completesSeen = 0;
    completion = 0;
    changed.notify_all();
}

void GraphEventQueue::Disarm() {
    std::lock_guard<std::mutex> guard(lock);
    armed = false;
    changed.notify_all();
}

}  // namespace platform::streaming
