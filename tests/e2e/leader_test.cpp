// tamsel-stripe --leader onto the virtual deck, in 525/60 and in 625/50, judged on the tape as
// outside tools read it: the timecode from the frames' subcode (unbroken, the bars from
// 00:58:30;00 or 00:58:30:00, black from 01:00:00;00 or 01:00:00:00),
// the sound decoded by FFmpeg frame by frame (the tone ending on the last bars frame, a one-frame
// 1 kHz blip on each second of the countdown, the two-pop on the frame of the 2, silence
// elsewhere), and the pictures decoded by FFmpeg and read by tesseract (the slate's title, the
// countdown's digits on their seconds, the burnt-in timecode matching the subcode's).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "dv/dif/packs.h"
#include "dv/dif/timecode.h"
#include "dv/dv_system.h"
#include "tests/support/dv/deck_test_process.h"
#include "tests/support/process.h"

using decktest::DeckProcess;
using decktest::TempDir;
using testsupport::BuildFile;
using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::Shell;

namespace {

// A system a leader is striped in, and where its pictures put what the checks read (the leader's
// drawing in the title-safe area of 720 x 480 or 720 x 576).
struct System {
    const char* name;
    const dv::DvSystem* dv;
    int plateLeft, plateTop, plateSide;  // where the countdown's digit is read: its plate (in 625/50
                                         // inside the plate's rim, where tesseract reads a 9)
    int boxTop;                          // the burnt-in timecode's box: 416 x 48 from x 128
    int slateTop;                        // the safe area above the box: 576 wide from x 72

    bool Pal() const { return dv->fiftyFields; }
    int Rate() const { return dv->timecodeRate; }
    size_t FrameBytes() const { return size_t(dv->frameBytes); }
    // The frame of label "hh:mm:ss" plus `frames` (within its second).
    int Frame(const std::string& hms, int frames = 0) const {
        dv::Timecode t = *dv::Timecode::Parse(hms + (Pal() ? ":00" : ";00"));
        t.rate = Rate();
        return static_cast<int>(*t.Frame()) + frames;
    }
    std::string Text(int frame) const { return dv::Timecode::OfFrame(frame, !Pal(), Rate()).Text(); }
    std::string Label(const std::string& hms) const { return hms + (Pal() ? ":00" : ";00"); }
    std::vector<std::string> Standard() const {
        return Pal() ? std::vector<std::string>{"--standard", "pal"} : std::vector<std::string>{};
    }
};

const System kNtsc{"Ntsc", &dv::k525_60, 256, 136, 208, 368, 48};
const System kPal{"Pal", &dv::k625_50, 248, 176, 224, 448, 57};

// Tesseract's options: a page of text, one word of digits, one line of timecode.
const char kPage[] = "";
const char kDigits[] = "--psm 8 -c tessedit_char_whitelist=0123456789 ";
const char kLabel[] = "--psm 7 -c tessedit_char_whitelist=0123456789:; ";

// What tesseract reads in the frame `index` of the tape, cropped to w x h at x, y, spaces and line
// ends squeezed.
std::string Read(const std::string& tape, const std::string& dir, int index, int x, int y, int w, int h,
                 const char* how) {
    const std::string png = dir + "/ocr-" + std::to_string(index) + ".png";
    std::string output;
    EXPECT_EQ(Shell("ffmpeg -v error -y -i " + Quote(tape) + " -vf 'select=eq(n\\," + std::to_string(index) +
                        "),crop=" + std::to_string(w) + ":" + std::to_string(h) + ":" + std::to_string(x) + ":" +
                        std::to_string(y) + "' -frames:v 1 " + Quote(png),
                    &output),
              0)
        << output;
    std::string text;
    EXPECT_EQ(Shell("tesseract " + Quote(png) + " - " + how + "2>/dev/null", &text), 0);
    std::string squeezed;
    for (char c : text) {
        if (c == '\n' || c == '\f') c = ' ';
        if (c == ' ' && (squeezed.empty() || squeezed.back() == ' ')) continue;
        squeezed += c;
    }
    while (!squeezed.empty() && squeezed.back() == ' ') squeezed.pop_back();
    return squeezed;
}

// A recorded tape as the checks read it: each frame's label from its subcode (unbroken), and its
// sound as FFmpeg decodes it, cut at each frame's own sample count (its AAUX source pack).
struct Tape {
    explicit Tape(const System& system) : system(system) {}
    const System& system;
    std::map<int, size_t> at;  // label -> tape frame
    std::vector<size_t> first;  // each frame's first sample, and the end
    std::vector<int16_t> left;

