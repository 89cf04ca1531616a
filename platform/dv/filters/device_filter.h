// The DV device filter, "Microsoft DV Camera and VCR": it sends the DIF frames arriving on its
// input pin "DV A/V In" to one DV device through a transport, which paces it the way the bus
// paces a real device. The device is named by the DevicePath that IPersistPropertyBag::Load
// reads from the device's property bag ("deck:<socket>" or "1394:<guid>").
//
// Leaving the stopped state opens the transport; frames are sent while paused as well as while
// running (a deck records whatever it is sent). Each frame taken by the device may send a quality
// message upstream (DeviceRateControl) so that the stream's times follow the device's pace. When
// the device fails (unplugged, deck gone, tape full) the filter posts EC_ERRORABORT with the
// status to the graph once and refuses every later sample with that status. Stop cancels a send
// blocked in the transport, waits for Receive to return and closes the transport, so the device
// ends on a whole frame; a failure that comes to light only then (the device had stalled before
// the stop, or could not record the last frames: Transport::CloseStatus) is posted the same way,
// during Stop, unless one was posted already.
//
// Threads and locks (see base_filter.h): devicePath and transport are written under filterLock
// while stopped (Load, OnActivate, OnStop). The streaming thread uses transport, rateControl and
// failure inside Receive only, which never overlaps OnActivate or OnStop (WaitIdle). Cancel
// reaches the transport from the stopping thread under filterLock. statsLock is a leaf lock for
// the statistics, taken by the streaming thread and by whoever asks for them.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "filters/base_filter.h"
#include "filters/device_input_pin.h"
#include "filters/device_rate_control.h"
#include "filters/device_statistics.h"
#include "filters/transport_interface.h"

namespace dv {

// IUnknown: adds IPersistPropertyBag and IDVDeviceStatistics to the filter's interfaces.
class DeviceFilter final
    : public platform::ComExtend<BaseFilter,
                                 platform::Implements<IPersistPropertyBag, IID_IPersistPropertyBag>,
                                 platform::Implements<IDVDeviceStatistics, IID_IDVDeviceStatistics>> {
public:
    DeviceFilter();

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;

    // IPersistPropertyBag. Load reads "DevicePath" (VT_BSTR); only while stopped.
    HRESULT STDMETHODCALLTYPE InitNew() override;
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override;
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

    // IDVDeviceStatistics. Any thread.
    HRESULT STDMETHODCALLTYPE GetStatistics(DVDeviceStatistics* statistics) override;

    DeviceInputPin& Input() { return input; }
    std::string DevicePath();

    // Sends one sample to the device. Streaming thread, from the pin's OnReceive.
    HRESULT SendSample(IMediaSample* sample);
    // Releases a SendSample blocked in the transport. Stopping thread, filterLock held.
    void CancelTransport();

protected:
    HRESULT OnActivate() override;
    void OnStop() override;

private:
    ~DeviceFilter() override = default;

    DeviceInputPin input;
    std::string devicePath;                 // filterLock
    std::unique_ptr<Transport> transport;   // see the class comment
    DeviceRateControl rateControl;          // streaming thread
    HRESULT failure = S_OK;                 // streaming thread; OnActivate and OnStop

    static constexpr size_t kAveragedFrames = 60;
    std::mutex statsLock;                   // leaf lock for the fields below
    LONGLONG framesSent = 0;                // statsLock
    LONGLONG qualityMessages = 0;           // statsLock
    std::deque<REFERENCE_TIME> recentStarts;  // statsLock: starts of the last frames taken
};

}  // namespace dv
