#include "streaming/media_type_copy.h"

#include <cstring>

namespace platform::streaming {

HRESULT CopyMediaTypeContents(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE& src) {
    *dst = src;
    dst->cbFormat = 0;
    dst->pbFormat = nullptr;
    if (src.cbFormat != 0 && src.pbFormat != nullptr) {
        dst->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src.cbFormat));
        if (dst->pbFormat == nullptr) {
            dst->pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(dst->pbFormat, src.pbFormat, src.cbFormat);
        dst->cbFormat = src.cbFormat;
    }
    if (dst->pUnk != nullptr) dst->pUnk->AddRef();
    return S_OK;
}

void FreeMediaTypeContents(AM_MEDIA_TYPE* mt) {
    if (mt->pbFormat != nullptr) CoTaskMemFree(mt->pbFormat);
    mt->pbFormat = nullptr;
    mt->cbFormat = 0;
    if (mt->pUnk != nullptr) {
        IUnknown* unk = mt->pUnk;
        mt->pUnk = nullptr;
        unk->Release();
    }
}

AM_MEDIA_TYPE* CreateTaskMediaType(const AM_MEDIA_TYPE& src) {
    auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (mt == nullptr) return nullptr;
    if (FAILED(CopyMediaTypeContents(mt, src))) {
        CoTaskMemFree(mt);
        return nullptr;
    }
    return mt;
}

void FreeTaskMediaType(AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return;
    FreeMediaTypeContents(mt);
    CoTaskMemFree(mt);
}

}  // namespace platform::streaming
