// Deck control for one run: the tape checked before anything is sent, record commanded only when
// asked for and never over a recording found running, and the unit stopped again if this run
// commanded it to record.
#pragma once

#include <dshow.h>

#include <cstdint>
#include <optional>
#include <string>

#include "stop_signals.h"

// What the unit says of itself (tamsel-stripe --status).
struct CDeckState {
    bool modeKnown = false;
    LONG mode = 0;  // ED_MODE_...
    bool tapeKnown = false;
    bool tapeIn = false;
    bool writeProtected = false;
    bool positionKnown = false;
    std::string position;  // the tape's timecode label
};

// What the unit reports while a stripe goes to it: its transport's mode and the time code it
// reads (in record: of the last frame it recorded), as a frame count of the label's counting.
struct CDeckReading {
    bool modeKnown = false;
    LONG mode = 0;  // ED_MODE_...
    std::optional<int64_t> label;
    bool dropFrame = true;  // the label counts drop-frame (ours unless --ndf)
};

// Drives the device's transport (IAMExtTransport) and reads its tape position
// (IAMTimecodeReader); either may be null for a device without them. The stop request is looked at
// before every command: once a stop was asked for, nothing is commanded but STOP, and a method
// that meets the request returns "" without going on (the caller looks at the request itself).
// While the unit records under this run (commanded, or found recording without --record) the
// stop signals are told, so Ctrl-Z is refused.
//
// Threads: the run's thread only.
class CDeckSession {
public:
    CDeckSession(IAMExtTransport* transport, IAMTimecodeReader* reader, CStopSignals& signals);
    // The tape's counting, for Read: 30 labels a second (the default), or 25 in 625/50.
    void SetRate(int rate) { rate_ = rate; }

    // Nothing goes out to a device that cannot record it: "" when the tape is there and writable
    // (or the device does not say), else why not, for the user.
    std::string CheckTape();
    // Before record is commanded (--record): "" when the unit is not recording, else why it is
    // refused (someone else's recording).
    std::string CheckNotRecording();
    // Arms the unit (record-pause): "" when it is armed or has no record-pause (*armed says
    // which), else why not, for the user; nothing is recorded either way.
    std::string Arm(bool* armed);
    // Commands record: "" once the unit took the command (its tape records only after its
    // latency), else why not. A unit that may have taken the command without answering (no
    // answer, interrupted) is stopped again.
    std::string CommandRecord();
    // The unit's mode and time code now; false when it says neither (or a stop was asked for).
    bool Read(CDeckReading* reading);
    // Without --record: what the unit is doing, for the summary ("device" when it records,
    // "not-recording" in any other mode, "unknown" when it does not say); tells the user.
    std::string Recording();
    // Stops the unit if this session commanded it to record; once. Sent after a stop request
    // too.
    void Stop();
    // The tape's position as a label, false when the device does not say.
    bool Position(std::string* text) const;

    // What the unit says of itself, asking it nothing after a stop request.
    CDeckState State();
    // Commands STOP whoever put the unit in its mode (tamsel-stripe --stop): S_OK or the failure.
    HRESULT CommandStop();

    // "record", "record-pause", "play", "stop", "pause", "fast forward", "rewind", or "mode N".
    static std::string ModeName(LONG mode);

private:
    bool Stopping() const { return signals_.Requested() != 0; }

    IAMExtTransport* transport_;
    IAMTimecodeReader* reader_;
    int rate_ = 30;
    CStopSignals& signals_;
    bool recordSent_ = false;  // RECORD or RECORD PAUSE went to the unit: STOP must follow
};
