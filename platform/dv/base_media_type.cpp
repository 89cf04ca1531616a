#include "base_media_type.h"

#include <cstring>

namespace dv {

HRESULT CopyMediaType(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE* src) {
    *dst = *src;
    dst->pbFormat = nullptr;
    dst->cbFormat = 0;
    if (src->cbFormat != 0 && src->pbFormat != nullptr) {
        dst->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src->cbFormat));
        if (dst->pbFormat == nullptr) {
            dst->pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(dst->pbFormat, src->pbFormat, src->cbFormat);
        dst->cbFormat = src->cbFormat;
    }
    if (dst->pUnk != nullptr) dst->pUnk->AddRef();
    return S_OK;
}

void FreeMediaType(AM_MEDIA_TYPE& mt) {
    if (mt.pbFormat != nullptr) CoTaskMemFree(mt.pbFormat);
    mt.pbFormat = nullptr;
    mt.cbFormat = 0;
    if (mt.pUnk != nullptr) mt.pUnk->Release();
    mt.pUnk = nullptr;
}

AM_MEDIA_TYPE* CreateMediaTypeCopy(const AM_MEDIA_TYPE* src) {
    auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (mt == nullptr) return nullptr;
    if (FAILED(CopyMediaType(mt, src))) {
        CoTaskMemFree(mt);
        return nullptr;
    }
    return mt;
}

void DeleteMediaType(AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return;
    FreeMediaType(*mt);
    CoTaskMemFree(mt);
}

bool MatchesPartialType(const AM_MEDIA_TYPE& candidate, const AM_MEDIA_TYPE& pattern) {
    if (pattern.majortype != GUID_NULL && pattern.majortype != candidate.majortype) return false;
    if (pattern.subtype != GUID_NULL && pattern.subtype != candidate.subtype) return false;
    if (pattern.formattype != GUID_NULL && pattern.formattype != candidate.formattype) return false;
    return true;
}

MediaType::MediaType() { std::memset(&mt, 0, sizeof(mt)); }

MediaType::MediaType(const MediaType& other) : MediaType() { Set(other.get()); }

MediaType& MediaType::operator=(const MediaType& other) {
    if (this != &other) Set(other.get());
    return *this;
}

MediaType::~MediaType() { FreeMediaType(mt); }

HRESULT MediaType::Set(const AM_MEDIA_TYPE* src) {
    Clear();
    if (src == nullptr) return S_OK;
    const HRESULT hr = CopyMediaType(&mt, src);
    if (FAILED(hr)) Clear();
    return hr;
}

void MediaType::Clear() {
    FreeMediaType(mt);
    std::memset(&mt, 0, sizeof(mt));
}

BYTE* MediaType::AllocFormat(ULONG size) {
    if (mt.pbFormat != nullptr) CoTaskMemFree(mt.pbFormat);
    mt.cbFormat = 0;
    mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(size));
    if (mt.pbFormat == nullptr) return nullptr;
    std::memset(mt.pbFormat, 0, size);
    mt.cbFormat = size;
    return mt.pbFormat;
}

}  // namespace dv
