#include "filters/muxer.h"

#include <cstring>
#include <new>

#include "filters/dif_frame.h"
#include "filters/dv_classes.h"
#include "log.h"
#include "ntsc_dv.h"

namespace dv {

// ---- types ------------------------------------------------------------------------------------

HRESULT Muxer::CheckInputType(const AM_MEDIA_TYPE* mt) {
    if (mt->majortype != MEDIATYPE_Video || mt->subtype != MEDIASUBTYPE_dvsd ||
        mt->formattype != FORMAT_VideoInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(VIDEOINFOHEADER)) return E_INVALIDARG;
    const BITMAPINFOHEADER& bmi = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat)->bmiHeader;
    if (bmi.biWidth != ntsc::kWidth || (bmi.biHeight != ntsc::kHeight && bmi.biHeight != -ntsc::kHeight))
        return E_INVALIDARG;
    return S_OK;
}

HRESULT Muxer::CheckOutputType(const AM_MEDIA_TYPE* mt) {
    if (mt->majortype != MEDIATYPE_Interleaved || mt->subtype != MEDIASUBTYPE_dvsd ||
        mt->formattype != FORMAT_DvInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(DVINFO)) return E_INVALIDARG;
    return S_OK;
}

// ---- filter -----------------------------------------------------------------------------------

Muxer::Muxer() : BaseTransformFilter(CLSID_DVMux, u"Stream 0", u"Output") {}

HRESULT Muxer::MakeOutputType(MediaType* mt) {
    mt->Clear();
    BYTE* format = mt->AllocFormat(sizeof(DVINFO));
    if (format == nullptr) return E_OUTOFMEMORY;
    const DVINFO info = dif::MakeDvInfo();
    std::memcpy(format, &info, sizeof(info));
    AM_MEDIA_TYPE* type = mt->get();
    type->majortype = MEDIATYPE_Interleaved;
    type->subtype = MEDIASUBTYPE_dvsd;
    type->formattype = FORMAT_DvInfo;
    type->bFixedSizeSamples = TRUE;
    type->bTemporalCompression = FALSE;
    type->lSampleSize = dif::kFrameBytes;
    return S_OK;
}

void Muxer::OnStop() { frameNumber = 0; }

HRESULT Muxer::PrepareInput(IMediaSample* sample, const BYTE** video) {
    BYTE* data = nullptr;
    const HRESULT hr = sample->GetPointer(&data);
    if (FAILED(hr)) {
        PLATFORM_LOG(platform::log::kDv, Error, "DV Muxer: a sample without data (status 0x%08X)",
                     unsigned(hr));
        return hr;
    }
    if (data == nullptr || sample->GetActualDataLength() < dif::kFrameBytes) {
        PLATFORM_LOG(platform::log::kDv, Error, "DV Muxer: a sample of %ld bytes, less than a frame of %ld",
                     long(data == nullptr ? 0 : sample->GetActualDataLength()), long(dif::kFrameBytes));
        return E_INVALIDARG;
    }
    if (!dif::IsNtscDifFrame(data)) {
        PLATFORM_LOG(platform::log::kDv, Error, "DV Muxer: a sample that is no NTSC DV frame");
        return E_INVALIDARG;
    }
    *video = data;
    return S_OK;
}

HRESULT Muxer::Transform(IMediaSample* /*in*/, const BYTE* video, BYTE* frame, IMediaSample* /*out*/) {
    std::memcpy(frame, video, dif::kFrameBytes);
    dif::WriteSystemData(frame, frameNumber);
    return S_OK;
}

HRESULT CreateMuxer(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<Muxer>(outer, iid, out);
}

}  // namespace dv