    // Fails the test with the reason when the tape cannot be read so.
    void Load(const std::string& tape) {
        const size_t frameBytes = system.FrameBytes();
        const std::string bytes = ReadFile(tape);
        ASSERT_EQ(bytes.size() % frameBytes, 0u);
        const size_t frames = bytes.size() / frameBytes;
        ASSERT_GT(frames, 0u);
        first.assign(1, 0);
        int previous = -1;
        for (size_t k = 0; k < frames; ++k) {
            const auto* frame = reinterpret_cast<const uint8_t*>(bytes.data()) + k * frameBytes;
            const auto tc = dv::dif::FindTimecodePack(frame, frameBytes);
            ASSERT_TRUE(tc) << "frame " << k << " has no timecode";
            const int label = static_cast<int>(*tc->label.Frame());
            if (k > 0) {
                ASSERT_EQ(label, previous + 1) << "the timecode breaks at tape frame " << k;
            }
            previous = label;
            at[label] = k;
            const dv::dif::PackVote vote =
                dv::dif::VotePack(frame, dv::dif::PackType::AudioSource, dv::dif::PackArea::Aaux, 0,
                                  system.dv->sequences / 2, *system.dv);
            const auto source = dv::dif::ReadAudioSourcePack(vote.pack.data());
            ASSERT_TRUE(source) << "frame " << k;
            first.push_back(first.back() + static_cast<size_t>(source->samples));
        }
        std::string output;
        ASSERT_EQ(Shell("ffmpeg -v error -y -i " + Quote(tape) + " -map 0:a -f s16le -acodec pcm_s16le " +
                            Quote(tape + ".s16"),
                        &output),
                  0)
            << output;
        const std::string raw = ReadFile(tape + ".s16");
        left.resize(raw.size() / 4);
        for (size_t i = 0; i < left.size(); ++i) std::memcpy(&left[i], raw.data() + i * 4, 2);
        ASSERT_EQ(first.back(), left.size());
    }
    bool Has(int label) const { return at.count(label) != 0; }
    // The loudest sample of the frame with this label.
    int Peak(int label) const {
        const size_t k = at.at(label);
        int p = 0;
        for (size_t i = first[k]; i < first[k + 1]; ++i) p = std::max(p, std::abs(int{left[i]}));
        return p;
    }
    // Its zero crossings: 1 kHz makes about two a millisecond (67 a 525/60 frame, 80 a 625/50 one).
    int Crossings(int label) const {
        const size_t k = at.at(label);
        int n = 0;
        for (size_t i = first[k] + 1; i < first[k + 1]; ++i) n += (left[i - 1] < 0) != (left[i] < 0);
        return n;
    }
    // The frames from `from` to `to` (labels) that sound, each checked to be 1 kHz at -20 dBFS.
    std::vector<int> Sounding(int from, int to) const {
        std::vector<int> sounding;
        for (int f = from; f < to; ++f) {
            if (Peak(f) == 0) continue;
            sounding.push_back(f);
            EXPECT_NEAR(Peak(f), 3277, 3) << system.Text(f);
            EXPECT_NEAR(Crossings(f), system.Pal() ? 80 : 67, 2) << "1 kHz at " << system.Text(f);
        }
        return sounding;
    }
};

void NeedTools() {
    for (const char* piece : {"dvfilters.so", "regsvr", "dvdeck", "tamsel-stripe"})
        ASSERT_EQ(access(BuildFile(piece).c_str(), F_OK), 0) << piece << " is not built";
    ASSERT_EQ(Shell("ffmpeg -version >/dev/null"), 0) << "ffmpeg is not installed (scripts/install-deps.sh)";
    ASSERT_EQ(Shell("tesseract --version >/dev/null"), 0) << "tesseract is not installed (scripts/install-deps.sh)";
}

class Leader : public testing::Test {
protected:
    static void SetUpTestSuite() { NeedTools(); }
    TempDir dir;
    std::string tape = dir.path() + "/tape.dv";
};

// The same, in each system.
class LeaderIn : public testing::TestWithParam<const System*> {
protected:
    static void SetUpTestSuite() { NeedTools(); }
    const System& sys = *GetParam();
    TempDir dir;
    std::string tape = dir.path() + "/tape.dv";
};

std::string NameOf(const testing::TestParamInfo<const System*>& info) { return info.param->name; }

}  // namespace

