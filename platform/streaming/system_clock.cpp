#include "streaming/system_clock.h"

#include <platform/platform.h>

#include <algorithm>
#include <chrono>
#include <new>

namespace platform::streaming {

namespace {

const BuiltinClassRegistrar registerSystemClock(CLSID_SystemClock, &SystemClock::Create);

std::chrono::steady_clock::time_point ToTimePoint(REFERENCE_TIME time) {
    time = std::min<REFERENCE_TIME>(time, INT64_MAX / 200);  // far enough, and no overflow
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(time) * 100);
}

}  // namespace

HRESULT SystemClock::Create(IUnknown* outer, REFIID iid, void** out) {
    return CreateInstance<SystemClock>(outer, iid, out);
}

REFERENCE_TIME SystemClock::Now() {
    const auto sinceBoot = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceBoot).count() / 100;
}

SystemClock::~SystemClock() {
    {
        std::lock_guard<std::mutex> guard(lock);
        shuttingDown = true;
        changed.notify_all();
    }
    if (adviseThread.joinable()) adviseThread.join();
}

HRESULT SystemClock::GetTime(REFERENCE_TIME* pTime) {
    if (pTime == nullptr) return E_POINTER;
    // The kernel clock is monotonic already; keeping the maximum makes the promise explicit even
    // across threads that read it at nearly the same moment.
    const REFERENCE_TIME now = Now();
    REFERENCE_TIME last = lastTime.load();
    while (now > last && !lastTime.compare_exchange_weak(last, now)) {
    }
    *pTime = std::max(now, last);
    return S_OK;
}

HRESULT SystemClock::AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                                DWORD_PTR* pdwAdviseCookie) {
    if (pdwAdviseCookie == nullptr) return E_POINTER;
    *pdwAdviseCookie = 0;
    REFERENCE_TIME due = 0;
    if (hEvent == nullptr || __builtin_add_overflow(baseTime, streamTime, &due) || due <= 0) {
        return E_INVALIDARG;
    }
    return AddAdvice(due, 0, hEvent, pdwAdviseCookie);
}

HRESULT SystemClock::AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime,
                                    HSEMAPHORE hSemaphore, DWORD_PTR* pdwAdviseCookie) {
    if (pdwAdviseCookie == nullptr) return E_POINTER;
    *pdwAdviseCookie = 0;
    if (hSemaphore == nullptr || startTime < 0 || periodTime <= 0) return E_INVALIDARG;
    return AddAdvice(startTime, periodTime, hSemaphore, pdwAdviseCookie);
}

HRESULT SystemClock::Unadvise(DWORD_PTR dwAdviseCookie) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = std::find_if(advices.begin(), advices.end(), [dwAdviseCookie](const Advice& a) {
        return a.cookie == dwAdviseCookie;
    });
    if (found == advices.end()) return S_FALSE;
    advices.erase(found);
    changed.notify_all();
    return S_OK;
}

HRESULT SystemClock::AddAdvice(REFERENCE_TIME due, REFERENCE_TIME period, HANDLE handle,
                               DWORD_PTR* cookie) {
    std::lock_guard<std::mutex> guard(lock);
    try {
        if (!adviseThread.joinable()) adviseThread = std::thread([this] { AdviseLoop(); });
        advices.push_back(Advice{nextCookie, due, period, handle});
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;
    }
    *cookie = nextCookie++;
    changed.notify_all();
    return S_OK;
}

void SystemClock::AdviseLoop() {
    std::unique_lock<std::mutex> guard(lock);
    while (!shuttingDown) {
        if (advices.empty()) {
            changed.wait(guard);
            continue;
        }
        const REFERENCE_TIME now = Now();
        REFERENCE_TIME next = INT64_MAX;
        for (auto it = advices.begin(); it != advices.end();) {
            if (it->due <= now) {
                SetEvent(it->handle);
                if (it->period == 0) {
                    it = advices.erase(it);
                    continue;
                }
                // A periodic advice that fell behind fires once and resumes on the grid.
                const REFERENCE_TIME missed = (now - it->due) / it->period + 1;
                it->due += missed * it->period;
            }
            next = std::min(next, it->due);
            ++it;
        }
        if (next == INT64_MAX) continue;
        changed.wait_until(guard, ToTimePoint(next));
    }
}

}  // namespace platform::streaming
