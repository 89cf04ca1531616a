// The output pin of the colour-bar source: a push-stream pin whose worker copies one still
// picture (colorbar.dat beside the library, loaded once per instance) into every sample and
// stamps it with times one frame period apart. It offers one type: RGB24 720 x 480 bottom-up,
// fixed-size samples of 1036800 bytes. Quality messages from downstream lengthen or shorten the
// period (10 ms to 1000 ms) and may push the next start time later.
//
// Threads: GetOfferedType, TestMediaType, ApplyMediaType and ChooseBufferSize run on the threads
// that build and connect the graph, holding the owner's filterLock. FillSample and OnWorkerStart
// run on the worker thread and take only streamLock. Notify arrives on any downstream thread
// (possibly the worker itself, inside a delivery; FillSample never holds streamLock across a
// delivery, so that never waits).
// Lock order: filterLock, then the worker's accessLock, then streamLock.
#pragma once

#include <dshow.h>

#include "framework/push_stream_pin.h"

class ColorBarStream : public PushStreamPin {
public:
    static constexpr LONG kFrameWidth = 720;
    static constexpr LONG kFrameHeight = 480;  // rows run bottom-up
    static constexpr LONG kImageBytes = kFrameWidth * 3 * kFrameHeight;  // 1036800
    static constexpr LONG kFileHeaderBytes = 54;  // skipped, never read
    static constexpr BYTE kMissingImageByte = 16;
    static constexpr LONG kDefaultFramePeriodMs = 20;
    static constexpr LONG kMinFramePeriodMs = 10;
    static constexpr LONG kMaxFramePeriodMs = 1000;

    // Attaches itself to owner's pin table and loads the frame image. The status slot receives
    // the attach result, or E_OUTOFMEMORY if the image memory cannot be had. Called with the
    // owner's filterLock held.
    ColorBarStream(SourceFilterBase* owner, const WCHAR* pinName, HRESULT* status);
    ~ColorBarStream() override;

    HRESULT GetOfferedType(int position, MediaTypeRecord* type) override;
    HRESULT TestMediaType(const MediaTypeRecord* type) override;
    HRESULT ApplyMediaType(const MediaTypeRecord* type) override;
    HRESULT ChooseBufferSize(IMemAllocator* chosen, ALLOCATOR_PROPERTIES* request) override;

    HRESULT FillSample(IMediaSample* sample) override;
    HRESULT OnWorkerStart() override;

    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* sender, Quality quality) override;

private:
    static constexpr size_t kRowBytes = kFrameWidth * 3;

    // Reads colorbar.dat from the library's directory into frameImage; whatever the file does
    // not reach (all of it when the file is missing or is not a regular file) holds
    // kMissingImageByte.
    void LoadFrameImage();
    // Works out rowOrigin from frameImage.
    void FindRowRuns();
    // Makes buffer[0, bytes) hold the first bytes of frameImage (bytes <= kImageBytes).
    void CopyFrameImage(BYTE* buffer, size_t bytes) const;

    LONG framePeriodMs;              // guarded by streamLock
    LONG defaultFramePeriodMs;       // 20, fixed at construction
    CRITICAL_SECTION streamLock;     // guards frameImage, framePeriodMs, nextSampleTime
    REFERENCE_TIME nextSampleTime;   // guarded by streamLock; start of the next sample
    BYTE* frameImage;                // guarded by streamLock; owned, kImageBytes; null if none
    // For each row of frameImage, the first row of the run of identical rows it belongs to.
    // Fixed once the image is loaded.
    WORD rowOrigin[kFrameHeight];
};
