#include "filterkit/kit_source_worker.h"

#include <chrono>
#include <system_error>

namespace filterkit {

HRESULT KitSourceWorker::Start(std::function<void()> body) {
    Join();
    {
        std::lock_guard<std::mutex> hold(stopLock);
        stopRequested = false;
    }
    try {
        worker = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void KitSourceWorker::AskToStop() {
    {
        std::lock_guard<std::mutex> hold(stopLock);
        stopRequested = true;
    }
    stopSignal.notify_all();
}

void KitSourceWorker::Join() {
    if (worker.joinable()) worker.join();
}

bool KitSourceWorker::Stopping() {
    std::lock_guard<std::mutex> hold(stopLock);
    return stopRequested;
}

bool KitSourceWorker::WaitForStop(int ms) {
    std::unique_lock<std::mutex> hold(stopLock);
    return stopSignal.wait_for(hold, std::chrono::milliseconds(ms), [this] { return stopRequested; });
}

}  // namespace filterkit
