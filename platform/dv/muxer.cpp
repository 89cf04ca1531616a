#include "muxer.h"

#include <cstring>
#include <new>

#include "dif_frame.h"
#include "dv_classes.h"

namespace dv {

// ---- input pin --------------------------------------------------------------------------------

MuxerInputPin::MuxerInputPin(Muxer* owner) : InputPinBase(owner, u"Stream 0"), owner(owner) {}

HRESULT MuxerInputPin::CheckMediaType(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    if (mt->majortype != MEDIATYPE_Video || mt->subtype != MEDIASUBTYPE_dvsd ||
        mt->formattype != FORMAT_VideoInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(VIDEOINFOHEADER)) return E_INVALIDARG;
    const BITMAPINFOHEADER& bmi = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat)->bmiHeader;
    if (bmi.biWidth != 720 || (bmi.biHeight != 480 && bmi.biHeight != -480)) return E_INVALIDARG;
    return S_OK;
}

HRESULT MuxerInputPin::OnReceive(IMediaSample* sample) { return owner->MuxAndDeliver(sample); }
HRESULT MuxerInputPin::OnEndOfStream() { return owner->output.DeliverEndOfStream(); }
HRESULT MuxerInputPin::OnBeginFlush() { return owner->output.DeliverBeginFlush(); }
HRESULT MuxerInputPin::OnEndFlush() { return owner->output.DeliverEndFlush(); }

// ---- output pin -------------------------------------------------------------------------------

MuxerOutputPin::MuxerOutputPin(Muxer* owner) : OutputPinBase(owner, u"Output") {}

HRESULT MuxerOutputPin::CheckMediaType(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    if (mt->majortype != MEDIATYPE_Interleaved || mt->subtype != MEDIASUBTYPE_dvsd ||
        mt->formattype != FORMAT_DvInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(DVINFO)) return E_INVALIDARG;
    return S_OK;
}

HRESULT MuxerOutputPin::GetMediaType(int position, MediaType* mt) {
    if (mt == nullptr) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    return Muxer::MakeOutputType(mt);
}

HRESULT MuxerOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    return SizeForFrames(allocator, props, dif::kFrameBytes);
}

// ---- filter -----------------------------------------------------------------------------------

Muxer::Muxer() : BaseFilter(CLSID_DVMux), input(this), output(this) {
    AddPin(&input);
    AddPin(&output);
    output.SetQualityRoute(&input);
}

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

HRESULT Muxer::MuxAndDeliver(IMediaSample* sample) {
    BYTE* video = nullptr;
    HRESULT hr = sample->GetPointer(&video);
    if (FAILED(hr)) return hr;
    // Only whole NTSC DIF frames can be wrapped; anything else would make a broken tape.
    if (video == nullptr || sample->GetActualDataLength() < dif::kFrameBytes ||
        !dif::IsNtscDifFrame(video))
        return E_INVALIDARG;

    IMediaSample* out = nullptr;
    hr = output.GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* frame = nullptr;
    hr = out->GetPointer(&frame);
    if (SUCCEEDED(hr) && (frame == nullptr || out->GetSize() < dif::kFrameBytes))
        hr = VFW_E_BUFFER_OVERFLOW;
    if (SUCCEEDED(hr)) {
        std::memcpy(frame, video, dif::kFrameBytes);
        dif::WriteSystemData(frame, frameNumber);
        hr = out->SetActualDataLength(dif::kFrameBytes);
    }
    if (SUCCEEDED(hr)) {
        OutputPinBase::PassFrameTimes(sample, out);
        hr = output.Deliver(out);
        // The timecode counts frames handed on, so a refused frame leaves no gap.
        if (SUCCEEDED(hr)) ++frameNumber;
    }
    out->Release();
    return hr;
}

HRESULT CreateMuxer(IUnknown* outer, REFIID iid, void** out) { return CreateObject<Muxer>(outer, iid, out); }

}  // namespace dv
