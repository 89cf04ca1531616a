// Media type records that own what they point to: the format block in task memory
// (CoTaskMemAlloc) and a counted pUnk. The same rules hold for records that cross a component
// boundary (IEnumMediaTypes::Next, IMediaSample::GetMediaType): the receiver frees them with
// FreeTaskMediaType.
#pragma once

#include <dshow.h>

namespace platform {

// Deep-copies src into dst (format block in task memory, pUnk AddRef'd). dst's old contents are
// overwritten without being freed. E_OUTOFMEMORY leaves dst with no format block and no pUnk.
HRESULT CopyMediaTypeContents(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE& src);

// Frees the format block and releases pUnk; the record itself stays (with neither).
void FreeMediaTypeContents(AM_MEDIA_TYPE* mt);

// A whole record in task memory, copied from src; null when out of memory.
AM_MEDIA_TYPE* CreateTaskMediaType(const AM_MEDIA_TYPE& src);

// Frees a record made by CreateTaskMediaType (null is allowed).
void FreeTaskMediaType(AM_MEDIA_TYPE* mt);

// True when every GUID of the pattern that is not GUID_NULL equals the candidate's.
bool MatchesPartialType(const AM_MEDIA_TYPE& candidate, const AM_MEDIA_TYPE& pattern);

// An owned AM_MEDIA_TYPE. Copying copies the format block; a failed copy leaves the record
// empty (majortype GUID_NULL), which every pin refuses. Moving hands the blocks over.
// Threads: no lock of its own; whoever holds one guards it.
class MediaType {
public:
    MediaType();
    MediaType(const MediaType& other);
    MediaType(MediaType&& other) noexcept;
    MediaType& operator=(const MediaType& other);
    MediaType& operator=(MediaType&& other) noexcept;
    ~MediaType();

    // Replaces the contents with a copy of mt (null empties it).
    HRESULT Set(const AM_MEDIA_TYPE* mt);
    void Clear();
    // Allocates a zeroed format block of size bytes, replacing any old one; null when out of
    // memory (the record then has none).
    BYTE* AllocFormat(ULONG size);

    AM_MEDIA_TYPE* get() { return &mt; }
    const AM_MEDIA_TYPE* get() const { return &mt; }
    const AM_MEDIA_TYPE* operator->() const { return &mt; }
    AM_MEDIA_TYPE* operator->() { return &mt; }

private:
    AM_MEDIA_TYPE mt;
};

}  // namespace platform

namespace platform {

// ListEnumerator items for IEnumMediaTypes: Next hands out task-memory copies.
struct MediaTypeItems {
    using Stored = MediaType;
    using Handed = AM_MEDIA_TYPE*;
    static constexpr HRESULT kNoCountStatus = E_INVALIDARG;
    static HRESULT Hand(const MediaType& type, AM_MEDIA_TYPE** out) {
        *out = CreateTaskMediaType(*type.get());
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    static void Take(AM_MEDIA_TYPE* type) { FreeTaskMediaType(type); }
};

}  // namespace platform
