#include "test_input_pin.h"

namespace {

// Hands out `held` with a reference, or answers `none` when nothing is held.
template <typename Interface>
HRESULT HandOut(Interface* held, Interface** out, HRESULT none) {
    if (out == nullptr) return E_POINTER;
    *out = held;
    if (held == nullptr) return none;
    held->AddRef();
    return S_OK;
}

}  // namespace

TestInputPin::TestInputPin() = default;

TestInputPin::~TestInputPin() {
    if (offered != nullptr) offered->Release();
    if (notified != nullptr) notified->Release();
    if (connector != nullptr) connector->Release();
}

void TestInputPin::OfferAllocator(IMemAllocator* allocator) {
    std::lock_guard<std::mutex> hold(mutex);
    if (allocator != nullptr) allocator->AddRef();
    if (offered != nullptr) offered->Release();
    offered = allocator;
}

void TestInputPin::KeepBytesOf(int count) {
    std::lock_guard<std::mutex> hold(mutex);
    keptSampleBytes = count;
}

void TestInputPin::OnReceive(std::function<void(int, IMediaSample*)> action) {
    std::lock_guard<std::mutex> hold(mutex);
    receiveAction = std::move(action);
}

void TestInputPin::WaitForSamples(int count) {
    std::unique_lock<std::mutex> hold(mutex);
    arrived.wait(hold, [&] { return static_cast<int>(samples.size()) >= count; });
}

std::vector<ReceivedSample> TestInputPin::Samples() {
    std::lock_guard<std::mutex> hold(mutex);
    return samples;
}

int TestInputPin::SampleCount() {
    std::lock_guard<std::mutex> hold(mutex);
    return static_cast<int>(samples.size());
}

void TestInputPin::Clear() {
    std::lock_guard<std::mutex> hold(mutex);
    samples.clear();
}

int TestInputPin::EndOfStreamCount() {
    std::lock_guard<std::mutex> hold(mutex);
    return endOfStreamCount;
}

IMemAllocator* TestInputPin::NotifiedAllocator() {
    std::lock_guard<std::mutex> hold(mutex);
    return notified;
}

IPin* TestInputPin::Connector() {
    std::lock_guard<std::mutex> hold(mutex);
    return connector;
}

HRESULT STDMETHODCALLTYPE TestInputPin::ReceiveConnection(IPin* pin, const AM_MEDIA_TYPE* type) {
    if (pin == nullptr || type == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex);
    if (connector != nullptr) return VFW_E_ALREADY_CONNECTED;
    connector = pin;
    connector->AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestInputPin::Disconnect() {
    std::lock_guard<std::mutex> hold(mutex);
    if (connector == nullptr) return S_FALSE;
    connector->Release();
    connector = nullptr;
    if (notified != nullptr) notified->Release();
    notified = nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestInputPin::ConnectedTo(IPin** pin) {
    std::lock_guard<std::mutex> hold(mutex);
    return HandOut(connector, pin, VFW_E_NOT_CONNECTED);
}

HRESULT STDMETHODCALLTYPE TestInputPin::EndOfStream() {
    std::lock_guard<std::mutex> hold(mutex);
    ++endOfStreamCount;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestInputPin::GetAllocator(IMemAllocator** allocator) {
    std::lock_guard<std::mutex> hold(mutex);
    return HandOut(offered, allocator, VFW_E_NO_ALLOCATOR);
}

HRESULT STDMETHODCALLTYPE TestInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL) {
    if (allocator == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex);
    allocator->AddRef();
    if (notified != nullptr) notified->Release();
    notified = allocator;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestInputPin::Receive(IMediaSample* sample) {
    if (sample == nullptr) return E_POINTER;
    ReceivedSample record;
    record.timeStatus = sample->GetTime(&record.start, &record.stop);
    record.size = sample->GetSize();
    record.actualLength = sample->GetActualDataLength();
    record.syncPoint = sample->IsSyncPoint() == S_OK;

    std::function<void(int, IMediaSample*)> action;
    int index = 0;
    {
        std::lock_guard<std::mutex> hold(mutex);
        index = static_cast<int>(samples.size());
        if (index < keptSampleBytes) {
            BYTE* data = nullptr;
            if (SUCCEEDED(sample->GetPointer(&data)) && data != nullptr && record.size > 0) {
                record.bytes.assign(reinterpret_cast<const char*>(data),
                                    static_cast<size_t>(record.size));
            }
        }
        action = receiveAction;
    }
    // Outside our lock: the action may call back into the filter.
    if (action) action(index, sample);
    {
        std::lock_guard<std::mutex> hold(mutex);
        samples.push_back(std::move(record));
    }
    arrived.notify_all();
    return S_OK;
}
