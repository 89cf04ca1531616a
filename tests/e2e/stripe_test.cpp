// tamsel-stripe onto the virtual deck and onto a camcorder on the simulated IEEE 1394 bus, run as
// a user runs it: the exact length of bars and tone with the chosen timecode on the tape, record
// commanded only with --record, the refusals (no tape, write-protected), and the ends of a run
// cut short (the deck killed, the camcorder unplugged, SIGINT).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "dv/dif/audio_shuffle.h"
#include "dv/dif/packs.h"
#include "tests/support/dv/bar_levels.h"
#include "tests/support/dv/dv_picture.h"
#include "tests/support/dv/deck_test_process.h"
#include "tests/support/dv/libdv_judge.h"
#include "tests/support/process.h"
#include "tests/support/sim1394/tape_frames.h"
#include "tests/support/tone_analysis.h"

using decktest::DeckProcess;
using decktest::kFrameBytes;
using decktest::NowMs;
using decktest::TempDir;
using testsupport::BuildFile;
using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::Shell;
using namespace dvtest::bar_levels;

namespace {

// One run of tamsel-stripe, its output in files of `dir`.
class StripeRun {
public:
    StripeRun(std::string dir, std::vector<std::string> args) : dir_(std::move(dir)) {
        args.insert(args.begin(), BuildFile("tamsel-stripe"));
        testsupport::ProcessOptions options;
        options.out = testsupport::Sink::ToFile(dir_ + "/stripe.out");
        options.err = testsupport::Sink::ToFile(dir_ + "/stripe.err");
        options.env = {std::string(PLATFORM_STATE_DIR_ENV) + "=" + testsupport::StateDir()};
        pid_ = testsupport::StartProcess(args, options).pid;
    }
    ~StripeRun() { testsupport::KillProcess(pid_); }
    // The exit status; bounded at 120 s for a broken program (not a speed check), -1 then.
    int Wait() {
        const int status = testsupport::WaitProcess(pid_, 120000);
        pid_ = -1;
        return status;
    }
    void Signal(int sig) { kill(pid_, sig); }
    pid_t pid() const { return pid_; }
    std::string Out() const { return ReadFile(dir_ + "/stripe.out"); }
    std::string Err() const { return ReadFile(dir_ + "/stripe.err"); }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

off_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Waits (bounded) until the tape holds at least `frames` frames.
bool WaitForFrames(const std::string& tape, off_t frames) {
    const int64_t end = NowMs() + 60000;
    while (NowMs() < end) {
        if (FileSize(tape) >= frames * off_t(kFrameBytes)) return true;
        usleep(20000);
    }
    return false;
}

size_t SamplesBefore(int frame) {
    static const size_t kWithin[5] = {0, 1600, 3202, 4804, 6406};
    return size_t(frame / 5) * 8008 + kWithin[frame % 5];
}

// How many VAUX packs of type `type` sequence 0 of a frame holds (blocks 3 to 5, 15 packs each).
int VauxPacks(const uint8_t* frame, uint8_t type) {
    int count = 0;
    for (int block = 3; block <= 5; ++block) {
        for (int pack = 0; pack < 15; ++pack) {
            if (frame[block * 80 + 3 + pack * 5] == type) ++count;
        }
    }
    return count;
}

// The state letter of a process in /proc (R, S, T for stopped, ...); '?' when it is gone.
char ProcessState(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

// Waits (bounded, for a broken program) until `done` holds.
template <typename Done>
bool WaitUntil(Done done) {
    const int64_t end = NowMs() + 60000;
    while (NowMs() < end) {
        if (done()) return true;
        usleep(20000);
    }
    return false;
}

// A control call to the deck, as a camcorder's own buttons: `request` (play, stop, record).
bool PressOnDeck(const std::string& socket, dv::deck::HelloRequest request) {
    const int fd = decktest::RawConnect(socket, /*hello=*/false);
    if (fd < 0) return false;
    struct {
        dv::deck::MessageHeader header;
        dv::deck::HelloBody body;
    } hello {{uint32_t(dv::deck::MessageType::Hello), sizeof(dv::deck::HelloBody)},
             {dv::deck::kMagic, dv::deck::kVersion, uint32_t(kFrameBytes), uint32_t(request)}};
    dv::deck::StatusBody reply {};
    const bool ok = send(fd, &hello, sizeof hello, MSG_NOSIGNAL) == ssize_t(sizeof hello) &&
                    decktest::ReadReply(fd, &reply);
    close(fd);
    return ok;
}

// The JSON summary of a run; fails the test when it is not one valid JSON object in UTF-8.
nlohmann::json Summary(const std::string& out) {
    try {
        return nlohmann::json::parse(out);
    } catch (const nlohmann::json::exception& e) {
        ADD_FAILURE() << "not JSON (" << e.what() << "):\n" << out;
        return nlohmann::json::object();
    }
}

const char* SignalName(int sig) {
    switch (sig) {
        case SIGHUP: return "SIGHUP";
        case SIGINT: return "SIGINT";
        case SIGQUIT: return "SIGQUIT";
        case SIGTERM: return "SIGTERM";
        default: return "?";
    }
}

// The status a run stopped by the signal ends with, as the manual page lists it: SIGTERM as
// Ctrl-C, the others 128 + their number.
int StoppedStatus(int sig) {
    switch (sig) {
        case SIGHUP: return 129;
        case SIGINT: return 130;
        case SIGQUIT: return 131;
        case SIGTERM: return 130;
        default: return -1;
    }
}

// The tape holds exactly `frames` frames of bars and tone as striping puts them there: the
// recording date and time packs in every frame, and on both channels a 1 kHz tone at -20 dBFS
// that runs on across every frame join (FFmpeg decodes the audio).
void ExpectStripedTape(const std::string& tape, int frames) {
    const std::string bytes = ReadFile(tape);
    ASSERT_EQ(bytes.size(), size_t(frames) * kFrameBytes);
    for (size_t k = 0; k < size_t(frames); ++k) {
        const auto* frame = reinterpret_cast<const uint8_t*>(bytes.data()) + k * kFrameBytes;
        ASSERT_GE(VauxPacks(frame, 0x62), 1) << "frame " << k << " has no recording date pack";
        ASSERT_GE(VauxPacks(frame, 0x63), 1) << "frame " << k << " has no recording time pack";
    }

    std::string output;
    ASSERT_EQ(Shell("ffmpeg -v error -y -i " + Quote(tape) + " -map 0:a -f s16le -acodec pcm_s16le " +
                        Quote(tape + ".s16"), &output), 0) << output;
    const std::string raw = ReadFile(tape + ".s16");
    std::vector<int16_t> left, right;
    for (size_t i = 0; i + 3 < raw.size(); i += 4) {
        int16_t l, r;
        std::memcpy(&l, raw.data() + i, 2);
        std::memcpy(&r, raw.data() + i + 2, 2);
        left.push_back(l);
        right.push_back(r);
    }
    ASSERT_EQ(left.size(), SamplesBefore(frames));
    EXPECT_EQ(left, right);
    std::vector<size_t> joins;
    for (int k = 1; k < frames; ++k) joins.push_back(SamplesBefore(k));
    const testsupport::ToneFit fit = testsupport::FitTone(left, 48000, 1000, joins);
    EXPECT_NEAR(fit.frequency, 1000.0, 1.0);
    EXPECT_NEAR(fit.levelDbfs, -20.0, 0.5);
    EXPECT_LE(fit.maxJoinResidual, 2.0);
    EXPECT_LE(fit.maxResidual, 2.0);
}

class Stripe : public testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* piece : {"tamsel.ax", "colorbar.dat", "dvfilters.so", "regsvr", "dvdeck", "tamsel-stripe"}) {
            ASSERT_EQ(access(BuildFile(piece).c_str(), F_OK), 0) << piece << " is not built";
        }
        ASSERT_EQ(Shell("ffmpeg -version >/dev/null"), 0) << "ffmpeg is not installed (scripts/install-deps.sh)";
        ASSERT_EQ(Shell("cd '" + testsupport::BuildDir() + "' && ./regsvr tamsel.ax >/dev/null"), 0);
    }
    TempDir dir;
    std::string tape = dir.path() + "/tape.dv";
};

TEST_F(Stripe, RecordPutsExactlyTheLengthWithTimecodeDateAndToneOntoAStoppedDeck) {
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
    StripeRun run(dir.path(), {"--record", "--preroll", "0", "--duration", "10", "--timecode", "00:58:00;00",
                               "--tone", "--json"});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    ASSERT_TRUE(deck.Finish());

    // Without pre-roll: the deck went into record before the sender came, and back to stop once it had left.
    const std::string log = deck.Output();
    const size_t record = log.find("dvdeck: mode record"), sender = log.find("dvdeck: sender connected"),
                 stop = log.find("dvdeck: mode stop");
    ASSERT_NE(record, std::string::npos) << log;
    ASSERT_NE(stop, std::string::npos) << log;
    EXPECT_LT(record, sender);
    EXPECT_LT(log.find("dvdeck: sender finished"), stop);
    EXPECT_EQ(deck.ReportValue("mode"), "stop");
    // 00:58:00;00 is a label drop-frame counting skips: the count starts at ;02 of that second.
    EXPECT_EQ(deck.ReportValue("frames"), "300");
    EXPECT_EQ(deck.ReportValue("timecode"), "00:58:00;02 - 00:58:10;01");
    EXPECT_EQ(deck.ReportValue("timecode breaks"), "0");
    EXPECT_EQ(deck.ReportValue("frames shown, not recorded"), "0");

    ExpectStripedTape(tape, 300);

    const std::string json = run.Out();
    EXPECT_NE(json.find("\"result\": \"complete\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"frames_sent\": 300"), std::string::npos) << json;
    EXPECT_NE(json.find("\"frames_recorded\": 300"), std::string::npos) << json;
    EXPECT_NE(json.find("\"recording\": \"commanded\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"tape_position\": \"00:58:10;01\""), std::string::npos) << json;
}

