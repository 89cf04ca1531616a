// "DV Video Encoder": RGB24 720x480 pictures in on "XForm In", NTSC DV25 frames out on
// "XForm Out" (MEDIATYPE_Video / MEDIASUBTYPE_dvsd, 120000-byte samples). Sample times pass
// through; quality messages arriving on the output pin go to the upstream pin.
//
// Threads and locks: the base classes' (base_filter.h). Receive runs on the upstream's streaming
// thread under the input pin's receive lock and uses `codec` and `bottomUp`; state changes and
// connections run under filterLock and touch them only while no Receive runs (stopped).
#pragma once

#include "base_filter.h"
#include "base_input_pin.h"
#include "base_output_pin.h"
#include "video_encoder_codec.h"

namespace dv {

class VideoEncoder;

class VideoEncoderInputPin final : public InputPinBase {
public:
    explicit VideoEncoderInputPin(VideoEncoder* owner);

    // RGB24, FORMAT_VideoInfo with at least a VIDEOINFOHEADER, 720 wide, 480 high bottom-up or
    // -480 top-down, 24 bits, BI_RGB. VFW_E_TYPE_NOT_ACCEPTED for another kind of type,
    // E_INVALIDARG for a malformed or mismatched format block.
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;

protected:
    HRESULT CompleteConnect(IPin* peer) override;
    HRESULT OnReceive(IMediaSample* sample) override;
    HRESULT OnEndOfStream() override;
    HRESULT OnBeginFlush() override;
    HRESULT OnEndFlush() override;

private:
    VideoEncoder* const owner;
};

class VideoEncoderOutputPin final : public OutputPinBase {
public:
    explicit VideoEncoderOutputPin(VideoEncoder* owner);

    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;
    HRESULT GetMediaType(int position, MediaType* mt) override;

protected:
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
};

class VideoEncoder final : public BaseFilter {
public:
    VideoEncoder();

    VideoEncoderInputPin& Input() { return input; }
    VideoEncoderOutputPin& Output() { return output; }
    // For tests and the benchmark: see VideoEncoderCodec. Call while stopped.
    VideoEncoderCodec& Codec() { return codec; }

    // Fills mt with the one output type (dvsd in FORMAT_VideoInfo).
    static HRESULT MakeOutputType(MediaType* mt);

protected:
    HRESULT OnActivate() override;
    void OnStop() override;

private:
    friend class VideoEncoderInputPin;

    // Encodes one input sample and delivers the frame. Streaming thread.
    HRESULT EncodeAndDeliver(IMediaSample* sample);

    VideoEncoderInputPin input;
    VideoEncoderOutputPin output;
    VideoEncoderCodec codec;  // see the class comment
    bool bottomUp = true;     // orientation of the connected type (or the latest sample type)
};

}  // namespace dv
