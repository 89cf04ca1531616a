// Classes served by the platform's DV in-process server dvfilters.so, and their creation
// functions. The module's class factory table lists them; each file that implements a class
// supplies its creation function.
//
// dv_module.cpp's class table references all of them, so dvfilters.so links only when the device
// side's sources define CreateDeviceFilter and CreateDeviceProvider.
#pragma once

#include <dshow.h>

#include <new>

// The DV device filter, friendly name "Microsoft DV Camera and VCR", input pin "DV A/V In",
// output pin "DV A/V Out".
DEFINE_GUID(CLSID_DVDeviceFilter, 0x3b0f6a52, 0x8e21, 0x4c7d, 0xa1, 0x94, 0x5d, 0x0e, 0x72, 0x3c, 0xb8, 0x41);
// Lists DV devices (virtual decks first, then IEEE 1394 units) for CLSID_VideoInputDeviceCategory.
DEFINE_GUID(CLSID_DVDeviceProvider, 0x3b0f6a53, 0x8e21, 0x4c7d, 0xa1, 0x94, 0x5d, 0x0e, 0x72, 0x3c, 0xb8, 0x41);

namespace dv {

// Each creates one object (aggregation is refused with CLASS_E_NOAGGREGATION) and queries it for
// the interface asked for, with platform::CreateInstance.
HRESULT CreateVideoEncoder(IUnknown* outer, REFIID iid, void** out);    // "DV Video Encoder"
HRESULT CreateMuxer(IUnknown* outer, REFIID iid, void** out);           // "DV Muxer"
HRESULT CreateReferenceTone(IUnknown* outer, REFIID iid, void** out);   // "Reference Tone"
HRESULT CreateReferenceBars(IUnknown* outer, REFIID iid, void** out);   // "Reference Bars"
HRESULT CreateDeviceFilter(IUnknown* outer, REFIID iid, void** out);    // the DV device filter
HRESULT CreateDeviceProvider(IUnknown* outer, REFIID iid, void** out);  // IDeviceProvider

}  // namespace dv
