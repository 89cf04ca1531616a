#include "dv/filters/video_encoder.h"

#include <new>

#include "dv/filters/dv_classes.h"
#include "support/com_ptr.h"
#include "support/log.h"

namespace dv {

namespace {

constexpr DWORD kDvsdFourCc = 0x64737664;             // 'dvsd'
constexpr DWORD kUyvyFourCc = 0x59565955;             // 'UYVY'

// The VIDEOINFOHEADER of a type, or null when the type does not carry a whole one.
const VIDEOINFOHEADER* VideoHeader(const AM_MEDIA_TYPE* mt) {
    if (mt->formattype != FORMAT_VideoInfo || mt->pbFormat == nullptr ||
        mt->cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
}

// The system of a picture's size; null for a size of neither.
const DvSystem* SystemOf(const BITMAPINFOHEADER& bmi) { return DvSystem::OfPicture(bmi.biWidth, bmi.biHeight); }

}  // namespace

// ---- types ------------------------------------------------------------------------------------

HRESULT VideoEncoder::CheckInputType(const AM_MEDIA_TYPE* mt) {
    const bool isUyvy = mt->subtype == MEDIASUBTYPE_UYVY;
    if (mt->majortype != MEDIATYPE_Video || (mt->subtype != MEDIASUBTYPE_RGB24 && !isUyvy) ||
        mt->formattype != FORMAT_VideoInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const VIDEOINFOHEADER* vih = VideoHeader(mt);
    if (vih == nullptr) return E_INVALIDARG;
    const BITMAPINFOHEADER& bmi = vih->bmiHeader;
    const DvSystem* pictureSystem = SystemOf(bmi);
    if (pictureSystem == nullptr) return E_INVALIDARG;
    if (Output().IsConnected() && pictureSystem != &System()) return E_INVALIDARG;
    if (isUyvy ? (bmi.biBitCount != 16 || bmi.biCompression != kUyvyFourCc)
               : (bmi.biBitCount != 24 || bmi.biCompression != BI_RGB))
        return E_INVALIDARG;
    return S_OK;
}

void VideoEncoder::FollowInputType(const AM_MEDIA_TYPE* mt) {
    uyvy = mt->subtype == MEDIASUBTYPE_UYVY;
    bottomUp = !uyvy && VideoHeader(mt)->bmiHeader.biHeight > 0;
    system.store(SystemOf(VideoHeader(mt)->bmiHeader));
}

HRESULT VideoEncoder::InputConnected(const platform::MediaType& type) {
    FollowInputType(type.get());
    return S_OK;
}

HRESULT VideoEncoder::CheckOutputType(const AM_MEDIA_TYPE* mt) {
    if (mt->majortype != MEDIATYPE_Video || mt->subtype != MEDIASUBTYPE_dvsd ||
        mt->formattype != FORMAT_VideoInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const VIDEOINFOHEADER* vih = VideoHeader(mt);
    if (vih == nullptr || SystemOf(vih->bmiHeader) != &System()) return E_INVALIDARG;
    return S_OK;
}

// ---- filter -----------------------------------------------------------------------------------

VideoEncoder::VideoEncoder() : ComExtend(CLSID_DVVideoEnc, u"XForm In", u"XForm Out") {}

HRESULT VideoEncoder::SetAspect(LONG aspect) {
    if (aspect != DV_ASPECT_4_3 && aspect != DV_ASPECT_16_9) return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    codec.SetWide(aspect == DV_ASPECT_16_9);
    return S_OK;
}

HRESULT VideoEncoder::GetAspect(LONG* aspect) {
    if (aspect == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    *aspect = codec.Wide() ? DV_ASPECT_16_9 : DV_ASPECT_4_3;
    return S_OK;
}

HRESULT VideoEncoder::MakeOutputType(const DvSystem& system, platform::MediaType* mt) {
    mt->Clear();
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt->AllocFormat(sizeof(VIDEOINFOHEADER)));
    if (vih == nullptr) return E_OUTOFMEMORY;
    vih->rcSource = RECT{0, 0, system.width, system.height};
    vih->rcTarget = vih->rcSource;
    vih->AvgTimePerFrame = system.period;
    // A frame's bytes at the system's frame rate.
    vih->dwBitRate = static_cast<DWORD>(int64_t{system.frameBytes} * 8 * system.rateNum / system.rateDen);
    BITMAPINFOHEADER& bmi = vih->bmiHeader;
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = system.width;
    bmi.biHeight = system.height;
    bmi.biPlanes = 1;
    bmi.biBitCount = 24;
    bmi.biCompression = kDvsdFourCc;
    bmi.biSizeImage = static_cast<DWORD>(system.frameBytes);

    filterkit::SetFrameType(mt, MEDIATYPE_Video, MEDIASUBTYPE_dvsd, FORMAT_VideoInfo, system.frameBytes);
    return S_OK;
}

HRESULT VideoEncoder::OnActivate() {
    codec.Reset();
    lastMediaStop.reset();
    return codec.Open(System());
}

void VideoEncoder::OnStop() {
    codec.Reset();
    lastMediaStop.reset();
}

HRESULT VideoEncoder::PrepareInput(IMediaSample* sample, const BYTE** picture) {
    // A sample may announce a new type (for instance the picture turned upside down).
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) == S_OK && changed != nullptr) {
        const HRESULT accepted = CheckInputType(changed);
        if (accepted == S_OK) FollowInputType(changed);
        platform::FreeTaskMediaType(changed);
        if (accepted != S_OK) {
            PLATFORM_LOG(platform::log::kDv, Error,
                         "DV Video Encoder: a sample changes to a type it cannot take (status "
                         "0x%08X)",
                         unsigned(accepted));
            return VFW_E_TYPE_NOT_ACCEPTED;
        }
    }

    // Less than one picture: nothing sensible to encode.
    const DvSystem& current = System();
    return SampleData(sample,
                      uyvy ? VideoEncoderCodec::UyvyPictureBytes(current) : VideoEncoderCodec::PictureBytes(current),
                      "picture", picture);
}

std::optional<RowSpan> VideoEncoder::ChangedRows(IMediaSample* in, bool timed, LONGLONG mediaStart) const {
    if (!timed || !lastMediaStop || *lastMediaStop != mediaStart || in->IsDiscontinuity() == S_OK) return std::nullopt;
    platform::ComPtr<ISampleChangedRows> said;
    if (FAILED(in->QueryInterface(IID_ISampleChangedRows, reinterpret_cast<void**>(said.Put())))) return std::nullopt;
    LONG first = 0, end = 0;
    if (said->GetChangedRows(&first, &end) != S_OK) return std::nullopt;
    return RowSpan{static_cast<int>(first), static_cast<int>(end)};
}

HRESULT VideoEncoder::Transform(IMediaSample* in, const BYTE* picture, BYTE* frame,
                                IMediaSample* out) {
    LONGLONG mediaStart = 0;
    LONGLONG mediaStop = 0;
    const bool timed = in->GetMediaTime(&mediaStart, &mediaStop) == S_OK;
    HRESULT hr = S_OK;
    if (uyvy) {
        const std::optional<RowSpan> changed = ChangedRows(in, timed, mediaStart);
        hr = codec.EncodeUyvy(picture, frame, changed ? &*changed : nullptr);
    } else {
        hr = codec.Encode(picture, bottomUp, frame);
    }
    // The picture before the next one is this one only when it was encoded and is a UYVY one.
    if (FAILED(hr) || !uyvy || !timed) {
        lastMediaStop.reset();
    } else {
        lastMediaStop = mediaStop;
    }
    if (FAILED(hr)) return hr;
    if (timed)
        out->SetMediaTime(&mediaStart, &mediaStop);
    else
        out->SetMediaTime(nullptr, nullptr);
    return S_OK;
}

HRESULT CreateVideoEncoder(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<VideoEncoder>(outer, iid, out);
}

}  // namespace dv
