// One run of tamsel-stripe: build the graph, ready the deck, stream exactly the frames asked for
// (with --record: after a pre-roll and with a post-roll, the unit watched by CRecordLoop), stop
// the deck, report.
#pragma once

#include "deck_session.h"
#include "record_loop.h"
#include "stop_signals.h"
#include "stripe_graph.h"
#include "stripe_options.h"
#include "stripe_progress.h"
#include "stripe_report.h"

// A unit records only while this run, told to record, is alive and wants it: the stop request is
// looked at before every command to the unit; when the run ends, for whatever reason it can see,
// the graph is stopped, the unit put back in stop if the run put it in record, and only then is
// the summary written (a write that fails because the terminal is gone is let go).
//
// Threads: Run on the thread that initialised COM; the stop signals come from their own thread.
class CStripeRun {
public:
    // `options`: the system is settled while the graph is built (CStripeGraph::Build).
    CStripeRun(CStripeOptions& options, CStopSignals& signals);

    // The program's exit status: 0 every frame sent, 1 a failure, or the status of the signal that stopped it
    // (CStopSignals::ExitStatus).
    int Run();
    // After Run: the stripe's first label, as a drop-frame count.
    int64_t StartLabel() const { return report_.startFrame; }

private:
    int Fail(const std::string& text);
    // The stop request ended the run: the signal's status.
    int Stopped();
    // Readies the device: -1 to go on and stream, else the exit status.
    int Prepare(CDeckSession& deck, CRecordLoop* loop);
    int Stream(CDeckSession& deck, CRecordLoop& loop);
    // The label of the first frame streamed (the pre-roll's first, with --record).
    int64_t StreamStart() const;
    // A failure the device reported only because a stop request interrupted it.
    bool FromStopRequest(HRESULT status) const;
    // After a complete stripe: the tape's longest stall, if one lies inside the stripe (a failure).
    std::string StallInside(const DVStreamProgress& progress) const;

    CStripeOptions& options_;
    CStopSignals& signals_;
    CStripeReport report_;
    CStripeGraph graph_;
    int64_t streamed_ = 0;  // frames the device took, pre-roll and post-roll included
};
