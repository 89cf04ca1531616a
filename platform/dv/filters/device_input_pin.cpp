#include "dv/filters/device_input_pin.h"

#include "dv/filters/device_filter.h"

namespace dv {

DeviceInputPin::DeviceInputPin(DeviceFilter* owner)
    : KitInputPin(owner, u"DV A/V In"), owner(owner) {}

HRESULT DeviceInputPin::CheckMediaType(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    if (mt->subtype != MEDIASUBTYPE_dvsd) return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->majortype != MEDIATYPE_Interleaved && mt->majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->formattype == FORMAT_DvInfo) {
        return mt->pbFormat != nullptr && mt->cbFormat >= sizeof(DVINFO) ? S_OK : E_INVALIDARG;
    }
    if (mt->majortype == MEDIATYPE_Interleaved || mt->formattype != FORMAT_VideoInfo) return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(VIDEOINFOHEADER)) return E_INVALIDARG;
    return SystemOfType(mt) != nullptr ? S_OK : E_INVALIDARG;
}

const DvSystem* DeviceInputPin::SystemOfType(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr || mt->pbFormat == nullptr) return nullptr;
    if (mt->formattype == FORMAT_DvInfo && mt->cbFormat >= sizeof(DVINFO)) {
        // The VAUX source pack's PC3 (third byte of the word) holds the 50/60 flag in bit 5.
        const DWORD source = reinterpret_cast<const DVINFO*>(mt->pbFormat)->dwDVVAuxSrc;
        return (source >> 16 & 0x20) ? &k625_50 : &k525_60;
    }
    if (mt->formattype == FORMAT_VideoInfo && mt->cbFormat >= sizeof(VIDEOINFOHEADER)) {
        const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
        return DvSystem::OfPicture(vih->bmiHeader.biWidth, vih->bmiHeader.biHeight);
    }
    return nullptr;
}

const DvSystem& DeviceInputPin::ConnectedSystem() const {
    const DvSystem* system = SystemOfType(ConnectionType().get());
    return system != nullptr ? *system : k525_60;
}

HRESULT DeviceInputPin::OnReceive(IMediaSample* sample) { return owner->SendSample(sample); }

void DeviceInputPin::UnblockReceive() {
    if (IsStopped()) owner->CancelTransport();
}

}  // namespace dv
