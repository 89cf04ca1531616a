// Deep copies of AM_MEDIA_TYPE records in task memory, for records that cross component
// boundaries (sample media types, enumerated types). The format block always comes from the task
// allocator and pUnk is AddRef'd, so the receiver frees the copy with FreeTaskMediaType.
#pragma once

#include <dshow.h>

namespace platform::streaming {

// Copies src into dst (dst's previous contents are not freed). E_OUTOFMEMORY leaves dst with no
// format block.
HRESULT CopyMediaTypeContents(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE& src);

// Frees the format block and releases pUnk; the record itself stays.
void FreeMediaTypeContents(AM_MEDIA_TYPE* mt);

// A whole record in task memory, copied from src; null when out of memory.
AM_MEDIA_TYPE* CreateTaskMediaType(const AM_MEDIA_TYPE& src);

// Frees a record made by CreateTaskMediaType (null is allowed).
void FreeTaskMediaType(AM_MEDIA_TYPE* mt);

}  // namespace platform::streaming
