#include "filterkit/kit_output_pin.h"

#include "filterkit/kit_filter.h"
#include "filterkit/kit_input_pin.h"

namespace filterkit {

namespace {

// Refusals that say only "not this type"; anything else is worth reporting.
bool IsPlainRefusal(HRESULT hr) {
    return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED ||
           hr == VFW_E_NO_ACCEPTABLE_TYPES;
}

}  // namespace

KitOutputPin::KitOutputPin(KitFilter* filter, const char16_t* name)
    : KitPin(filter, name, PINDIR_OUTPUT) {}

KitOutputPin::~KitOutputPin() = default;

HRESULT KitOutputPin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) {
    if (receivePin == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filter->FilterLock());
    HRESULT hr = CheckConnectable(receivePin);
    if (FAILED(hr)) return hr;

    const bool complete = mt != nullptr && mt->majortype != GUID_NULL && mt->subtype != GUID_NULL &&
                          mt->formattype != GUID_NULL;
    if (complete) return TryConnect(receivePin, mt);

    // The peer's types first, then ours.
    HRESULT result = VFW_E_NO_ACCEPTABLE_TYPES;
    for (IPin* offering : {receivePin, static_cast<IPin*>(this)}) {
        platform::ComPtr<IEnumMediaTypes> types;
        if (FAILED(offering->EnumMediaTypes(types.Put())) || !types) continue;
        hr = TryTypeList(receivePin, mt, types.Get());
        if (SUCCEEDED(hr)) return S_OK;
        if (!IsPlainRefusal(hr)) result = hr;
    }
    return result;
}

HRESULT KitOutputPin::TryTypeList(IPin* receivePin, const AM_MEDIA_TYPE* partial,
                                  IEnumMediaTypes* types) {
    HRESULT remembered = S_OK;
    if (FAILED(types->Reset())) return VFW_E_NO_ACCEPTABLE_TYPES;
    for (;;) {
        AM_MEDIA_TYPE* candidate = nullptr;
        ULONG fetched = 0;
        if (types->Next(1, &candidate, &fetched) != S_OK || fetched != 1 || candidate == nullptr) {
            if (candidate != nullptr) FreeTaskMediaType(candidate);
            break;
        }
        HRESULT hr = VFW_E_NO_ACCEPTABLE_TYPES;
        if (partial == nullptr || MatchesPartialType(*candidate, *partial))
            hr = TryConnect(receivePin, candidate);
        FreeTaskMediaType(candidate);
        if (SUCCEEDED(hr)) return S_OK;
        if (SUCCEEDED(remembered) && !IsPlainRefusal(hr)) remembered = hr;
    }
    return FAILED(remembered) ? remembered : VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT KitOutputPin::TryConnect(IPin* receivePin, const AM_MEDIA_TYPE* mt) {
    HRESULT hr = CheckMediaType(mt);
    if (hr != S_OK) return (FAILED(hr) && !IsPlainRefusal(hr)) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    hr = connectionType.Set(mt);
    if (FAILED(hr)) return hr;
    SetPeer(receivePin);
    hr = receivePin->ReceiveConnection(this, mt);
    if (SUCCEEDED(hr)) {
        hr = CompleteConnect(receivePin);
        if (SUCCEEDED(hr)) return S_OK;
        receivePin->Disconnect();
    }
    BreakConnect();
    SetPeer(nullptr);
    return hr;
}

HRESULT KitOutputPin::CompleteConnect(IPin* peer) {
    const HRESULT hr = peer->QueryInterface(IID_IMemInputPin, inputPin.PutVoid());
    if (FAILED(hr) || !inputPin) {
        inputPin.Reset();
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    return NegotiateAllocator();
}

HRESULT KitOutputPin::NegotiateAllocator() {
    ALLOCATOR_PROPERTIES props{};
    inputPin->GetAllocatorRequirements(&props);
    if (props.cbAlign == 0) props.cbAlign = 1;

    // The downstream pin's own allocator first: it knows its buffers best.
    platform::ComPtr<IMemAllocator> candidate;
    if (SUCCEEDED(inputPin->GetAllocator(candidate.Put())) && candidate) {
        ALLOCATOR_PROPERTIES request = props;
        if (SUCCEEDED(DecideBufferSize(candidate.Get(), &request)) &&
            SUCCEEDED(inputPin->NotifyAllocator(candidate.Get(), FALSE))) {
            allocator = std::move(candidate);
            return S_OK;
        }
    }

    HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IMemAllocator, candidate.PutVoid());
    if (FAILED(hr) || !candidate) return FAILED(hr) ? hr : E_NOINTERFACE;
    ALLOCATOR_PROPERTIES request = props;
    hr = DecideBufferSize(candidate.Get(), &request);
    if (SUCCEEDED(hr)) hr = inputPin->NotifyAllocator(candidate.Get(), FALSE);
    if (FAILED(hr)) return hr;
    allocator = std::move(candidate);
    return S_OK;
}

void KitOutputPin::BreakConnect() {
    allocator.Reset();
    inputPin.Reset();
}

HRESULT KitOutputPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) {
    if (connector == nullptr || mt == nullptr) return E_POINTER;
    return E_UNEXPECTED;
}