TEST_F(Stripe, WithoutRecordAStoppedDeckRecordsNothingAndTheProgramSaysSo) {
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
    StripeRun run(dir.path(), {"--duration", "2", "--no-tone"});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_NE(run.Err().find("the device is not recording"), std::string::npos) << run.Err();
    EXPECT_NE(run.Out().find("60 of 60 frames sent"), std::string::npos) << run.Out();
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ(deck.Output().find("dvdeck: mode record"), std::string::npos) << "record was never asked for";
    EXPECT_EQ(deck.ReportValue("frames"), "0");
    EXPECT_EQ(deck.ReportValue("frames shown, not recorded"), "60");
    EXPECT_EQ(FileSize(tape), 0);
}

TEST_F(Stripe, NoTapeOrAWriteProtectedTapeIsToldAndNothingIsSent) {
    struct Case {
        std::vector<std::string> deckOptions;
        const char* message;
    };
    for (const Case& c : {Case{{"--no-tape"}, "there is no tape in the device"},
                          Case{{"--protected", "--stopped"}, "the tape in the device is write-protected"}}) {
        SCOPED_TRACE(c.message);
        ASSERT_EQ(Shell("printf 'old programme' > " + Quote(tape)), 0);
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, c.deckOptions));
        for (const bool record : {true, false}) {
            std::vector<std::string> args = {"--duration", "2"};
            if (record) args.push_back("--record");
            StripeRun run(dir.path(), args);
            EXPECT_EQ(run.Wait(), 1) << run.Err();
            EXPECT_NE(run.Err().find(c.message), std::string::npos) << run.Err();
            EXPECT_NE(run.Err().find("nothing was sent"), std::string::npos) << run.Err();
        }
        ASSERT_TRUE(deck.Finish());
        EXPECT_EQ(deck.Output().find("sender connected"), std::string::npos) << deck.Output();
        EXPECT_EQ(deck.ReportValue("frames shown, not recorded"), "0");
        EXPECT_EQ(ReadFile(tape), "old programme") << "the tape must be left as it was";
    }
}

TEST_F(Stripe, RunsCutShortEndWithWholeFramesAndSayWhy) {
    {
        SCOPED_TRACE("the deck killed mid-run");
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(tape));
        StripeRun run(dir.path(), {"--duration", "60"});
        ASSERT_TRUE(WaitForFrames(tape, 30)) << run.Err();
        deck.Signal(SIGKILL);
        EXPECT_EQ(run.Wait(), 1) << run.Err();
        EXPECT_NE(run.Err().find("DV出力が中断されました。"), std::string::npos) << run.Err();
        EXPECT_NE(run.Err().find("DV機器が取り外されたか、接続が切れました。"), std::string::npos) << run.Err();
        decktest::WaitForTapeLock(tape);
        EXPECT_EQ(FileSize(tape) % off_t(kFrameBytes), 0) << "whole frames only";
    }
    unlink(tape.c_str());
    {
        SCOPED_TRACE("SIGINT mid-run");
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
        StripeRun run(dir.path(), {"--record", "--preroll", "0", "--duration", "60"});
        ASSERT_TRUE(WaitForFrames(tape, 30)) << run.Err();
        run.Signal(SIGINT);
        EXPECT_EQ(run.Wait(), 128 + SIGINT) << run.Err();
        EXPECT_NE(run.Err().find("stopped by SIGINT after"), std::string::npos) << run.Err();
        EXPECT_NE(run.Out().find("interrupted:"), std::string::npos) << run.Out();
        ASSERT_TRUE(deck.Finish());
        EXPECT_EQ(deck.ReportValue("mode"), "stop") << "the deck we started must be stopped";
        EXPECT_EQ(deck.ReportValue("timecode breaks"), "0");
        EXPECT_EQ(FileSize(tape) % off_t(kFrameBytes), 0);
        EXPECT_GE(FileSize(tape), 30 * off_t(kFrameBytes));
    }
}

TEST_F(Stripe, UsageErrorsEndWithStatusTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--duration", "ten"}, {"--duration", "10", "--tone", "5"},
          {"--duration", "10", "--timecode", "25:00:00;00"}, {"--duration", "10", "--tone", "--no-tone"},
          {"--duration", "10", "extra"}, {"--bogus"}}) {
        StripeRun run(dir.path(), args);
        EXPECT_EQ(run.Wait(), 2) << run.Err();
        EXPECT_NE(run.Err().find("usage: tamsel-stripe"), std::string::npos) << run.Err();
    }
    StripeRun help(dir.path(), {"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.Out().find("--record"), std::string::npos);
}

// ---- record safety on the virtual deck -----------------------------------------------------------

// Every signal whose default would end the program stops the run as Ctrl-C does: the deck is back
// in stop, the tape holds whole frames, the summary says how much was sent, and the status is
// the signal's own (129 SIGHUP, 131 SIGQUIT, 130 SIGTERM as for Ctrl-C). With its standard output and error gone (a terminal closed), the
// deck is stopped all the same.
TEST_F(Stripe, EverySignalThatWouldEndTheProgramStopsTheDeckAndEndsWithItsOwnStatus) {
    for (const int sig : {SIGHUP, SIGQUIT, SIGTERM}) {
        SCOPED_TRACE(SignalName(sig));
        unlink(tape.c_str());
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
        StripeRun run(dir.path(), {"--record", "--preroll", "0", "--duration", "60", "--no-tone"});
        ASSERT_TRUE(WaitForFrames(tape, 30)) << run.Err();
        run.Signal(sig);
        EXPECT_EQ(run.Wait(), StoppedStatus(sig)) << run.Err();
        EXPECT_NE(run.Err().find(std::string("stopped by ") + SignalName(sig) + " after"), std::string::npos)
            << run.Err();
        const std::string out = run.Out();
        EXPECT_NE(out.find("interrupted: "), std::string::npos) << out;
        EXPECT_NE(out.find(" of 1800 frames sent"), std::string::npos) << out;
        ASSERT_TRUE(deck.Finish());
        EXPECT_EQ(deck.ReportValue("mode"), "stop") << deck.Output();
        EXPECT_EQ(FileSize(tape) % off_t(kFrameBytes), 0);
        EXPECT_GE(FileSize(tape), 30 * off_t(kFrameBytes));
    }

    SCOPED_TRACE("SIGHUP with standard output and error gone");
    unlink(tape.c_str());
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
    testsupport::ProcessOptions options;
    options.out = testsupport::Sink::ToPipe();
    options.err = testsupport::Sink::ToOutput();
    options.env = {std::string(PLATFORM_STATE_DIR_ENV) + "=" + testsupport::StateDir()};
    const testsupport::Process stripe =
        testsupport::StartProcess({BuildFile("tamsel-stripe"), "--record", "--duration", "60"}, options);
    ASSERT_TRUE(WaitForFrames(tape, 30));
    close(stripe.output);  // every later write fails (EPIPE)
    kill(stripe.pid, SIGHUP);
    EXPECT_EQ(testsupport::WaitProcess(stripe.pid, 120000), 128 + SIGHUP);
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ(deck.ReportValue("mode"), "stop") << deck.Output();
    EXPECT_EQ(FileSize(tape) % off_t(kFrameBytes), 0);
}

// A stop asked for while the program still waits for the deck's first answer (the deck frozen)
// ends the run without RECORD ever being commanded: the deck, once it runs again, must not find a
// record request waiting for it.
TEST_F(Stripe, AStopBeforeRecordNeverRecordsEvenWhenTheDeckAnswersLater) {
    for (const int sig : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(SignalName(sig));
        unlink(tape.c_str());
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
        deck.Signal(SIGSTOP);
        StripeRun run(dir.path(), {"--record", "--duration", "10"});
        usleep(300000);
        run.Signal(sig);
        EXPECT_EQ(run.Wait(), StoppedStatus(sig)) << run.Err();
        EXPECT_NE(run.Err().find(std::string("stopped by ") + SignalName(sig)), std::string::npos) << run.Err();
        deck.Signal(SIGCONT);
        // The deck takes what waited in its queue; then nothing must have asked it to record.
        usleep(500000);
        ASSERT_TRUE(deck.Finish());
        EXPECT_EQ(deck.Output().find("dvdeck: mode record"), std::string::npos) << deck.Output();
        EXPECT_EQ(deck.Output().find("sender connected"), std::string::npos) << deck.Output();
        EXPECT_LE(FileSize(tape), 0) << "nothing recorded";
    }
}

// Ctrl-Z while the deck records would leave it recording one frame over and over: refused, with
// the way to stop said; while nothing records, the program is suspended as any other.
TEST_F(Stripe, CtrlZIsRefusedWhileTheDeckRecordsAndObeyedOtherwise) {
    {
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
        StripeRun run(dir.path(), {"--record", "--preroll", "0", "--duration", "4", "--no-tone"});
        ASSERT_TRUE(WaitForFrames(tape, 20)) << run.Err();
        run.Signal(SIGTSTP);
        EXPECT_TRUE(WaitUntil([&] { return run.Err().find("Ctrl-C stops the run") != std::string::npos; }))
            << run.Err();
        EXPECT_NE(ProcessState(run.pid()), 'T') << "suspended while the deck records";
        EXPECT_EQ(run.Wait(), 0) << run.Err();
        ASSERT_TRUE(deck.Finish());
        EXPECT_EQ(deck.ReportValue("frames"), "120");
        EXPECT_EQ(deck.ReportValue("timecode breaks"), "0");
    }
    unlink(tape.c_str());
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
    StripeRun run(dir.path(), {"--duration", "30", "--no-tone"});
    ASSERT_TRUE(WaitUntil([&] { return run.Err().find("the device is not recording") != std::string::npos; }));
    run.Signal(SIGTSTP);
    EXPECT_TRUE(WaitUntil([&] { return ProcessState(run.pid()) == 'T'; })) << "not suspended";
    run.Signal(SIGCONT);
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), 128 + SIGINT) << run.Err();
}

