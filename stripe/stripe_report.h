// What a run of tamsel-stripe did: gathered while it runs, printed once at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The summary of a run, on standard output as text or as one JSON object (--json).
//
// Threads: the run's thread only.
class CStripeReport {
public:
    std::string deviceName;  // the device's friendly name, "" before one was chosen
    std::string deviceId;    // its unique id or socket
    std::string picture = "colour bars";
    std::string recording = "unknown";  // commanded, device, not-recording, unknown
    std::string result = "complete";    // complete, failed, interrupted
    std::string stall;                  // where and how long the tape holds a stall, "" for none
    std::string message;
    int64_t requested = 0;
    int64_t sent = 0;
    int64_t repeated = -1;  // -1: the device does not tell
    int64_t recorded = -1;  // -1: the device does not tell
    bool positionKnown = false;
    std::string position;
    int64_t startFrame = 0;  // the first frame's label, as a count of dropFrame's kind
    bool dropFrame = true;   // the stripe's timecode counts drop-frame (else --ndf)
    int rate = 30;           // its labels a second: 25 in 625/50 (PAL)
    std::string system = "525/60 (NTSC)";  // the DV system streamed, as the units' reports name it
    bool tone = false;
    double level = 0;
    // With --record: what the unit was seen recording (CRecordLoop).
    int64_t preroll = 0;          // frames streamed before the start label
    int64_t postroll = 0;         // frames streamed after the stripe's last label
    int64_t prerollOnTape = -1;   // of them recorded; -1: not known
    int64_t postrollOnTape = -1;
    std::string firstOnTape;      // the first label the unit recorded, "" when not seen
    std::string lastOnTape;       // the last
    int64_t latencyMs = -1;       // RECORD to the first reading of it recording the stripe's frames
    bool armed = false;           // the unit was armed (record-pause) before RECORD
    // A leader: its segments where they start, and the programme's first label.
    struct Segment {
        std::string name;
        std::string start;
        int64_t frames;
    };
    std::vector<Segment> leader;
    std::string programStart;

    // The labels of the frames sent, "FIRST - LAST", or "none".
    std::string SendRange() const;
    // Prints the summary and flushes standard output (or `to`); false when it could not be
    // written (a terminal or pipe that is gone: nothing is to be done about it then).
    bool Print(bool json, std::FILE* to = stdout) const;

private:
    std::string Json() const;
    std::string Text() const;
};
