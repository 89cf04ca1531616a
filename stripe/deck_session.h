// Deck control for one stripe: the tape checked before anything is sent, record commanded only
// when asked for, and the unit stopped again if this run put it in record.
#pragma once

#include <dshow.h>

#include <string>

// Drives the device's transport (IAMExtTransport) and reads its tape position
// (IAMTimecodeReader); either may be null for a device without them.
//
// Threads: the run's thread only.
class CDeckSession {
public:
    CDeckSession(IAMExtTransport* transport, IAMTimecodeReader* reader);

    // Nothing goes out to a device that cannot record it: "" when the tape is there and writable
    // (or the device does not say), else why not, for the user.
    std::string CheckTape();
    // Commands record (--record): "" once the unit records, else why not (it was stopped again
    // when it took the command without recording).
    std::string Record();
    // Without --record: what the unit is doing, for the summary ("device" recording,
    // "not-recording", or "unknown"); tells the user when it is not recording.
    std::string Recording();
    // Stops the unit if this session put it in record; once.
    void Stop();
    // The tape's position as a label, false when the device does not say.
    bool Position(std::string* text) const;

private:
    IAMExtTransport* transport_;
    IAMTimecodeReader* reader_;
    bool weStartedRecording_ = false;
};
