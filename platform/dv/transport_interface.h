// How the DV device filter hands frames to a device: a virtual deck over a local socket
// (DeckTransport) or a camcorder on the IEEE 1394 bus (Ieee1394Transport).
//
// Threads: Open and Close run on the thread that changes the filter's state; SendFrame on the
// streaming thread; Cancel on any thread. To stop while SendFrame may be blocked, Cancel first;
// Close then waits for SendFrame to return.
#pragma once

#include <windows.h>
#include <platform/platform.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "dv/dv_system.h"

namespace dv {

// Statuses a transport reports.
inline constexpr HRESULT kTransportDeviceGone = HRESULT_FROM_WIN32(1167);  // ERROR_DEVICE_NOT_CONNECTED
inline constexpr HRESULT kTransportDiskFull = HRESULT_FROM_WIN32(112);     // ERROR_DISK_FULL
inline constexpr HRESULT kTransportBusy = HRESULT_FROM_WIN32(ERROR_BUSY);
// The bus has no isochronous bandwidth or channel left for the stream (ERROR_NO_SYSTEM_RESOURCES):
// not the device's fault, so not "busy".
inline constexpr HRESULT kTransportNoBusResources = HRESULT_FROM_WIN32(1450);
inline constexpr HRESULT kTransportTimeout = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
inline constexpr HRESULT kTransportWriteFault = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
inline constexpr HRESULT kTransportAccessDenied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
inline constexpr HRESULT kTransportBadPath = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
// SendFrame after Cancel: the filter is stopping, nothing went wrong with the device.
inline constexpr HRESULT kTransportCancelled = ((HRESULT)0x80040227);  // VFW_E_WRONG_STATE
// A wait ended, or a call refused, because the program asked to stop (Interrupt).
inline constexpr HRESULT kTransportInterrupted = E_ABORT;

// Deck control: the device has no tape in, its tape is write-protected, or it refused a command
// for another reason of its own.
inline constexpr HRESULT kTransportNoMedia = HRESULT_FROM_WIN32(21);          // ERROR_NOT_READY
inline constexpr HRESULT kTransportWriteProtected = HRESULT_FROM_WIN32(19);   // ERROR_WRITE_PROTECT
inline constexpr HRESULT kTransportRejected = HRESULT_FROM_WIN32(4320);       // ERROR_REQUEST_REFUSED
// ... because it takes no command from the bus (local mode), or has no tape recorder now (a
// camcorder in camera mode).
inline constexpr HRESULT kTransportLocalMode = DV_E_LOCAL_MODE;
inline constexpr HRESULT kTransportNoTapeRecorder = DV_E_NO_TAPE_RECORDER;
// The device records the other television system than the stream's (a 625/50 unit sent 525/60).
inline constexpr HRESULT kTransportWrongSystem = DV_E_WRONG_STANDARD;

// The tape transport's mode, as deck control sets and reads it. SetDeckMode takes Stop, Play,
// Record, RecordPause (armed: the tape threaded and ready, so that RECORD takes only a few
// frames), Rewind and FastForward (winding stops by itself at the tape's end); a device may
// report any.
enum class DeckMode { Stop, Play, Record, RecordPause, PlayPause, Rewind, FastForward };

// What a device says of its tape transport.
struct DeckState {
    DeckMode mode = DeckMode::Stop;
    bool mediaPresent = false;    // a tape is in
    bool writeProtected = false;  // the tape is write-protected
    bool positionKnown = false;   // position holds where the tape is
    uint32_t positionBcd = 0;     // in record: the timecode of the last frame recorded; else the
                                  // one read where the tape stands; BCD 0xhhmmssff
    bool dropFrame = false;       // that timecode counts drop-frame
    bool countsKnown = false;     // the device keeps the two counts below (AV/C units do not)
    uint64_t framesRecorded = 0;  // frames the device recorded since it started
    uint64_t framesRepeated = 0;  // ticks at which the device had no new frame
};

// A device that takes nothing for this long is treated as gone, so nothing waits forever on a
// stalled deck or a dead bus.
inline constexpr int kTransportStallTimeoutMs = 5000;
// A device that had taken nothing for this long when a stop cut the frame waiting for it short
// had stalled, and what the graph sent meanwhile never reached it: a failure, found at Close.
// Far beyond the frame or two a device that keeps pace keeps a sender waiting.
inline constexpr int kTransportStallAtStopMs = 1000;

class Transport {
public:
    virtual ~Transport() = default;

