#include "filterkit/kit_pin.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "filterkit/kit_filter.h"
#include "support/list_enumerator.h"

namespace filterkit {

void SetFrameType(MediaType* mt, const GUID& major, const GUID& subtype, const GUID& formatType,
                  ULONG frameBytes) {
    AM_MEDIA_TYPE* type = mt->get();
    type->majortype = major;
    type->subtype = subtype;
    type->formattype = formatType;
    type->bFixedSizeSamples = TRUE;
    type->bTemporalCompression = FALSE;
    type->lSampleSize = frameBytes;
}

HRESULT ReadPcmFormat(const AM_MEDIA_TYPE* mt, WAVEFORMATEX* wave) {
    if (mt == nullptr) return E_POINTER;
    if (mt->majortype != MEDIATYPE_Audio || mt->subtype != MEDIASUBTYPE_PCM ||
        mt->formattype != FORMAT_WaveFormatEx)
        return VFW_E_TYPE_NOT_ACCEPTED;
    // The fields up to wBitsPerSample: a bare PCMWAVEFORMAT is enough.
    if (mt->pbFormat == nullptr || mt->cbFormat < offsetof(WAVEFORMATEX, cbSize))
        return E_INVALIDARG;
    *wave = WAVEFORMATEX{};
    std::memcpy(wave, mt->pbFormat, std::min<size_t>(mt->cbFormat, sizeof(*wave)));
    return S_OK;
}

KitPin::KitPin(KitFilter* filter, const char16_t* name, PIN_DIRECTION direction)
    : ComPart(static_cast<IBaseFilter*>(filter)),
      filter(filter),
      name(name != nullptr ? name : u""),
      direction(direction) {}

KitPin::~KitPin() = default;

bool KitPin::IsConnected() {
    std::lock_guard<std::mutex> lock(peerLock);
    return peer != nullptr;
}

IPin* KitPin::GetPeer() {
    std::lock_guard<std::mutex> lock(peerLock);
    IPin* out = nullptr;
    peer.CopyTo(&out);
    return out;
}

void KitPin::SetPeer(IPin* pin) {
    platform::ComPtr<IPin> old(pin);
    {
        std::lock_guard<std::mutex> lock(peerLock);
        std::swap(old, peer);
    }
    // The old peer is released here, outside peerLock.
}

HRESULT KitPin::CheckConnectable(IPin* other) {
    if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
    if (filter->CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    PIN_DIRECTION otherDirection = direction;
    if (FAILED(other->QueryDirection(&otherDirection)) || otherDirection == direction)
        return VFW_E_INVALID_DIRECTION;
    return S_OK;
}

HRESULT KitPin::Disconnect() {
    std::lock_guard<std::recursive_mutex> lock(filter->FilterLock());
    if (filter->CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!IsConnected()) return S_FALSE;
    BreakConnect();
    SetPeer(nullptr);
    return S_OK;
}

HRESULT KitPin::ConnectedTo(IPin** out) {
    if (out == nullptr) return E_POINTER;
    *out = GetPeer();
    return *out != nullptr ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT KitPin::ConnectionMediaType(AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filter->FilterLock());
    if (!IsConnected()) {
        std::memset(mt, 0, sizeof(*mt));
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaTypeContents(mt, *connectionType.get());
}

HRESULT KitPin::QueryPinInfo(PIN_INFO* info) {
    if (info == nullptr) return E_POINTER;
    platform::CopyTo(static_cast<IBaseFilter*>(filter), &info->pFilter);
    info->dir = direction;
    const size_t length = std::min<size_t>(name.size(), MAX_PIN_NAME - 1);
    std::copy_n(name.data(), length, info->achName);
    info->achName[length] = u'\0';
    return S_OK;
}

HRESULT KitPin::QueryDirection(PIN_DIRECTION* dir) {
    if (dir == nullptr) return E_POINTER;
    *dir = direction;
    return S_OK;
}

HRESULT KitPin::QueryId(LPWSTR* id) {
    if (id == nullptr) return E_POINTER;
    const size_t bytes = (name.size() + 1) * sizeof(char16_t);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (*id == nullptr) return E_OUTOFMEMORY;
    std::memcpy(*id, name.c_str(), bytes);
    return S_OK;
}

HRESULT KitPin::QueryAccept(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    return CheckMediaType(mt) == S_OK ? S_OK : S_FALSE;
}

HRESULT KitPin::EnumMediaTypes(IEnumMediaTypes** out) {
    if (out == nullptr) return E_POINTER;
    using MediaTypeEnumerator =
        platform::ListEnumerator<IEnumMediaTypes, IID_IEnumMediaTypes, platform::MediaTypeItems>;
    // A snapshot: the kit's pins offer a fixed list. It keeps this pin (and so the filter and
    // the module) alive.
    return MediaTypeEnumerator::CreateFrom(
        out,
        [this](MediaTypeEnumerator::List* types) {
            for (int position = 0;; ++position) {
                MediaType type;
                if (GetMediaType(position, &type) != S_OK) break;
                types->push_back(std::move(type));
            }
        },
        static_cast<IPin*>(this));
}

HRESULT KitPin::QueryInternalConnections(IPin** /*pins*/, ULONG* /*count*/) { return E_NOTIMPL; }

HRESULT KitPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    segmentStart = start;
    segmentStop = stop;
    segmentRate = rate;
    return S_OK;
}

HRESULT KitPin::Notify(IBaseFilter* /*sender*/, Quality /*q*/) { return E_NOTIMPL; }

HRESULT KitPin::SetSink(IQualityControl* sink) {
    qualitySink.store(sink);
    return S_OK;
}

HRESULT KitPin::GetMediaType(int /*position*/, MediaType* /*mt*/) { return VFW_S_NO_MORE_ITEMS; }

}  // namespace filterkit
