#include "filters/base_input_pin.h"

#include "filters/base_filter.h"

namespace dv {

InputPinBase::InputPinBase(BaseFilter* filter, const char16_t* name)
    : ComExtend(filter, name, PINDIR_INPUT) {}

InputPinBase::~InputPinBase() = default;

HRESULT InputPinBase::Connect(IPin* receivePin, const AM_MEDIA_TYPE* /*mt*/) {
    // Connections are always made from the output side.
    if (receivePin == nullptr) return E_POINTER;
    return E_UNEXPECTED;
}

HRESULT InputPinBase::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) {
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

void InputPinBase::BreakConnect() {
    allocator.Reset();
    readOnly = FALSE;
}

HRESULT InputPinBase::GetAllocator(IMemAllocator** out) {
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

HRESULT InputPinBase::NotifyAllocator(IMemAllocator* newAllocator, BOOL newReadOnly) {
    if (newAllocator == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filter->FilterLock());
    allocator.Assign(newAllocator);
    readOnly = newReadOnly;
    return S_OK;
}

HRESULT InputPinBase::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) {
    if (props == nullptr) return E_POINTER;
    return E_NOTIMPL;
}

HRESULT InputPinBase::Receive(IMediaSample* sample) {
    if (sample == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(receiveLock);
    if (stopped.load() || filter->CurrentState() == State_Stopped) return VFW_E_WRONG_STATE;
    if (flushing.load()) return S_FALSE;
    return OnReceive(sample);
}

HRESULT InputPinBase::ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) {
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

HRESULT InputPinBase::ReceiveCanBlock() { return S_OK; }

HRESULT InputPinBase::EndOfStream() {
    std::lock_guard<std::mutex> lock(receiveLock);
    if (stopped.load()) return VFW_E_WRONG_STATE;
    if (flushing.load()) return S_FALSE;
    return OnEndOfStream();
}

HRESULT InputPinBase::BeginFlush() {
    flushing.store(true);
    UnblockReceive();
    // Downstream first releases whatever our Receive may be blocked on; then wait for it.
    const HRESULT hr = OnBeginFlush();
    std::lock_guard<std::mutex> lock(receiveLock);
    return hr;
}

HRESULT InputPinBase::EndFlush() {
    const HRESULT hr = OnEndFlush();
    flushing.store(false);
    return hr;
}

HRESULT InputPinBase::Activate() {
    flushing.store(false);
    stopped.store(false);
    return S_OK;
}

HRESULT InputPinBase::Deactivate() {
    stopped.store(true);
    UnblockReceive();
    return S_OK;
}

void InputPinBase::WaitIdle() {
    // Once Stop returns, nothing of ours runs on the upstream's streaming thread.
    std::lock_guard<std::mutex> lock(receiveLock);
}

HRESULT InputPinBase::SendQualityUpstream(const Quality& q) {
    const auto upstream = platform::ComPtr<IPin>::Adopt(GetPeer());
    if (!upstream) return VFW_E_NOT_CONNECTED;
    platform::ComPtr<IQualityControl> control;
    const HRESULT hr = upstream.As(IID_IQualityControl, &control);
    if (FAILED(hr) || !control) return FAILED(hr) ? hr : E_NOINTERFACE;
    return control->Notify(filter, q);
}

}  // namespace dv
