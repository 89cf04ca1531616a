// "DV Muxer": DV25 video frames in on "Stream 0" (MEDIATYPE_Video / MEDIASUBTYPE_dvsd), complete
// interleaved DIF frames out on "Output" (MEDIATYPE_Interleaved / MEDIASUBTYPE_dvsd,
// FORMAT_DvInfo, 120000-byte samples) with silent locked 48 kHz audio and a drop-frame timecode
// that runs from 00:00:00;00 without gaps, whatever the sample times (they pass through).
// Quality messages arriving on the output pin go to the upstream pin.
//
// Threads and locks: the base classes' (base_filter.h). Receive runs on the upstream's streaming
// thread under the input pin's receive lock and owns `frameNumber`; OnStop resets it under
// filterLock after the receive lock was waited for.
#pragma once

#include <cstdint>

#include "filters/base_transform_filter.h"
#include "filters/dif_frame.h"

namespace dv {

class Muxer final : public BaseTransformFilter<Muxer> {
public:
    static constexpr LONG kFrameBytes = dif::kFrameBytes;
    static constexpr const char* kFilterName = "DV Muxer";  // in the log

    Muxer();

    // Fills mt with the one output type (interleaved dvsd with a DVINFO block).
    static HRESULT MakeOutputType(MediaType* mt);

    // Input: MEDIATYPE_Video / MEDIASUBTYPE_dvsd in FORMAT_VideoInfo with at least a
    // VIDEOINFOHEADER, 720x480. VFW_E_TYPE_NOT_ACCEPTED for another kind, E_INVALIDARG for a bad
    // format block.
    HRESULT CheckInputType(const AM_MEDIA_TYPE* mt);
    // Output: interleaved dvsd with a whole DVINFO block.
    HRESULT CheckOutputType(const AM_MEDIA_TYPE* mt);

protected:
    void OnStop() override;

private:
    friend class BaseTransformFilter<Muxer>;

    // Only whole NTSC DIF frames can be wrapped; anything else would make a broken tape.
    HRESULT PrepareInput(IMediaSample* in, const BYTE** video);
    // Copies the frame and writes its system data (timecode from frameNumber).
    HRESULT Transform(IMediaSample* in, const BYTE* video, BYTE* frame, IMediaSample* out);
    // The timecode counts frames handed on, so a refused frame leaves no gap.
    void OnDelivered() { ++frameNumber; }

    uint64_t frameNumber = 0;  // frames delivered since the stream started; see the class comment
};

using MuxerInputPin = Muxer::InputPin;
using MuxerOutputPin = Muxer::OutputPin;

}  // namespace dv