TEST_P(LeaderIn, TheDefaultLeaderLandsTheProgrammeOnOneHourWithItsSoundAndPicturesOnTheirFrames) {
    DeckProcess deck(dir.path());
    std::vector<std::string> deckArgs{"--stopped"};
    if (sys.Pal()) deckArgs.insert(deckArgs.end(), {"--standard", "pal"});
    ASSERT_TRUE(deck.StartListening(tape, "leader deck", 0, deckArgs));
    testsupport::ProcessOptions options;
    options.out = testsupport::Sink::ToFile(dir.path() + "/stripe.out");
    options.err = testsupport::Sink::ToFile(dir.path() + "/stripe.err");
    options.env = {std::string(PLATFORM_STATE_DIR_ENV) + "=" + testsupport::StateDir()};
    // The programme's start as each system writes it, and in 625/50 the default's.
    std::vector<std::string> argv{BuildFile("tamsel-stripe"), "--record", "--leader"};
    if (!sys.Pal()) argv.insert(argv.end(), {"--program-start", "01:00:00;00"});
    argv.insert(argv.end(), {"--black-after", "3", "--slate", "Title=Test", "--tone", "--burn-in", "--json"});
    for (const std::string& a : sys.Standard()) argv.push_back(a);
    const pid_t stripe = testsupport::StartProcess(argv, options).pid;
    // 96 s of tape in real time; the bound is only against a hang.
    ASSERT_EQ(testsupport::WaitProcess(stripe, 300000), 0) << ReadFile(dir.path() + "/stripe.err");
    ASSERT_TRUE(deck.Finish());
    const std::string said = ReadFile(dir.path() + "/stripe.err");
    EXPECT_NE(said.find("the leader starts at " + sys.Label("00:58:30") + ", so that the programme starts at " +
                        sys.Label("01:00:00")),
              std::string::npos)
        << said;
    EXPECT_EQ(deck.ReportValue("timecode breaks"), "0");

    Tape read(sys);
    ASSERT_NO_FATAL_FAILURE(read.Load(tape));
    const std::map<int, size_t>& at = read.at;
    const int rate = sys.Rate();
    const int leaderStart = sys.Frame("00:58:30"), programme = sys.Frame("01:00:00");
    ASSERT_TRUE(read.Has(leaderStart)) << sys.Label("00:58:30") << " is not on tape";
    ASSERT_TRUE(read.Has(programme + 3 * rate - 1)) << "the black after the leader is not all on tape";
    // The segments where the layout puts them (labels).
    const int barsEnd = sys.Frame("00:59:30"), slateStart = sys.Frame("00:59:40"), countdownStart = sys.Frame("00:59:50"),
              pop = sys.Frame("00:59:58");
    // 90 s of labels: drop-frame counting leaves out two labels at 00:59:00.
    ASSERT_EQ(programme - leaderStart, sys.Pal() ? 2250 : 2698);

    // The sound: the tone to the last bars frame, then only the blips and the pop.
    for (int f = leaderStart; f < barsEnd; f += (f > barsEnd - 5 ? 1 : 97))
        EXPECT_NEAR(read.Peak(f), 3277, 3) << "the tone at " << sys.Text(f);
    EXPECT_NEAR(read.Peak(barsEnd - 1), 3277, 3) << "the tone ends on the last bars frame";
    std::vector<int> expected;
    for (int second = 0; second < 8; ++second) expected.push_back(countdownStart + second * rate);
    expected.push_back(pop);
    EXPECT_EQ(read.Sounding(barsEnd, programme + 3 * rate), expected)
        << "a one-frame blip on each second of the countdown and the two-pop, silence elsewhere";

    // The pictures. The slate's title, above the burnt-in timecode.
    EXPECT_NE(Read(tape, dir.path(), int(at.at(slateStart + 100)), 72, sys.slateTop, 576, sys.boxTop - sys.slateTop,
                   kPage)
                  .find("Title: Test"),
              std::string::npos);
    // The countdown's digits on their seconds, and the 2 on the frame of the pop.
    const auto digit = [&](int f) {
        return Read(tape, dir.path(), int(at.at(f)), sys.plateLeft, sys.plateTop, sys.plateSide, sys.plateSide, kDigits);
    };
    for (int second = 0; second < 8; ++second) {
        const int f = countdownStart + second * rate + rate / 2;
        EXPECT_EQ(digit(f), std::to_string(10 - second)) << sys.Text(f);
    }
    EXPECT_EQ(digit(pop), "2");
    EXPECT_NE(digit(pop + 1), "2") << "the 2 is one frame";
    // The burnt-in timecode matches the subcode's: its eight digits (tesseract passes over the
    // separators, spaced out in their cells, as often as not).
    const auto digits = [](const std::string& text) {
        std::string only;
        for (char c : text) {
            if (c >= '0' && c <= '9') only += c;
        }
        return only;
    };
    for (int f : {leaderStart, leaderStart + 1234, countdownStart + 7, programme, programme + 61}) {
        EXPECT_EQ(digits(Read(tape, dir.path(), int(at.at(f)), 128, sys.boxTop, 416, 48, kLabel)), digits(sys.Text(f)))
            << sys.Text(f);
    }
}