// A stripe with a stall inside it (the sender held up while the deck went on recording the last
// frame again) has a break in its timecode and a frozen picture on tape: a failure, told with
// where it is and how long it lasted.
TEST_F(Stripe, AStallInsideTheStripeFailsAndSaysWhereAndHowLong) {
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
    StripeRun run(dir.path(), {"--record", "--preroll", "0", "--duration", "6", "--no-tone", "--timecode", "01:00:00;00"});
    ASSERT_TRUE(WaitForFrames(tape, 30)) << run.Err();
    run.Signal(SIGSTOP);  // cannot be refused: as a machine too busy to feed the deck
    usleep(1500000);
    run.Signal(SIGCONT);
    EXPECT_EQ(run.Wait(), 1) << run.Err();
    const std::string err = run.Err();
    EXPECT_NE(err.find("stall"), std::string::npos) << err;
    EXPECT_NE(err.find(" after 01:00:0"), std::string::npos) << "where: " << err;
    EXPECT_NE(err.find(" s ("), std::string::npos) << "how long: " << err;
    EXPECT_NE(run.Out().find("failed: 180 of 180 frames sent"), std::string::npos) << run.Out();
    EXPECT_NE(run.Out().find("ticks without a new frame"), std::string::npos) << run.Out();
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ(deck.ReportValue("mode"), "stop");
}

// A deck left recording (by a run killed with SIGKILL, or by someone else) is not striped over:
// --record refuses, --status says what the deck does, and --stop stops it.
TEST_F(Stripe, ADeckFoundRecordingIsRefusedAndCanBeAskedAndStoppedWithTheProgram) {
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape));  // in record, as after REC
    {
        StripeRun status(dir.path(), {"--status"});
        EXPECT_EQ(status.Wait(), 0) << status.Err();
        EXPECT_NE(status.Out().find("mode record"), std::string::npos) << status.Out();
        EXPECT_NE(status.Out().find("tape writable"), std::string::npos) << status.Out();
    }
    {
        StripeRun run(dir.path(), {"--record", "--duration", "2"});
        EXPECT_EQ(run.Wait(), 1) << run.Err();
        EXPECT_NE(run.Err().find("the device is already recording"), std::string::npos) << run.Err();
        EXPECT_NE(run.Err().find("tamsel-stripe --stop"), std::string::npos) << run.Err();
        EXPECT_NE(run.Err().find("nothing was sent"), std::string::npos) << run.Err();
    }
    {
        StripeRun stop(dir.path(), {"--stop"});
        EXPECT_EQ(stop.Wait(), 0) << stop.Err();
    }
    StripeRun status(dir.path(), {"--status", "--json"});
    EXPECT_EQ(status.Wait(), 0) << status.Err();
    EXPECT_EQ(Summary(status.Out()).value("mode", ""), "stop") << status.Out();
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ(deck.Output().find("sender connected"), std::string::npos) << deck.Output();
    EXPECT_EQ(deck.ReportValue("mode"), "stop");
    EXPECT_LE(FileSize(tape), 0) << "nothing recorded";
}

// Without --record the summary says what the deck was doing: recording only in record, whatever
// else it does (play, stop).
TEST_F(Stripe, WithoutRecordTheSummarySaysWhetherTheDeckRecordsInEachMode) {
    struct Case {
        const char* mode;
        dv::deck::HelloRequest press;
        const char* recording;
    };
    for (const Case& c : {Case{"play", dv::deck::HelloRequest::Play, "not-recording"},
                          Case{"stop", dv::deck::HelloRequest::Stop, "not-recording"},
                          Case{"record", dv::deck::HelloRequest::Record, "device"}}) {
        SCOPED_TRACE(c.mode);
        unlink(tape.c_str());
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
        ASSERT_TRUE(PressOnDeck(deck.SocketPath(), c.press));
        StripeRun run(dir.path(), {"--duration", "1", "--no-tone", "--json"});
        EXPECT_EQ(run.Wait(), 0) << run.Err();
        EXPECT_EQ(Summary(run.Out()).value("recording", ""), c.recording) << run.Out();
        EXPECT_EQ(run.Err().find("the device is not recording") == std::string::npos,
                  std::string(c.recording) == "device")
            << run.Err();
        ASSERT_TRUE(deck.Finish());
        EXPECT_EQ(deck.ReportValue("frames"), std::string(c.recording) == "device" ? "30" : "0");
    }
}

// The JSON summary stays one valid object whatever the texts it reports hold (control characters,
// line breaks, bytes that are no UTF-8), and names in messages reach the terminal quoted as the
// shell would need them, never with their control characters raw.
TEST_F(Stripe, JsonStaysValidAndNamesAreQuotedWhateverTheyHold) {
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape));
    const std::string wanted = "no\tsuch \x1b[31m\x01 device \xff";
    StripeRun run(dir.path(), {"--duration", "1", "--device", wanted, "--json"});
    EXPECT_EQ(run.Wait(), 1) << run.Err();
    const nlohmann::json summary = Summary(run.Out());
    EXPECT_EQ(summary.value("result", ""), "failed") << run.Out();
    const std::string message = summary.value("message", "");
    EXPECT_NE(message.find("no DV device matches"), std::string::npos) << message;
    EXPECT_NE(message.find('\n'), std::string::npos) << "the list of attached devices, a line each: " << message;
    const std::string err = run.Err();
    EXPECT_NE(err.find("'no'$'\\t''such '$'\\033''[31m'$'\\001'' device '$'\\377'"), std::string::npos) << err;
    for (const char raw : {'\t', '\x1b', '\x01', '\xff'}) EXPECT_EQ(err.find(raw), std::string::npos) << int(raw);
    ASSERT_TRUE(deck.Finish());
}

// A label drop-frame counting skips starts at ;02 of its second, whichever of the two is given.
TEST_F(Stripe, ASkippedLabelGivenAtItsSecondFrameStartsAtTheThird) {
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
    StripeRun run(dir.path(), {"--record", "--preroll", "0", "--duration", "1", "--no-tone", "--timecode", "00:58:00;01",
                               "--json"});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_NE(run.Err().find("00:58:00;01 is a label drop-frame timecode skips; the timecode starts at 00:58:00;02"),
              std::string::npos)
        << run.Err();
    EXPECT_EQ(Summary(run.Out()).value("start", ""), "00:58:00;02");
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ(deck.ReportValue("timecode"), "00:58:00;02 - 00:58:01;01");
}

// ---- the formats: patterns, non-drop-frame, user bits, 16:9, 32 kHz four-channel audio ---------

// The frames of a tape file.
constexpr size_t kPalFrameBytes = 144000;

std::vector<std::vector<uint8_t>> TapeFrames(const std::string& path, size_t frameBytes = kFrameBytes) {
    const std::string bytes = ReadFile(path);
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes)
        frames.emplace_back(bytes.begin() + at, bytes.begin() + at + frameBytes);
    return frames;
}

struct BarSpot {
    double x;  // fraction of the width
    int row;
    BarLevel level;
    std::string what;
};

std::vector<BarSpot> PatternSpots(const std::string& pattern) {
    std::vector<BarSpot> spots;
    if (pattern == "black") {
        for (double x : {0.1, 0.5, 0.9})
            for (int row : {60, 240, 420}) spots.push_back({x, row, kBlack, "black"});
        return spots;
    }
    if (pattern == "smpte") {
        const double bar = 1.0 / 7;
        for (int k = 0; k < 7; ++k) spots.push_back({(k + 0.5) * bar, 160, kBars75[k], "bar " + std::to_string(k)});
        const BarLevel under[7] = {kBars75[6], kBlack, kBars75[4], kBlack, kBars75[2], kBlack, kBars75[0]};
        for (int k = 0; k < 7; ++k) spots.push_back({(k + 0.5) * bar, 340, under[k], "castellation " + std::to_string(k)});
        for (const BottomPatch& patch : kSmpteBottomRow)
            spots.push_back({patch.centre * bar, 420, patch.level, patch.name});
        return spots;
    }
    // EBU: eight bars, white at 100 % in both, the colours at 75 % or 100 %, then black.
    const BarLevel* colours = pattern == "ebu75" ? kBars75 : kBars100;
    for (int k = 0; k < 8; ++k) {
        const BarLevel level = k == 0 ? kWhite100 : k == 7 ? kBlack : colours[k];
        spots.push_back({(k + 0.5) / 8, 240, level, "bar " + std::to_string(k)});
    }
    return spots;
}

// Each pattern in each system, decoded from the tape: the spots are placed on 480 lines and
// scaled to the picture's height (the patterns are drawn in proportion in both systems).
TEST_F(Stripe, EachPatternReachesTheTapeAtTheStandardsLevels) {
    for (const bool pal : {false, true}) {
        for (const std::string pattern : {"smpte", "ebu75", "ebu100", "black"}) {
            SCOPED_TRACE(pattern + (pal ? " in 625/50" : " in 525/60"));
            const std::string path = dir.path() + "/" + pattern + (pal ? "-pal" : "") + ".dv";
            const int height = pal ? 576 : 480;
            const auto row = [&](int at480) { return at480 * height / 480; };
            DeckProcess deck(dir.path());
            std::vector<std::string> deckArgs, stripeArgs = {"--pattern", pattern, "--no-tone", "--json"};
            if (pal) {
                deckArgs = {"--standard", "pal"};
                stripeArgs.insert(stripeArgs.end(), {"--standard", "pal", "--duration", "00:00:00:05"});
            } else {
                stripeArgs.insert(stripeArgs.end(), {"--duration", "00:00:00;05"});
            }
            ASSERT_TRUE(deck.StartListening(path, "pattern deck", 0, deckArgs));
            StripeRun run(dir.path(), stripeArgs);
            ASSERT_EQ(run.Wait(), 0) << run.Err();
            ASSERT_TRUE(deck.Finish());
            EXPECT_EQ(Summary(run.Out()).value("system", ""), pal ? "625/50 (PAL)" : "525/60 (NTSC)");
            const auto frames = TapeFrames(path, pal ? kPalFrameBytes : kFrameBytes);
            ASSERT_EQ(frames.size(), 5u);
            const dvtest::DecodedPicture picture = dvtest::DecodeDvFrame(frames[2]);
            ASSERT_EQ(picture.error, "");
            ASSERT_EQ(picture.height, height);
            for (const BarSpot& spot : PatternSpots(pattern)) {
                const int x = static_cast<int>(spot.x * 720);
                EXPECT_NEAR(picture.Y(x, row(spot.row)), spot.level.y, 2) << spot.what << ": Y";
                EXPECT_NEAR(picture.Cb(x, row(spot.row)), spot.level.cb, 2) << spot.what << ": Cb";
                EXPECT_NEAR(picture.Cr(x, row(spot.row)), spot.level.cr, 2) << spot.what << ": Cr";
            }
            if (pattern == "smpte") {  // the PLUGE steps are told apart
                const double bar = 720.0 / 7;
                EXPECT_LT(picture.Y(int((5 + 1.0 / 6) * bar), row(420)) + 4, picture.Y(int(5.5 * bar), row(420)));
                EXPECT_LT(picture.Y(int(5.5 * bar), row(420)) + 4, picture.Y(int((5 + 5.0 / 6) * bar), row(420)));
            }
            if (pattern == "black") {
                EXPECT_EQ(picture.Y(360, height / 2), 16);
            }
        }
    }
}

