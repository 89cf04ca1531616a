// tamsel-stripe --verify and --verify-tape: the device plays its tape back, the frames come
// through the DV device's output pin into a capture graph of their own, and the tape checker
// judges them one by one; then the QC report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "dv/dif/timecode.h"
#include "dv/dif/dif_layout.h"  // dv::DvSystem
#include "qc_report.h"
#include "stop_signals.h"
#include "stripe_options.h"
#include "tape_check.h"

// How a check by playback goes:
// - the device alone is bound (CStripeGraph::OpenDevice) and put in a graph with a capture sink
//   (CCaptureSink) on its "DV A/V Out";
// - with a start label to find, the tape is rewound (ED_MODE_REW) and the run waits, bounded and
//   ended by a stop request, until the unit stopped winding; else it plays from where it stands;
// - the graph runs, then the unit is put into play (ED_MODE_PLAY); frames before the start label
//   (the pre-roll, blank tape before the recording) are passed over, bounded by kMaxSkipFrames;
//   a frame past the start label starts the check there, the missing frames then reported;
// - exactly `frames` frames are checked, each as it comes, progress shown as striping shows it;
//   a unit that sends nothing for kSilenceMs, or fails (unplugged: EC_ERRORABORT), ends the check
//   with what was found so far;
// - whatever ended the run, the unit is commanded to stop (also after a stop request) and the
//   graph stopped; then the report is printed (JSON with --json) on standard output.
//
// Threads: Run on the thread that initialised COM; the stop signals come from their own thread;
// frames arrive on the device's capture thread and wait in the sink's queue for this one.
class CVerifyRun {
public:
    static constexpr int64_t kMaxSkipFrames = 30 * 120;  // two minutes of tape before the start
    static constexpr int kSilenceMs = 5000;
    static constexpr int kWindLimitMs = 15 * 60 * 1000;  // a whole cassette rewound slowly

    struct Plan {
        std::optional<dv::Timecode> start;  // the first frame to check; unset: the first that comes
        int64_t frames = 0;                 // how many to check
        bool stripe = false;                // a stripe of this run: its start known, its tone sent
    };

    CVerifyRun(const CStripeOptions& options, CStopSignals& signals);

    // A --timecode label in a recording's system: as written in 525/60; in 625/50 counted 25 a
    // second, non-drop. Nothing when it is no label there (drop-frame, or frames past 24).
    static std::optional<dv::Timecode> StartIn(const dv::Timecode& label, const dv::DvSystem& system);

    // A frame's voted time code as a frame count in its own counting; unset where it has none.
    static std::optional<int64_t> LabelOf(const uint8_t* frame, size_t size);

    // What the check of a recording in `system` expects besides its start: the tone, the picture
    // and a leader's plan, as the options say (`stripe`: a stripe of this run, whose picture and
    // tone are known). "" when it can be checked so, else why not, for the user.
    static std::string Expect(const CStripeOptions& options, bool stripe, const dv::DvSystem& system,
                              CTapeCheck::Expectation* expectation);

    // 0 a good tape, 1 defects or a check that could not be made, or the status of the signal
    // that stopped it (CStopSignals::ExitStatus).
    int Run(const Plan& plan);

private:
    // Drives the check; "" when it ran to its end (the report then judges), else why it could
    // not, for the user.
    std::string Check(const Plan& plan, CQcReport& report);

    const CStripeOptions& options_;
    CStopSignals& signals_;
};
