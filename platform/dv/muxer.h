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

#include "base_filter.h"
#include "base_input_pin.h"
#include "base_output_pin.h"

namespace dv {

class Muxer;

class MuxerInputPin final : public InputPinBase {
public:
    explicit MuxerInputPin(Muxer* owner);

    // MEDIATYPE_Video / MEDIASUBTYPE_dvsd in FORMAT_VideoInfo with at least a VIDEOINFOHEADER,
    // 720x480. VFW_E_TYPE_NOT_ACCEPTED for another kind, E_INVALIDARG for a bad format block.
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;

protected:
    HRESULT OnReceive(IMediaSample* sample) override;
    HRESULT OnEndOfStream() override;
    HRESULT OnBeginFlush() override;
    HRESULT OnEndFlush() override;

private:
    Muxer* const owner;
};

class MuxerOutputPin final : public OutputPinBase {
public:
    explicit MuxerOutputPin(Muxer* owner);

    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;
    HRESULT GetMediaType(int position, MediaType* mt) override;

protected:
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
};

class Muxer final : public BaseFilter {
public:
    Muxer();

    MuxerInputPin& Input() { return input; }
    MuxerOutputPin& Output() { return output; }

    // Fills mt with the one output type (interleaved dvsd with a DVINFO block).
    static HRESULT MakeOutputType(MediaType* mt);

protected:
    void OnStop() override;

private:
    friend class MuxerInputPin;

    // Wraps one video frame and delivers it. Streaming thread.
    HRESULT MuxAndDeliver(IMediaSample* sample);

    MuxerInputPin input;
    MuxerOutputPin output;
    uint64_t frameNumber = 0;  // frames delivered since the stream started; see the class comment
};

}  // namespace dv
