#include "filterkit/kit_input_pin.h"

#include "filterkit/kit_filter.h"

namespace filterkit {

KitInputPin::KitInputPin(KitFilter* filter, const char16_t* name)
    : ComExtend(filter, name, PINDIR_INPUT) {}

KitInputPin::~KitInputPin() = default;

HRESULT KitInputPin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* /*mt*/) {
    // Connections are always made from the output side.
    if (receivePin == nullptr) return E_POINTER;
    return E_UNEXPECTED;
}

HRESULT KitInputPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) {
    if (connector == nullptr || mt == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filter->FilterLock());
    HRESULT hr = CheckConnectable(connector);
    if (FAILED(hr)) return hr;
    hr = CheckMediaType(mt);
    if (hr != S_OK) return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    hr = connectionType.Set(mt);
    if (FAILED(hr)) return hr;
    SetPeer(connector);
    hr = CompleteConnect(connector);
    if (FAILED(hr)) {
        BreakConnect();
        SetPeer(nullptr);
        return hr;
    }
    return S_OK;
}

void KitInputPin::BreakConnect() {
    allocator.Reset();
    readOnly = FALSE;
}

HRESULT KitInputPin::GetAllocator(IMemAllocator** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    std::lock_guard<std::recursive_mutex> lock(filter->FilterLock());
    if (!allocator) {
        const HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IMemAllocator, allocator.PutVoid());
        if (FAILED(hr)) {
            allocator.Reset();
            return hr;
        }
    }
    return allocator.CopyTo(out);
}

HRESULT KitInputPin::NotifyAllocator(IMemAllocator* newAllocator, BOOL newReadOnly) {
    if (newAllocator == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filter->FilterLock());
    allocator.Assign(newAllocator);
    readOnly = newReadOnly;
    return S_OK;
}

HRESULT KitInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) {
    if (props == nullptr) return E_POINTER;
    return E_NOTIMPL;
}

HRESULT KitInputPin::Receive(IMediaSample* sample) {
    if (sample == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(receiveLock);
    if (stopped.load() || filter->CurrentState() == State_Stopped) return VFW_E_WRONG_STATE;
    if (flushing.load()) return S_FALSE;
    return OnReceive(sample);
}

HRESULT KitInputPin::ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) {
    if (samples == nullptr || processed == nullptr) return E_POINTER;
    *processed = 0;
    HRESULT hr = S_OK;
    while (*processed < count) {
        hr = Receive(samples[*processed]);
        if (hr != S_OK) break;
        ++*processed;
    }
    return hr;
}

HRESULT KitInputPin::ReceiveCanBlock() { return S_OK; }

HRESULT KitInputPin::EndOfStream() {
    std::lock_guard<std::mutex> lock(receiveLock);
    if (stopped.load()) return VFW_E_WRONG_STATE;
    if (flushing.load()) return S_FALSE;
    return OnEndOfStream();
}

HRESULT KitInputPin::BeginFlush() {
    flushing.store(true);
    UnblockReceive();
    // Downstream first releases whatever our Receive may be blocked on; then wait for it.
    const HRESULT hr = OnBeginFlush();
    std::lock_guard<std::mutex> lock(receiveLock);
    return hr;
}

HRESULT KitInputPin::EndFlush() {
    const HRESULT hr = OnEndFlush();
    flushing.store(false);
    return hr;
}

HRESULT KitInputPin::Activate() {
    flushing.store(false);
    stopped.store(false);
    return S_OK;
}

HRESULT KitInputPin::Deactivate() {
    stopped.store(true);
    UnblockReceive();
    return S_OK;
}

void KitInputPin::WaitIdle() {
    // Once Stop returns, nothing of ours runs on the upstream's streaming thread.
    std::lock_guard<std::mutex> lock(receiveLock);
}

HRESULT KitInputPin::SendQualityUpstream(const Quality& q) {
    const auto upstream = platform::ComPtr<IPin>::Adopt(GetPeer());
    if (!upstream) return VFW_E_NOT_CONNECTED;
    platform::ComPtr<IQualityControl> control;
    const HRESULT hr = upstream.As(IID_IQualityControl, &control);
    if (FAILED(hr) || !control) return FAILED(hr) ? hr : E_NOINTERFACE;
    return control->Notify(filter, q);
}

}  // namespace filterkit
