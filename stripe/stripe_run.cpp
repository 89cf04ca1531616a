#include "stripe_run.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "dv/dif/timecode.h"
#include "messages/stream_failure.h"

CStripeRun::CStripeRun(CStripeOptions& options, CStopSignals& signals)
    : options_(options), signals_(signals) {}

int CStripeRun::Fail(const std::string& text) {
    std::fprintf(stderr, "tamsel-stripe: %s\n", text.c_str());
    report_.result = "failed";
    report_.message = text;
    return 1;
}

int CStripeRun::Stopped() {
    const int sig = signals_.Requested();
    report_.result = "interrupted";
    report_.message = std::string("stopped by ") + CStopSignals::Name(sig);
    if (report_.sent > 0) {
        std::fprintf(stderr, "tamsel-stripe: %s after %lld of %lld frames (%s)\n", report_.message.c_str(),
                     static_cast<long long>(report_.sent), static_cast<long long>(options_.frames),
                     report_.SendRange().c_str());
    } else if (streamed_ > 0) {
        std::fprintf(stderr, "tamsel-stripe: %s after %lld of the pre-roll's %lld frames\n",
                     report_.message.c_str(), static_cast<long long>(streamed_),
                     static_cast<long long>(options_.PrerollFrames()));
    } else {
        std::fprintf(stderr, "tamsel-stripe: %s before anything was sent\n", report_.message.c_str());
    }
    return CStopSignals::ExitStatus(sig);
}

int CStripeRun::Run() {
    report_.tone = options_.tone;
    report_.level = options_.level;
    const std::string built = graph_.Build(options_, &report_);
    report_.requested = options_.frames;  // in the frames of the system Build settled
    // The leader as laid out in the labels of that system.
    if (options_.leader) {
        for (const CLeaderLayout::Segment& segment : options_.layout.Segments())
            report_.leader.push_back({segment.name, segment.start.Text(), segment.frames});
        report_.programStart = options_.programStart.Text();
        if (built.empty()) {
            std::fprintf(stderr, "tamsel-stripe: the leader starts at %s, so that the programme starts at %s\n",
                         options_.layout.Start().Text().c_str(), report_.programStart.c_str());
        }
    }
    // From here a stop request interrupts the device's waits at once.
    signals_.SetDevice(graph_.stream.get());
    int status = -1;
    if (signals_.Requested() != 0) {
        status = Stopped();
    } else if (!built.empty()) {
        status = Fail(built);
    }
    bool streamed = false;
    if (status < 0) {
        CDeckSession deck(graph_.transport.get(), graph_.reader.get(), signals_);
        deck.SetRate(options_.Rate());
        CRecordLoop loop(deck, report_.startFrame, options_.dropFrame, options_.Rate(), options_.PrerollFrames(),
                         options_.frames);
        status = Prepare(deck, &loop);
        if (status < 0) {
            streamed = true;
            status = Stream(deck, loop);
        }
        if (options_.record) loop.Report(&report_);
        // Whatever ended the run: the unit is stopped before anything more is written.
        deck.Stop();
    }
    signals_.SetRecording(false);
    signals_.SetDevice(nullptr);
    // With --verify the QC report that follows is the program's output: the summary goes to the
    // log, as text.
    if (options_.verify) {
        if (streamed || signals_.Requested() != 0) report_.Print(false, stderr);
    } else if (streamed || options_.json || signals_.Requested() != 0) {
        report_.Print(options_.json);
    }
    return status;
}

int CStripeRun::Prepare(CDeckSession& deck, CRecordLoop* loop) {
    // The tape first: nothing goes out to a device that cannot record it.
    const std::string problem = deck.CheckTape();
    if (signals_.Requested() != 0) return Stopped();
    if (!problem.empty()) return Fail(problem);
    if (options_.record) {
        const std::string refused = loop->Begin();
        if (signals_.Requested() != 0) {
            deck.Stop();
            return Stopped();
        }
        if (!refused.empty()) return Fail(refused);
        report_.recording = "commanded";
    } else {
        report_.recording = deck.Recording();
        if (signals_.Requested() != 0) return Stopped();
    }
    return -1;
}

bool CStripeRun::FromStopRequest(HRESULT status) const {
    // A stop request interrupts the device, which then ends the frame in flight with E_ABORT:
    // that is the stop itself, not a failure of the device.
    return status == E_ABORT && signals_.Requested() != 0;
}

