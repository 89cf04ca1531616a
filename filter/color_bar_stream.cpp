#include "filter/color_bar_stream.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framework/lock_holder.h"
#include "framework/module_state.h"
#include "framework/source_filter_base.h"

namespace {

constexpr char kImageFileName[] = "colorbar.dat";
constexpr REFERENCE_TIME kUnitsPerMs = 10000;

// Reference times are signed 64-bit; a hostile Late or a very long run must not overflow.
REFERENCE_TIME AddSaturated(REFERENCE_TIME a, REFERENCE_TIME b) {
    REFERENCE_TIME sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

}  // namespace

ColorBarStream::ColorBarStream(SourceFilterBase* owner, const WCHAR* pinName, HRESULT* status)
    : PushStreamPin(nullptr, status, owner, pinName),
      framePeriodMs(kDefaultFramePeriodMs),
      defaultFramePeriodMs(kDefaultFramePeriodMs),
      nextSampleTime(0),
      frameImage(nullptr) {
    InitializeCriticalSection(&streamLock);
    LockHolder hold(&streamLock);
    frameImage = new (std::nothrow) BYTE[kImageBytes];
    if (frameImage == nullptr) {
        *status = E_OUTOFMEMORY;
        return;
    }
    LoadFrameImage();
    FindRowRuns();
}

ColorBarStream::~ColorBarStream() {
    // A filter released without being stopped still has a worker filling from frameImage; stop
    // and join it before the image and streamLock go away (the bases would wait forever for a
    // worker nobody told to exit).
    if (HasThread()) Deactivate();
    {
        LockHolder hold(&streamLock);
        delete[] frameImage;
        frameImage = nullptr;
    }
    DeleteCriticalSection(&streamLock);
}

void ColorBarStream::LoadFrameImage() {
    // Start from the uniform picture so that a missing, unreadable or short file never leaves
    // uninitialised memory to be sent downstream.
    std::memset(frameImage, kMissingImageByte, kImageBytes);

    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(moduleInstance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;  // no usable path: keep the uniform picture
    char* slash = std::strrchr(path, '/');
    const size_t directoryLength = slash == nullptr ? 0 : static_cast<size_t>(slash - path + 1);
    if (directoryLength + sizeof(kImageFileName) > MAX_PATH) return;
    std::memcpy(path + directoryLength, kImageFileName, sizeof(kImageFileName));

    // Only a regular file is read. Opening a FIFO for reading waits for a writer, and creating
    // the filter would hang with it, so the open does not block and what it opened is checked;
    // anything else counts as a missing file.
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return;
    struct stat status = {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        return;
    }
    std::FILE* file = fdopen(descriptor, "rb");
    if (file == nullptr) {
        close(descriptor);
        return;
    }
    if (std::fseek(file, kFileHeaderBytes, SEEK_SET) == 0) {
        // Whatever the read reaches is the picture (a short file leaves the rest as it was);
        // the headers are never consulted.
        const size_t read = std::fread(frameImage, 1, kImageBytes, file);
        static_cast<void>(read);
    }
    std::fclose(file);
}

void ColorBarStream::FindRowRuns() {
    rowOrigin[0] = 0;
    for (LONG row = 1; row < kFrameHeight; ++row) {
        const BYTE* current = frameImage + static_cast<size_t>(row) * kRowBytes;
        rowOrigin[row] = std::memcmp(current, current - kRowBytes, kRowBytes) == 0
                             ? rowOrigin[row - 1]
                             : static_cast<WORD>(row);
    }
}

// A frame is a megabyte and 30 of them go out every second, with the caches long cold between
// two of them. Two things keep that cheap without changing a byte of what is sent: a row that
// repeats the row above is read from the first row of its run, which stays in the cache (the
// bars are a few distinct rows), and a row the buffer already holds is only compared, not
// written (the allocator hands out the same buffer frame after frame, and a write to a cold
// line costs a read of it first). What a downstream filter changed in the buffer is written
// again.
void ColorBarStream::CopyFrameImage(BYTE* buffer, size_t bytes) const {
    size_t row = 0;
    for (size_t offset = 0; offset < bytes; offset += kRowBytes, ++row) {
        const size_t length = bytes - offset < kRowBytes ? bytes - offset : kRowBytes;
        const BYTE* source = frameImage + static_cast<size_t>(rowOrigin[row]) * kRowBytes;
        if (std::memcmp(buffer + offset, source, length) != 0) {
            std::memcpy(buffer + offset, source, length);
        }
    }
}

HRESULT ColorBarStream::GetOfferedType(int position, MediaTypeRecord* type) {
    LockHolder hold(lock);
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    if (type == nullptr) return E_POINTER;

    BYTE* block = type->PrepareFormatBlock(sizeof(VIDEOINFO));
    if (block == nullptr) return E_OUTOFMEMORY;
    std::memset(block, 0, sizeof(VIDEOINFO));
    type->cbFormat = sizeof(VIDEOINFO);

    // Rectangles, bit rates and AvgTimePerFrame stay 0: the frame rate shows only in the sample
    // times.
    VIDEOINFO* info = reinterpret_cast<VIDEOINFO*>(block);
    BITMAPINFOHEADER& header = info->bmiHeader;
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = kFrameWidth;
    header.biHeight = kFrameHeight;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = BitmapImageSize(header);
    header.biClrImportant = 0;

    type->AssignMajorType(MEDIATYPE_Video);
    type->AssignFormatType(FORMAT_VideoInfo);
    type->AssignTemporalCompression(FALSE);
    type->AssignSubtype(BitmapSubtype(header));
    type->AssignSampleSize(header.biSizeImage);
    return S_OK;
}

HRESULT ColorBarStream::TestMediaType(const MediaTypeRecord* type) {
    LockHolder hold(lock);
    if (type == nullptr) return E_POINTER;
    if (type->majortype != MEDIATYPE_Video) return E_INVALIDARG;
    if (!type->bFixedSizeSamples) return E_INVALIDARG;
    if (type->subtype != MEDIASUBTYPE_RGB24) return E_INVALIDARG;
    if (type->pbFormat == nullptr) return E_INVALIDARG;
    // Width and height are read where a VIDEOINFOHEADER holds them, whatever the format type
    // says; a block too short to hold them is refused rather than read past its end.
    const BITMAPINFOHEADER* header = VideoBitmapHeader(*type);
    if (header == nullptr) return E_INVALIDARG;
    if (header->biWidth != kFrameWidth) return E_INVALIDARG;
    if (header->biHeight != kFrameHeight) return E_INVALIDARG;  // top-down -480 is refused
    return S_OK;
}

HRESULT ColorBarStream::ApplyMediaType(const MediaTypeRecord* type) {
    LockHolder hold(lock);
    PushStreamPin::ApplyMediaType(type);
    return S_OK;
}

HRESULT ColorBarStream::ChooseBufferSize(IMemAllocator* chosen, ALLOCATOR_PROPERTIES* request) {
    LockHolder hold(lock);
    if (chosen == nullptr || request == nullptr) return E_POINTER;
    const BITMAPINFOHEADER* header = VideoBitmapHeader(connectionType);
    if (header == nullptr) return E_UNEXPECTED;  // no accepted type to size the buffers from

    // biSizeImage 0 is legal for uncompressed bitmaps and means "work it out"; taken literally
    // it, or any size short of a frame, would size buffers that lose the top of every picture.
    // A size beyond what the request can carry is no size at all.
    DWORD frameBytes = header->biSizeImage;
    if (frameBytes < static_cast<DWORD>(kImageBytes) || frameBytes > 0x7FFFFFFFu) {
        frameBytes = static_cast<DWORD>(kImageBytes);
    }
    request->cBuffers = 1;
    request->cbBuffer = static_cast<LONG>(frameBytes);
    ALLOCATOR_PROPERTIES granted = {};
    const HRESULT status = chosen->SetProperties(request, &granted);
    if (FAILED(status)) return status;
    if (granted.cbBuffer < request->cbBuffer) return E_FAIL;
    return S_OK;
}

HRESULT ColorBarStream::FillSample(IMediaSample* sample) {
    LockHolder hold(&streamLock);
    BYTE* buffer = nullptr;
    const HRESULT pointerStatus = sample->GetPointer(&buffer);
    // Without a buffer there is nothing to fill; reporting the failure ends streaming with an
    // error event instead of writing through a bad pointer.
    if (FAILED(pointerStatus)) return pointerStatus;
    if (buffer == nullptr) return E_POINTER;

    const LONG size = sample->GetSize();
    LONG copied = size < 0 ? 0 : size;
    if (copied > kImageBytes) copied = kImageBytes;
    if (frameImage != nullptr) {
        CopyFrameImage(buffer, static_cast<size_t>(copied));
    } else {
        copied = 0;
    }
    // Downstream sees how much of the buffer is picture.
    sample->SetActualDataLength(copied);

    REFERENCE_TIME start = nextSampleTime;
    nextSampleTime =
        AddSaturated(nextSampleTime, static_cast<REFERENCE_TIME>(framePeriodMs) * kUnitsPerMs);
    REFERENCE_TIME stop = nextSampleTime;
    sample->SetTime(&start, &stop);
    sample->SetSyncPoint(TRUE);
    return S_OK;
}

HRESULT ColorBarStream::OnWorkerStart() {
    LockHolder hold(&streamLock);
    nextSampleTime = 0;
    framePeriodMs = defaultFramePeriodMs;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ColorBarStream::Notify(IBaseFilter* /*sender*/, Quality quality) {
    LockHolder hold(&streamLock);
    if (quality.Proportion > 0) {
        // framePeriodMs never exceeds 1000 here, so the product stays inside 32 bits.
        LONG period = framePeriodMs * 1000 / quality.Proportion;
        if (period > kMaxFramePeriodMs) period = kMaxFramePeriodMs;
        if (period < kMinFramePeriodMs) period = kMinFramePeriodMs;
        framePeriodMs = period;
    } else {
        framePeriodMs = kMaxFramePeriodMs;
    }
    if (quality.Late > 0) nextSampleTime = AddSaturated(nextSampleTime, quality.Late);
    return S_OK;
}
