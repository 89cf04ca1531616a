#include "media_type.h"

#include <cstring>
#include <utility>

namespace platform {

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
    // Cleared before the release: a pUnk whose release reaches back here finds nothing to free.
    if (IUnknown* unk = std::exchange(mt->pUnk, nullptr)) unk->Release();
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

bool MatchesPartialType(const AM_MEDIA_TYPE& candidate, const AM_MEDIA_TYPE& pattern) {
    if (pattern.majortype != GUID_NULL && pattern.majortype != candidate.majortype) return false;
    if (pattern.subtype != GUID_NULL && pattern.subtype != candidate.subtype) return false;
    if (pattern.formattype != GUID_NULL && pattern.formattype != candidate.formattype) return false;
    return true;
}

MediaType::MediaType() { std::memset(&mt, 0, sizeof(mt)); }

MediaType::MediaType(const MediaType& other) : MediaType() { Set(other.get()); }

MediaType::MediaType(MediaType&& other) noexcept : mt(other.mt) {
    std::memset(&other.mt, 0, sizeof(other.mt));
}

MediaType& MediaType::operator=(const MediaType& other) {
    if (this != &other) Set(other.get());
    return *this;
}

MediaType& MediaType::operator=(MediaType&& other) noexcept {
    if (this != &other) {
        FreeMediaTypeContents(&mt);
        mt = other.mt;
        std::memset(&other.mt, 0, sizeof(other.mt));
    }
    return *this;
}

MediaType::~MediaType() { FreeMediaTypeContents(&mt); }

HRESULT MediaType::Set(const AM_MEDIA_TYPE* src) {
    if (src == &mt) return S_OK;
    Clear();
    if (src == nullptr) return S_OK;
    const HRESULT hr = CopyMediaTypeContents(&mt, *src);
    if (FAILED(hr)) Clear();
    return hr;
}

void MediaType::Clear() {
    FreeMediaTypeContents(&mt);
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

}  // namespace platform
