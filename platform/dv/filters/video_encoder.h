// "DV Video Encoder": RGB24 or UYVY 720x480 pictures in on "XForm In", NTSC DV25 frames out on
// "XForm Out" (MEDIATYPE_Video / MEDIASUBTYPE_dvsd, 120000-byte samples). Sample times pass
// through; quality messages arriving on the output pin go to the upstream pin. The frames say 4:3
// or 16:9 as IDVAspect sets.
//
// Threads and locks: the base classes' (filterkit/kit_filter.h). Receive runs on the upstream's
// streaming thread under the input pin's receive lock and uses `codec`, `uyvy` and `bottomUp`; state
// changes and connections run under filterLock and touch them only while no Receive runs (stopped).
#pragma once

#include <platform/platform.h>

#include "filterkit/kit_transform_filter.h"
#include "dv/filters/video_encoder_codec.h"

namespace dv {

class VideoEncoder final
    : public platform::ComExtend<filterkit::KitTransformFilter<VideoEncoder>,
                                 platform::Implements<IDVAspect, IID_IDVAspect>> {
public:
    static constexpr LONG kFrameBytes = VideoEncoderCodec::kFrameBytes;
    static constexpr const char* kFilterName = "DV Video Encoder";  // in the log
    static constexpr const platform::log::Category& kLogCategory = platform::log::kDv;

    VideoEncoder();

    // For tests and the benchmark: see VideoEncoderCodec. Call while stopped.
    VideoEncoderCodec& Codec() { return codec; }

    // Fills mt with the one output type (dvsd in FORMAT_VideoInfo).
    static HRESULT MakeOutputType(platform::MediaType* mt);

    // Input: FORMAT_VideoInfo with at least a VIDEOINFOHEADER, 720 wide, 480 high; RGB24
    // bottom-up or -480 top-down, 24 bits, BI_RGB; or UYVY (packed 4:2:2 Y'CbCr, rows top first
    // whatever the sign of the height), 16 bits, 'UYVY'. VFW_E_TYPE_NOT_ACCEPTED for another
    // kind of type, E_INVALIDARG for a malformed or mismatched format block.
    HRESULT CheckInputType(const AM_MEDIA_TYPE* mt);
    // Output: dvsd video in FORMAT_VideoInfo, 720x480.
    HRESULT CheckOutputType(const AM_MEDIA_TYPE* mt);

    // IDVAspect (see <platform/platform.h>): the aspect the encoder signals in its frames.
    HRESULT STDMETHODCALLTYPE SetAspect(LONG aspect) override;
    HRESULT STDMETHODCALLTYPE GetAspect(LONG* aspect) override;

protected:
    HRESULT OnActivate() override;
    void OnStop() override;

private:
    friend class filterkit::KitTransformFilter<VideoEncoder>;
    friend InputPin;

    HRESULT InputConnected(const platform::MediaType& type);
    // Takes uyvy and bottomUp from an input type CheckInputType accepted.
    void FollowInputType(const AM_MEDIA_TYPE* mt);
    // Follows a type change the sample announces and checks it holds a whole picture.
    HRESULT PrepareInput(IMediaSample* in, const BYTE** picture);
    // Encodes the picture into frame; the media times pass through.
    HRESULT Transform(IMediaSample* in, const BYTE* picture, BYTE* frame, IMediaSample* out);

    VideoEncoderCodec codec;  // see the class comment
    // The connected type (or the latest sample type): UYVY, or RGB24 bottomUp or not.
    bool uyvy = false;
    bool bottomUp = true;
};

using VideoEncoderInputPin = VideoEncoder::InputPin;
using VideoEncoderOutputPin = VideoEncoder::OutputPin;

}  // namespace dv
