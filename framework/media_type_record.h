// The owning wrapper of the platform's AM_MEDIA_TYPE, and the helpers that apply the same
// ownership rules to bare records and derive image size and subtype from bitmap headers.
//
// Ownership: a record owns its format block exactly when cbFormat is nonzero; the block lives in
// task memory (CoTaskMemAlloc/CoTaskMemFree) because records cross component boundaries. pUnk,
// when present, is a counted reference.
//
// Threads: nothing here locks. A record is guarded by the lock of whoever holds it (the filter
// lock for a pin's connection type); bare records handed out belong to the receiver alone.
#pragma once

#include <dshow.h>

// Same layout as AM_MEDIA_TYPE (its only base, no virtuals, no fields), so a bare record from
// another component can be treated as a MediaTypeRecord without conversion.
class MediaTypeRecord : public AM_MEDIA_TYPE {
public:
    // Default state: all zero, then bFixedSizeSamples = 1 and lSampleSize = 1.
    MediaTypeRecord();
    // Deep copy (new format block, pUnk AddRef'd).
    MediaTypeRecord(const MediaTypeRecord& source);
    // Releases the format block and the pUnk reference.
    ~MediaTypeRecord();

    // Self-assignment does nothing; otherwise release our contents, then deep-copy the source.
    // A block that cannot be allocated leaves cbFormat = 0 and pbFormat = null.
    MediaTypeRecord& operator=(const MediaTypeRecord& source);
    MediaTypeRecord& operator=(const AM_MEDIA_TYPE& source);

    // Compares majortype, subtype, formattype, cbFormat and then the block bytes; flags, sample
    // size and pUnk never take part.
    bool operator==(const MediaTypeRecord& other) const;
    bool operator!=(const MediaTypeRecord& other) const { return !(*this == other); }

    void AssignMajorType(const GUID& type);
    void AssignSubtype(const GUID& type);
    void AssignFormatType(const GUID& type);
    // Nonzero: fixed-size samples of that size. Zero: MarkVariableSampleSize, lSampleSize kept.
    void AssignSampleSize(ULONG size);
    void MarkVariableSampleSize();
    void AssignTemporalCompression(BOOL temporal);

    // A block of the requested size owned by the record (contents undefined), or null when it
    // cannot grow; shrinking on allocation failure keeps the old, larger block.
    BYTE* PrepareFormatBlock(ULONG size);

    // True when majortype or formattype is GUID_NULL (the subtype does not count).
    bool IsWildcarded() const;

    // This record is the candidate; only the pattern's GUID_NULL fields act as wildcards, and a
    // named format type also requires equal format blocks.
    bool MatchesPattern(const AM_MEDIA_TYPE& pattern) const;
};
static_assert(sizeof(MediaTypeRecord) == sizeof(AM_MEDIA_TYPE), "MediaTypeRecord layout");

// Puts a bare record in the default state without releasing what it held.
void ResetMediaType(AM_MEDIA_TYPE& record);

// Frees the owned format block (only when cbFormat is nonzero) and releases pUnk.
void ReleaseMediaTypeContents(AM_MEDIA_TYPE& record);

// For a record that itself lives in task memory: releases its contents, then frees it. Null is
// ignored.
void DisposeMediaType(AM_MEDIA_TYPE* record);

// Deep copy; the destination's old contents are overwritten without being released. If the
// block cannot be allocated the destination gets cbFormat = 0 and pbFormat = null.
void DuplicateMediaType(AM_MEDIA_TYPE& destination, const AM_MEDIA_TYPE& source);

// The bitmap header inside a VIDEOINFOHEADER-shaped format block, or null when the record owns
// no block or its block is too short to hold one. Readers of width and height use this so that
// a short block from another component is never read past its end.
const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& record);

// Uncompressed image size: rows rounded up to 32-bit words, times |biHeight|.
DWORD BitmapImageSize(const BITMAPINFOHEADER& header);

// The subtype GUID for a bitmap header: a four-character-code GUID for compressed formats, the
// RGB subtypes by bit count otherwise, GUID_NULL when not recognised.
GUID BitmapSubtype(const BITMAPINFOHEADER& header);

// 16-bit RGB: RGB555 for BI_RGB, otherwise decided by the three masks that follow the header
// (which must therefore be readable, as they are in a VIDEOINFO block).
GUID Rgb16Subtype(const BITMAPINFOHEADER& header);

// Writes the signed decimal text of value into buffer, which holds capacity wide characters;
// the text is cut short if it does not fit and is always terminated (capacity >= 1).
void IntegerToWideText(LONG value, WCHAR* buffer, int capacity);
