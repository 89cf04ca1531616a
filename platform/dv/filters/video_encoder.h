// "DV Video Encoder": RGB24 or UYVY pictures in on "XForm In", DV25 frames out on "XForm Out"
// (MEDIATYPE_Video / MEDIASUBTYPE_dvsd) in the system of the input's size: 720x480 gives NTSC
// frames (120000-byte samples at 30000/1001), 720x576 consumer PAL frames (144000-byte samples at
// 25). Sample times pass through; quality messages arriving on the output pin go to the upstream
// pin. The frames say 4:3 or 16:9 as IDVAspect sets.
//
// A UYVY sample that says which rows changed from the sample before (ISampleChangedRows) has only
// those rows compared with the picture kept, when that picture is the sample before.
//
// Threads and locks: the base classes' (filterkit/kit_filter.h). Receive runs on the upstream's
// streaming thread under the input pin's receive lock and uses `codec`, `uyvy`, `bottomUp` and
// `lastMediaStop`; state changes and connections run under filterLock and touch them only while
// no Receive runs (stopped). `system` follows the input's connection (under filterLock) and is
// read by anyone.
#pragma once

#include <platform/platform.h>

#include <atomic>
#include <optional>

#include "filterkit/kit_transform_filter.h"
#include "dv/filters/video_encoder_codec.h"

namespace dv {

class VideoEncoder final
    : public platform::ComExtend<filterkit::KitTransformFilter<VideoEncoder>,
                                 platform::Implements<IDVAspect, IID_IDVAspect>> {
public:
    static constexpr LONG kFrameBytes = VideoEncoderCodec::kFrameBytes;  // 525/60's
    static constexpr const char* kFilterName = "DV Video Encoder";  // in the log
    static constexpr const platform::log::Category& kLogCategory = platform::log::kDv;

    VideoEncoder();

    // For tests and the benchmark: see VideoEncoderCodec. Call while stopped.
    VideoEncoderCodec& Codec() { return codec; }

    // Fills mt with the one output type of a system (dvsd in FORMAT_VideoInfo); 525/60's without.
    static HRESULT MakeOutputType(platform::MediaType* mt) { return MakeOutputType(k525_60, mt); }
    static HRESULT MakeOutputType(const DvSystem& system, platform::MediaType* mt);
    // The output type of the connected input's system (525/60's while the input is unconnected).
    HRESULT OfferedOutputType(platform::MediaType* mt) { return MakeOutputType(System(), mt); }
    LONG FrameBytes() const { return System().frameBytes; }
    const DvSystem& System() const { return *system.load(); }

    // Input: FORMAT_VideoInfo with at least a VIDEOINFOHEADER, 720 wide, 480 or 576 high; RGB24
    // bottom-up or top-down (negative height), 24 bits, BI_RGB; or UYVY (packed 4:2:2 Y'CbCr,
    // rows top first whatever the sign of the height), 16 bits, 'UYVY'. While the output is
    // connected, only a type of its system. VFW_E_TYPE_NOT_ACCEPTED for another kind of type,
    // E_INVALIDARG for a malformed or mismatched format block.
    HRESULT CheckInputType(const AM_MEDIA_TYPE* mt);
    // Output: dvsd video in FORMAT_VideoInfo of the input's system.
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
    // The rows a UYVY sample says hold every change from the picture before, when that picture is
    // the one this encoder took last (see ISampleChangedRows); nullopt otherwise.
    std::optional<RowSpan> ChangedRows(IMediaSample* in, bool timed, LONGLONG mediaStart) const;

    VideoEncoderCodec codec;  // see the class comment
    std::atomic<const DvSystem*> system{&k525_60};
    // The connected type (or the latest sample type): UYVY, or RGB24 bottomUp or not.
    bool uyvy = false;
    bool bottomUp = true;
    // The media stop time of the last picture encoded, while the codec keeps it (UYVY, timed).
    std::optional<LONGLONG> lastMediaStop;
};

using VideoEncoderInputPin = VideoEncoder::InputPin;
using VideoEncoderOutputPin = VideoEncoder::OutputPin;

}  // namespace dv
