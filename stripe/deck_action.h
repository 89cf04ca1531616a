// tamsel-stripe --status and --stop: what a unit is doing, and a way to stop one that was left
// recording (after a run killed with SIGKILL, say) with the programs we ship.
#pragma once

#include "stop_signals.h"
#include "stripe_options.h"

// Opens the device the options name, outside any graph, and asks or commands it through its
// deck control; prints the unit's state on standard output (as JSON with --json).
//
// Threads: Run on the thread that initialised COM.
class CDeckAction {
public:
    CDeckAction(const CStripeOptions& options, CStopSignals& signals);

    // 0 done, 1 failure (no device, no deck control, STOP refused), or the status of the signal that stopped it.
    int Run();

private:
    const CStripeOptions& options_;
    CStopSignals& signals_;
};
