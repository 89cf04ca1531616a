#include "media_type_enumerator.h"

#include <cstring>
#include <new>

#include "media_type_record.h"
#include "pin_base.h"
#include "standalone_unknown.h"

MediaTypeEnumerator::MediaTypeEnumerator(PinBase* enumerated, const MediaTypeEnumerator* source)
    : position(0), pin(enumerated), version(0), referenceCount(1) {
    static_cast<IPin*>(pin)->AddRef();
    if (source == nullptr) {
        version = pin->TypeListVersion();
    } else {
        position = source->position;
        version = source->version;
    }
}

MediaTypeEnumerator::~MediaTypeEnumerator() { static_cast<IPin*>(pin)->Release(); }

HRESULT STDMETHODCALLTYPE MediaTypeEnumerator::QueryInterface(REFIID iid, void** result) {
    return QueryStandaloneInterface(static_cast<IEnumMediaTypes*>(this), IID_IEnumMediaTypes, iid,
                                    result);
}

ULONG STDMETHODCALLTYPE MediaTypeEnumerator::AddRef() {
    return AddStandaloneReference(&referenceCount);
}

ULONG STDMETHODCALLTYPE MediaTypeEnumerator::Release() {
    return ReleaseStandaloneReference(this, &referenceCount);
}

bool MediaTypeEnumerator::IsStale() { return pin->TypeListVersion() != version; }

HRESULT STDMETHODCALLTYPE MediaTypeEnumerator::Next(ULONG count, AM_MEDIA_TYPE** types,
                                                    ULONG* fetched) {
    if (types == nullptr) {
        return E_POINTER;
    }
    if (IsStale()) {
        return VFW_E_ENUM_OUT_OF_SYNC;
    }
    if (fetched != nullptr) {
        *fetched = 0;
    } else if (count > 1) {
        return E_INVALIDARG;
    }
    ULONG written = 0;
    while (count > 0) {
        MediaTypeRecord offered;
        const HRESULT status = pin->GetOfferedType(position, &offered);
        ++position;
        if (status != S_OK) {
            break;
        }
        AM_MEDIA_TYPE* handed = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        types[written] = handed;
        if (handed == nullptr) {
            break;
        }
        // Hand the block and the pUnk reference over to the caller's record.
        std::memcpy(handed, static_cast<AM_MEDIA_TYPE*>(&offered), sizeof(AM_MEDIA_TYPE));
        offered.cbFormat = 0;
        offered.pbFormat = nullptr;
        offered.pUnk = nullptr;
        ++written;
        --count;
    }
    if (fetched != nullptr) {
        *fetched = written;
    }
    return count == 0 ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE MediaTypeEnumerator::Skip(ULONG count) {
    if (IsStale()) {
        return VFW_E_ENUM_OUT_OF_SYNC;
    }
    // Wraps rather than overflows; a position that turns negative simply finds no type.
    position = static_cast<int>(static_cast<unsigned>(position) + count);
    MediaTypeRecord probe;
    return pin->GetOfferedType(position - 1, &probe) == S_OK ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE MediaTypeEnumerator::Reset() {
    position = 0;
    version = pin->TypeListVersion();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MediaTypeEnumerator::Clone(IEnumMediaTypes** enumerator) {
    if (enumerator == nullptr) {
        return E_POINTER;
    }
    if (IsStale()) {
        *enumerator = nullptr;
        return VFW_E_ENUM_OUT_OF_SYNC;
    }
    *enumerator = new (std::nothrow) MediaTypeEnumerator(pin, this);
    return *enumerator == nullptr ? E_OUTOFMEMORY : S_OK;
}