// A 12-bit code's value by IEC 61834's non-linear table: codes up to 0x1FF are the value itself,
// and each 256 codes above double the step (0x200-0x2FF step 2 from 512, ... 0x700-0x7FF step
// 64 from 16384); the negative codes mirror them as one's complements.
int TableValue(int code) {
    if (code >= 0x800) return -1 - TableValue(0xFFF - code);
    if (code < 0x200) return code;
    const int segment = (code >> 8) - 1;  // 1..6
    return (256 + (code & 0xFF)) << segment;
}

TEST_F(Stripe, NonDropFrameUserBitsWideAnd32kHzFourChannelAudioAsACamcorderRecordsThem) {
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape, "format deck"));
    StripeRun run(dir.path(), {"--duration", "1", "--timecode", "00:00:59:20", "--ndf", "--user-bits", "1234ABCD",
                               "--aspect", "16:9", "--audio", "32k", "--tone", "-18", "--pattern", "ebu75", "--json"});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_EQ(Summary(run.Out()).value("start", ""), "00:00:59:20");
    ASSERT_TRUE(deck.Finish());
    const auto frames = TapeFrames(tape);
    ASSERT_EQ(frames.size(), 30u);

    // Non-drop-frame: 00:00:59:29 is followed by 00:01:00:00, the DF flag clear; the user bits in
    // the binary group pack of every frame.
    for (size_t k = 0; k < frames.size(); ++k) {
        const auto pack = dv::dif::FindTimecodePack(frames[k].data(), kFrameBytes);
        ASSERT_TRUE(pack) << "frame " << k;
        EXPECT_FALSE(pack->label.dropFrame) << "frame " << k;
        EXPECT_EQ(pack->label.Text(), dv::Timecode::OfFrame(59 * 30 + 20 + int64_t(k), false).Text());
        const auto vote = dv::dif::VotePack(frames[k].data(), dv::dif::PackType::BinaryGroup, dv::dif::PackArea::Subcode);
        const auto groups = dv::dif::ReadBinaryGroupPack(vote.pack.data());
        ASSERT_TRUE(groups) << "frame " << k;
        EXPECT_EQ(groups->groups, (std::array<uint8_t, 8>{0xD, 0xC, 0xB, 0xA, 0x4, 0x3, 0x2, 0x1})) << "frame " << k;
    }
    EXPECT_EQ(dv::dif::FindTimecodePack(frames[9].data(), kFrameBytes)->label.Text(), "00:00:59:29");
    EXPECT_EQ(dv::dif::FindTimecodePack(frames[10].data(), kFrameBytes)->label.Text(), "00:01:00:00");

    // FFmpeg: 16:9, and two stereo streams of 32 kHz.
    std::string probe;
    ASSERT_EQ(Shell("ffprobe -v error -show_entries stream=codec_type,display_aspect_ratio,sample_rate,channels -of csv " +
                        Quote(tape),
                    &probe),
              0);
    EXPECT_NE(probe.find("video,16:9"), std::string::npos) << probe;
    EXPECT_EQ(std::count(probe.begin(), probe.end(), '\n'), 3) << probe;
    size_t streams32k = 0;
    for (size_t at = probe.find("audio,32000,2"); at != std::string::npos; at = probe.find("audio,32000,2", at + 1)) ++streams32k;
    EXPECT_EQ(streams32k, 2u) << probe;

    // Channels 1 and 2 as FFmpeg decodes them are the table's values of the 12-bit codes on tape,
    // a 1 kHz sine peaking at -18 dBFS (4125) within half a step; 3 and 4 are silence.
    const std::string pcm1 = dir.path() + "/ch12.raw", pcm2 = dir.path() + "/ch34.raw";
    ASSERT_EQ(Shell("ffmpeg -v error -i " + Quote(tape) + " -map 0:a:0 -f s16le " + Quote(pcm1) + " -map 0:a:1 -f s16le " +
                    Quote(pcm2)),
              0);
    const std::string first = ReadFile(pcm1), second = ReadFile(pcm2);
    const size_t total = 2 * 16016;  // 30 frames: two fifteen-frame cycles
    ASSERT_EQ(first.size(), total * 4);
    ASSERT_EQ(second.size(), total * 4);
    const auto at = [](const std::string& raw, size_t i) {
        return int16_t(uint16_t(uint8_t(raw[2 * i])) | uint16_t(uint8_t(raw[2 * i + 1])) << 8);
    };
    size_t position = 0;
    for (size_t k = 0; k < frames.size(); ++k) {
        const auto source = dv::dif::ReadAudioSourcePack(
            dv::dif::VotePack(frames[k].data(), dv::dif::PackType::AudioSource, dv::dif::PackArea::Aaux, 0, 5).pack.data());
        ASSERT_TRUE(source);
        EXPECT_EQ(source->sampleRate, 32000);
        EXPECT_EQ(source->quantization, 1);
        const int samples = source->samples;
        EXPECT_TRUE(samples == 1067 || samples == 1068) << samples;
        std::vector<uint16_t> codes(size_t(4 * samples));
        dv::UnshuffleAudio12(frames[k].data(), codes.data(), samples);
        for (int n = 0; n < samples; ++n, ++position) {
            const double ideal = 32767.0 * std::pow(10.0, -18.0 / 20) * std::sin(2 * M_PI * double(position % 32) / 32);
            for (int c = 0; c < 2; ++c) {
                const int value = TableValue(codes[size_t(4 * n + c)]);
                ASSERT_EQ(at(first, 2 * position + c), value) << "frame " << k << " sample " << n << " channel " << c + 1;
                // The step of the value's segment: 1 up to 511, then doubling every octave.
                const double step = std::abs(ideal) < 512 ? 1 : std::exp2(std::floor(std::log2(std::abs(ideal))) - 8);
                ASSERT_NEAR(value, ideal, step / 2 + 1) << "frame " << k << " sample " << n;
            }
            ASSERT_EQ(codes[size_t(4 * n + 2)], 0);
            ASSERT_EQ(codes[size_t(4 * n + 3)], 0);
            ASSERT_EQ(at(second, 2 * position), 0);
            ASSERT_EQ(at(second, 2 * position + 1), 0);
        }
    }
    EXPECT_EQ(position, total);

    // The checker reads the stripe as good: timecode, packs, the tone on the 12-bit channels.
    StripeRun check(dir.path(), {"--verify-file", tape, "--timecode", "00:00:59:20", "--tone", "-18"});
    EXPECT_EQ(check.Wait(), 0) << check.Out() << check.Err();
}

// ---- 625/50 (PAL) -----------------------------------------------------------------------------

// The labels of a 625/50 tape's frames, as frame counts at 25 a second (-1 for a frame without
// a timecode pack).
std::vector<int64_t> PalTapeLabels(const std::string& bytes) {
    std::vector<int64_t> labels;
    for (size_t k = 0; (k + 1) * kPalFrameBytes <= bytes.size(); ++k) {
        const auto code = dv::dif::FindTimecodePack(reinterpret_cast<const uint8_t*>(bytes.data()) + k * kPalFrameBytes,
                                                    kPalFrameBytes);
        labels.push_back(code && code->label.rate == 25 && !code->label.dropFrame
                             ? int64_t(code->label.Frame().value_or(0)) : -1);
    }
    return labels;
}

