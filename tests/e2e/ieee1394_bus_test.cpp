// The IEEE 1394 path end to end on the simulated bus (sim1394): the real programs (graphinfo,
// Tamsel through scripts/run.sh) and the real libiec61883, librom1394 and libavc1394 over the
// test libraw1394, with virtual camcorders, decks and disks. The tape a virtual unit records and
// the capture of every isochronous packet are judged afterwards: the tape by ffprobe/ffmpeg, the
// capture by our own CIP checker. Where the bus fails Tamsel, what the user is told (its message,
// also on its stderr when headless, and its exit status) is judged too. The graph-level tests
// (unplug) run this program again on the bus and drive the control program's graph directly.
#include <gtest/gtest.h>

#include <dshow.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/sim1394/capture_check.h"
#include "tests/support/control_chain.h"
#include "tests/support/dv/tape_timecode.h"
#include "tests/support/luma_psnr.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"
#include "dv/transport_interface.h"

using testsupport::BuildFile;
using testsupport::kLumaBytes;
using testsupport::kYuv411Bytes;
using testsupport::LumaPsnr;
using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::Shell;

namespace {

constexpr size_t kFrameBytes = 120000;
constexpr int kLocalNodeAfterOneUnit = 1;  // the host's adapter follows the virtual nodes
const char kNoDevice[] = "DV機器が見つかりませんでした。";
const char kCouldNotStart[] = "Tamsel: DV出力を開始できませんでした。";
const char kDeviceBusy[] = "DV機器は他のアプリケーションが使用中です。";
const char kNoBusResources[] = "IEEE 1394 バスの帯域またはチャンネルが足りません。";
const char kDeviceLost[] = "Tamsel: DV出力が中断されました。\nDV機器が取り外されたか、接続が切れました。";
const char kRunFailed[] = "run.sh: error: Tamsel failed (status 1)";
const char kRunDone[] = "run.sh: done";

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The number after `key` on the sim1394 report line that starts with `line`; -1 if absent.
long ReportValue(const std::string& output, const std::string& line, const std::string& key) {
    const size_t at = output.find("sim1394: " + line);
    if (at == std::string::npos) return -1;
    const size_t end = output.find('\n', at);
    const std::string text = output.substr(at, end - at);
    const size_t k = text.find(key);
    if (k == std::string::npos) return -1;
    return std::strtol(text.c_str() + k + key.size(), nullptr, 10);
}

// Every bandwidth unit (4915 on a free bus) and every channel is back with the bus's resource
// manager.
void ExpectIrmResourcesFree(const std::string& out) {
    EXPECT_EQ(4915, ReportValue(out, "IRM bandwidth available", "available ")) << out;
    EXPECT_EQ(64, ReportValue(out, "IRM channels available", "available ")) << out;
}

// The camcorder unplugged while recording kept whole frames only, as many as it counted.
void ExpectUnpluggedTapeWhole(const std::string& tape, const std::string& out) {
    const std::string bytes = ReadFile(tape);
    EXPECT_GT(bytes.size(), 0u);
    EXPECT_EQ(0u, bytes.size() % kFrameBytes) << "whole frames only";
    EXPECT_EQ(long(bytes.size() / kFrameBytes), ReportValue(out, "camcorder 0 (unplugged):", "frames recorded "));
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A folder of the test's own, removed with its files when the test ends.
struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("tamsel-1394") {}
};

class Ieee1394Bus : public testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* piece : {"sim1394", "sim1394-lib/libraw1394.so.11", "Tamsel", "graphinfo", "regsvr",
                                  "tamsel.ax", "colorbar.dat", "dvfilters.so"}) {
            if (!Exists(BuildFile(piece))) missing = std::string(piece) + " is not built";
        }
        if (missing.empty() && Shell("ffprobe -version >/dev/null") != 0) missing = "ffprobe is not installed";
        if (missing.empty() && Shell("cd " + Quote(testsupport::BuildDir()) + " && ./regsvr tamsel.ax") != 0) {
            missing = "tamsel.ax could not be registered";
        }
    }
    void SetUp() override {
        if (!missing.empty()) FAIL() << missing;
    }

    // sim1394 OPTIONS -- bash -c SCRIPT, run in the build directory.
    int OnBus(const std::string& options, const std::string& script, std::string* output) {
        return Shell("cd " + Quote(testsupport::BuildDir()) + " && ./sim1394 " + options + " -- bash -c " +
                         Quote(script),
                     output);
    }
    // The main job with the given run time, as a user runs it (no rebuild).
    static std::string RunScript(int seconds, const std::string& spareTape) {
        return "TAMSEL_BUILD_DIR=" + Quote(testsupport::BuildDir()) + " TAMSEL_RUN_SECONDS=" + std::to_string(seconds) +
               " TAMSEL_TAPE=" + Quote(spareTape) + " QT_QPA_PLATFORM=offscreen bash " +
               Quote(std::string(TAMSEL_SOURCE_DIR) + "/scripts/run.sh");
    }

    static std::string missing;
};
std::string Ieee1394Bus::missing;

