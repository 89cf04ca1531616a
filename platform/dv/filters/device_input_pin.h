// "DV A/V In", the DV device filter's one input pin. It takes interleaved DV
// (MEDIATYPE_Interleaved / MEDIASUBTYPE_dvsd with a FORMAT_DvInfo block), which is what the
// muxer gives, and also DV video (MEDIATYPE_Video / MEDIASUBTYPE_dvsd, 720x480 or 720x576). It
// offers no types of its own. The type says the stream's system: the picture's size, or the 50/60
// flag of the DVINFO block's VAUX source pack.
//
// Threads: as KitInputPin. OnReceive runs on the upstream's streaming thread and hands the
// sample to the filter; UnblockReceive runs on the thread that stops the filter.
#pragma once

#include "dv/dv_system.h"
#include "filterkit/kit_input_pin.h"

namespace dv {

class DeviceFilter;

class DeviceInputPin final : public filterkit::KitInputPin {
public:
    explicit DeviceInputPin(DeviceFilter* owner);

    // S_OK, VFW_E_TYPE_NOT_ACCEPTED for another kind of type, E_INVALIDARG for a dvsd type with
    // a missing or short format block or a picture of neither system.
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;

    // The system of a type CheckMediaType accepted; null for another.
    static const DvSystem* SystemOfType(const AM_MEDIA_TYPE* mt);
    // The connected type's system (525/60 while unconnected). Under filterLock.
    const DvSystem& ConnectedSystem() const;

protected:
    HRESULT OnReceive(IMediaSample* sample) override;
    // Only stopping cancels the transport; a flush lets the paced send finish by itself.
    void UnblockReceive() override;

private:
    DeviceFilter* const owner;  // not owned; the filter owns its pin
};

}  // namespace dv
