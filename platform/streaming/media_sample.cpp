#include "streaming/media_sample.h"

#include "support/media_type.h"
#include "streaming/memory_allocator.h"

namespace platform::streaming {

MediaSample::MediaSample(MemoryAllocator* owner, BYTE* buffer, LONG size)
    : ComOwned(0), owner(owner), buffer(buffer), size(size), actualLength(size) {}

MediaSample::~MediaSample() { ClearProperties(); }

// The allocator may destroy this sample (and itself) inside ReleaseBuffer.
void MediaSample::LastReleased() { owner->ReleaseBuffer(this); }

HRESULT MediaSample::GetPointer(BYTE** ppBuffer) {
    if (ppBuffer == nullptr) return E_POINTER;
    *ppBuffer = buffer;
    return S_OK;
}

LONG MediaSample::GetSize() { return size; }

HRESULT MediaSample::GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
    if (pTimeStart == nullptr || pTimeEnd == nullptr) return E_POINTER;
    if ((flags & AM_SAMPLE_TIMEVALID) == 0) return VFW_E_SAMPLE_TIME_NOT_SET;
    *pTimeStart = timeStart;
    if ((flags & AM_SAMPLE_STOPVALID) == 0) {
        *pTimeEnd = timeStart + 1;
        return VFW_S_NO_STOP_TIME;
    }
    *pTimeEnd = timeEnd;
    return S_OK;
}

HRESULT MediaSample::SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
    flags &= ~(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID);
    if (pTimeStart == nullptr) return S_OK;  // no start: the sample has no time
    timeStart = *pTimeStart;
    flags |= AM_SAMPLE_TIMEVALID;
    if (pTimeEnd != nullptr) {
        timeEnd = *pTimeEnd;
        flags |= AM_SAMPLE_STOPVALID;
    }
    return S_OK;
}

HRESULT MediaSample::IsSyncPoint() { return (flags & AM_SAMPLE_SPLICEPOINT) ? S_OK : S_FALSE; }

HRESULT MediaSample::SetSyncPoint(BOOL bIsSyncPoint) {
    SetFlag(AM_SAMPLE_SPLICEPOINT, bIsSyncPoint);
    return S_OK;
}

HRESULT MediaSample::IsPreroll() { return (flags & AM_SAMPLE_PREROLL) ? S_OK : S_FALSE; }

HRESULT MediaSample::SetPreroll(BOOL bIsPreroll) {
    SetFlag(AM_SAMPLE_PREROLL, bIsPreroll);
    return S_OK;
}

LONG MediaSample::GetActualDataLength() { return actualLength; }

HRESULT MediaSample::SetActualDataLength(LONG lLen) {
    if (lLen < 0) return E_INVALIDARG;
    if (lLen > size) return VFW_E_BUFFER_OVERFLOW;
    actualLength = lLen;
    return S_OK;
}

HRESULT MediaSample::GetMediaType(AM_MEDIA_TYPE** ppMediaType) {
    if (ppMediaType == nullptr) return E_POINTER;
    *ppMediaType = nullptr;
    if (mediaType == nullptr) return S_FALSE;  // the type has not changed
    *ppMediaType = CreateTaskMediaType(*mediaType);
    return *ppMediaType != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT MediaSample::SetMediaType(AM_MEDIA_TYPE* pMediaType) {
    AM_MEDIA_TYPE* copy = nullptr;
    if (pMediaType != nullptr) {
        copy = CreateTaskMediaType(*pMediaType);
        if (copy == nullptr) return E_OUTOFMEMORY;
    }
    FreeTaskMediaType(mediaType);
    mediaType = copy;
    SetFlag(AM_SAMPLE_TYPECHANGED, copy != nullptr);
    return S_OK;
}

HRESULT MediaSample::IsDiscontinuity() {
    return (flags & AM_SAMPLE_DATADISCONTINUITY) ? S_OK : S_FALSE;
}

HRESULT MediaSample::SetDiscontinuity(BOOL bDiscontinuity) {
    SetFlag(AM_SAMPLE_DATADISCONTINUITY, bDiscontinuity);
    return S_OK;
}

HRESULT MediaSample::GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
    if (pTimeStart == nullptr || pTimeEnd == nullptr) return E_POINTER;
    if (!mediaTimeValid) return VFW_E_MEDIA_TIME_NOT_SET;
    *pTimeStart = mediaTimeStart;
    *pTimeEnd = mediaTimeEnd;
    return S_OK;
}

HRESULT MediaSample::SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
    if (pTimeStart == nullptr) {  // clears the media time
        mediaTimeValid = false;
        return S_OK;
    }
    if (pTimeEnd == nullptr) return E_POINTER;
    mediaTimeStart = *pTimeStart;
    mediaTimeEnd = *pTimeEnd;
    mediaTimeValid = true;
    return S_OK;
}

HRESULT MediaSample::SetChangedRows(LONG first, LONG end) {
    if (first < 0 || end < first) {
        changedFirst = changedEnd = -1;
        return E_INVALIDARG;
    }
    changedFirst = first;
    changedEnd = end;
    return S_OK;
}

HRESULT MediaSample::GetChangedRows(LONG* first, LONG* end) {
    if (first == nullptr || end == nullptr) return E_POINTER;
    if (changedFirst < 0) return S_FALSE;
    *first = changedFirst;
    *end = changedEnd;
    return S_OK;
}

void MediaSample::PrepareForHandOut() {
    ClearProperties();
    SetReferenceCount(1);
    actualLength = size;
}

void MediaSample::SetFlag(DWORD bit, bool on) {
    if (on) {
        flags |= bit;
    } else {
        flags &= ~bit;
    }
}

void MediaSample::ClearProperties() {
    flags = 0;
    timeStart = timeEnd = 0;
    mediaTimeValid = false;
    mediaTimeStart = mediaTimeEnd = 0;
    changedFirst = changedEnd = -1;
    FreeTaskMediaType(mediaType);
    mediaType = nullptr;
}

}  // namespace platform::streaming