// The tape holds whole NTSC DV frames of the colour bars (ffprobe and ffmpeg as outside judges).
void ExpectColourBarTape(const std::string& tape, const std::string& work) {
    const std::string bytes = ReadFile(tape);
    ASSERT_GT(bytes.size(), 0u) << "nothing recorded";
    ASSERT_EQ(0u, bytes.size() % kFrameBytes) << "whole frames only";
    std::string probe;
    ASSERT_EQ(0, Shell("ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,r_frame_rate"
                       " -of default=nw=1 " + Quote(tape), &probe));
    for (const char* expected : {"codec_name=dvvideo", "width=720", "height=480", "r_frame_rate=30000/1001",
                                 "codec_type=audio"}) {
        EXPECT_TRUE(Contains(probe, expected)) << expected << " not in:\n" << probe;
    }
    const std::string bars = ReadFile(BuildFile("colorbar.dat"));
    ASSERT_EQ(54u + kLumaBytes * 3, bars.size());
    std::ofstream(work + "/bars.bgr", std::ios::binary).write(bars.data() + 54, std::streamsize(kLumaBytes * 3));
    ASSERT_EQ(0, Shell("ffmpeg -v error -f rawvideo -pix_fmt bgr24 -s 720x480 -i " + Quote(work + "/bars.bgr") +
                       " -vf vflip -pix_fmt yuv411p -f rawvideo -y " + Quote(work + "/bars.yuv")));
    ASSERT_EQ(0, Shell("ffmpeg -v error -i " + Quote(tape) + " -f rawvideo -pix_fmt yuv411p -y " +
                       Quote(work + "/tape.yuv")));
    const std::string reference = ReadFile(work + "/bars.yuv");
    const std::string decoded = ReadFile(work + "/tape.yuv");
    const size_t frames = bytes.size() / kFrameBytes;
    ASSERT_EQ(frames * kYuv411Bytes, decoded.size());
    // The subcode timecode runs on by one frame from the first frame to the last: nothing
    // repeated, nothing lost.
    ASSERT_NO_FATAL_FAILURE(dvtest::ExpectContinuousTimecode(bytes, kFrameBytes));
    for (size_t i : {size_t(0), frames - 1}) {
        EXPECT_GT(LumaPsnr(reinterpret_cast<const uint8_t*>(decoded.data()) + i * kYuv411Bytes,
                           reinterpret_cast<const uint8_t*>(reference.data())),
                  35.0)
            << "frame " << i << " is not the colour bars";
    }
}

// Checks the capture's stream to the unit and returns its channel.
sim1394::StreamCheck ExpectValidStream(const std::string& capture, int sourceNode) {
    std::vector<sim1394::CapturedPacket> packets;
    std::string why;
    EXPECT_TRUE(sim1394::ReadCapture(capture, &packets, &why)) << why;
    if (packets.empty()) {
        ADD_FAILURE() << "no isochronous packets";
        return {};
    }
    const sim1394::StreamCheck c = sim1394::CheckDvStream(packets, packets.front().channel, sourceNode);
    EXPECT_EQ(packets.size(), c.packets) << "packets on more than one channel";
    for (const std::string& e : c.errors) ADD_FAILURE() << e;
    EXPECT_GT(c.frames, 10u);
    // libiec61883's pacing: 1000 data packets in every 1068 (29.97 frames a second at 8000
    // packets a second, one packet per bus cycle).
    EXPECT_NEAR(1000.0 / 1068.0, c.dataShare, 0.003);
    EXPECT_LE(c.cycleGaps, c.packets / 100) << "the stream skipped bus cycles";
    return c;
}

