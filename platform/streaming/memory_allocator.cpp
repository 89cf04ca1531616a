#include "streaming/memory_allocator.h"

#include <platform/platform.h>

#include <algorithm>
#include <new>

namespace platform::streaming {

namespace {

const BuiltinClassRegistrar registerMemoryAllocator(CLSID_MemoryAllocator,
                                                    &MemoryAllocator::Create);

// A commit that would need more than this (buffers plus bookkeeping) is refused with
// E_OUTOFMEMORY rather than left to the kernel's overcommit.
constexpr uint64_t kMaxCommitBytes = uint64_t{4} << 30;

uint64_t RoundUp(uint64_t value, uint64_t align) { return (value + align - 1) / align * align; }

}  // namespace

HRESULT MemoryAllocator::Create(IUnknown* outer, REFIID iid, void** out) {
    return CreateInstance<MemoryAllocator>(outer, iid, out);
}

MemoryAllocator::~MemoryAllocator() {
    // No sample can be out: each holds a reference on us.
    FreeBuffersLocked();
}

HRESULT MemoryAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest,
                                       ALLOCATOR_PROPERTIES* pActual) {
    if (pRequest == nullptr || pActual == nullptr) return E_POINTER;
    const ALLOCATOR_PROPERTIES request = *pRequest;  // pRequest and pActual may be one record
    std::lock_guard<std::mutex> guard(lock);
    if (committed) return VFW_E_ALREADY_COMMITTED;
    if (outstanding > 0) return VFW_E_BUFFERS_OUTSTANDING;
    if (request.cBuffers < 0 || request.cbBuffer < 0 || request.cbAlign < 0 ||
        request.cbPrefix < 0) {
        return E_INVALIDARG;
    }
    const uint64_t align = request.cbAlign == 0 ? 1 : static_cast<uint64_t>(request.cbAlign);
    if ((align & (align - 1)) != 0) return VFW_E_BADALIGN;
    const uint64_t size = RoundUp(static_cast<uint64_t>(request.cbBuffer), align);
    if (size > INT32_MAX) return E_INVALIDARG;
    properties.cBuffers = request.cBuffers;
    properties.cbBuffer = static_cast<LONG>(size);
    properties.cbAlign = static_cast<LONG>(align);
    properties.cbPrefix = request.cbPrefix;
    *pActual = properties;
    return S_OK;
}

HRESULT MemoryAllocator::GetProperties(ALLOCATOR_PROPERTIES* pProps) {
    if (pProps == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock);
    *pProps = properties;
    return S_OK;
}

HRESULT MemoryAllocator::Commit() {
    std::lock_guard<std::mutex> guard(lock);
    if (committed) return S_OK;
    if (properties.cBuffers == 0 || properties.cbBuffer == 0) return VFW_E_SIZENOTSET;
    // After a Decommit with samples still out the buffers are still there; the properties
    // cannot have changed meanwhile (SetProperties refuses while samples are out).
    if (samples.empty()) {
        const HRESULT hr = AllocateBuffersLocked();
        if (FAILED(hr)) return hr;
    }
    committed = true;
    return S_OK;
}

HRESULT MemoryAllocator::Decommit() {
    std::lock_guard<std::mutex> guard(lock);
    if (!committed) return S_OK;
    committed = false;
    ++decommitCount;
    if (outstanding == 0) FreeBuffersLocked();
    bufferReturned.notify_all();
    return S_OK;
}

HRESULT MemoryAllocator::GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME*, REFERENCE_TIME*,
                                   DWORD dwFlags) {
    if (ppBuffer == nullptr) return E_POINTER;
    *ppBuffer = nullptr;
    std::unique_lock<std::mutex> guard(lock);
    const uint64_t decommitsBefore = decommitCount;
    for (;;) {
        if (!committed || decommitCount != decommitsBefore) return VFW_E_NOT_COMMITTED;
        if (!freeSamples.empty()) break;
        if (dwFlags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
        bufferReturned.wait(guard);
    }
    MediaSample* sample = freeSamples.back();
    freeSamples.pop_back();
    sample->PrepareForHandOut();
    sample->outstanding = true;
    ++outstanding;
    AddRef();  // the sample keeps us alive until it comes back
    *ppBuffer = sample;
    return S_OK;
}

HRESULT MemoryAllocator::ReleaseBuffer(IMediaSample* pBuffer) {
    if (pBuffer == nullptr) return E_POINTER;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto found = std::find_if(samples.begin(), samples.end(),
                                  [pBuffer](const std::unique_ptr<MediaSample>& sample) {
                                      return static_cast<IMediaSample*>(sample.get()) == pBuffer;
                                  });
        if (found == samples.end()) return E_INVALIDARG;
        MediaSample* sample = found->get();
        if (!sample->outstanding || sample->ReferenceCount() != 0) return E_INVALIDARG;
        sample->ClearProperties();
        sample->outstanding = false;
        --outstanding;
        freeSamples.push_back(sample);
        if (!committed && outstanding == 0) FreeBuffersLocked();
        bufferReturned.notify_one();
    }
    Release();  // the reference the sample held; may destroy us
    return S_OK;
}

HRESULT MemoryAllocator::AllocateBuffersLocked() {
    const uint64_t align = static_cast<uint64_t>(properties.cbAlign);
    const uint64_t prefix = RoundUp(static_cast<uint64_t>(properties.cbPrefix), align);
    const uint64_t stride = prefix + static_cast<uint64_t>(properties.cbBuffer);
    const uint64_t count = static_cast<uint64_t>(properties.cBuffers);
    const uint64_t bytes = count * stride + align;  // room to align the first data pointer
    if (bytes + count * (sizeof(MediaSample) + 2 * sizeof(void*)) > kMaxCommitBytes) {
        return E_OUTOFMEMORY;
    }
    std::unique_ptr<BYTE[]> memory(new (std::nothrow) BYTE[bytes]);
    if (!memory) return E_OUTOFMEMORY;
    try {
        samples.reserve(count);
        freeSamples.reserve(count);
        // Every data pointer (after its prefix) lies on the alignment.
        const uintptr_t base = reinterpret_cast<uintptr_t>(memory.get());
        const uintptr_t first = (base + prefix + align - 1) / align * align;
        for (uint64_t i = 0; i < count; ++i) {
            BYTE* data = reinterpret_cast<BYTE*>(first + i * stride);
            samples.push_back(std::make_unique<MediaSample>(this, data, properties.cbBuffer));
            freeSamples.push_back(samples.back().get());
        }
    } catch (const std::bad_alloc&) {
        samples.clear();
        freeSamples.clear();
        return E_OUTOFMEMORY;
    }
    block = std::move(memory);
    return S_OK;
}

void MemoryAllocator::FreeBuffersLocked() {
    freeSamples.clear();
    samples.clear();
    block.reset();
}

}  // namespace platform::streaming
