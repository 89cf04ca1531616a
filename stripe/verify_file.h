// tamsel-stripe --verify-file: the tape checker on a raw DV file, and its QC report.
#pragma once

#include "stop_signals.h"
#include "stripe_options.h"

// Reads the file frame by frame through the checker, shows progress on standard error, prints
// the report on standard output (JSON with --json). A stop signal ends the check between frames;
// the report then says so.
//
// Threads: Run on the main thread; the stop signals come from their own thread.
class CVerifyFile {
public:
    CVerifyFile(const CStripeOptions& options, CStopSignals& signals);

    // 0 a good recording, 1 defects or a file that cannot be checked, or the status of the signal
    // that stopped it (CStopSignals::ExitStatus).
    int Run();

private:
    const CStripeOptions& options_;
    CStopSignals& signals_;
};