TEST_F(Ieee1394Bus, ACamcorderIsListedAndRecordsTheColourBars) {
    TempDir dir;
    const std::string tape = dir.path() + "/camcorder.dv", capture = dir.path() + "/bus.iso";
    std::string out;
    const int status = OnBus("--recording --tape " + Quote(tape) + " --capture " + Quote(capture),
                             "./graphinfo && " + RunScript(4, dir.path() + "/deck.dv"), &out);
    ASSERT_EQ(0, status) << out;
    EXPECT_TRUE(Contains(out, "Microsoft DV Camera and VCR  [1394:")) << out;
    EXPECT_TRUE(Contains(out, "a DV device is attached")) << out;
    EXPECT_FALSE(Exists(dir.path() + "/deck.dv")) << "the virtual deck was started";
    ExpectColourBarTape(tape, dir.path());
    const sim1394::StreamCheck stream = ExpectValidStream(capture, kLocalNodeAfterOneUnit);
    EXPECT_NE(63, stream.channel) << "a plug connection, not broadcast";
    EXPECT_EQ(long(ReadFile(tape).size() / kFrameBytes), ReportValue(out, "camcorder 0:", "frames recorded "));
    EXPECT_EQ(0, ReportValue(out, "camcorder 0:", "frames lost "));
    // Stopping gave everything back.
    ExpectIrmResourcesFree(out);
    EXPECT_EQ(0, ReportValue(out, "camcorder 0 input plug", "plug: "));
}

TEST_F(Ieee1394Bus, WithOnlyADiskOrNothingTamselFindsNoDvDevice) {
    // Tamsel shows its message in a box; headless it is also on stderr. The box is then closed
    // by SIGTERM here, and Tamsel still ends with status 1.
    const std::string script =
        "./graphinfo | sed -n '/^Video input devices:/,$p'; "
        "log=$(mktemp); QT_QPA_PLATFORM=offscreen ./Tamsel >\"$log\" 2>&1 & pid=$!; "
        "for i in $(seq 1 300); do grep -q 'DV機器' \"$log\" && break; kill -0 $pid 2>/dev/null || break; "
        "sleep 0.1; done; kill -TERM $pid 2>/dev/null; wait $pid; echo \"Tamsel status $?\"; cat \"$log\"; "
        "rm -f \"$log\"";
    for (const char* nodes : {"--node disk", "--node none"}) {
        std::string out;
        OnBus(nodes, script, &out);
        EXPECT_TRUE(Contains(out, std::string("Tamsel: ") + kNoDevice)) << nodes << ":\n" << out;
        EXPECT_TRUE(Contains(out, "Tamsel status 1\n")) << nodes << ":\n" << out;
        EXPECT_FALSE(Contains(out, "Microsoft DV Camera and VCR")) << nodes << ":\n" << out;
    }
}

TEST_F(Ieee1394Bus, ADeckWithoutCameraAndTheLastOfTwoUnits) {
    TempDir dir;
    {
        std::string out;
        ASSERT_EQ(0, OnBus("--recording --node deck", RunScript(3, dir.path() + "/spare.dv"), &out)) << out;
        EXPECT_GT(ReportValue(out, "deck 0:", "frames recorded "), 10) << out;
    }
    // Both units are listed; the control program takes the last one listed (bus order: the
    // highest node number), here the deck, and the camcorder gets nothing.
    std::string out;
    ASSERT_EQ(0, OnBus("--recording --node camcorder --node deck", "./graphinfo && " + RunScript(3, dir.path() + "/spare.dv"), &out))
        << out;
    EXPECT_TRUE(Contains(out, "[1394:0080880000a00001]")) << out;
    EXPECT_TRUE(Contains(out, "[1394:0080880000a00002]")) << out;
    EXPECT_GT(ReportValue(out, "deck 1:", "frames recorded "), 10) << out;
    EXPECT_EQ(0, ReportValue(out, "camcorder 0:", "frames recorded ")) << out;
}

