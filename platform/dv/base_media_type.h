// Media type records for the DV server's filters. Format blocks and records that cross a
// component boundary live in task memory (CoTaskMemAlloc) and are freed by whoever receives them.
#pragma once

#include <dshow.h>

namespace dv {

// Deep-copies src into dst (format block in task memory, pUnk AddRef'd). dst is overwritten
// without being freed. E_OUTOFMEMORY leaves dst without a format block.
HRESULT CopyMediaType(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE* src);

// Frees the format block and releases pUnk; the record itself stays.
void FreeMediaType(AM_MEDIA_TYPE& mt);

// A task-memory copy of src, for IEnumMediaTypes::Next and IMediaSample::GetMediaType.
AM_MEDIA_TYPE* CreateMediaTypeCopy(const AM_MEDIA_TYPE* src);

// Frees a record made by CreateMediaTypeCopy (format block and record).
void DeleteMediaType(AM_MEDIA_TYPE* mt);

// True when every GUID of the pattern that is not GUID_NULL equals the candidate's.
bool MatchesPartialType(const AM_MEDIA_TYPE& candidate, const AM_MEDIA_TYPE& pattern);

// An owned AM_MEDIA_TYPE. Copying copies the format block; a failed copy leaves the record
// empty (majortype GUID_NULL), which every pin refuses. Threads: no lock of its own; whoever
// holds one guards it (a pin's connection type is under its filter's filterLock).
class MediaType {
public:
    MediaType();
    MediaType(const MediaType& other);
    MediaType& operator=(const MediaType& other);
    ~MediaType();

    // Replaces the contents with a copy of mt (null empties it).
    HRESULT Set(const AM_MEDIA_TYPE* mt);
    void Clear();
    // Allocates a zeroed format block of size bytes, replacing any old one.
    BYTE* AllocFormat(ULONG size);

    AM_MEDIA_TYPE* get() { return &mt; }
    const AM_MEDIA_TYPE* get() const { return &mt; }
    const AM_MEDIA_TYPE* operator->() const { return &mt; }
    AM_MEDIA_TYPE* operator->() { return &mt; }

private:
    AM_MEDIA_TYPE mt;
};

}  // namespace dv
