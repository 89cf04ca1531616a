#include "stripe_run.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "messages/stream_failure.h"

CStripeRun::CStripeRun(const CStripeOptions& options, const std::atomic<int>& stopSignal)
    : options_(options), stopSignal_(stopSignal) {}

int CStripeRun::Fail(const std::string& text) {
    std::fprintf(stderr, "tamsel-stripe: %s\n", text.c_str());
    report_.result = "failed";
    report_.message = text;
    return 1;
}

int CStripeRun::Run() {
    report_.requested = options_.frames;
    report_.tone = options_.tone;
    report_.level = options_.level;
    const std::string built = graph_.Build(options_, &report_);
    if (!built.empty()) {
        const int status = Fail(built);
        if (options_.json) report_.Print(true);
        return status;
    }
    CDeckSession deck(graph_.transport.get(), graph_.reader.get());
    deck_ = &deck;
    int status = Prepare();
    const bool streamed = status < 0;
    if (streamed) {
        status = Stream();
        // Exact now that the transport is closed: what left for the device and is not on its tape.
        if (report_.recorded >= 0 && report_.recording != "not-recording" && report_.sent > report_.recorded) {
            std::fprintf(stderr, "tamsel-stripe: %lld frames sent did not reach the tape\n",
                         static_cast<long long>(report_.sent - report_.recorded));
        }
    }
    deck_ = nullptr;
    if (streamed || options_.json) report_.Print(options_.json);
    return status;
}

int CStripeRun::Prepare() {
    // The tape first: nothing goes out to a device that cannot record it.
    if (std::string problem = deck_->CheckTape(); !problem.empty()) return Fail(problem);
    if (options_.record) {
        if (std::string refused = deck_->Record(); !refused.empty()) return Fail(refused);
        report_.recording = "commanded";
    } else {
        report_.recording = deck_->Recording();
    }
    return -1;
}

int CStripeRun::Stream() {
    const HRESULT ran = graph_.control->Run();
    if (FAILED(ran)) {
        graph_.control->Stop();
        deck_->Stop();
        return Fail(CStreamFailure::Describe(CStreamFailure::kStarting, 0, ran));
    }
    CStripeProgress progress(options_.frames, report_.startFrame, isatty(STDERR_FILENO) == 1);
    std::string failure;
    bool complete = false;
    while (!complete && failure.empty() && stopSignal_.load() == 0) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        if (graph_.events->GetEvent(&code, &p1, &p2, 200) == S_OK) {
            if (code == EC_COMPLETE) {
                complete = true;
            } else if (CStreamFailure::EndsStreaming(code, p2)) {
                failure = CStreamFailure::Describe(CStreamFailure::kStreaming, code, HRESULT(p1));
            }
            graph_.events->FreeEventParams(code, p1, p2);
        }
        if (progress.Due() && !complete && failure.empty()) {
            DVStreamProgress now {};
            graph_.stream->GetProgress(&now);
            std::string position;
            deck_->Position(&position);
            progress.Show(now, report_.recording != "not-recording", position);
        }
    }
    progress.Clear();
    // Stopping ends the transport on a whole frame; what comes to light only then is told too.
    graph_.control->Stop();
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    while (graph_.events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        if (failure.empty() && CStreamFailure::EndsStreaming(code, p2)) {
            failure = CStreamFailure::Describe(CStreamFailure::kStreaming, code, HRESULT(p1));
        }
        graph_.events->FreeEventParams(code, p1, p2);
    }
    DVStreamProgress end {};
    graph_.stream->GetProgress(&end);
    report_.sent = end.framesSent;
    report_.repeated = end.framesRepeated;
    report_.recorded = end.framesRecorded;
    deck_->Stop();
    report_.positionKnown = deck_->Position(&report_.position);
    if (!failure.empty()) return Fail(failure);
    const int stopSignal = stopSignal_.load();
    if (stopSignal != 0 && !complete) {
        report_.result = "interrupted";
        report_.message = std::string("stopped by ") + (stopSignal == SIGINT ? "SIGINT" : "SIGTERM");
        std::fprintf(stderr, "tamsel-stripe: %s after %lld of %lld frames (%s)\n", report_.message.c_str(),
                     static_cast<long long>(report_.sent), static_cast<long long>(options_.frames),
                     report_.SendRange().c_str());
        return 130;
    }
    return 0;
}