// Another host sends to the camcorder: it listens to that host's channel, so nothing we send
// would be recorded. Tamsel says the device is busy, and the other connection stays untouched
// with nothing of ours allocated.
TEST_F(Ieee1394Bus, ACamcorderAnotherHostSendsToIsBusy) {
    TempDir dir;
    const std::string capture = dir.path() + "/bus.iso";
    std::string out;
    const int status = OnBus("--preconnect --capture " + Quote(capture), RunScript(3, dir.path() + "/spare.dv"), &out);
    EXPECT_NE(0, status) << out;
    EXPECT_TRUE(Contains(out, kCouldNotStart)) << out;
    EXPECT_TRUE(Contains(out, kDeviceBusy)) << out;
    EXPECT_TRUE(Contains(out, kRunFailed)) << out;
    EXPECT_EQ(8u, ReadFile(capture).size()) << "packets went out";
    EXPECT_EQ(1, ReportValue(out, "camcorder 0 input plug", "plug: ")) << out;
    EXPECT_TRUE(Contains(out, "point-to-point, channel 5 (another host)")) << out;
    EXPECT_EQ(4915 - 1200, ReportValue(out, "IRM bandwidth available", "available "));
    EXPECT_EQ(63, ReportValue(out, "IRM channels available", "available "));
}

TEST_F(Ieee1394Bus, NoBandwidthOrChannelLeftIsAClearFailureThatLeavesNothingBehind) {
    for (const char* exhausted : {"--no-bandwidth", "--no-channels"}) {
        TempDir dir;
        const std::string capture = dir.path() + "/bus.iso";
        std::string out;
        // Tamsel tells the user (headless, on its stderr too) and ends with status 1 once run.sh's
        // SIGTERM has closed the box; run.sh then fails and never says the bars were sent.
        const int status = OnBus(std::string(exhausted) + " --capture " + Quote(capture),
                                 "PLATFORM_DEBUG=ieee1394:1 " + RunScript(3, dir.path() + "/spare.dv"), &out);
        EXPECT_NE(0, status) << exhausted << ":\n" << out;
        EXPECT_TRUE(Contains(out, kCouldNotStart)) << exhausted << ":\n" << out;
        EXPECT_TRUE(Contains(out, kNoBusResources)) << exhausted << ":\n" << out;
        EXPECT_TRUE(Contains(out, kRunFailed)) << exhausted << ":\n" << out;
        EXPECT_FALSE(Contains(out, kRunDone)) << exhausted << ":\n" << out;
        EXPECT_TRUE(Contains(out, "no isochronous")) << exhausted << ":\n" << out;
        EXPECT_EQ(8u, ReadFile(capture).size()) << exhausted << ": packets went out";
        EXPECT_EQ(0, ReportValue(out, "camcorder 0 input plug", "plug: ")) << exhausted << ":\n" << out;
        if (std::string(exhausted) == "--no-bandwidth") {
            EXPECT_EQ(64, ReportValue(out, "IRM channels available", "available ")) << out;
        } else {
            EXPECT_EQ(4915, ReportValue(out, "IRM bandwidth available", "available ")) << out;
        }
    }
}

TEST_F(Ieee1394Bus, ABusResetWhileStreamingIsSurvived) {
    TempDir dir;
    const std::string tape = dir.path() + "/reset.dv", capture = dir.path() + "/bus.iso";
    std::string out;
    const int status = OnBus("--recording --tape " + Quote(tape) + " --capture " + Quote(capture),
                             "(PLATFORM_DEBUG=ieee1394:3 " + RunScript(7, dir.path() + "/spare.dv") +
                                 ") & job=$!; sleep 4; ./sim1394 --ctl reset; wait $job",
                             &out);
    ASSERT_EQ(0, status) << out;
    ASSERT_TRUE(Contains(out, "sim1394: bus reset at cycle")) << out;
    // Frames flow again within a second of bus time, and what was lost is counted.
    const long resumed = ReportValue(out, "camcorder 0: recording resumed", "resumed ");
    ASSERT_GE(resumed, 0) << out;
    EXPECT_LT(resumed, 8000) << "cycles from the reset to the next whole frame";
    // The camcorder missed blocks while unconnected, and the transport counted the frames it sent
    // meanwhile as lost.
    EXPECT_GE(ReportValue(out, "camcorder 0:", "block count breaks "), 1) << out;
    const size_t survived = out.find("bus reset survived");
    ASSERT_NE(std::string::npos, survived) << out;
    const size_t lost = out.find(" frames lost so far", survived);
    ASSERT_NE(std::string::npos, lost) << out;
    const size_t number = out.rfind(", ", lost);
    EXPECT_GT(std::strtol(out.c_str() + number + 2, nullptr, 10), 0) << out.substr(survived, lost - survived);
    ExpectValidStream(capture, kLocalNodeAfterOneUnit);
    const std::string bytes = ReadFile(tape);
    EXPECT_EQ(0u, bytes.size() % kFrameBytes);
    EXPECT_EQ(4915, ReportValue(out, "IRM bandwidth available", "available "));
    EXPECT_EQ(0, ReportValue(out, "camcorder 0 input plug", "plug: "));
}

