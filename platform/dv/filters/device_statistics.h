// A platform-private interface of the DV device filter: what the device has taken of the stream
// since it last left the stopped state. For diagnostics and the end-to-end tests; the system
// never uses it.
#pragma once

#include <dshow.h>

DEFINE_GUID(IID_IDVDeviceStatistics, 0x3b0f6a54, 0x8e21, 0x4c7d, 0xa1, 0x94, 0x5d, 0x0e, 0x72, 0x3c, 0xb8, 0x41);

struct DVDeviceStatistics {
    LONGLONG framesSent;          // frames the device took
    LONGLONG qualityMessages;     // quality messages sent upstream
    REFERENCE_TIME lastStart;     // start time of the last frame taken
    REFERENCE_TIME averageStep;   // mean distance between the starts of the last frames taken
    LONG averagedFrames;          // how many frames that mean spans (0: not enough frames yet)
};

struct IDVDeviceStatistics : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetStatistics(DVDeviceStatistics* statistics) = 0;
};
