#include "tests/support/fake_allocator.h"

namespace testsupport {

// One use of a buffer: fresh per-use state like the platform's samples, given back when the last
// reference goes.
class FakeAllocator::Sample final
    : public platform::ComObject<platform::Implements<IMediaSample, IID_IMediaSample>> {
public:
    Sample(FakeAllocator* owner, size_t index)
        : owner(owner), index(index), buffer(owner->buffers[index]),
          actualLength(static_cast<LONG>(buffer.size())) {}
    ~Sample() override { owner->SampleReturned(index); }

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

private:
    FakeAllocator* const owner;
    const size_t index;
    std::vector<BYTE>& buffer;  // the owner's, out to this sample until it goes
    bool timeValid = false;
    bool syncPoint = false;
    REFERENCE_TIME timeStart = 0;
    REFERENCE_TIME timeStop = 0;
    LONG actualLength;
};

FakeAllocator::FakeAllocator() : fixedGrant(0), sampleLimit(0), bufferBytes(16) {
    buffers.emplace_back(static_cast<size_t>(bufferBytes), kUntouchedByte);
    bufferOut.push_back(false);
}

FakeAllocator::FakeAllocator(LONG grantedBytes, LONG bufferBytes)
    : fixedGrant(grantedBytes), sampleLimit(1), bufferBytes(bufferBytes) {
    buffers.emplace_back(static_cast<size_t>(bufferBytes), kUntouchedByte);
    bufferOut.push_back(false);
    granted.cbBuffer = grantedBytes;
}

FakeAllocator::~FakeAllocator() = default;

std::vector<BYTE> FakeAllocator::Buffer() {
    std::lock_guard<std::mutex> hold(mutex);
    return buffers.front();
}

ALLOCATOR_PROPERTIES FakeAllocator::LastRequest() {
    std::lock_guard<std::mutex> hold(mutex);
    return lastRequest;
}

HRESULT STDMETHODCALLTYPE FakeAllocator::SetProperties(ALLOCATOR_PROPERTIES* request,
                                                       ALLOCATOR_PROPERTIES* actual) {
    if (request == nullptr || actual == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex);
    lastRequest = *request;
    granted = *request;
    if (fixedGrant != 0) {
        granted.cbBuffer = fixedGrant;
    } else if (granted.cbBuffer > largestBuffer) {
        granted.cbBuffer = largestBuffer;
    }
    *actual = granted;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeAllocator::Decommit() {
    const HRESULT answer = decommitAnswer;
    if (FAILED(answer)) return answer;
    {
        std::lock_guard<std::mutex> hold(mutex);
        committed = false;
    }
    changed.notify_all();
    return S_OK;
}

size_t FakeAllocator::FreeBuffer() const {
    for (size_t index = 0; index < bufferOut.size(); ++index) {
        if (!bufferOut[index]) return index;
    }
    if (sampleLimit == 0 || buffers.size() < sampleLimit) return buffers.size();
    return buffers.size() + 1;
}

HRESULT STDMETHODCALLTYPE FakeAllocator::GetBuffer(IMediaSample** out, REFERENCE_TIME*,
                                                   REFERENCE_TIME*, DWORD) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    std::unique_lock<std::mutex> hold(mutex);
    changed.wait(hold, [&] { return !committed || FreeBuffer() <= buffers.size(); });
    if (!committed) return VFW_E_NOT_COMMITTED;
    const size_t index = FreeBuffer();
    if (index == buffers.size()) {
        buffers.emplace_back(static_cast<size_t>(bufferBytes), kUntouchedByte);
        bufferOut.push_back(false);
    }
    bufferOut[index] = true;
    ++samplesOut;
    *out = new Sample(this, index);
    return S_OK;
}

void FakeAllocator::SampleReturned(size_t index) {
    {
        std::lock_guard<std::mutex> hold(mutex);
        bufferOut[index] = false;
        --samplesOut;
    }
    changed.notify_all();
}

}  // namespace testsupport