// A 625/50 stripe of `frames` frames from 10:00:00:00 on a tape (which may hold pre- and
// post-roll around it): whole 144000-byte frames whose headers say 625/50, timecode at 25 a
// second, non-drop, without a break; the date packs in every frame; ffprobe reads 720 x 576 at
// 25; the picture FFmpeg decodes holds EBU 75 % bars at the published levels.
void ExpectPalStripe(const std::string& tape, int frames) {
    const std::string bytes = ReadFile(tape);
    ASSERT_EQ(bytes.size() % kPalFrameBytes, 0u) << "whole 625/50 frames";
    const std::vector<int64_t> labels = PalTapeLabels(bytes);
    const int64_t start = 10 * 3600 * 25;
    const auto first = std::find(labels.begin(), labels.end(), start);
    ASSERT_NE(first, labels.end()) << "10:00:00:00 is on tape";
    const size_t at = size_t(first - labels.begin());
    ASSERT_GE(labels.size(), at + size_t(frames));
    for (size_t k = at; k < at + size_t(frames); ++k) {
        ASSERT_EQ(labels[k], start + int64_t(k - at)) << "break at frame " << k;
        const auto* frame = reinterpret_cast<const uint8_t*>(bytes.data()) + k * kPalFrameBytes;
        ASSERT_NE(frame[3] & 0x80, 0) << "frame " << k << ": the header says 525/60";
        ASSERT_GE(VauxPacks(frame, 0x62), 1) << "frame " << k << " has no recording date pack";
        ASSERT_GE(VauxPacks(frame, 0x63), 1) << "frame " << k << " has no recording time pack";
    }
    EXPECT_EQ(dv::Timecode::OfFrame(start + frames - 1, false, 25).Text(), "10:00:09:24");

    std::string probe;
    ASSERT_EQ(Shell("ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height,r_frame_rate "
                    "-of default=noprint_wrappers=1 " + Quote(tape), &probe), 0) << probe;
    EXPECT_NE(probe.find("codec_name=dvvideo"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=720"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=576"), std::string::npos) << probe;
    EXPECT_NE(probe.find("r_frame_rate=25/1"), std::string::npos) << probe;

    // EBU Tech 3237's 100/0/75/0 bars in BT.601 8-bit coding: white at 100 %, the colours at
    // 75 %, black (PatternSpots' table); at the middle of the picture's height.
    const std::vector<uint8_t> middle(bytes.begin() + std::ptrdiff_t((at + 2) * kPalFrameBytes),
                                      bytes.begin() + std::ptrdiff_t((at + 3) * kPalFrameBytes));
    const dvtest::DecodedPicture picture = dvtest::DecodeDvFrame(middle);
    ASSERT_EQ(picture.error, "");
    ASSERT_EQ(picture.height, 576);
    for (const BarSpot& spot : PatternSpots("ebu75")) {
        const int x = static_cast<int>(spot.x * 720);
        EXPECT_NEAR(picture.Y(x, 288), spot.level.y, 2) << spot.what << ": Y";
        EXPECT_NEAR(picture.Cb(x, 288), spot.level.cb, 2) << spot.what << ": Cb";
        EXPECT_NEAR(picture.Cr(x, 288), spot.level.cr, 2) << spot.what << ": Cr";
    }

    // libdv reads every frame as 625/50 with 1920 samples of 48 kHz audio, the labels from the
    // subcode, and decodes the same bars (its own IDCT: within four codes).
    std::vector<std::pair<int, int>> points;
    for (const BarSpot& spot : PatternSpots("ebu75")) points.push_back({static_cast<int>(spot.x * 720), 288});
    const dvtest::LibdvReading libdv = dvtest::ReadWithLibdv(bytes, kPalFrameBytes, at + 2, points);
    ASSERT_EQ(libdv.error, "");
    EXPECT_EQ(libdv.frames, bytes.size() / kPalFrameBytes);
    EXPECT_EQ(libdv.fiftyFieldFrames, libdv.frames);
    EXPECT_EQ(libdv.width, 720);
    EXPECT_EQ(libdv.height, 576);
    EXPECT_EQ(libdv.frameSize, kPalFrameBytes);
    EXPECT_EQ(libdv.frequency, 48000);
    EXPECT_EQ(libdv.samples, 1920);
    ASSERT_EQ(libdv.timecodes.size(), libdv.frames);
    EXPECT_EQ(libdv.timecodes[at].substr(0, 8), "10:00:00") << libdv.timecodes[at];
    EXPECT_EQ(libdv.timecodes[at + size_t(frames) - 1].substr(0, 8), "10:00:09") << libdv.timecodes[at + size_t(frames) - 1];
    ASSERT_EQ(libdv.luma.size(), points.size());
    for (size_t k = 0; k < points.size(); ++k)
        EXPECT_NEAR(libdv.luma[k], PatternSpots("ebu75")[k].level.y, 4) << "libdv, " << PatternSpots("ebu75")[k].what;

    // MediaInfo: a 625/50 DV file of 720 x 576 at 25 frames a second, 4:2:0, 48 kHz sound.
    std::string info;
    ASSERT_EQ(Shell("mediainfo --Output=JSON " + Quote(tape), &info), 0) << info;
    const nlohmann::json media = nlohmann::json::parse(info, nullptr, false);
    ASSERT_FALSE(media.is_discarded()) << info;
    std::map<std::string, nlohmann::json> tracks;
    for (const nlohmann::json& track : media["media"]["track"]) tracks[track.value("@type", "")] = track;
    EXPECT_EQ(tracks["General"].value("Format", ""), "DV") << info;
    EXPECT_EQ(tracks["Video"].value("Standard", ""), "PAL") << info;
    EXPECT_EQ(tracks["Video"].value("Width", ""), "720") << info;
    EXPECT_EQ(tracks["Video"].value("Height", ""), "576") << info;
    EXPECT_EQ(tracks["Video"].value("FrameRate", ""), "25.000") << info;
    EXPECT_EQ(tracks["Video"].value("ChromaSubsampling", ""), "4:2:0") << info;
    EXPECT_EQ(tracks["Video"].value("FrameCount", ""), std::to_string(bytes.size() / kPalFrameBytes)) << info;
    EXPECT_EQ(tracks["Audio"].value("SamplingRate", ""), "48000") << info;
}

// On a 625/50 deck, without --standard: the deck's own system, EBU 75 % bars by default, exactly
// 250 frames for 10 s with 1920 samples of tone in each.
TEST_F(Stripe, PalOnAPalDeckIsTwoHundredFiftyFramesOfEbuBarsFromTheStartLabel) {
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape, "pal deck", 0, {"--stopped", "--standard", "pal"}));
    StripeRun run(dir.path(), {"--record", "--preroll", "0", "--duration", "10", "--timecode", "10:00:00:00", "--json"});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ(deck.ReportValue("system"), "625/50 (PAL)");
    EXPECT_EQ(deck.ReportValue("frames"), "250");
    EXPECT_EQ(deck.ReportValue("timecode"), "10:00:00:00 - 10:00:09:24");
    EXPECT_EQ(deck.ReportValue("timecode breaks"), "0");
    ASSERT_EQ(FileSize(tape), off_t(250 * kPalFrameBytes));
    ExpectPalStripe(tape, 250);
    const nlohmann::json summary = Summary(run.Out());
    EXPECT_EQ(summary.value("frames_sent", 0), 250);
    EXPECT_EQ(summary.value("start", ""), "10:00:00:00");
    EXPECT_EQ(summary.value("picture", ""), "EBU 75 % colour bars");
    // The tape checker reads the 625/50 file: 25 labels a second, 1920 samples of tone a frame.
    StripeRun check(dir.path(), {"--verify-file", tape, "--timecode", "10:00:00:00", "--tone", "-20"});
    EXPECT_EQ(check.Wait(), 0) << check.Out() << check.Err();
    EXPECT_NE(check.Out().find("good: 250 frames checked, 10:00:00:00 - 10:00:09:24"), std::string::npos)
        << check.Out();

    // The tone: 1920 samples a frame, running on across every frame join.
    std::string output;
    ASSERT_EQ(Shell("ffmpeg -v error -y -i " + Quote(tape) + " -map 0:a -f s16le -acodec pcm_s16le -ac 1 " +
                        Quote(tape + ".s16"), &output), 0) << output;
    const std::string raw = ReadFile(tape + ".s16");
    std::vector<int16_t> left(raw.size() / 2);
    std::memcpy(left.data(), raw.data(), left.size() * 2);
    ASSERT_EQ(left.size(), 250u * 1920u);
    std::vector<size_t> joins;
    for (size_t k = 1; k < 250; ++k) joins.push_back(k * 1920);
    const testsupport::ToneFit fit = testsupport::FitTone(left, 48000, 1000, joins);
    EXPECT_NEAR(fit.frequency, 1000.0, 1.0);
    EXPECT_NEAR(fit.levelDbfs, -20.0, 0.5);
    EXPECT_LE(fit.maxJoinResidual, 2.0);
}

// A system the deck does not take is refused before anything is sent, naming the deck's: status
// 1, nothing on tape. The PAL options that make no 625/50 label are usage errors.
TEST_F(Stripe, TheOtherSystemIsRefusedNamingTheDecksAndPalLabelsAreChecked) {
    struct Case {
        const char* deckStandard;
        const char* asked;
        const char* told;
    } cases[] = {{"ntsc", "pal", "the deck takes 525/60 (NTSC): use --standard ntsc"},
                 {"pal", "ntsc", "the deck takes 625/50 (PAL): use --standard pal"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked);
        unlink(tape.c_str());
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(tape, "deck", 0, {"--stopped", "--standard", c.deckStandard}));
        StripeRun run(dir.path(), {"--record", "--preroll", "0", "--duration", "2", "--standard", c.asked});
        EXPECT_EQ(run.Wait(), 1);
        EXPECT_NE(run.Err().find(c.told), std::string::npos) << run.Err();
        ASSERT_TRUE(deck.Finish());
        EXPECT_EQ(deck.ReportValue("frames"), "0");
        EXPECT_EQ(deck.ReportValue("mode"), "stop");
        EXPECT_LE(FileSize(tape), 0);
    }
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"--duration", "1", "--standard", "pal", "--timecode", "10:00:00;00"},
          {"--duration", "1", "--standard", "pal", "--timecode", "10:00:00:25"},
          {"--duration", "00:00:01:25", "--standard", "pal"},
          {"--duration", "1", "--user-bits", "12345"}, {"--duration", "1", "--aspect", "14:9"},
          {"--duration", "1", "--audio", "44k"}, {"--duration", "1", "--standard", "secam"},
          {"--verify-file", tape, "--ndf"}}) {
        StripeRun bad(dir.path(), wrong);
        EXPECT_EQ(bad.Wait(), 2) << wrong[1] << " " << wrong[2] << " " << wrong[wrong.size() - 1];
    }
}

// ---- onto a camcorder on the simulated IEEE 1394 bus ------------------------------------------

