// "DV A/V In", the DV device filter's one input pin. It takes interleaved DV
// (MEDIATYPE_Interleaved / MEDIASUBTYPE_dvsd with a FORMAT_DvInfo block), which is what the
// muxer gives, and also DV video (MEDIATYPE_Video / MEDIASUBTYPE_dvsd, 720x480). It offers no
// types of its own.
//
// Threads: as KitInputPin. OnReceive runs on the upstream's streaming thread and hands the
// sample to the filter; UnblockReceive runs on the thread that stops the filter.
#pragma once

#include "filterkit/kit_input_pin.h"

namespace dv {

class DeviceFilter;

class DeviceInputPin final : public filterkit::KitInputPin {
public:
    explicit DeviceInputPin(DeviceFilter* owner);

    // S_OK, VFW_E_TYPE_NOT_ACCEPTED for another kind of type, E_INVALIDARG for a dvsd type with
    // a missing or short format block or a picture that is not 525/60.
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;

protected:
    HRESULT OnReceive(IMediaSample* sample) override;
    // Only stopping cancels the transport; a flush lets the paced send finish by itself.
    void UnblockReceive() override;

private:
    DeviceFilter* const owner;  // not owned; the filter owns its pin
};

}  // namespace dv
