#include "media_type_record.h"

#include <cstdio>
#include <cstring>

MediaTypeRecord::MediaTypeRecord() : AM_MEDIA_TYPE() { ResetMediaType(*this); }

MediaTypeRecord::MediaTypeRecord(const MediaTypeRecord& source) : AM_MEDIA_TYPE() {
    DuplicateMediaType(*this, source);
}

MediaTypeRecord::~MediaTypeRecord() { ReleaseMediaTypeContents(*this); }

MediaTypeRecord& MediaTypeRecord::operator=(const MediaTypeRecord& source) {
    return *this = static_cast<const AM_MEDIA_TYPE&>(source);
}

MediaTypeRecord& MediaTypeRecord::operator=(const AM_MEDIA_TYPE& source) {
    if (&source != static_cast<const AM_MEDIA_TYPE*>(this)) {
        ReleaseMediaTypeContents(*this);
        DuplicateMediaType(*this, source);
    }
    return *this;
}

bool MediaTypeRecord::operator==(const MediaTypeRecord& other) const {
    if (majortype != other.majortype || subtype != other.subtype ||
        formattype != other.formattype || cbFormat != other.cbFormat) {
        return false;
    }
    if (cbFormat == 0) {
        return true;
    }
    // Both claim an owned block of cbFormat bytes; a missing one only equals another missing one.
    if (pbFormat == nullptr || other.pbFormat == nullptr) {
        return pbFormat == other.pbFormat;
    }
    return std::memcmp(pbFormat, other.pbFormat, cbFormat) == 0;
}

void MediaTypeRecord::AssignMajorType(const GUID& type) { majortype = type; }

void MediaTypeRecord::AssignSubtype(const GUID& type) { subtype = type; }

void MediaTypeRecord::AssignFormatType(const GUID& type) { formattype = type; }

void MediaTypeRecord::AssignSampleSize(ULONG size) {
    if (size == 0) {
        MarkVariableSampleSize();
        return;
    }
    bFixedSizeSamples = TRUE;
    lSampleSize = size;
}

void MediaTypeRecord::MarkVariableSampleSize() { bFixedSizeSamples = FALSE; }

void MediaTypeRecord::AssignTemporalCompression(BOOL temporal) { bTemporalCompression = temporal; }

BYTE* MediaTypeRecord::PrepareFormatBlock(ULONG size) {
    if (size == cbFormat) {
        return pbFormat;
    }
    BYTE* block = static_cast<BYTE*>(CoTaskMemAlloc(size));
    if (block == nullptr) {
        // Growing fails outright; shrinking can go on using the larger block it already has.
        return size > cbFormat ? nullptr : pbFormat;
    }
    if (cbFormat != 0) {
        CoTaskMemFree(pbFormat);
    }
    cbFormat = size;
    pbFormat = block;
    return block;
}

bool MediaTypeRecord::IsWildcarded() const {
    return majortype == GUID_NULL || formattype == GUID_NULL;
}

bool MediaTypeRecord::MatchesPattern(const AM_MEDIA_TYPE& pattern) const {
    if (pattern.majortype != GUID_NULL && pattern.majortype != majortype) {
        return false;
    }
    if (pattern.subtype != GUID_NULL && pattern.subtype != subtype) {
        return false;
    }
    if (pattern.formattype == GUID_NULL) {
        return true;
    }
    if (pattern.formattype != formattype) {
        return false;
    }
    if (pattern.cbFormat != cbFormat) {
        return false;
    }
    if (cbFormat == 0) {
        return true;
    }
    if (pattern.pbFormat == nullptr || pbFormat == nullptr) {
        return pattern.pbFormat == pbFormat;
    }
    return std::memcmp(pattern.pbFormat, pbFormat, cbFormat) == 0;
}

void ResetMediaType(AM_MEDIA_TYPE& record) {
    std::memset(&record, 0, sizeof(record));
    record.bFixedSizeSamples = TRUE;
    record.lSampleSize = 1;
}

