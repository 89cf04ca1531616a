// "DV A/V Out", the DV device filter's output pin: the frames the device plays back, captured
// through a Receiver, delivered whole as interleaved DV (MEDIATYPE_Interleaved /
// MEDIASUBTYPE_dvsd with a FORMAT_DvInfo block, the type the input pin takes), one frame a
// sample, with their times: frame n of the capture starts at n x 1001/30 ms of stream time (n x
// 40 ms in 625/50) and its media times are n and n + 1. The type offered is that of the system
// the device records (GetDeviceStandard). Frames that never arrived whole (lost in a bus reset, with
// blocks missing, or not taken in time) keep their place in the times, and the sample after them
// is marked a discontinuity, as is the first.
//
// The filter hands the pin its receiver after opening it (StartCapture, leaving the stopped
// state) and the pin's worker delivers until the pin is deactivated. A receiver that fails (the
// unit unplugged) ends the stream: the failure is posted to the graph as EC_ERRORABORT with its
// status and end-of-stream is delivered. A downstream that answers S_FALSE wants no more: the
// worker ends the same way, without an error.
//
// Threads: StartCapture and Deactivate on the thread that changes the filter's state, under
// filterLock; the worker (its own thread) takes frames, fills samples and delivers, and never
// takes filterLock. `receiver` is set before the worker starts and cleared after it ended.
#pragma once

#include <atomic>
#include <thread>

#include "filterkit/kit_output_pin.h"
#include "dv/receiver_interface.h"

namespace dv {

class DeviceFilter;

class DeviceOutputPin final : public filterkit::KitOutputPin {
public:
    explicit DeviceOutputPin(DeviceFilter* owner);
    ~DeviceOutputPin() override;

    // S_OK for interleaved DV with a DVINFO block; VFW_E_TYPE_NOT_ACCEPTED for another type,
    // E_INVALIDARG for a short or missing block.
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;
    HRESULT GetMediaType(int position, platform::MediaType* mt) override;

    // Starts the worker on `receiver` (opened; owned by the filter until after Deactivate).
    void StartCapture(Receiver* receiver);
    // Ends the worker (the receiver's wait cancelled), then decommits the allocator.
    HRESULT Deactivate() override;

protected:
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;

private:
    void Capture();  // the worker

    DeviceFilter* const owner;  // not owned; the filter owns its pin
    Receiver* receiver = nullptr;  // see the class comment
    std::thread worker;
    std::atomic<bool> stopping{false};
};

}  // namespace dv
