// The allocator the tests put under a pin: it records what it was asked for and hands out samples
// whose buffers it keeps, so a test can see what a filter wrote and what it left alone (the
// buffers start filled with kUntouchedByte).
//
// Made with no sizes it grants what is asked (up to largestBuffer) and hands out a fresh 16-byte
// sample per GetBuffer, any number at once. Made with sizes it grants grantedBytes whatever is
// asked and has one sample of bufferBytes, so it can hand a filter a 2 MB buffer, or a 1000-byte
// buffer after telling negotiation it granted a whole frame; GetBuffer then waits while that
// sample is out.
//
// It lives on the test's stack (see tests/support/com_fake.h); its samples delete themselves on
// their last Release and must all be back before it goes.
//
// Threads: GetBuffer runs on the filter's worker and blocks until a sample comes back or the
// allocator is decommitted; Commit and Decommit come from the thread stopping the filter; samples
// come back on whichever thread releases them last. `mutex` guards the buffers, their use and the
// properties; the atomics may be read at any time.
#pragma once

#include <dshow.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "support/com_object.h"
#include "tests/support/com_fake.h"

namespace testsupport {

class FakeAllocator
    : public platform::ComObject<platform::Implements<IMemAllocator, IID_IMemAllocator>>,
      public TestOwned {
public:
    static constexpr BYTE kUntouchedByte = 0xAB;

    FakeAllocator();
    // grantedBytes is what SetProperties reports; bufferBytes the size of the one sample.
    FakeAllocator(LONG grantedBytes, LONG bufferBytes);
    ~FakeAllocator() override;

    // The first sample's buffer as the filter last left it (read while the filter is stopped).
    std::vector<BYTE> Buffer();
    // The last request SetProperties was handed.
    ALLOCATOR_PROPERTIES LastRequest();

    HRESULT STDMETHODCALLTYPE SetProperties(ALLOCATOR_PROPERTIES* request,
                                            ALLOCATOR_PROPERTIES* actual) override;
    HRESULT STDMETHODCALLTYPE GetProperties(ALLOCATOR_PROPERTIES* props) override {
        if (props == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(mutex);
        *props = granted;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Commit() override {
        std::lock_guard<std::mutex> hold(mutex);
        committed = true;
        return S_OK;
    }
    // A failing decommitAnswer leaves the allocator committed, handing out samples as before.
    HRESULT STDMETHODCALLTYPE Decommit() override;
    HRESULT STDMETHODCALLTYPE GetBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                        REFERENCE_TIME* stop, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(IMediaSample*) override { return S_OK; }

    // Set by the test.
    LONG largestBuffer = 1 << 30;  // made with no sizes, SetProperties grants at most this
    std::atomic<HRESULT> decommitAnswer{S_OK};

    // Observed.
    std::atomic<bool> committed{false};
    std::atomic<int> samplesOut{0};

private:
    class Sample;
    void SampleReturned(size_t buffer);
    // A buffer not out now (a new one when below the limit), or buffers.size() + 1 for none.
    size_t FreeBuffer() const;

    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    const LONG fixedGrant;   // 0: the request, up to largestBuffer
    const size_t sampleLimit;  // 0: no limit
    const LONG bufferBytes;
    std::deque<std::vector<BYTE>> buffers;  // a deque: a sample's buffer stays where it is
    std::vector<bool> bufferOut;
    ALLOCATOR_PROPERTIES lastRequest = {};
    ALLOCATOR_PROPERTIES granted = {};
};

}  // namespace testsupport
