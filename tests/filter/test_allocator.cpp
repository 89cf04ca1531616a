#include "test_allocator.h"

#include <cstring>

class TestAllocator::Sample final : public IMediaSample {
public:
    Sample(TestAllocator* owner, LONG bytes)
        : owner(owner), buffer(static_cast<size_t>(bytes), kUntouchedByte) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IMediaSample) {
            *result = static_cast<IMediaSample*>(this);
            AddRef();
            return S_OK;
        }
        *result = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&references));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references);
        if (left == 0) owner->SampleReturned();
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE GetPointer(BYTE** data) override {
        if (data == nullptr) return E_POINTER;
        *data = buffer.data();
        return S_OK;
    }
    LONG STDMETHODCALLTYPE GetSize() override { return static_cast<LONG>(buffer.size()); }
    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override {
        if (!timeValid) return VFW_E_SAMPLE_TIME_NOT_SET;
        *start = timeStart;
        *stop = timeStop;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override {
        timeValid = start != nullptr && stop != nullptr;
        if (timeValid) {
            timeStart = *start;
            timeStop = *stop;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsSyncPoint() override { return syncPoint ? S_OK : S_FALSE; }
    HRESULT STDMETHODCALLTYPE SetSyncPoint(BOOL value) override {
        syncPoint = value != FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsPreroll() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE SetPreroll(BOOL) override { return S_OK; }
    LONG STDMETHODCALLTYPE GetActualDataLength() override { return actualLength; }
    HRESULT STDMETHODCALLTYPE SetActualDataLength(LONG length) override {
        if (length < 0 || length > GetSize()) return VFW_E_BUFFER_OVERFLOW;
        actualLength = length;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMediaType(AM_MEDIA_TYPE** type) override {
        if (type == nullptr) return E_POINTER;
        *type = nullptr;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsDiscontinuity() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE SetDiscontinuity(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetMediaTime(LONGLONG*, LONGLONG*) override {
        return VFW_E_MEDIA_TIME_NOT_SET;
    }
    HRESULT STDMETHODCALLTYPE SetMediaTime(LONGLONG*, LONGLONG*) override { return S_OK; }

    // Handed out again: fresh per-use state, like the platform's samples.
    void Reset() {
        references = 1;
        timeValid = false;
        syncPoint = false;
        actualLength = static_cast<LONG>(buffer.size());
    }

    TestAllocator* owner;
    std::vector<BYTE> buffer;
    volatile LONG references = 0;
    bool timeValid = false;
    bool syncPoint = false;
    REFERENCE_TIME timeStart = 0;
    REFERENCE_TIME timeStop = 0;
    LONG actualLength = 0;
};

TestAllocator::TestAllocator(LONG grantedBytes, LONG bufferBytes)
    : grantedBytes(grantedBytes), sample(new Sample(this, bufferBytes)) {}

TestAllocator::~TestAllocator() { delete sample; }

std::vector<BYTE> TestAllocator::Buffer() {
    std::lock_guard<std::mutex> hold(mutex);
    return sample->buffer;
}

ALLOCATOR_PROPERTIES TestAllocator::LastRequest() {
    std::lock_guard<std::mutex> hold(mutex);
    return lastRequest;
}

HRESULT STDMETHODCALLTYPE TestAllocator::QueryInterface(REFIID iid, void** result) {
    if (result == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMemAllocator) {
        *result = static_cast<IMemAllocator*>(this);
        AddRef();
        return S_OK;
    }
    *result = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TestAllocator::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&referenceCount));
}

ULONG STDMETHODCALLTYPE TestAllocator::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&referenceCount));
}

HRESULT STDMETHODCALLTYPE TestAllocator::SetProperties(ALLOCATOR_PROPERTIES* request,
                                                       ALLOCATOR_PROPERTIES* actual) {
    if (request == nullptr || actual == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex);
    lastRequest = *request;
    *actual = *request;
    actual->cbBuffer = grantedBytes;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestAllocator::GetProperties(ALLOCATOR_PROPERTIES* props) {
    if (props == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex);
    *props = lastRequest;
    props->cbBuffer = grantedBytes;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestAllocator::Commit() {
    std::lock_guard<std::mutex> hold(mutex);
    committed = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestAllocator::Decommit() {
    {
        std::lock_guard<std::mutex> hold(mutex);
        committed = false;
    }
    changed.notify_all();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestAllocator::GetBuffer(IMediaSample** out, REFERENCE_TIME*,
                                                   REFERENCE_TIME*, DWORD) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    std::unique_lock<std::mutex> hold(mutex);
    changed.wait(hold, [&] { return !committed || !sampleOut; });
    if (!committed) return VFW_E_NOT_COMMITTED;
    sampleOut = true;
    sample->Reset();
    *out = sample;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestAllocator::ReleaseBuffer(IMediaSample*) { return S_OK; }

void TestAllocator::SampleReturned() {
    {
        std::lock_guard<std::mutex> hold(mutex);
        sampleOut = false;
    }
    changed.notify_all();
}
