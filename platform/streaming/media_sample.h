// One buffer of a MemoryAllocator, handed out as an IMediaSample.
//
// Threads: a sample belongs to whoever holds its references; its properties (times, flags,
// length, media type) are not locked, since only one holder at a time writes them. The reference
// count is atomic. The final Release hands the sample back to its allocator through
// IMemAllocator::ReleaseBuffer (LastReleased), which takes the allocator's lock; Release touches
// nothing of the sample after that call, because the allocator may free the sample there.
#pragma once

#include <dshow.h>
#include <platform/platform.h>

#include "support/com_object.h"

namespace platform::streaming {

class MemoryAllocator;

class MediaSample final
    : public ComOwned<Implements<IMediaSample, IID_IMediaSample>, Implements<ISampleChangedRows, IID_ISampleChangedRows>> {
public:
    // Held by nobody until the allocator hands it out.
    MediaSample(MemoryAllocator* owner, BYTE* buffer, LONG size);
    ~MediaSample() override;

    // IMediaSample
    HRESULT STDMETHODCALLTYPE GetPointer(BYTE** ppBuffer) override;
    LONG STDMETHODCALLTYPE GetSize() override;
    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    HRESULT STDMETHODCALLTYPE SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    HRESULT STDMETHODCALLTYPE IsSyncPoint() override;
    HRESULT STDMETHODCALLTYPE SetSyncPoint(BOOL bIsSyncPoint) override;
    HRESULT STDMETHODCALLTYPE IsPreroll() override;
    HRESULT STDMETHODCALLTYPE SetPreroll(BOOL bIsPreroll) override;
    LONG STDMETHODCALLTYPE GetActualDataLength() override;
    HRESULT STDMETHODCALLTYPE SetActualDataLength(LONG lLen) override;
    HRESULT STDMETHODCALLTYPE GetMediaType(AM_MEDIA_TYPE** ppMediaType) override;
    HRESULT STDMETHODCALLTYPE SetMediaType(AM_MEDIA_TYPE* pMediaType) override;
    HRESULT STDMETHODCALLTYPE IsDiscontinuity() override;
    HRESULT STDMETHODCALLTYPE SetDiscontinuity(BOOL bDiscontinuity) override;
    HRESULT STDMETHODCALLTYPE GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;
    HRESULT STDMETHODCALLTYPE SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;

    // ISampleChangedRows
    HRESULT STDMETHODCALLTYPE SetChangedRows(LONG first, LONG end) override;
    HRESULT STDMETHODCALLTYPE GetChangedRows(LONG* first, LONG* end) override;

    // Allocator side, called with the allocator's lock held.
    // Makes the sample ready for a new holder: one reference, no properties, full length.
    void PrepareForHandOut();
    // Drops what the last holder attached (the media type).
    void ClearProperties();
    bool IsOwnedBy(const MemoryAllocator* allocator) const { return owner == allocator; }
    using ComOwned::ReferenceCount;

    bool outstanding = false;  // guarded by the allocator's lock: handed out and not yet back

private:
    void LastReleased() override;
    void SetFlag(DWORD bit, bool on);  // sets or clears one AM_SAMPLE_* bit

    MemoryAllocator* const owner;  // not counted; the allocator stays alive while we are out
    BYTE* const buffer;            // inside the allocator's block
    const LONG size;

    // Properties, written by the holder (see the class comment).
    DWORD flags = 0;  // AM_SAMPLE_* bits
    REFERENCE_TIME timeStart = 0;
    REFERENCE_TIME timeEnd = 0;
    bool mediaTimeValid = false;
    LONGLONG mediaTimeStart = 0;
    LONGLONG mediaTimeEnd = 0;
    LONG actualLength = 0;
    AM_MEDIA_TYPE* mediaType = nullptr;  // task memory, owned
    LONG changedFirst = -1;              // the changed rows; -1: unknown
    LONG changedEnd = -1;
};

}  // namespace platform::streaming
