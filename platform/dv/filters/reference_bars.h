// "Reference Bars": the platform's exact test-pattern source (see IReferenceBars in
// <platform/platform.h>). Its output pin "Output" offers the picture as UYVY (the exact Y'CbCr
// levels, for "DV Video Encoder") and then as bottom-up RGB24 (converted once), 720 wide and 480
// or 576 high as the standard says. Each sample is one frame, stamped with that frame's times
// (frame k from k x 1001/30000 s or k x 1/25 s, in 100 ns units rounded) and with the frame
// number as its media time.
//
// The pictures (TestPattern) are made when the pattern or the standard is set, never while
// streaming: a frame costs one copy of the picture into the sample.
//
// A source of the kit (filterkit::KitSourceFilter): its worker delivers a frame as fast as
// downstream takes them (the device's pace holds it, as it holds the colour-bar source).
//
// Threads and locks (see filterkit/kit_filter.h): the IReferenceBars methods take filterLock and
// change the settings and pictures only while stopped; the worker reads them without a lock, since
// it runs only while not stopped and is joined under filterLock before anything can change them.
#pragma once

#include <platform/platform.h>

#include <cstdint>
#include <string>
#include <vector>

#include "filterkit/kit_source_filter.h"
#include "filterkit/kit_output_pin.h"

namespace dv {

class ReferenceBars;

// A system's picture size and frame period (period = periodNum / periodDen in 100 ns units).
struct BarsSystem {
    int width;
    int height;
    int64_t periodNum;
    int64_t periodDen;

    // REFERENCE_BARS_525_60 or REFERENCE_BARS_625_50; null for another value.
    static const BarsSystem* Of(LONG standard);
    // Frame k's start time, rounded to 100 ns.
    REFERENCE_TIME FrameStart(uint64_t k) const {
        return static_cast<REFERENCE_TIME>((k * periodNum + periodDen / 2) / periodDen);
    }
};

class ReferenceBarsOutputPin final : public filterkit::KitOutputPin {
public:
    explicit ReferenceBarsOutputPin(ReferenceBars* owner);

    // Fills mt with the system's UYVY (rgb false) or RGB24 type.
    static HRESULT MakeType(const BarsSystem& system, bool rgb, platform::MediaType* mt);

    // The two types of the filter's current standard, exactly as offered (the RGB24 type may
    // also come as a bare VIDEOINFOHEADER).
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;
    HRESULT GetMediaType(int position, platform::MediaType* mt) override;

protected:
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;

private:
    ReferenceBars* const owner;  // not owned; the filter owns its pins
};

class ReferenceBars final
    : public platform::ComExtend<filterkit::KitSourceFilter,
                                 platform::Implements<IReferenceBars, IID_IReferenceBars>> {
public:
    ReferenceBars();
    ~ReferenceBars() override;

    ReferenceBarsOutputPin& Output() { return output; }
    // The current system; filterLock, or the worker while not stopped.
    const BarsSystem& System() const { return *system; }

    // IReferenceBars
    HRESULT STDMETHODCALLTYPE SetPattern(LONG pattern) override;
    HRESULT STDMETHODCALLTYPE GetPattern(LONG* pattern) override;
    HRESULT STDMETHODCALLTYPE SetPictureFile(LPCWSTR path) override;
    HRESULT STDMETHODCALLTYPE SetStandard(LONG standard) override;
    HRESULT STDMETHODCALLTYPE GetStandard(LONG* standard) override;

protected:
    filterkit::KitOutputPin& SourcePin() override { return output; }
    // One frame: the picture, stamped with the frame's times in the current system.
    HRESULT FillSample(IMediaSample* sample, uint64_t frame) override;

private:
    // Makes both pictures of a built-in pattern for a system.
    void MakePictures(LONG pattern, const BarsSystem& system);
    // Makes both pictures from a picture file of the system's size; a failure is logged and its
    // status returned, the pictures then unchanged.
    HRESULT LoadPictures(const std::string& file, const BarsSystem& system);

    ReferenceBarsOutputPin output;

    // filterLock to write, and only while stopped (see the class comment).
    LONG pattern = REFERENCE_BARS_SMPTE;
    LONG standard = REFERENCE_BARS_525_60;
    const BarsSystem* system;
    std::string picturePath;    // the file of the PICTURE pattern
    std::vector<uint8_t> uyvy;  // the picture, UYVY
    std::vector<uint8_t> rgb;   // the same, bottom-up BGR24

};

}  // namespace dv
