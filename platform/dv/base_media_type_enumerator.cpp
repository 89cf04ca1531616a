#include "base_media_type_enumerator.h"

#include <new>

#include "base_pin.h"
#include "dv_classes.h"

namespace dv {

MediaTypeEnumerator* MediaTypeEnumerator::Create(BasePin* pin) {
    std::shared_ptr<std::vector<MediaType>> types(new (std::nothrow) std::vector<MediaType>);
    if (!types) return nullptr;
    for (int position = 0;; ++position) {
        MediaType mt;
        if (pin->GetMediaType(position, &mt) != S_OK) break;
        types->push_back(mt);
    }
    return new (std::nothrow) MediaTypeEnumerator(pin, std::move(types), 0);
}

MediaTypeEnumerator::MediaTypeEnumerator(BasePin* pin,
                                         std::shared_ptr<const std::vector<MediaType>> types,
                                         size_t position)
    : pin(pin), types(std::move(types)), position(position) {
    pin->AddRef();
    ModuleObjectCreated();
}

MediaTypeEnumerator::~MediaTypeEnumerator() {
    pin->Release();
    ModuleObjectDestroyed();
}

HRESULT MediaTypeEnumerator::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumMediaTypes) {
        *out = static_cast<IEnumMediaTypes*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG MediaTypeEnumerator::AddRef() { return ++refCount; }

ULONG MediaTypeEnumerator::Release() {
    const ULONG count = --refCount;
    if (count == 0) delete this;
    return count;
}

HRESULT MediaTypeEnumerator::Next(ULONG count, AM_MEDIA_TYPE** out, ULONG* fetched) {
    if (out == nullptr) return E_POINTER;
    if (fetched == nullptr && count > 1) return E_INVALIDARG;
    ULONG got = 0;
    while (got < count && position < types->size()) {
        AM_MEDIA_TYPE* copy = CreateMediaTypeCopy((*types)[position].get());
        if (copy == nullptr) break;
        out[got++] = copy;
        ++position;
    }
    if (fetched != nullptr) *fetched = got;
    return got == count ? S_OK : S_FALSE;
}

HRESULT MediaTypeEnumerator::Skip(ULONG count) {
    const size_t left = types->size() - position;
    if (count > left) {
        position = types->size();
        return S_FALSE;
    }
    position += count;
    return S_OK;
}

HRESULT MediaTypeEnumerator::Reset() {
    position = 0;
    return S_OK;
}

HRESULT MediaTypeEnumerator::Clone(IEnumMediaTypes** out) {
    if (out == nullptr) return E_POINTER;
    *out = new (std::nothrow) MediaTypeEnumerator(pin, types, position);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace dv
