// The platform's Memory Allocator (CLSID_MemoryAllocator): a fixed set of equal buffers in one
// block, handed out as MediaSamples.
//
// Threads: every method may be called from any thread. GetBuffer blocks a worker thread until a
// buffer is free or the allocator is decommitted; Commit, Decommit and SetProperties come from the
// thread that changes a filter's state or connects it. The final Release of a sample, on whatever
// thread, returns it through ReleaseBuffer and wakes one waiter.
//
// Lifetime: each sample handed out holds a reference on the allocator, so the allocator outlives
// its samples. After Decommit the buffers are freed when the last outstanding sample comes back.
//
// Locking: one lock, `lock`, guards every field below (the reference count is ComObject's,
// atomic). No other lock is taken while it is held; the only outside call made under it is the
// release of a sample media type's pUnk when a sample comes back.
#pragma once

#include <dshow.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "support/com_object.h"
#include "streaming/media_sample.h"

namespace platform::streaming {

class MemoryAllocator final : public ComObject<Implements<IMemAllocator, IID_IMemAllocator>> {
public:
    // Class creator for CoCreateInstance (no aggregation).
    static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

    MemoryAllocator() = default;

    // IMemAllocator
    HRESULT STDMETHODCALLTYPE SetProperties(ALLOCATOR_PROPERTIES* pRequest,
                                            ALLOCATOR_PROPERTIES* pActual) override;
    HRESULT STDMETHODCALLTYPE GetProperties(ALLOCATOR_PROPERTIES* pProps) override;
    HRESULT STDMETHODCALLTYPE Commit() override;
    HRESULT STDMETHODCALLTYPE Decommit() override;
    HRESULT STDMETHODCALLTYPE GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime,
                                        REFERENCE_TIME* pEndTime, DWORD dwFlags) override;
    // Takes back one of our samples whose count has reached zero (its final Release calls this).
    // Anything else (a foreign sample, one still referenced or not handed out) is refused with
    // E_INVALIDARG, so a stray call cannot put a sample in use on the free list.
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(IMediaSample* pBuffer) override;

private:
    ~MemoryAllocator() override;

    // Allocates the block and the samples for `properties`. Caller holds `lock`.
    HRESULT AllocateBuffersLocked();
    // Frees samples and block; no sample may be outstanding. Caller holds `lock`.
    void FreeBuffersLocked();

    std::mutex lock;
    std::condition_variable bufferReturned;  // a sample came back, or the allocator was decommitted
    ALLOCATOR_PROPERTIES properties{0, 0, 1, 0};  // granted values; zeros until SetProperties
    bool committed = false;
    uint64_t decommitCount = 0;  // tells a waiting GetBuffer that a Decommit happened meanwhile
    int outstanding = 0;         // samples handed out and not yet back
    std::vector<std::unique_ptr<MediaSample>> samples;  // all samples while buffers exist
    std::vector<MediaSample*> freeSamples;               // those not handed out (LIFO)
    std::unique_ptr<BYTE[]> block;                       // the buffers, prefixes included
};

}  // namespace platform::streaming