void ReleaseMediaTypeContents(AM_MEDIA_TYPE& record) {
    if (record.cbFormat != 0) {
        CoTaskMemFree(record.pbFormat);
        record.cbFormat = 0;
        record.pbFormat = nullptr;
    }
    if (record.pUnk != nullptr) {
        record.pUnk->Release();
        record.pUnk = nullptr;
    }
}

void DisposeMediaType(AM_MEDIA_TYPE* record) {
    if (record == nullptr) {
        return;
    }
    ReleaseMediaTypeContents(*record);
    CoTaskMemFree(record);
}

void DuplicateMediaType(AM_MEDIA_TYPE& destination, const AM_MEDIA_TYPE& source) {
    if (&destination == &source) {
        // Copying a record onto itself would alias its block; the contents already match.
        return;
    }
    std::memcpy(&destination, &source, sizeof(destination));
    if (source.cbFormat != 0) {
        destination.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source.cbFormat));
        if (destination.pbFormat == nullptr) {
            destination.cbFormat = 0;
        } else if (source.pbFormat != nullptr) {
            std::memcpy(destination.pbFormat, source.pbFormat, source.cbFormat);
        } else {
            std::memset(destination.pbFormat, 0, source.cbFormat);
        }
    }
    if (destination.pUnk != nullptr) {
        destination.pUnk->AddRef();
    }
}

const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& record) {
    if (record.pbFormat == nullptr || record.cbFormat < sizeof(VIDEOINFOHEADER)) {
        return nullptr;
    }
    return &reinterpret_cast<const VIDEOINFOHEADER*>(record.pbFormat)->bmiHeader;
}

DWORD BitmapImageSize(const BITMAPINFOHEADER& header) {
    // 32-bit arithmetic as the platform does it: signed width times bit count, rounded up to
    // whole 32-bit words per row.
    const DWORD bitsPerRow =
        static_cast<DWORD>(header.biWidth) * static_cast<DWORD>(header.biBitCount);
    const DWORD bytesPerRow = ((bitsPerRow + 31u) / 32u) * 4u;
    const LONG height = header.biHeight;
    const DWORD rows = height < 0 ? 0u - static_cast<DWORD>(height) : static_cast<DWORD>(height);
    return bytesPerRow * rows;
}

GUID BitmapSubtype(const BITMAPINFOHEADER& header) {
    if (header.biCompression != BI_RGB && header.biCompression != BI_BITFIELDS) {
        GUID fourcc = {
            header.biCompression, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
        return fourcc;
    }
    switch (header.biBitCount) {
        case 1:
            return MEDIASUBTYPE_RGB1;
        case 4:
            return MEDIASUBTYPE_RGB4;
        case 8:
            return MEDIASUBTYPE_RGB8;
        case 16:
            return Rgb16Subtype(header);
        case 24:
            return MEDIASUBTYPE_RGB24;
        case 32:
            return MEDIASUBTYPE_RGB32;
        default:
            return GUID_NULL;
    }
}

GUID Rgb16Subtype(const BITMAPINFOHEADER& header) {
    if (header.biCompression == BI_RGB) {
        return MEDIASUBTYPE_RGB555;
    }
    // The masks follow the header directly, as in a VIDEOINFO block.
    DWORD masks[3];
    std::memcpy(masks, reinterpret_cast<const BYTE*>(&header) + sizeof(BITMAPINFOHEADER),
                sizeof(masks));
    if (masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F) {
        return MEDIASUBTYPE_RGB555;
    }
    if (masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F) {
        return MEDIASUBTYPE_RGB565;
    }
    return GUID_NULL;
}

void IntegerToWideText(LONG value, WCHAR* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) {
        return;
    }
    char narrow[32];
    std::snprintf(narrow, sizeof(narrow), "%d", static_cast<int>(value));
    // Cut the (ASCII) text to what the caller's buffer holds before widening, so the conversion
    // never needs more room than there is.
    if (capacity - 1 < static_cast<int>(sizeof(narrow))) {
        narrow[capacity - 1] = '\0';
    }
    if (MultiByteToWideChar(CP_ACP, 0, narrow, -1, buffer, capacity) == 0) {
        buffer[0] = u'\0';
    }
}
