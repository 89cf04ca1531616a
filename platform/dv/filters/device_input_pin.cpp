#include "dv/filters/device_input_pin.h"

#include "dv/filters/device_filter.h"
#include "dv/ntsc_dv.h"

namespace dv {

DeviceInputPin::DeviceInputPin(DeviceFilter* owner)
    : KitInputPin(owner, u"DV A/V In"), owner(owner) {}

HRESULT DeviceInputPin::CheckMediaType(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    if (mt->subtype != MEDIASUBTYPE_dvsd) return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->majortype == MEDIATYPE_Interleaved) {
        if (mt->formattype != FORMAT_DvInfo) return VFW_E_TYPE_NOT_ACCEPTED;
        if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(DVINFO)) return E_INVALIDARG;
        return S_OK;
    }
    if (mt->majortype == MEDIATYPE_Video) {
        if (mt->formattype == FORMAT_DvInfo) {
            return mt->pbFormat != nullptr && mt->cbFormat >= sizeof(DVINFO) ? S_OK : E_INVALIDARG;
        }
        if (mt->formattype != FORMAT_VideoInfo) return VFW_E_TYPE_NOT_ACCEPTED;
        if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(VIDEOINFOHEADER)) return E_INVALIDARG;
        const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
        const LONG height = vih->bmiHeader.biHeight < 0 ? -vih->bmiHeader.biHeight : vih->bmiHeader.biHeight;
        // The devices here record 525/60 only.
        if (vih->bmiHeader.biWidth != ntsc::kWidth || height != ntsc::kHeight) return E_INVALIDARG;
        return S_OK;
    }
    return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT DeviceInputPin::OnReceive(IMediaSample* sample) { return owner->SendSample(sample); }

void DeviceInputPin::UnblockReceive() {
    if (IsStopped()) owner->CancelTransport();
}

}  // namespace dv
