// The system reference clock (CLSID_SystemClock): the kernel's monotonic clock in 100 ns units.
// Every instance reads the same time base, so clocks of different graphs agree.
//
// Advise requests are served by one thread per clock, started with the first request and joined
// when the clock is destroyed. This platform has no semaphores; an AdvisePeriodic handle is
// signalled with SetEvent like an AdviseTime one (an auto-reset event then counts as one
// pending tick).
//
// Threads: any thread may call any method. Locking: `lock` guards advices, nextCookie,
// adviseThread and shuttingDown; it is held while the advise thread signals events (SetEvent
// takes only the kernel's own lock). lastTime is atomic.
#pragma once

#include <dshow.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "support/com_object.h"

namespace platform::streaming {

class SystemClock final : public ComObject<Implements<IReferenceClock, IID_IReferenceClock>> {
public:
    static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

    SystemClock() = default;
    SystemClock(const SystemClock&) = delete;
    SystemClock& operator=(const SystemClock&) = delete;

    // The current time of the system clock, without an object.
    static REFERENCE_TIME Now();

    // IReferenceClock
    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* pTime) override;
    HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime,
                                         HEVENT hEvent, DWORD_PTR* pdwAdviseCookie) override;
    HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime,
                                             HSEMAPHORE hSemaphore,
                                             DWORD_PTR* pdwAdviseCookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR dwAdviseCookie) override;

private:
    struct Advice {
        DWORD_PTR cookie;
        REFERENCE_TIME due;
        REFERENCE_TIME period;  // 0 for a one-shot advice
        HANDLE handle;          // not owned
    };

    ~SystemClock() override;
    HRESULT AddAdvice(REFERENCE_TIME due, REFERENCE_TIME period, HANDLE handle,
                      DWORD_PTR* cookie);
    void AdviseLoop();

    std::atomic<REFERENCE_TIME> lastTime{0};

    std::mutex lock;
    std::condition_variable changed;  // an advice was added or removed, or shutting down
    std::vector<Advice> advices;
    DWORD_PTR nextCookie = 1;
    bool shuttingDown = false;
    std::thread adviseThread;
};

}  // namespace platform::streaming