// The number after `key` on the sim1394 report line that starts with `line`; -1 if absent.
long BusReport(const std::string& output, const std::string& line, const std::string& key) {
    const size_t at = output.find("sim1394: " + line);
    if (at == std::string::npos) return -1;
    const std::string text = output.substr(at, output.find('\n', at) - at);
    const size_t k = text.find(key);
    return k == std::string::npos ? -1 : std::strtol(text.c_str() + k + key.size(), nullptr, 10);
}

class StripeOnBus : public Stripe {
protected:
    static void SetUpTestSuite() {
        Stripe::SetUpTestSuite();
        for (const char* piece : {"sim1394", "sim1394-lib/libraw1394.so.11"}) {
            ASSERT_EQ(access(BuildFile(piece).c_str(), F_OK), 0) << piece << " is not built";
        }
    }
    // sim1394 OPTIONS --tape TAPE -- bash -c SCRIPT in the build folder (tamsel-stripe is
    // ./tamsel-stripe there): its status, and everything it and the bus said in *output.
    int OnBus(const std::string& options, const std::string& script, std::string* output) {
        return Shell("cd " + Quote(testsupport::BuildDir()) + " && " + PLATFORM_STATE_DIR_ENV "=" +
                         Quote(testsupport::StateDir()) + " ./sim1394 " + options + " --tape " + Quote(tape) +
                         " -- bash -c " + Quote(script),
                     output);
    }
    // What the bus said at its end shows that no frame went out on it.
    static void ExpectNoFrameSent(const std::string& out) {
        EXPECT_NE(out.find("sim1394: isochronous packets 0,"), std::string::npos) << "no frame sent:\n" << out;
    }
};

TEST_F(StripeOnBus, RecordPutsExactlyTheLengthOntoACamcorderThatWasNotRecordingAndStopsItAfter) {
    std::string out;
    // A unit that records at once, striped without pre-roll: exactly the stripe on tape.
    ASSERT_EQ(OnBus("--node camcorder:latency=0",
                    "./tamsel-stripe --record --preroll 0 --duration 10 --timecode '00:58:00;00' --tone --json", &out),
              0)
        << out;
    // Into record before the first frame: nothing shown unrecorded; back in stop at the end.
    EXPECT_EQ(BusReport(out, "camcorder 0:", "frames recorded "), 300) << out;
    EXPECT_EQ(BusReport(out, "camcorder 0:", "frames shown, not recorded "), 0) << out;
    EXPECT_NE(out.find("sim1394: camcorder 0: frames recorded 300, frames shown, not recorded 0, mode stop"),
              std::string::npos)
        << out;
    ExpectStripedTape(tape, 300);
    // The timecode runs on by one frame from the start (00:58:00;00 is skipped by drop-frame
    // counting: ;02 is the first label of that minute).
    const std::string bytes = ReadFile(tape);
    int64_t first = -1;
    for (size_t k = 0; k * kFrameBytes < bytes.size(); ++k) {
        const auto code = dv::dif::FindTimecodePack(reinterpret_cast<const uint8_t*>(bytes.data()) + k * kFrameBytes,
                                                    kFrameBytes);
        ASSERT_TRUE(code) << "frame " << k;
        if (k == 0) {
            EXPECT_EQ(code->label.Text(), "00:58:00;02");
            first = code->label.Frame().value_or(-1);
        }
        ASSERT_EQ(code->label.Frame().value_or(-1), first + int64_t(k))
            << "timecode " << code->label.Text() << " at frame " << k;
    }
    EXPECT_NE(out.find("\"result\": \"complete\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"frames_sent\": 300"), std::string::npos) << out;
    EXPECT_NE(out.find("\"recording\": \"commanded\""), std::string::npos) << out;
    // The camcorder reads its tape's time code back: the last frame's.
    EXPECT_NE(out.find("\"tape_position\": \"00:58:10;01\""), std::string::npos) << out;
    EXPECT_EQ(out.find("did not reach the tape"), std::string::npos) << "a unit that keeps no counts lost nothing";
    // The progress line (every five seconds off a terminal) shows the repeats the transmitter
    // counted, and leaves out the losses a unit on the bus does not count.
    const size_t line = out.find("tamsel-stripe: 00:58:05");
    ASSERT_NE(line, std::string::npos) << out;
    const std::string progress = out.substr(line, out.find('\n', line) - line);
    EXPECT_TRUE(std::regex_search(progress, std::regex("  repeated [0-9]+  "))) << progress;
    EXPECT_EQ(progress.find("lost"), std::string::npos) << progress;
    EXPECT_EQ(progress.find('?'), std::string::npos) << progress;
}

TEST_F(StripeOnBus, WithoutRecordNothingIsOnTheTapeAndTheProgramSaysTheDeviceIsNotRecording) {
    std::string out;
    ASSERT_EQ(OnBus("", "./tamsel-stripe --duration 2 --no-tone", &out), 0) << out;
    EXPECT_NE(out.find("the device is not recording"), std::string::npos) << out;
    EXPECT_EQ(BusReport(out, "camcorder 0:", "frames recorded "), 0) << out;
    EXPECT_EQ(BusReport(out, "camcorder 0:", "frames shown, not recorded "), 60) << out;
    EXPECT_EQ(FileSize(tape), 0);
    // REC pressed by hand before the bars come: recorded without --record.
    ASSERT_EQ(OnBus("--recording", "./tamsel-stripe --duration 2 --no-tone", &out), 0) << out;
    EXPECT_EQ(out.find("not recording"), std::string::npos) << out;
    EXPECT_EQ(BusReport(out, "camcorder 0:", "frames recorded "), 60) << out;
    EXPECT_EQ(FileSize(tape), 60 * off_t(kFrameBytes));
}

TEST_F(StripeOnBus, NoTapeOrAWriteProtectedTapeIsToldAndNothingIsSent) {
    for (const auto& [node, message] : {std::pair<std::string, std::string>{"camcorder:notape", "there is no tape in the device"},
                                        {"camcorder:protected", "the tape in the device is write-protected"}}) {
        for (const char* record : {"--record ", ""}) {
            SCOPED_TRACE(node + " " + record);
            std::string out;
            EXPECT_EQ(OnBus("--recording --node " + node, std::string("./tamsel-stripe ") + record + "--duration 2", &out),
                      1)
                << out;
            EXPECT_NE(out.find(message + "; nothing was sent"), std::string::npos) << out;
            ExpectNoFrameSent(out);
            EXPECT_NE(out.find(", mode stop, tape "), std::string::npos) << out;
        }
    }
}

TEST_F(StripeOnBus, ARecordCommandRefusedNotImplementedOrUnansweredIsToldAndNothingIsSent) {
    struct Case {
        const char* answer;
        const char* message;
    };
    for (const Case& c : {Case{"rejected", "the device refused to record"},
                          Case{"not-implemented", "the device does not take a record command"},
                          Case{"silent", "the device did not answer the record command"}}) {
        SCOPED_TRACE(c.answer);
        std::string out;
        EXPECT_EQ(OnBus("", std::string("./sim1394 --ctl fcp-answer C2 ") + c.answer +
                                " && ./tamsel-stripe --record --duration 2",
                        &out),
                  1)
            << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_NE(out.find("nothing was sent"), std::string::npos) << out;
        ExpectNoFrameSent(out);
        EXPECT_NE(out.find("camcorder 0: frames recorded 0, frames shown, not recorded 0, mode stop"),
                  std::string::npos)
            << out;
    }
}

TEST_F(StripeOnBus, UnpluggedMidRunTheFailureIsToldAndTheTapeHoldsWholeFrames) {
    std::string out;
    const std::string script = "./tamsel-stripe --record --duration 60 & job=$!; "
                               "for i in $(seq 600); do [ $(stat -c %s " + Quote(tape) + ") -ge " +
                               std::to_string(30 * kFrameBytes) + " ] && break; sleep 0.1; done; "
                               "./sim1394 --ctl unplug; wait $job";
    EXPECT_EQ(OnBus("", script, &out), 1) << out;
    EXPECT_NE(out.find("DV出力が中断されました。"), std::string::npos) << out;
    EXPECT_NE(out.find("DV機器が取り外されたか、接続が切れました。"), std::string::npos) << out;
    const off_t size = FileSize(tape);
    EXPECT_GE(size, 30 * off_t(kFrameBytes));
    EXPECT_EQ(size % off_t(kFrameBytes), 0) << "whole frames only";
    EXPECT_EQ(BusReport(out, "camcorder 0 (unplugged):", "frames recorded "), long(size / off_t(kFrameBytes))) << out;
}

// The lines of a `sim1394 --ctl status` answer that tell who holds what: the IRM's bandwidth and
// channels, and each unit's input plug.
std::string Holdings(const std::string& status) {
    std::string out;
    size_t at = 0;
    while (at < status.size()) {
        const size_t end = std::min(status.find('\n', at), status.size());
        const std::string line = status.substr(at, end - at);
        if (line.rfind("IRM ", 0) == 0 || line.find(" input plug: ") != std::string::npos) out += line + "\n";
        at = end + 1;
    }
    return out;
}

// The text between "MARK\n" and "END-MARK\n" in a script's output.
std::string Section(const std::string& output, const std::string& mark) {
    const size_t start = output.find(mark + "\n");
    const size_t end = output.find("END-" + mark + "\n");
    if (start == std::string::npos || end == std::string::npos || end < start) return "";
    return output.substr(start + mark.size() + 1, end - start - mark.size() - 1);
}

