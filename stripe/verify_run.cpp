#include "verify_run.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "capture_sink.h"
#include "check_progress.h"
#include "dv/dif/dif_layout.h"
#include "dv/dif/packs.h"
#include "graph/graph_recipe.h"
#include "messages/stream_failure.h"
#include "stripe_graph.h"
#include "stripe_report.h"
#include "tape_check.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point from) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count();
}

}  // namespace

std::optional<int64_t> CVerifyRun::LabelOf(const uint8_t* frame, size_t size) {
    const auto pack = dv::dif::FindTimecodePack(frame, size);
    if (!pack) return std::nullopt;
    const auto count = pack->label.Frame();
    if (!count) return std::nullopt;
    return int64_t(*count);
}

CVerifyRun::CVerifyRun(const CStripeOptions& options, CStopSignals& signals) : options_(options), signals_(signals) {}

std::optional<dv::Timecode> CVerifyRun::StartIn(const dv::Timecode& label, const dv::DvSystem& system) {
    if (!system.fiftyFields) return label;
    if (label.rate == 25) return label;
    if (label.dropFrame || label.frames >= 25) return std::nullopt;
    dv::Timecode start = label;
    start.rate = 25;
    return start;
}

std::string CVerifyRun::Expect(const CStripeOptions& options, bool stripe, const dv::DvSystem& system,
                               CTapeCheck::Expectation* expectation) {
    expectation->tone = options.tone;
    if (options.levelGiven || stripe) expectation->toneDbfs = options.level;
    if (options.leader) {
        // The leader laid out in the labels of the recording's system.
        CStripeOptions placed = options;
        if (std::string wrong = placed.ForSystem(system.fiftyFields); !wrong.empty()) return wrong;
        std::string file;
        const LONG bars = placed.LeaderBarsPattern(&file);
        const std::vector<LEADER_SEGMENT> segments = placed.layout.ForPlatform(bars, file);
        const int64_t first = placed.start.FirstShown().Frame().value_or(0);
        LEADER_PLACE place {};
        place.streamStart = static_cast<LONG>(first);  // frames are counted from the leader's first
        place.leaderStart = static_cast<LONG>(first);
        place.dropFrame = placed.start.dropFrame ? TRUE : FALSE;
        place.standard = system.fiftyFields ? REFERENCE_BARS_625_50 : REFERENCE_BARS_525_60;
        std::string why;
        std::optional<dv::LeaderPlan> plan =
            dv::LeaderPlan::Make(segments.data(), static_cast<LONG>(segments.size()), place, placed.tone, &why);
        if (!plan) return "--layout: " + why;
        expectation->leader = CTapeCheck::Expectation::Leader{std::move(*plan), first, placed.start.dropFrame,
                                                              placed.burnIn, placed.layoutText};
        expectation->start = placed.start;
        return "";
    }
    if (!stripe) return "";  // the picture the first frame shows
    if (const std::optional<LONG> named = options.NamedPattern()) {
        expectation->picture = CPicturePatches::OfReferenceBars(*named);
    } else if (options.pattern.empty()) {
        // The system's own bars: the colour-bar filter's picture in 525/60, EBU 75 % in 625/50.
        expectation->picture = system.fiftyFields ? CPicturePatches::kEbu75 : CPicturePatches::kColourBars;
    } else {
        expectation->pictureFile = true;
    }
    return "";
}

int CVerifyRun::Run(const Plan& plan) {
    CQcReport report;
    const std::string failed = Check(plan, report);
    if (!failed.empty() && report.failure.empty()) report.failure = failed;
    if (signals_.Requested() != 0) {
        report.interrupted = true;
        report.failure = std::string("stopped by ") + CStopSignals::Name(signals_.Requested());
    }
    if (!report.failure.empty() && !report.interrupted) std::fprintf(stderr, "tamsel-stripe: %s\n", report.failure.c_str());
    report.Print(options_.json);
    if (report.interrupted) return CStopSignals::ExitStatus(signals_.Requested());
    return report.Good() ? 0 : 1;
}