HRESULT KitOutputPin::EndOfStream() { return E_UNEXPECTED; }
HRESULT KitOutputPin::BeginFlush() { return E_UNEXPECTED; }
HRESULT KitOutputPin::EndFlush() { return E_UNEXPECTED; }

HRESULT KitOutputPin::Notify(IBaseFilter* sender, Quality q) {
    IQualityControl* sink = qualitySink.load();
    if (sink != nullptr) return sink->Notify(sender, q);
    if (qualityRoute == nullptr) return E_NOTIMPL;
    return qualityRoute->SendQualityUpstream(q);
}

HRESULT KitOutputPin::Activate() {
    if (!allocator) return VFW_E_NO_ALLOCATOR;
    return allocator->Commit();
}

HRESULT KitOutputPin::Deactivate() {
    if (!allocator) return VFW_E_NO_ALLOCATOR;
    return allocator->Decommit();
}

HRESULT KitOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                        REFERENCE_TIME* stop, DWORD flags) {
    if (sample == nullptr) return E_POINTER;
    *sample = nullptr;
    if (!allocator) return E_NOINTERFACE;
    return allocator->GetBuffer(sample, start, stop, flags);
}

HRESULT KitOutputPin::Deliver(IMediaSample* sample) {
    if (!inputPin) return VFW_E_NOT_CONNECTED;
    return inputPin->Receive(sample);
}

HRESULT KitOutputPin::DeliverEndOfStream() {
    const auto peer = platform::ComPtr<IPin>::Adopt(GetPeer());
    return peer ? peer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT KitOutputPin::DeliverBeginFlush() {
    const auto peer = platform::ComPtr<IPin>::Adopt(GetPeer());
    return peer ? peer->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT KitOutputPin::DeliverEndFlush() {
    const auto peer = platform::ComPtr<IPin>::Adopt(GetPeer());
    return peer ? peer->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT KitOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    const auto peer = platform::ComPtr<IPin>::Adopt(GetPeer());
    return peer ? peer->NewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}

void KitOutputPin::PassFrameTimes(IMediaSample* in, IMediaSample* out) {
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    const HRESULT timed = in->GetTime(&start, &stop);
    if (SUCCEEDED(timed))
        out->SetTime(&start, timed == S_OK ? &stop : nullptr);
    else
        out->SetTime(nullptr, nullptr);
    out->SetSyncPoint(TRUE);
    out->SetDiscontinuity(in->IsDiscontinuity() == S_OK);
    out->SetPreroll(in->IsPreroll() == S_OK);
}

HRESULT KitOutputPin::SizeForFrames(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props,
                                    LONG frameBytes) {
    if (props->cBuffers < 1) props->cBuffers = 1;
    if (props->cbBuffer < frameBytes) props->cbBuffer = frameBytes;
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(props, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < frameBytes ? E_FAIL : S_OK;
}

}  // namespace filterkit