    // The system of the frames the stream of the next Open carries: their size and pace (525/60
    // until told). Before Open, on the thread that opens.
    virtual void SetSystem(const DvSystem& system) = 0;

    // Connects to the device. A failure status says why (gone, busy, bad path ...; a device that
    // tells at once it records the other system: kTransportWrongSystem).
    virtual HRESULT Open() = 0;

    // Hands one whole DIF frame of the system to the device and returns when the device has taken it: the
    // device's pace paces the caller. S_OK, kTransportCancelled after Cancel, or the status that
    // says why the device can take no more (it then stays failed).
    virtual HRESULT SendFrame(const uint8_t* frame, size_t size) = 0;

    // Makes a blocked SendFrame return promptly, and every later one fail at once.
    virtual void Cancel() = 0;

    // Ends the connection so the device can finish cleanly (the deck closes its tape on a whole
    // frame). Safe to call more than once.
    virtual void Close() = 0;

    // After Close: a failure that came to light only in closing (the device's last word says the
    // last frames could not be recorded, or it had stalled for kTransportStallAtStopMs when the
    // stop came), with LastError saying what; S_OK when none did. A failure SendFrame returned
    // is not repeated here.
    virtual HRESULT CloseStatus() const { return S_OK; }

    // Deck control, independent of the stream: callable on any thread, before Open, while
    // SendFrame runs (it may wait for the frame in flight) and after Close; it never sends a
    // frame. A device without deck control answers E_NOTIMPL. SetDeckMode: S_OK once the device
    // took the command; kTransportNoMedia, kTransportWriteProtected, kTransportLocalMode or
    // kTransportRejected when it refused it; E_NOTIMPL when it does not take this mode,
    // kTransportNoTapeRecorder when it has no tape recorder now; kTransportAccessDenied when the
    // user may not open the device; kTransportDeviceGone (or another status) when it could not
    // be asked. S_OK from Record means the unit took the command, not that its tape records yet:
    // a unit in stop needs a second or more to thread the tape and lock its servo.
    virtual HRESULT SetDeckMode(DeckMode /*mode*/) { return E_NOTIMPL; }
    virtual HRESULT GetDeckState(DeckState* /*state*/) { return E_NOTIMPL; }
    // The system the device records (a tape unit's input signal mode), as deck control asks it:
    // E_NOTIMPL when the device cannot tell, the statuses of GetDeckState otherwise.
    virtual HRESULT GetUnitSystem(DvStandard* /*standard*/) { return E_NOTIMPL; }

    // The stream's gaps since Open as the sending side knows them: ticks at which the device had
    // no new frame and so showed or sent the last one again. False when this side cannot tell.
    // The virtual deck's transport reports what the deck counted between the stream's first
    // frame and its last, as of its last answer (DeckTransport). Any thread.
    struct GapAccount {
        uint64_t ticks = 0;         // every such tick
        uint64_t longest = 0;       // ticks in the longest unbroken run of them
        uint64_t longestAfter = 0;  // frames the device had taken when that run began
    };
    virtual bool GetGaps(GapAccount* /*gaps*/) const { return false; }

    // The program is stopping (the user pressed Ctrl-C, the terminal went away): every wait of
    // Open and of deck control ends promptly with kTransportInterrupted, and every later call
    // does so at once, except SetDeckMode(DeckMode::Stop), which is still sent (bounded as
    // always) so a unit we put into record can be stopped. Any thread; not undone.
    virtual void Interrupt() {}

    // A description of the last failure, for reports.
    virtual std::string LastError() const = 0;
};

}  // namespace dv
