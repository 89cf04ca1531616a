// The worker thread of a source filter of the kit: started when the filter leaves the stopped
// state, asked to end by Stop before the pins wind down, joined when the filter is stopped.
//
// Threads and locks: Start and Join run under the owning filter's filterLock (its OnActivate and
// OnStop); AskToStop on the thread that calls the filter's Stop, before the pins are deactivated;
// Stopping and WaitForStop on the worker. `stopLock` is a leaf lock guarding `stopRequested`.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace filterkit {

class KitSourceWorker {
public:
    KitSourceWorker() = default;
    ~KitSourceWorker() { Join(); }
    KitSourceWorker(const KitSourceWorker&) = delete;
    KitSourceWorker& operator=(const KitSourceWorker&) = delete;

    // Joins a worker that ended on its own (a failure), clears the stop request and starts `body`
    // on a new thread: S_OK, or E_OUTOFMEMORY when no thread could be made.
    HRESULT Start(std::function<void()> body);
    // Asks the worker to end; it finds out through Stopping or WaitForStop.
    void AskToStop();
    // Waits for the worker to end, if one runs.
    void Join();

    bool Stopping();
    // Waits up to ms or until AskToStop; true when a stop was asked for.
    bool WaitForStop(int ms);

private:
    std::thread worker;  // owner's filterLock
    std::mutex stopLock;
    std::condition_variable stopSignal;
    bool stopRequested = false;  // stopLock
};

}  // namespace filterkit
