// One run of tamsel-stripe: build the graph, ready the deck, stream exactly the frames asked for,
// stop the deck, report.
#pragma once

#include <atomic>

#include "deck_session.h"
#include "stripe_graph.h"
#include "stripe_options.h"
#include "stripe_progress.h"
#include "stripe_report.h"

// Threads: Run on the thread that initialised COM. `stopSignal` is set (to the signal's number)
// from elsewhere when the user asks the run to stop; Run looks at it while it streams.
class CStripeRun {
public:
    CStripeRun(const CStripeOptions& options, const std::atomic<int>& stopSignal);

    // The program's exit status: 0 every frame sent, 1 a failure, 130 stopped by a signal.
    int Run();

private:
    int Fail(const std::string& text);
    // Builds the graph and readies the device: -1 to go on and stream, else the exit status.
    int Prepare();
    int Stream();

    const CStripeOptions& options_;
    const std::atomic<int>& stopSignal_;
    CStripeReport report_;
    CStripeGraph graph_;
    CDeckSession* deck_ = nullptr;
};