// The same for a camcorder on the bus: whatever signal ends the run, the camcorder is back in stop,
// the plug connection, the channel and the bandwidth are free again (asked of the bus while it
// still runs), and the summary says how many frames were sent.
TEST_F(StripeOnBus, EverySignalThatWouldEndTheProgramStopsTheCamcorderAndFreesTheBus) {
    for (const int sig : {SIGHUP, SIGQUIT, SIGTERM, SIGINT}) {
        SCOPED_TRACE(SignalName(sig));
        unlink(tape.c_str());
        std::string out;
        const std::string script =
            "echo BEFORE; ./sim1394 --ctl status; echo END-BEFORE; "
            "./tamsel-stripe --record --duration 60 --no-tone > " + Quote(dir.path() + "/summary") + " & job=$!; "
            "for i in $(seq 600); do [ $(stat -c %s " + Quote(tape) + " 2>/dev/null || echo 0) -ge " +
            std::to_string(30 * kFrameBytes) + " ] && break; sleep 0.1; done; "
            "kill -" + std::to_string(sig) + " $job; wait $job; echo \"status=$?\"; "
            "echo AFTER; ./sim1394 --ctl status; echo END-AFTER";
        EXPECT_EQ(OnBus("", script, &out), 0) << out;
        EXPECT_NE(out.find("status=" + std::to_string(StoppedStatus(sig)) + "\n"), std::string::npos) << out;
        EXPECT_NE(out.find(std::string("stopped by ") + SignalName(sig) + " after"), std::string::npos) << out;
        const std::string before = Holdings(Section(out, "BEFORE")), after = Holdings(Section(out, "AFTER"));
        EXPECT_NE(before, "") << out;
        EXPECT_EQ(after, before) << "what the run held on the bus must be free again:\n" << out;
        EXPECT_NE(Section(out, "AFTER").find("camcorder 0 mode stop"), std::string::npos) << out;
        const std::string summary = ReadFile(dir.path() + "/summary");
        EXPECT_NE(summary.find("interrupted: "), std::string::npos) << summary;
        EXPECT_NE(summary.find(" of 1800 frames sent"), std::string::npos) << summary;
        EXPECT_EQ(FileSize(tape) % off_t(kFrameBytes), 0);
    }
}

// A stop asked for while the unit is slow to answer (FCP answers 900 ms late) ends the run
// without RECORD: nothing recorded, no frame sent, the unit in stop.
TEST_F(StripeOnBus, AStopWhileTheUnitIsSlowToAnswerNeverRecords) {
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(SignalName(sig));
        std::string out;
        const std::string script = "./sim1394 --ctl fcp-delay 900 >/dev/null && "
                                   "{ ./tamsel-stripe --record --duration 10 & job=$!; sleep 0.5; kill -" +
                                   std::to_string(sig) + " $job; wait $job; echo \"status=$?\"; }";
        EXPECT_EQ(OnBus("", script, &out), 0) << out;
        EXPECT_NE(out.find("status=" + std::to_string(StoppedStatus(sig)) + "\n"), std::string::npos) << out;
        ExpectNoFrameSent(out);
        EXPECT_NE(out.find("camcorder 0: frames recorded 0, frames shown, not recorded 0, mode stop"),
                  std::string::npos)
            << out;
    }
}