std::string CVerifyRun::Check(const Plan& plan, CQcReport& report) {
    CStripeGraph device;
    CStripeReport about;
    if (std::string why = device.OpenDevice(options_, &about); !why.empty()) return why;
    report.source = about.deviceName + " " + about.deviceId;
    CComRef<IDVDeviceStream> stream;
    device.device->QueryInterface(IID_IDVDeviceStream, stream.outVoid());
    signals_.SetDevice(stream.get());
    struct DeviceGiveBack {  // the signals hold the device only while this run does
        CStopSignals& signals;
        ~DeviceGiveBack() { signals.SetDevice(nullptr); }
    } giveBack {signals_};

    CComRef<IGraphBuilder> graph;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.outVoid())))
        return "the platform's graph manager cannot be created";
    // The unit's system: the frames it plays back, their counting, and a length given in seconds.
    LONG standard = DV_STANDARD_525_60;
    if (!stream || FAILED(stream->GetDeviceStandard(&standard))) standard = DV_STANDARD_525_60;
    const dv::DvSystem& system = standard == DV_STANDARD_625_50 ? dv::k625_50 : dv::k525_60;
    Plan wanted = plan;
    if (plan.start) {
        wanted.start = StartIn(*plan.start, system);
        if (!wanted.start) return "--timecode " + plan.start->Text() + " is no label of " + system.name;
    }
    if (!plan.stripe && system.fiftyFields && !options_.durationText.empty()) {
        wanted.frames = dv::ParseDuration(options_.durationText, system.timecodeRate).value_or(0);
        if (wanted.frames <= 0) return "--duration " + options_.durationText + " is no length of " + system.name;
    }
    CComRef<CCaptureSink> sink;
    *sink.out() = new CCaptureSink(size_t(system.frameBytes));
    CComRef<IPin> out, in;
    if (FAILED(graph->AddFilter(device.device.get(), u"DV device")) || FAILED(graph->AddFilter(sink.get(), u"Capture")))
        return "the capture graph cannot be built";
    if (const HRESULT hr = CGraphRecipe::Connect(graph.get(), device.device.get(), "DV A/V Out", sink.get(), "In",
                                                 out.out(), in.out());
        FAILED(hr)) {
        return hr == VFW_E_NOT_FOUND ? "the DV device offers no capture (it has no \"DV A/V Out\")"
                                     : "the DV device's output cannot be captured";
    }
    CComRef<IMediaControl> control;
    CComRef<IMediaEvent> events;
    graph->QueryInterface(IID_IMediaControl, control.outVoid());
    graph->QueryInterface(IID_IMediaEvent, events.outVoid());
    if (!control || !events) return "the capture graph cannot be controlled";
    IAMExtTransport* transport = device.transport.get();

    // Whatever ends the check from here: the unit stopped, then the graph.
    struct Ending {
        IAMExtTransport* transport;
        IMediaControl* control;
        ~Ending() {
            transport->put_Mode(ED_MODE_STOP);
            control->Stop();
        }
    } ending {transport, control.get()};

    if (wanted.start) {
        if (const HRESULT hr = transport->put_Mode(ED_MODE_REW); FAILED(hr)) {
            if (signals_.Requested() != 0) return "";
            return hr == E_NOTIMPL ? "the DV device cannot rewind its tape" : "the DV device did not rewind its tape";
        }
        std::fprintf(stderr, "tamsel-stripe: rewinding the tape\n");
        const Clock::time_point began = Clock::now();
        LONG mode = ED_MODE_REW;
        while (signals_.Requested() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (SUCCEEDED(transport->get_Mode(&mode)) && mode != ED_MODE_REW) break;
            if (MsSince(began) > kWindLimitMs) return "the DV device did not finish rewinding";
        }
        if (signals_.Requested() != 0) return "";
    }
    if (const HRESULT hr = control->Run(); FAILED(hr)) {
        if (signals_.Requested() != 0) return "";
        return CStreamFailure::Describe(CStreamFailure::kStarting, 0, hr);
    }
    if (const HRESULT hr = transport->put_Mode(ED_MODE_PLAY); FAILED(hr)) {
        if (signals_.Requested() != 0) return "";
        return "the DV device did not play its tape";
    }

    CTapeCheck::Expectation expectation;
    expectation.start = wanted.start;
    if (std::string why = Expect(options_, plan.stripe, system, &expectation); !why.empty()) return why;
    CTapeCheck check(expectation, report, system);
    CCheckProgress progress(wanted.frames, isatty(STDERR_FILENO) != 0);
    const int64_t startCount = wanted.start ? int64_t(wanted.start->Frame().value_or(0)) : 0;
    bool checking = !wanted.start;
    int64_t skipped = 0;
    std::vector<uint8_t> frame;
    Clock::time_point lastFrame = Clock::now();
    std::string failure;
    while (check.Frames() < wanted.frames && signals_.Requested() == 0 && failure.empty()) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            if (failure.empty() && CStreamFailure::EndsStreaming(code, p2))
                failure = CStreamFailure::Describe(CStreamFailure::kStreaming, code, HRESULT(p1));
            events->FreeEventParams(code, p1, p2);
        }
        if (!failure.empty()) break;
        const CCaptureSink::TakeResult took = sink->Take(&frame, 100);
        if (took == CCaptureSink::kEnded) {
            failure = "the DV device's stream ended";
            break;
        }
        if (took == CCaptureSink::kNone) {
            if (MsSince(lastFrame) > kSilenceMs) failure = "the DV device sent nothing for 5 seconds";
            continue;
        }
        lastFrame = Clock::now();
        if (!checking) {
            // Before the start: the pre-roll, blank tape before the recording.
            const std::optional<int64_t> label = LabelOf(frame.data(), frame.size());
            if (!label || *label < startCount) {
                if (++skipped > kMaxSkipFrames) failure = "the start " + wanted.start->Text() + " was not found on the tape";
                continue;
            }
            checking = true;
        }
        if (!check.Add(frame.data())) break;
        if (progress.Due()) progress.Show(check.Frames(), report.lastLabel, report.Ranges().size());
    }
    progress.Clear();
    check.Finish();
    return failure;
}
