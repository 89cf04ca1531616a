#include "filters/base_pin.h"

#include <algorithm>
#include <cstring>

#include "filters/base_filter.h"
#include "list_enumerator.h"

namespace dv {

BasePin::BasePin(BaseFilter* filter, const char16_t* name, PIN_DIRECTION direction)
    : ComPart(static_cast<IBaseFilter*>(filter)),
      filter(filter),
      name(name != nullptr ? name : u""),
      direction(direction) {}

BasePin::~BasePin() = default;

bool BasePin::IsConnected() {
    std::lock_guard<std::mutex> lock(peerLock);
    return peer != nullptr;
}

IPin* BasePin::GetPeer() {
    std::lock_guard<std::mutex> lock(peerLock);
    IPin* out = nullptr;
    peer.CopyTo(&out);
    return out;
}

void BasePin::SetPeer(IPin* pin) {
    platform::ComPtr<IPin> old(pin);
    {
        std::lock_guard<std::mutex> lock(peerLock);
        std::swap(old, peer);
    }
    // The old peer is released here, outside peerLock.
}

HRESULT BasePin::CheckConnectable(IPin* other) {
    if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
    if (filter->CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    PIN_DIRECTION otherDirection = direction;
    if (FAILED(other->QueryDirection(&otherDirection)) || otherDirection == direction)
        return VFW_E_INVALID_DIRECTION;
    return S_OK;
}

HRESULT BasePin::Disconnect() {
    std::lock_guard<std::recursive_mutex> lock(filter->FilterLock());
    if (filter->CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!IsConnected()) return S_FALSE;
    BreakConnect();
    SetPeer(nullptr);
    return S_OK;
}

HRESULT BasePin::ConnectedTo(IPin** out) {
    if (out == nullptr) return E_POINTER;
    *out = GetPeer();
    return *out != nullptr ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT BasePin::ConnectionMediaType(AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(filter->FilterLock());
    if (!IsConnected()) {
        std::memset(mt, 0, sizeof(*mt));
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaTypeContents(mt, *connectionType.get());
}

HRESULT BasePin::QueryPinInfo(PIN_INFO* info) {
    if (info == nullptr) return E_POINTER;
    platform::CopyTo(static_cast<IBaseFilter*>(filter), &info->pFilter);
    info->dir = direction;
    const size_t length = std::min<size_t>(name.size(), MAX_PIN_NAME - 1);
    std::copy_n(name.data(), length, info->achName);
    info->achName[length] = u'\0';
    return S_OK;
}

HRESULT BasePin::QueryDirection(PIN_DIRECTION* dir) {
    if (dir == nullptr) return E_POINTER;
    *dir = direction;
    return S_OK;
}

HRESULT BasePin::QueryId(LPWSTR* id) {
    if (id == nullptr) return E_POINTER;
    const size_t bytes = (name.size() + 1) * sizeof(char16_t);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (*id == nullptr) return E_OUTOFMEMORY;
    std::memcpy(*id, name.c_str(), bytes);
    return S_OK;
}

HRESULT BasePin::QueryAccept(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    return CheckMediaType(mt) == S_OK ? S_OK : S_FALSE;
}

HRESULT BasePin::EnumMediaTypes(IEnumMediaTypes** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    using MediaTypeEnumerator =
        platform::ListEnumerator<IEnumMediaTypes, IID_IEnumMediaTypes, platform::MediaTypeItems>;
    try {
        // A snapshot: the DV server's pins offer a fixed list. It keeps this pin (and so the
        // filter and the module) alive.
        MediaTypeEnumerator::List types;
        for (int position = 0;; ++position) {
            MediaType type;
            if (GetMediaType(position, &type) != S_OK) break;
            types.push_back(std::move(type));
        }
        *out = MediaTypeEnumerator::Create(std::move(types), static_cast<IPin*>(this));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT BasePin::QueryInternalConnections(IPin** /*pins*/, ULONG* /*count*/) { return E_NOTIMPL; }

HRESULT BasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    segmentStart = start;
    segmentStop = stop;
    segmentRate = rate;
    return S_OK;
}

HRESULT BasePin::Notify(IBaseFilter* /*sender*/, Quality /*q*/) { return E_NOTIMPL; }

HRESULT BasePin::SetSink(IQualityControl* sink) {
    qualitySink.store(sink);
    return S_OK;
}

HRESULT BasePin::GetMediaType(int /*position*/, MediaType* /*mt*/) { return VFW_S_NO_MORE_ITEMS; }

}  // namespace dv