std::string CStripeRun::StallInside(const DVStreamProgress& progress) const {
    // Repeated ticks before the first frame or after the last, in the pre-roll or the post-roll,
    // are no part of the stripe.
    if (report_.recording == "not-recording" || progress.longestGap <= 0 || progress.longestGapAfter <= 0 ||
        progress.longestGapAfter >= progress.framesSent || progress.longestGapAfter < options_.PrerollFrames() ||
        progress.longestGapAfter >= options_.PrerollFrames() + options_.frames) {
        return "";
    }
    char text[200];
    std::snprintf(text, sizeof text, "after %s the device repeated the last frame for %lld ticks, %.1f s (%s)",
                  options_.Label(StreamStart() + progress.longestGapAfter - 1).Text().c_str(),
                  static_cast<long long>(progress.longestGap), options_.Seconds(progress.longestGap),
                  "the picture stands still and the timecode breaks there");
    return text;
}

int64_t CStripeRun::StreamStart() const {
    return CRecordLoop::StreamStart(report_.startFrame, options_.PrerollFrames());
}

int CStripeRun::Stream(CDeckSession& deck, CRecordLoop& loop) {
    if (signals_.Requested() != 0) return Stopped();
    const HRESULT ran = graph_.control->Run();
    if (FAILED(ran)) {
        graph_.control->Stop();
        deck.Stop();
        if (signals_.Requested() != 0) return Stopped();
        return Fail(CStreamFailure::Describe(CStreamFailure::kStarting, 0, ran));
    }
    const int64_t preroll = options_.PrerollFrames();
    CStripeProgress progress(preroll + options_.frames, StreamStart(), options_.dropFrame, options_.pal,
                             isatty(STDERR_FILENO) == 1);
    std::string failure, onTape;
    bool complete = false;
    // With --record the unit is watched often (CRecordLoop paces its questions); else the events
    // alone.
    const DWORD wait = options_.record ? 20 : 200;
    while (!complete && failure.empty() && onTape.empty() && signals_.Requested() == 0) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        if (graph_.events->GetEvent(&code, &p1, &p2, wait) == S_OK) {
            if (code == EC_COMPLETE) {
                complete = true;
            } else if (CStreamFailure::EndsStreaming(code, p2) && !FromStopRequest(HRESULT(p1))) {
                failure = CStreamFailure::Describe(CStreamFailure::kStreaming, code, HRESULT(p1));
            }
            graph_.events->FreeEventParams(code, p1, p2);
        }
        if (!complete && failure.empty() && signals_.Requested() == 0 && options_.record && loop.Due()) {
            DVStreamProgress now {};
            graph_.stream->GetProgress(&now);
            onTape = loop.Step(now.framesSent);
            if (loop.Finished()) complete = true;
        }
        if (progress.Due() && !complete && failure.empty() && onTape.empty() && signals_.Requested() == 0) {
            DVStreamProgress now {};
            graph_.stream->GetProgress(&now);
            std::string position;
            deck.Position(&position);
            progress.Show(now, report_.recording != "not-recording", position);
        }
    }
    // The unit first when the tape lacks the start: nothing more of the stripe is recorded.
    if (!onTape.empty()) deck.Stop();
    // Stopping ends the transport on a whole frame; what comes to light only then is told too.
    graph_.control->Stop();
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    while (graph_.events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        if (failure.empty() && CStreamFailure::EndsStreaming(code, p2) && !FromStopRequest(HRESULT(p1))) {
            failure = CStreamFailure::Describe(CStreamFailure::kStreaming, code, HRESULT(p1));
        }
        graph_.events->FreeEventParams(code, p1, p2);
    }
    DVStreamProgress end {};
    graph_.stream->GetProgress(&end);
    streamed_ = end.framesSent;
    report_.sent = std::clamp<int64_t>(end.framesSent - preroll, 0, options_.frames);
    report_.repeated = end.framesRepeated;
    report_.recorded = end.framesRecorded;
    deck.Stop();
    progress.Clear();
    if (signals_.Requested() == 0) report_.positionKnown = deck.Position(&report_.position);
    // Exact now that the transport is closed: what left for the device and is not on its tape
    // (with a pre-roll, some of it is meant never to be).
    if (preroll == 0 && report_.recorded >= 0 && report_.recording != "not-recording" &&
        end.framesSent > report_.recorded) {
        std::fprintf(stderr, "tamsel-stripe: %lld frames sent did not reach the tape\n",
                     static_cast<long long>(end.framesSent - report_.recorded));
    }
    if (!failure.empty()) return Fail(failure);
    if (!onTape.empty()) return Fail(onTape);
    report_.stall = StallInside(end);
    if (signals_.Requested() != 0 && !complete) return Stopped();
    if (options_.record && signals_.Requested() == 0) {
        if (const std::string end = loop.End(report_.sent + preroll); !end.empty()) return Fail(end);
    }
    if (!report_.stall.empty()) return Fail("the tape holds a stall inside the stripe: " + report_.stall);
    return 0;
}

