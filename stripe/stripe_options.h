// tamsel-stripe's command line: what to stripe and how.
#pragma once

#include <cstdint>
#include <string>

#include "dv/dif/timecode.h"

// The options of one run, parsed with getopt_long: "--opt value" and "--opt=value"; a usage error
// is told on stderr with the usage line and ends the program with status 2.
//
// Threads: main thread only (getopt_long keeps its state in globals).
class CStripeOptions {
public:
    enum Action {
        kStripe,  // the default: stripe the tape
        kStatus,  // --status: say what the unit is doing
        kStop,    // --stop: command the unit to stop
        kVerifyFile,  // --verify-file FILE: check a DV file and report
        kVerifyTape,  // --verify-tape: check what the device plays back and report
    };
    Action action = kStripe;
    int64_t frames = 0;        // --duration, in frames
    dv::Timecode start {};     // --timecode (drop-frame)
    bool tone = true;          // --tone (default) or --no-tone
    double level = 0;          // --tone LEVEL, dBFS
    bool record = false;       // --record
    int64_t preroll = 90;      // --preroll, in frames (30 to a second); used with --record only
    std::string device;        // --device NAME|ID, "" for the default
    bool json = false;         // --json
    std::string verifyFile;    // --verify-file FILE
    bool timecodeGiven = false;  // --timecode was given
    dv::Timecode checkStart {};  // --timecode as written, its separator telling the counting (a check)
    bool levelGiven = false;     // --tone was given a LEVEL
    bool verify = false;         // --verify (with --record): check the stripe by playback
    // The picture: "" the colour-bar filter's own bars (the default), else "smpte", "ebu75",
    // "ebu100", "black", or a picture file of 720 x 480 (--pattern).
    std::string pattern;
    bool dropFrame = true;       // --ndf: false
    bool userBitsGiven = false;  // --user-bits
    uint32_t userBits = 0;       // its eight hex digits, the first the highest binary group
    bool wide = false;           // --aspect 16:9
    bool audio32k = false;       // --audio 32k: 12-bit, four channels
    bool pal = false;            // --standard pal

    CStripeOptions();

    // The frames streamed before the start label: the pre-roll with --record, else none (a unit
    // found recording records from the first frame it is sent).
    int64_t PrerollFrames() const { return record ? preroll : 0; }

    // Parses argv[1..]. -1 to go on and run; otherwise the program ends with this status (--help
    // and --version answered: 0, or 1 when stdout could not take it; 2 after a usage error).
    int Parse(int argc, char** argv);
};
