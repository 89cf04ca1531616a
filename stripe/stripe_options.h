// tamsel-stripe's command line: what to stripe and how.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dv/dif/timecode.h"
#include "leader_layout.h"

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
    int64_t frames = 0;        // --duration, in frames of the system
    dv::Timecode start {};     // --timecode, counted as the system and --ndf say
    bool tone = true;          // --tone (default) or --no-tone
    double level = 0;          // --tone LEVEL, dBFS
    bool record = false;       // --record
    int64_t preroll = 90;      // --preroll, in frames of the system; used with --record only
    std::string device;        // --device NAME|ID, "" for the default
    bool json = false;         // --json
    std::string verifyFile;    // --verify-file FILE
    bool timecodeGiven = false;  // --timecode was given
    dv::Timecode checkStart {};  // --timecode as written, its separator telling the counting (a check)
    bool levelGiven = false;     // --tone was given a LEVEL
    bool verify = false;         // --verify (with --record): check the stripe by playback
    // The picture: "" the system's own bars (the default: the colour-bar filter's in 525/60, EBU
    // 75 % in 625/50), else "smpte", "ebu75", "ebu100", "black", or a picture file of the
    // system's size (--pattern).
    std::string pattern;
    bool dropFrame = true;       // --ndf, or 625/50 (which never drops): false
    bool userBitsGiven = false;  // --user-bits
    uint32_t userBits = 0;       // its eight hex digits, the first the highest binary group
    bool wide = false;           // --aspect 16:9
    bool audio32k = false;       // --audio 32k: 12-bit, four channels
    bool pal = false;            // --standard pal, or the unit's own 625/50 without --standard
    bool standardGiven = false;  // --standard was given; else the unit's system is taken
    std::string durationText;    // --duration as written: its frames depend on the system
    double prerollSeconds = 3;   // --preroll as written
    std::string timecodeText;    // --timecode as written
    // A leader (--leader or --layout): its segments placed before the programme's start; start
    // and frames are then the leader's (black after it included).
    bool leader = false;
    CLeaderLayout layout;
    std::string layoutText;      // as given (--leader: the default)
    // --program-start: given, or 01:00:00;00 (01:00:00:00 in 625/50).
    dv::Timecode programStart {1, 0, 0, 0, true};
    bool programStartGiven = false;
    int64_t blackAfter = 0;      // --black-after, in labels of the system
    int64_t programLength = 0;   // --program-length, in labels of the system (0: --black-after's)
    std::string blackAfterText;     // as written: their labels depend on the system
    std::string programLengthText;
    std::vector<std::pair<std::string, std::string>> slate;  // --slate KEY=VALUE, in order
    bool burnIn = false;         // --burn-in

    CStripeOptions();

    // Timecode labels a second: 30 in 525/60, 25 in 625/50.
    int Rate() const { return pal ? 25 : 30; }
    // Seconds of `frames` frames: 1001/30000 s each, or 1/25 s in 625/50.
    double Seconds(int64_t frames) const { return pal ? double(frames) / 25.0 : double(frames) * 1001.0 / 30000.0; }
    // The label of frame `frame` of the stripe's counting.
    dv::Timecode Label(int64_t frame) const { return dv::Timecode::OfFrame(frame, dropFrame, Rate()); }
    // Settles the options that depend on the system (625/50 if `fifty`): the length, the
    // pre-roll and the start in its frames, its counting, and a leader laid out in its labels.
    // "" when they hold, else what does not (a drop-frame label or frames past 24 in 625/50), for
    // the user.
    std::string ForSystem(bool fifty);

    // The frames streamed before the start label: the pre-roll with --record, else none (a unit
    // found recording records from the first frame it is sent).
    int64_t PrerollFrames() const { return record ? preroll : 0; }

    // The pattern --pattern names (REFERENCE_BARS_SMPTE .. REFERENCE_BARS_BLACK); nothing for the
    // system's own bars ("") or a picture file.
    std::optional<LONG> NamedPattern() const;
    // The bars of a leader: the pattern named, else the system's own bars (SMPTE's in 525/60, EBU
    // 75 % in 625/50); a picture file through `file` ("" for none).
    LONG LeaderBarsPattern(std::string* file) const;

    // Parses argv[1..]. -1 to go on and run; otherwise the program ends with this status (--help
    // and --version answered: 0, or 1 when stdout could not take it; 2 after a usage error).
    int Parse(int argc, char** argv);

private:
    // ForSystem's part for a leader: the layout and lengths read again in the system's labels, the
    // programme's label checked, the segments placed; start and frames set.
    std::string PlaceLeader();
};