// The same through Tamsel, as a user runs it with run.sh: once the camcorder has recorded, it is
// unplugged; Tamsel stops and says the device went away, run.sh fails, and the camcorder's tape
// keeps whole frames only.
TEST_F(Ieee1394Bus, TamselSaysTheUnpluggedCamcorderIsGone) {
    TempDir dir;
    const std::string tape = dir.path() + "/unplug.dv";
    std::string out;
    // The run time leaves room for a slow start: the unplug waits for the first recorded frame.
    const int status = OnBus("--recording --node camcorder --node disk --tape " + Quote(tape),
                             "(" + RunScript(7, dir.path() + "/spare.dv") + ") & job=$!; "
                             "for i in $(seq 1 100); do [ -s " + Quote(tape) + " ] && break; sleep 0.1; done; "
                             "sleep 0.5; ./sim1394 --ctl unplug camcorder; wait $job",
                             &out);
    EXPECT_NE(0, status) << out;
    ASSERT_TRUE(Contains(out, "camcorder 0 unplugged at cycle")) << out;
    EXPECT_TRUE(Contains(out, kDeviceLost)) << out;
    EXPECT_TRUE(Contains(out, kRunFailed)) << out;
    EXPECT_FALSE(Contains(out, kRunDone)) << out;
    ExpectUnpluggedTapeWhole(tape, out);
    // Tamsel stopped its graph before telling, and gave back what it held.
    ExpectIrmResourcesFree(out);
}

// Unplugging the camcorder while the control program's graph streams: the graph reports the
// device lost and Stop returns promptly. Runs itself on the bus (the inner half drives the graph).
TEST_F(Ieee1394Bus, UnpluggingTheCamcorderAbortsTheGraph) {
    if (getenv("SIM1394_SOCKET") == nullptr) {
        TempDir dir;
        const std::string tape = dir.path() + "/unplug.dv";
        std::string out;
        char self[4096] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        // A disk after the camcorder takes the camcorder's node number once it is gone.
        const int status =
            Shell("cd " + Quote(testsupport::BuildDir()) + " && ./sim1394 --recording --node camcorder --node disk --tape " +
                      Quote(tape) + " -- " + Quote(self) +
                      " --gtest_filter=Ieee1394Bus.UnpluggingTheCamcorderAbortsTheGraph",
                  &out);
        ASSERT_EQ(0, status) << out;
        EXPECT_TRUE(Contains(out, "camcorder 0 unplugged at cycle")) << out;
        ExpectUnpluggedTapeWhole(tape, out);
        ExpectIrmResourcesFree(out);
        return;
    }
    CoInitialize(nullptr);
    {
        ControlChain chain;
        ASSERT_EQ("", chain.Build());
        ASSERT_EQ(S_OK, chain.control->Run());
        chain.control->Pause();
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        ASSERT_EQ(0, Shell(Quote(BuildFile("sim1394")) + " --ctl unplug camcorder"));
        bool aborted = false;
        for (int waited = 0; !aborted && waited < 20; ++waited) {
            LONG code = 0;
            LONG_PTR p1 = 0, p2 = 0;
            while (chain.events->GetEvent(&code, &p1, &p2, 500) == S_OK) {
                if (code == EC_ERRORABORT) {
                    aborted = true;
                    EXPECT_EQ(dv::kTransportDeviceGone, HRESULT(p1)) << Hex(HRESULT(p1));
                }
                chain.events->FreeEventParams(code, p1, p2);
            }
        }
        EXPECT_TRUE(aborted) << "no EC_ERRORABORT after the unplug";
        const auto stopping = std::chrono::steady_clock::now();
        chain.control->Stop();
        const auto stopMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopping).count();
        // "Promptly": before the transport's stall timeout, which a Stop waiting on the bus would hit.
        EXPECT_LT(stopMs, dv::kTransportStallTimeoutMs);
    }
    CoUninitialize();
}

}  // namespace
