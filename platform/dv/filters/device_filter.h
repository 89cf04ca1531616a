// The DV device filter, "Microsoft DV Camera and VCR": it sends the DIF frames arriving on its
// input pin "DV A/V In" to one DV device through a transport, which paces it the way the bus
// paces a real device. The device is named by the DevicePath that IPersistPropertyBag::Load
// reads from the device's property bag ("deck:<socket>" or "1394:<guid>").
//
// Leaving the stopped state opens the transport for the system of the input's connection (the
// frames' size and pace: 525/60 or 625/50); frames are sent while paused as well as while
// running (a deck records whatever it is sent). Each frame taken by the device may send a quality
// message upstream (DeviceRateControl) so that the stream's times follow the device's pace. When
// the device fails (unplugged, deck gone, tape full) the filter posts EC_ERRORABORT with the
// status to the graph once and refuses every later sample with that status. Stop cancels a send
// blocked in the transport, waits for Receive to return and closes the transport, so the device
// ends on a whole frame; a failure that comes to light only then (the device had stalled before
// the stop, or could not record the last frames: Transport::CloseStatus) is posted the same way,
// during Stop, unless one was posted already.
//
// Threads and locks (see filterkit/kit_filter.h): devicePath and transport are written under
// filterLock while stopped (Load, OnActivate, OnStop). The streaming thread uses transport,
// rateControl and failure inside Receive only, which never overlaps OnActivate or OnStop
// (WaitIdle). Cancel reaches the transport from the stopping thread under filterLock. statsLock is
// a leaf lock for the statistics, taken by the streaming thread and by whoever asks for them.
//
// Deck control (IAMExtDevice, IAMExtTransport, IAMTimecodeReader) goes to the device through the
// transport's deck-control part, on any thread, whether or not the graph runs: through the
// streaming transport while it is open, else through one of its own for the same device.
// controlLock guards both pointers for that (OnActivate and OnStop take it to swap the streaming
// one; Load to change the device); it is taken after filterLock and never the other way round,
// and the calls under it may wait for the frame in flight (sendLock inside the transport).
//
// Capture: with only its output pin "DV A/V Out" connected, leaving the stopped state opens a
// receiver for the device (CreateReceiver) instead of the sending transport, and the pin delivers
// the frames the device plays back (DeviceOutputPin); the device is put into play and wound by
// deck control as always. A device that plays nothing back to the host (the virtual deck) makes
// that fail with E_NOTIMPL. Stop ends the pin's worker (pins are deactivated first) and closes
// the receiver. With the input pin connected the filter sends, and its output delivers nothing.
//
// IDVDeviceStream: the system the device records, asked like deck control (GetDeviceStandard);
// a frame budget set while stopped; the streaming thread counts against it and
// posts EC_COMPLETE once after the last frame of it has been taken. GetProgress (any thread,
// under controlLock) measures the run from the device's counts at its start (the deck keeps
// them) and, for the gaps, from Transport::GetGaps: ticks at which the device had no new frame
// between the stream's first frame and its last, the longest unbroken run of them and the frames
// taken when it began; over IEEE 1394, where the device keeps no counts, the repeated ticks are
// the transmitter's too. After Stop it reports the run's last measure, taken once the transport
// closed.
//
// Interrupt (any thread, also while another thread is blocked in the device: Open under
// filterLock during Pause or Run, deck control under controlLock) takes neither lock: it goes
// through `reach` (DeviceInterrupt, a leaf lock), which lists every transport the filter holds
// from its creation until just before it is destroyed and interrupts each, and any made later.
// Their waits end with kTransportInterrupted (E_ABORT); every later device call fails so at
// once, the streaming thread's next frame included (posted as EC_ERRORABORT like any device
// failure), except put_Mode(ED_MODE_STOP), which still goes out.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <platform/platform.h>

#include "filterkit/kit_filter.h"
#include "dv/filters/device_input_pin.h"
#include "dv/filters/device_interrupt.h"
#include "dv/filters/device_output_pin.h"
#include "dv/filters/device_rate_control.h"
#include "dv/filters/device_statistics.h"
#include "dv/receiver_interface.h"
#include "dv/transport_interface.h"

