#include "verify_file.h"

#include <unistd.h>

#include <cstdio>

#include "check_progress.h"
#include "dv/dif/dif_layout.h"
#include "dv_file.h"
#include "messages/quoted_name.h"
#include "qc_report.h"
#include "tape_check.h"
#include "verify_run.h"

CVerifyFile::CVerifyFile(const CStripeOptions& options, CStopSignals& signals)
    : options_(options), signals_(signals) {}

int CVerifyFile::Run() {
    CQcReport report;
    report.source = options_.verifyFile;
    CDvFile file;
    if (const std::string why = file.Open(options_.verifyFile); !why.empty()) {
        std::fprintf(stderr, "tamsel-stripe: %s: %s\n", CQuotedName::Shell(options_.verifyFile).c_str(), why.c_str());
        report.failure = why;
        if (options_.json) report.Print(true);
        return 1;
    }
    CTapeCheck::Expectation expectation;
    if (options_.timecodeGiven) {
        const auto start = CVerifyRun::StartIn(options_.checkStart, file.System());
        if (!start) {
            report.failure = "--timecode " + options_.checkStart.Text() + " is no label of " + file.System().name;
            std::fprintf(stderr, "tamsel-stripe: %s\n", report.failure.c_str());
            if (options_.json) report.Print(true);
            return 1;
        }
        expectation.start = *start;
    }
    if (const std::string why = CVerifyRun::Expect(options_, false, file.System(), &expectation); !why.empty()) {
        report.failure = why;
        std::fprintf(stderr, "tamsel-stripe: %s: %s\n", CQuotedName::Shell(options_.verifyFile).c_str(), why.c_str());
        if (options_.json) report.Print(true);
        return 1;
    }
    CTapeCheck check(expectation, report, file.System());
    CCheckProgress progress(file.Frames(), isatty(STDERR_FILENO) != 0);
    // A leader recorded with --record has its pre-roll before its first label: passed over, as a
    // check by playback passes it over, up to CVerifyRun::kMaxSkipFrames.
    const int64_t leaderStart = expectation.leader ? expectation.leader->startFrame : 0;
    bool beforeLeader = expectation.leader.has_value();
    int64_t preroll = 0;
    bool going = true;
    while (going) {
        if (signals_.Requested() != 0) {
            report.interrupted = true;
            report.failure = std::string("stopped by ") + CStopSignals::Name(signals_.Requested());
            break;
        }
        switch (file.Next()) {
            case CDvFile::kFrame:
                if (beforeLeader) {
                    const std::optional<int64_t> label = CVerifyRun::LabelOf(file.Frame(), size_t(file.System().frameBytes));
                    if (label && *label < leaderStart && preroll < CVerifyRun::kMaxSkipFrames) {
                        ++preroll;
                        break;
                    }
                    beforeLeader = false;
                }
                going = check.Add(file.Frame());
                break;
            case CDvFile::kPartial:
                check.AddPartial(file.PartialBytes());
                going = false;
                break;
            case CDvFile::kEnd:
                going = false;
                break;
            case CDvFile::kFailed:
                report.failure = "reading failed: " + file.Failure();
                going = false;
                break;
        }
        if (progress.Due()) progress.Show(check.Frames(), report.lastLabel, report.Ranges().size());
    }
    progress.Clear();
    if (check.Frames() == 0 && report.failure.empty() && preroll > 0)
        report.failure = "no frame of the leader: the " + std::to_string(preroll) + " frames read are before " +
                         expectation.start.value_or(dv::Timecode{}).FirstShown().Text();
    if (check.Frames() == 0 && report.failure.empty())
        report.failure = "shorter than one frame (" + std::to_string(file.PartialBytes()) + " of " +
                         std::to_string(file.System().frameBytes) + " bytes" +
                         (file.System().fiftyFields ? std::string(", 625/50 (PAL) as its header says") : std::string()) +
                         "): not a DV recording";
    check.Finish();
    if (preroll > 0)
        report.checked.push_back("the leader from its first label (" + std::to_string(preroll) +
                                 " frame" + (preroll == 1 ? "" : "s") + " of pre-roll before it passed over)");
    if (!report.failure.empty() && !report.interrupted)
        std::fprintf(stderr, "tamsel-stripe: %s: %s\n", CQuotedName::Shell(options_.verifyFile).c_str(),
                     report.failure.c_str());
    report.Print(options_.json);
    if (report.interrupted) return CStopSignals::ExitStatus(signals_.Requested());
    return report.Good() ? 0 : 1;
}