TEST_F(Leader, BadLayoutsAndValuesAreUsageErrorsThatSendNothing) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<Case> cases{
        {{"--layout", "bars:60,tone:5"}, "unknown kind 'tone'"},
        {{"--layout", "countdown:10"}, "at most 8 seconds"},
        {{"--layout", "bars:60,"}, "empty segment"},
        {{"--leader", "--layout", "bars:5"}, "exclude each other"},
        {{"--leader", "--duration", "10"}, "no --duration"},
        {{"--leader", "--timecode", "01:00:00;00"}, "no --timecode"},
        {{"--leader", "--program-start", "1:00"}, "--program-start: not a timecode"},
        {{"--leader", "--program-start", "00:01:00;00"}, "skips"},
        {{"--leader", "--black-after", "soon"}, "--black-after: not a length"},
        {{"--leader", "--slate", "Test"}, "KEY=VALUE"},
        {{"--burn-in", "--duration", "10"}, "go with --leader or --layout"},
        {{"--leader", "--standard", "pal", "--program-start", "01:00:00;00"}, "never drop-frame"},
        {{"--standard", "pal", "--layout", "bars:00:00:01:27"}, "frames 00-24"},
        {{"--standard", "pal", "--leader", "--black-after", "00:00:01:29"}, "--black-after: not a length of 625/50"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{BuildFile("tamsel-stripe")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testsupport::ProcessOptions options;
        options.out = testsupport::Sink::ToFile(dir.path() + "/usage.out");
        options.err = testsupport::Sink::ToFile(dir.path() + "/usage.err");
        options.env = {std::string(PLATFORM_STATE_DIR_ENV) + "=" + testsupport::StateDir()};
        EXPECT_EQ(testsupport::RunProcess(argv, options), 2) << c.args[0] << " " << c.args[1];
        const std::string said = ReadFile(dir.path() + "/usage.err");
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_NE(said.find("usage: tamsel-stripe"), std::string::npos) << said;
    }
}

TEST_P(LeaderIn, OnACamcorderWithRecordLatencyTheLeaderStillLandsOnItsLabels) {
    // A short leader on a simulated camcorder of the system that takes its time to record: the
    // pre-roll covers it, and the tape holds the leader from its first label with the sound on its
    // frames. The camcorder's own system is taken.
    std::string out;
    ASSERT_EQ(Shell("cd " + Quote(testsupport::BuildDir()) + " && " + PLATFORM_STATE_DIR_ENV "=" +
                        Quote(testsupport::StateDir()) + " ./sim1394 --node camcorder:" + (sys.Pal() ? "pal," : "") +
                        "latency=2000 --tape " + Quote(tape) +
                        " -- ./tamsel-stripe --record --layout bars:3,black:1,slate:1,countdown:2,black:2"
                        " --black-after 1 --slate Title=Test --tone",
                    &out),
              0)
        << out;
    EXPECT_NE(out.find("the leader starts at " + sys.Label("00:59:51")), std::string::npos) << out;
    Tape read(sys);
    ASSERT_NO_FATAL_FAILURE(read.Load(tape));
    const int rate = sys.Rate();
    const int start = sys.Frame("00:59:51"), programme = sys.Frame("01:00:00");
    ASSERT_TRUE(read.Has(start)) << "the leader's first frame is not on tape";
    ASSERT_TRUE(read.Has(programme + rate - 1)) << "the black after it is not all on tape";
    EXPECT_NEAR(read.Peak(start), 3277, 3);
    EXPECT_NEAR(read.Peak(sys.Frame("00:59:53", rate - 1)), 3277, 3) << "the tone to the last bars frame";
    EXPECT_EQ(read.Peak(sys.Frame("00:59:54")), 0) << "and not after it";
    EXPECT_EQ(read.Sounding(sys.Frame("00:59:54"), programme + rate),
              (std::vector<int>{sys.Frame("00:59:56"), sys.Frame("00:59:57"), sys.Frame("00:59:58")}));
    // The checker lays the same leader out in the tape's own system, passes over the pre-roll and
    // finds every frame as the layout has it.
    ASSERT_EQ(Shell("cd " + Quote(testsupport::BuildDir()) + " && " + PLATFORM_STATE_DIR_ENV "=" +
                        Quote(testsupport::StateDir()) + " ./tamsel-stripe --verify-file " + Quote(tape) +
                        " --layout bars:3,black:1,slate:1,countdown:2,black:2 --black-after 1 --tone 2>&1",
                    &out),
              0)
        << out;
    EXPECT_NE(out.find("good: "), std::string::npos) << out;
    EXPECT_NE(out.find(sys.Label("00:59:51")), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(BothSystems, LeaderIn, testing::Values(&kNtsc, &kPal), NameOf);

// The whole default leader and a minute of black and code after it, unattended, onto a camcorder
// on the simulated bus that records 1.5 s after RECORD: the pre-roll covers the latency, the bars
// start at 00:58:30;00 and the tape runs unbroken to the minute's end, each frame as the layout
// has it (the checker's judgement: bars and tone, silent black and slate, the blips and the
// two-pop, black after), the slate's title legible.
TEST(LeaderOnBus, TheWholeLeaderAndAMinuteOfBlackLandOnALaggingCamcorder) {
    NeedTools();
    const System& sys = kNtsc;
    TempDir dir;
    const std::string tape = dir.path() + "/tape.dv";
    const std::string leader = " --leader --program-start '01:00:00;00' --black-after 60 --tone";
    const std::string inBuild =
        "cd " + Quote(testsupport::BuildDir()) + " && " + PLATFORM_STATE_DIR_ENV "=" + Quote(testsupport::StateDir());
    std::string out;
    // 153 s of tape in real time.
    ASSERT_EQ(Shell(inBuild + " ./sim1394 --node camcorder:latency=1500 --tape " + Quote(tape) +
                        " -- ./tamsel-stripe --record --slate Title=Test" + leader + " 2>&1",
                    &out),
              0)
        << out;
    EXPECT_NE(out.find("the leader starts at 00:58:30;00, so that the programme starts at 01:00:00;00"),
              std::string::npos)
        << out;
    Tape read(sys);
    ASSERT_NO_FATAL_FAILURE(read.Load(tape));
    const int leaderStart = sys.Frame("00:58:30"), programme = sys.Frame("01:00:00");
    ASSERT_TRUE(read.Has(leaderStart - 15)) << "the pre-roll before the leader is on tape";
    ASSERT_TRUE(read.Has(programme + 1799)) << "the minute of black after the leader is not all on tape";
    EXPECT_NE(Read(tape, dir.path(), int(read.at.at(sys.Frame("00:59:40") + 100)), 72, sys.slateTop, 576, 320, kPage)
                  .find("Title: Test"),
              std::string::npos);
    ASSERT_EQ(Shell(inBuild + " ./tamsel-stripe --verify-file " + Quote(tape) + leader + " 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("good: "), std::string::npos) << out;
}