namespace dv {

// IUnknown: adds IPersistPropertyBag and IDVDeviceStatistics to the filter's interfaces.
class DeviceFilter final
    : public platform::ComExtend<filterkit::KitFilter,
                                 platform::Implements<IPersistPropertyBag, IID_IPersistPropertyBag>,
                                 platform::Implements<IDVDeviceStatistics, IID_IDVDeviceStatistics>,
                                 platform::Implements<IAMExtDevice, IID_IAMExtDevice>,
                                 platform::Implements<IAMExtTransport, IID_IAMExtTransport>,
                                 platform::Implements<IAMTimecodeReader, IID_IAMTimecodeReader>,
                                 platform::Implements<IDVDeviceStream, IID_IDVDeviceStream>> {
public:
    DeviceFilter();

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;

    // IPersistPropertyBag. Load reads "DevicePath" (VT_BSTR); only while stopped.
    HRESULT STDMETHODCALLTYPE InitNew() override;
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override;
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

    // IDVDeviceStatistics. Any thread.
    HRESULT STDMETHODCALLTYPE GetStatistics(DVDeviceStatistics* statistics) override;

    // IAMExtDevice and IAMExtTransport share GetCapability: the ED_DEVCAP_* and ED_TRANSCAP_*
    // values do not overlap. ED_DEVCAP_DEVICE_TYPE is ED_DEVTYPE_VCR, ED_DEVCAP_CAN_RECORD and
    // ED_DEVCAP_TIMECODE_READ are OATRUE; the rest E_NOTIMPL.
    HRESULT STDMETHODCALLTYPE GetCapability(LONG capability, LONG* value, double* number) override;
    // IAMExtDevice: the device's identity (its unique id on IEEE 1394, its socket for a deck).
    HRESULT STDMETHODCALLTYPE get_ExternalDeviceID(LPOLESTR* text) override;
    HRESULT STDMETHODCALLTYPE get_ExternalDeviceVersion(LPOLESTR* text) override;
    HRESULT STDMETHODCALLTYPE put_DevicePower(LONG mode) override;
    HRESULT STDMETHODCALLTYPE get_DevicePower(LONG* mode) override;
    HRESULT STDMETHODCALLTYPE Calibrate(HEVENT event, LONG mode, LONG* status) override;
    HRESULT STDMETHODCALLTYPE put_DevicePort(LONG port) override;
    HRESULT STDMETHODCALLTYPE get_DevicePort(LONG* port) override;

    // IAMExtTransport: put_Mode takes ED_MODE_RECORD, ED_MODE_RECORD_FREEZE (record-pause: armed),
    // ED_MODE_STOP, ED_MODE_PLAY, ED_MODE_REW and ED_MODE_FF (winding); get_Mode also answers
    // ED_MODE_FREEZE (play paused). GetStatus answers ED_MODE, ED_MEDIA_PRESENT,
    // ED_RECORD_INHIBIT (OATRUE/OAFALSE) and ED_MEDIA_TYPE (ED_MEDIA_DVC). put_Mode's failures:
    // kTransportNoMedia, kTransportWriteProtected, kTransportLocalMode, kTransportRejected,
    // kTransportNoTapeRecorder, kTransportAccessDenied, E_NOTIMPL for a device without deck
    // control or a mode it does not take.
    HRESULT STDMETHODCALLTYPE put_MediaState(LONG state) override;
    HRESULT STDMETHODCALLTYPE get_MediaState(LONG* state) override;
    HRESULT STDMETHODCALLTYPE put_LocalControl(LONG state) override;
    HRESULT STDMETHODCALLTYPE get_LocalControl(LONG* state) override;
    HRESULT STDMETHODCALLTYPE GetStatus(LONG item, LONG* value) override;
    HRESULT STDMETHODCALLTYPE GetTransportBasicParameters(LONG param, LONG* value, LPOLESTR* text) override;
    HRESULT STDMETHODCALLTYPE SetTransportBasicParameters(LONG param, LONG value, LPCOLESTR text) override;
    HRESULT STDMETHODCALLTYPE GetTransportVideoParameters(LONG param, LONG* value) override;
    HRESULT STDMETHODCALLTYPE SetTransportVideoParameters(LONG param, LONG value) override;
    HRESULT STDMETHODCALLTYPE GetTransportAudioParameters(LONG param, LONG* value) override;
    HRESULT STDMETHODCALLTYPE SetTransportAudioParameters(LONG param, LONG value) override;
    HRESULT STDMETHODCALLTYPE put_Mode(LONG mode) override;
    HRESULT STDMETHODCALLTYPE get_Mode(LONG* mode) override;
    HRESULT STDMETHODCALLTYPE put_Rate(double rate) override;
    HRESULT STDMETHODCALLTYPE get_Rate(double* rate) override;
    HRESULT STDMETHODCALLTYPE GetChase(LONG* enabled, LONG* offset, HEVENT* event) override;
    HRESULT STDMETHODCALLTYPE SetChase(LONG enable, LONG offset, HEVENT event) override;
    HRESULT STDMETHODCALLTYPE GetBump(LONG* speed, LONG* duration) override;
    HRESULT STDMETHODCALLTYPE SetBump(LONG speed, LONG duration) override;
    HRESULT STDMETHODCALLTYPE get_AntiClogControl(LONG* enabled) override;
    HRESULT STDMETHODCALLTYPE put_AntiClogControl(LONG enable) override;
    HRESULT STDMETHODCALLTYPE GetEditPropertySet(LONG editId, LONG* state) override;
    HRESULT STDMETHODCALLTYPE SetEditPropertySet(LONG* editId, LONG state) override;
    HRESULT STDMETHODCALLTYPE GetEditProperty(LONG editId, LONG param, LONG* value) override;
    HRESULT STDMETHODCALLTYPE SetEditProperty(LONG editId, LONG param, LONG value) override;
    HRESULT STDMETHODCALLTYPE get_EditStart(LONG* value) override;
    HRESULT STDMETHODCALLTYPE put_EditStart(LONG value) override;

    // IAMTimecodeReader: GetTimecode says where the tape is, the timecode of the last frame the
    // device recorded (dwFrames in BCD, AM_TIMECODE_FLAG_DF for drop-frame); S_FALSE with a zero
    // timecode when the device has recorded nothing it could read a timecode from.
    HRESULT STDMETHODCALLTYPE GetTCRMode(LONG param, LONG* value) override;
    HRESULT STDMETHODCALLTYPE SetTCRMode(LONG param, LONG value) override;
    HRESULT STDMETHODCALLTYPE put_VITCLine(LONG line) override;
    HRESULT STDMETHODCALLTYPE get_VITCLine(LONG* line) override;
    HRESULT STDMETHODCALLTYPE GetTimecode(PTIMECODE_SAMPLE sample) override;

    // IDVDeviceStream.
    HRESULT STDMETHODCALLTYPE SetFrameBudget(LONGLONG frames) override;
    HRESULT STDMETHODCALLTYPE GetProgress(DVStreamProgress* progress) override;
    HRESULT STDMETHODCALLTYPE Interrupt() override;
    HRESULT STDMETHODCALLTYPE GetDeviceStandard(LONG* standard) override;

    DeviceInputPin& Input() { return input; }
    DeviceOutputPin& Output() { return output; }
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

    // Runs `call` on the transport that reaches the device now (see the class comment).
    template <typename Call>
    HRESULT WithDeck(Call call);
    // Destroys the deck-control transport. controlLock held.
    void DropControl();

    // What the device and its transport said of the run's stream at one moment.
    struct RunCounts {
        DeckState state;
        bool stateKnown = false;  // the device keeps the counts in `state` and told them
        Transport::GapAccount gaps;
        bool gapsKnown = false;
    };
    // Asks `device` (its state only if askDevice, and not after Interrupt). controlLock held.
    RunCounts Measure(Transport& device, bool askDevice);

    // Capture (see the class comment): opens the receiver and starts the output pin on it.
    HRESULT StartCapture();

    DeviceInputPin input;
    DeviceOutputPin output;
    std::unique_ptr<Receiver> receiver;     // filterLock, while capturing; the pin's worker uses it
    std::string devicePath;                 // filterLock
    std::unique_ptr<Transport> transport;   // see the class comment
    const DvSystem* streamSystem = &k525_60;  // transport's stream: set with it, read by the streaming thread
    DeviceRateControl rateControl;          // streaming thread
    HRESULT failure = S_OK;                 // streaming thread; OnActivate and OnStop
    LONGLONG frameBudget = 0;               // filterLock, while stopped; read by the streaming thread
    bool budgetSpent = false;               // streaming thread; OnActivate

    DeviceInterrupt reach;                  // its own leaf lock: the transports Interrupt reaches

    std::mutex controlLock;                 // for the fields below
    Transport* streaming = nullptr;         // controlLock: `transport` while it is open
    std::string controlPath;                // controlLock: devicePath
    std::unique_ptr<Transport> control;     // controlLock: deck control while not streaming
    RunCounts runStart;                     // controlLock: the device's counts when the run began
    RunCounts runEnd;                       // controlLock: and when it ended (OnStop)
    bool runEnded = false;                  // controlLock: runEnd holds the last run's

    static constexpr size_t kAveragedFrames = 60;
    std::mutex statsLock;                   // leaf lock for the fields below
    LONGLONG framesSent = 0;                // statsLock
    LONGLONG qualityMessages = 0;           // statsLock
    std::deque<REFERENCE_TIME> recentStarts;  // statsLock: starts of the last frames taken
};

}  // namespace dv