// A camcorder found recording is not striped over; --status and --stop reach it too.
TEST_F(StripeOnBus, ACamcorderFoundRecordingIsRefusedAndCanBeAskedAndStoppedWithTheProgram) {
    std::string out;
    const std::string script = "echo STATUS; ./tamsel-stripe --status; echo END-STATUS; "
                               "./tamsel-stripe --record --duration 2; echo \"record=$?\"; "
                               "./tamsel-stripe --stop; echo \"stop=$?\"; "
                               "echo AFTER; ./tamsel-stripe --status; echo END-AFTER";
    EXPECT_EQ(OnBus("--recording", script, &out), 0) << out;
    EXPECT_NE(Section(out, "STATUS").find("mode record"), std::string::npos) << out;
    EXPECT_NE(out.find("record=1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("the device is already recording"), std::string::npos) << out;
    EXPECT_NE(out.find("stop=0\n"), std::string::npos) << out;
    EXPECT_NE(Section(out, "AFTER").find("mode stop"), std::string::npos) << out;
    ExpectNoFrameSent(out);
    EXPECT_NE(out.find(", mode stop, tape writable"), std::string::npos) << out;
}

// Without --record: recording only when the camcorder records, not in play or stop.
TEST_F(StripeOnBus, WithoutRecordTheSummarySaysWhetherTheCamcorderRecordsInEachMode) {
    struct Case {
        const char* press;
        const char* recording;
    };
    for (const Case& c : {Case{"play", "not-recording"}, Case{"stop", "not-recording"}, Case{"record", "device"}}) {
        SCOPED_TRACE(c.press);
        std::string out;
        const std::string script = std::string("./sim1394 --ctl ") + c.press +
                                   " >/dev/null && ./tamsel-stripe --duration 1 --no-tone --json > " +
                                   Quote(dir.path() + "/summary");
        EXPECT_EQ(OnBus("", script, &out), 0) << out;
        const nlohmann::json summary = Summary(ReadFile(dir.path() + "/summary"));
        EXPECT_EQ(summary.value("recording", ""), c.recording) << out;
        EXPECT_EQ(BusReport(out, "camcorder 0:", "frames recorded "), std::string(c.recording) == "device" ? 30 : 0)
            << out;
    }
}

// ---- real tape units: pre-roll, the closed loop on RECORD, refusals by cause ------------------

// The labels of every frame on a tape, in order; fails the test on a frame without one.
std::vector<int64_t> TapeLabels(const std::string& tape) {
    const std::string bytes = ReadFile(tape);
    std::vector<int64_t> labels;
    for (size_t k = 0; (k + 1) * kFrameBytes <= bytes.size(); ++k) {
        const auto code = dv::dif::FindTimecodePack(reinterpret_cast<const uint8_t*>(bytes.data()) + k * kFrameBytes,
                                                    kFrameBytes);
        EXPECT_TRUE(code) << "frame " << k;
        labels.push_back(code ? int64_t(code->label.Frame().value_or(0)) : -1);
    }
    return labels;
}

// A unit that needs 2 s to record from stop and 0.2 s from record-pause: with the default
// pre-roll the tape holds the stripe whole, with unbroken timecode before, through and after it,
// and the summary says what is on tape and the latency measured; without pre-roll the start is
// not on tape, and the program says so and fails.
TEST_F(StripeOnBus, WithPrerollASlowUnitHoldsTheWholeStripeAndWithoutItTheMissingStartIsTold) {
    for (const char* unit : {"camcorder", "deck"}) {
        SCOPED_TRACE(unit);
        unlink(tape.c_str());
        const std::string node = std::string("--node ") + unit + ":latency=2000,pause-latency=200";
        std::string out;
        ASSERT_EQ(OnBus(node, "./tamsel-stripe --record --duration 10 --timecode '00:58:00;00' --tone --json", &out), 0)
            << out;
        const std::vector<int64_t> labels = TapeLabels(tape);
        const int64_t start = dv::Timecode::Parse("00:58:00;02")->Frame().value_or(0);
        ASSERT_GT(labels.size(), 300u) << out;
        EXPECT_LT(labels.front(), start) << "some pre-roll is on tape";
        EXPECT_GT(labels.back(), start + 299) << "some post-roll is on tape";
        for (size_t k = 1; k < labels.size(); ++k) ASSERT_EQ(labels[k], labels[k - 1] + 1) << "break at frame " << k;
        const size_t json = out.find('{');
        const nlohmann::json summary = Summary(out.substr(json, out.rfind('}') + 1 - json));
        EXPECT_EQ(summary.value("result", ""), "complete");
        EXPECT_EQ(summary.value("frames_sent", 0), 300);
        EXPECT_EQ(summary.value("preroll_frames", 0), 90);
        EXPECT_GT(summary.value("postroll_frames", 0), 0);
        EXPECT_TRUE(summary.value("armed", false));
        // Measured from RECORD to the reading that showed it recording: at least the unit's latency.
        EXPECT_GE(summary.value("record_latency_ms", 0), 200) << out;
        // The first label read back recording: at or after the first on tape (a reading comes a
        // few frames after the fact), at or before the start.
        const auto first = dv::Timecode::Parse(summary.value("first_on_tape", ""));
        ASSERT_TRUE(first) << out;
        EXPECT_GE(int64_t(first->Frame().value_or(0)), labels.front());
        EXPECT_LE(int64_t(first->Frame().value_or(0)), start);

        unlink(tape.c_str());
        EXPECT_EQ(OnBus(node, "./tamsel-stripe --record --preroll 0 --duration 10 --timecode '00:58:00;00'", &out), 1)
            << out;
        EXPECT_NE(out.find("after the start 00:58:00;02: the first "), std::string::npos) << out;
        EXPECT_NE(out.find("of the stripe are not on tape"), std::string::npos) << out;
        EXPECT_EQ(out.find("complete:"), std::string::npos) << out;
        EXPECT_NE(out.find(", mode stop, "), std::string::npos) << "the unit is stopped:\n" << out;
    }
}

// Each refusal is told by its cause, ends with status 1 and records nothing over the old tape; a
// user who may not open the device files is told so when the devices are looked for, not "no device".
TEST_F(StripeOnBus, RefusalsAreToldByTheirCauseAndNothingIsRecorded) {
    struct Case {
        const char* options;
        const char* message;
    };
    for (const Case& c : {Case{"--node deck:local", "local mode"},
                          Case{"--node camcorder:camera", "camera mode"},
                          Case{"--node camcorder:notape", "there is no tape in the device"},
                          Case{"--node camcorder:protected", "write-protected"},
                          Case{"--node camcorder:dv-in=off,at=600", "DV input not recorded"},
                          Case{"--no-permission", "no permission to open the device: join the group"}}) {
        SCOPED_TRACE(c.options);
        std::string out;
        EXPECT_EQ(OnBus(c.options, "./tamsel-stripe --record --duration 4", &out), 1) << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_EQ(out.find("complete:"), std::string::npos) << out;
        EXPECT_EQ(BusReport(out, std::string(c.options).find("deck") != std::string::npos ? "deck 0:" : "camcorder 0:",
                            "frames recorded "),
                  std::string(c.message) == "DV input not recorded" ? BusReport(out, "camcorder 0:", "blank frames ") : 0)
            << "none of the stripe recorded:\n" << out;
    }
}

// The tape runs out inside the stripe: a failure that says how much of it reached the tape.
TEST_F(StripeOnBus, AnEndOfTapeInsideTheStripeFailsWithTheFramesThatReachedTheTape) {
    std::string out;
    EXPECT_EQ(OnBus("--node camcorder:tape-length=20,at=12", "./tamsel-stripe --record --duration 10", &out), 1) << out;
    EXPECT_NE(out.find("the device stopped recording by itself"), std::string::npos) << out;
    EXPECT_NE(out.find(" of the stripe's 300 frames"), std::string::npos) << out;
    EXPECT_EQ(out.find("complete:"), std::string::npos) << out;
}

// The virtual deck records at once: without pre-roll exactly the stripe, with the default one the
// stripe whole inside an unbroken run of labels.
TEST_F(Stripe, TheVirtualDeckTakesTheDefaultPrerollAndNone) {
    DeckProcess deck(dir.path());
    ASSERT_TRUE(deck.StartListening(tape, "stripe deck", 0, {"--stopped"}));
    StripeRun run(dir.path(), {"--record", "--duration", "2", "--no-tone", "--timecode", "00:10:00;00", "--json"});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ(deck.ReportValue("timecode breaks"), "0");
    const std::vector<int64_t> labels = TapeLabels(tape);
    const int64_t start = dv::Timecode::Parse("00:10:00;00")->Frame().value_or(0);
    ASSERT_FALSE(labels.empty());
    EXPECT_EQ(labels.front(), start - 90) << "a deck without record-pause records the whole pre-roll";
    EXPECT_GT(labels.back(), start + 59);
    const nlohmann::json summary = Summary(run.Out());
    const auto first = dv::Timecode::Parse(summary.value("first_on_tape", ""));
    ASSERT_TRUE(first) << run.Out();
    EXPECT_LE(int64_t(first->Frame().value_or(0)), start) << "read back at or before the start";
    EXPECT_FALSE(summary.value("armed", true));
}

}  // namespace

// --verify-tape on a camcorder playing an FFmpeg-made tape: rewound, played to the start label,
// captured through the device's output pin and checked; "good" with status 0 on a clean tape,
// and each fault the tape carries named with its timecode range, status 1. The unit is stopped
// at the end either way.
TEST_F(StripeOnBus, VerifyTapeSaysGoodOrNamesEachFaultWhereItIs) {
    const std::string made = dir.path() + "/made.dv";
    std::string why;
    ASSERT_TRUE(sim1394test::MakeDvTape(made, 150, "01:00:00;00", &why)) << why;
    struct Case {
        const char* faults;
        int status;
        const char* named;  // in the report
        const char* where;  // a timecode of the range
    } cases[] = {
        {"", 0, "good: 120 frames checked, 01:00:00;00 - 01:00:03;29", ""},
        {",damage=1-2", 1, "video blocks in error", "01:00:01;00"},
        {",tc-break=2", 1, "timecode breaks", "00:00:00;00 follows 01:00:01;29"},
        {",blank=1-1.5", 1, "blank frames", "01:00:01;00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        std::string out;
        EXPECT_EQ(OnBus(std::string("--node camcorder:tape-length=60,wind-speed=100,at=3,load=") + made + c.faults,
                        "./tamsel-stripe --verify-tape --duration 4 --timecode '01:00:00;00'", &out),
                  c.status)
            << out;
        EXPECT_NE(out.find(c.named), std::string::npos) << out;
        EXPECT_NE(out.find(c.where), std::string::npos) << out;
        EXPECT_NE(out.find("rewinding the tape"), std::string::npos) << out;
        EXPECT_NE(out.find("camcorder 0: frames recorded 0, frames shown, not recorded 0, mode stop"), std::string::npos)
            << "nothing recorded, the unit stopped at the end:\n" << out;
    }
}

// --record --verify on a camcorder that lags as tape units do: the stripe, the rewind, the
// playback captured through the device's output pin and a report "good", unattended; the unit is
// in stop at the end. Faults the tape puts on what was recorded (tied to the tape's place, so
// they are on what plays back) are each named with their range, status 1.
TEST_F(StripeOnBus, RecordAndVerifyProvesTheStripeOrNamesWhatTheTapeSpoilt) {
    std::string out;
    ASSERT_EQ(OnBus("--node camcorder:latency=2000,pause-latency=200,wind-speed=100",
                    "./tamsel-stripe --record --verify --duration 30 --timecode '00:58:00;00'", &out),
              0)
        << out;
    EXPECT_NE(out.find("complete: 900 of 900 frames sent"), std::string::npos) << out;
    EXPECT_NE(out.find("rewinding the tape"), std::string::npos) << out;
    EXPECT_NE(out.find("good: 900 frames checked, 00:58:00;02 - 00:58:30;01"), std::string::npos) << out;
    EXPECT_NE(out.find("camcorder 0: frames recorded "), std::string::npos) << out;
    EXPECT_NE(out.find(", mode stop, "), std::string::npos) << "the unit is stopped at the end:\n" << out;
    // What played back is what was recorded: the tape holds the stripe's labels unbroken.
    const std::vector<int64_t> labels = TapeLabels(tape);
    const int64_t start = dv::Timecode::Parse("00:58:00;02")->Frame().value_or(0);
    ASSERT_FALSE(labels.empty());
    EXPECT_LE(labels.front(), start);
    EXPECT_GE(labels.back(), start + 899);
    for (size_t k = 1; k < labels.size(); ++k) ASSERT_EQ(labels[k], labels[k - 1] + 1) << "frame " << k;

    struct Case {
        const char* fault;
        const char* named;
    } cases[] = {
        {",damage=5-5.5", "video blocks in error"},
        {",tc-break=5", "timecode breaks"},
        {",blank=5-5.5", "blank frames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        unlink(tape.c_str());
        EXPECT_EQ(OnBus(std::string("--node camcorder:latency=2000,pause-latency=200,wind-speed=100") + c.fault,
                        "./tamsel-stripe --record --verify --duration 5 --timecode '00:58:00;00'", &out),
                  1)
            << out;
        EXPECT_NE(out.find("complete: 150 of 150 frames sent"), std::string::npos) << out;
        // The report, after the rewind, names the fault and where on the stripe it lies.
        const std::string report = out.substr(std::min(out.size(), out.find("rewinding the tape")));
        EXPECT_NE(report.find(c.named), std::string::npos) << out;
        EXPECT_NE(report.find("00:58:0", report.find(c.named)), std::string::npos) << out;
        EXPECT_NE(out.find(", mode stop, "), std::string::npos) << out;
    }
}

// --record --verify of a leader: the check by playback judges each frame against the leader's
// plan (bars with the tone ending on their last frame, black, slate, the countdown's blips and
// two-pop, the black after) and says good; the programme's start lands where asked.
TEST_F(StripeOnBus, RecordAndVerifyALeaderJudgesEachFrameAgainstItsSegment) {
    std::string out;
    ASSERT_EQ(OnBus("--node camcorder:latency=1500,pause-latency=200,wind-speed=100",
                    "./tamsel-stripe --record --verify --layout 'bars:3,black:1,slate:2,countdown:8,black:2' "
                    "--black-after 2 --slate Title=Test",
                    &out),
              0)
        << out;
    EXPECT_NE(out.find("good: 540 frames checked, 00:59:44;00 - 01:00:01;29, 525/60 (NTSC)"), std::string::npos) << out;
    EXPECT_NE(out.find("leader bars:3,black:1,slate:2,countdown:8,black:2: each frame's picture and sound"),
              std::string::npos)
        << out;
}

// A 625/50 camcorder that takes 2 s to record: with the default pre-roll the whole stripe is on
// tape, 250 frames from 10:00:00:00, and the check by playback says good. A camcorder of either
// system asked for the other records nothing and the program names the unit's system.
TEST_F(StripeOnBus, PalOnAPalCamcorderIsTheWholeStripeAndVerifiesGoodAndTheOtherSystemIsRefused) {
    std::string out;
    ASSERT_EQ(OnBus("--node camcorder:pal,latency=2000,pause-latency=200,wind-speed=100",
                    "./tamsel-stripe --standard pal --record --verify --duration 10 --timecode 10:00:00:00", &out),
              0)
        << out;
    EXPECT_NE(out.find("complete: 250 of 250 frames sent"), std::string::npos) << out;
    EXPECT_NE(out.find("good: 250 frames checked, 10:00:00:00 - 10:00:09:24"), std::string::npos) << out;
    ExpectPalStripe(tape, 250);

    struct Case {
        const char* node;
        const char* asked;
        const char* told;
    } cases[] = {{"--node camcorder:latency=0", "pal", "the deck takes 525/60 (NTSC): use --standard ntsc"},
                 {"--node camcorder:pal,latency=0", "ntsc", "the deck takes 625/50 (PAL): use --standard pal"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked);
        unlink(tape.c_str());
        EXPECT_EQ(OnBus(c.node, std::string("./tamsel-stripe --record --preroll 0 --duration 2 --standard ") + c.asked,
                        &out),
                  1)
            << out;
        EXPECT_NE(out.find(c.told), std::string::npos) << out;
        EXPECT_EQ(BusReport(out, "camcorder 0:", "frames recorded "), 0) << out;
        EXPECT_EQ(BusReport(out, "camcorder 0:", "frames shown, not recorded "), 0) << "nothing was sent:\n" << out;
        EXPECT_NE(out.find(", mode stop, "), std::string::npos) << out;
    }
}

TEST_F(StripeOnBus, VerifyNeedsRecordAndVerifyTapeNeedsALengthAndRecordsNothing) {
    for (const char* args : {"--verify --duration 5", "--verify-tape", "--verify-tape --duration 5 --record",
                             "--verify-tape --verify-file x.dv --duration 5"}) {
        std::string out;
        EXPECT_EQ(Shell("cd " + Quote(testsupport::BuildDir()) + " && ./tamsel-stripe " + args, &out), 2) << args << out;
        EXPECT_NE(out.find("usage:"), std::string::npos) << out;
    }
}
