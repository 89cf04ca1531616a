// Colour bars onto a virtual deck's tape, the way the control program puts them on a camcorder:
// "Velora Color Bar" -> "DV Video Encoder" -> "DV Muxer" -> "Microsoft DV Camera and VCR", found
// and connected through the platform only (three direct connections, no media types), run, then
// paused and left paused while the deck records.
#include <gtest/gtest.h>

#include <dshow.h>

#include <cmath>
#include <cstdio>
#include <thread>

#include "tests/support/control_chain.h"
#include "tests/support/dv/deck_test_process.h"
#include "tests/support/dv/tape_timecode.h"
#include "dv/filters/device_statistics.h"
#include "dv/transport_interface.h"
#include "tests/support/luma_psnr.h"
#include "tests/support/process.h"

using decktest::DeckProcess;
using decktest::kFrameBytes;
using decktest::NowMs;
using decktest::TempDir;
using testsupport::BuildFile;
using testsupport::kLumaBytes;
using testsupport::kYuv411Bytes;
using testsupport::LumaPsnr;
using testsupport::Shell;

namespace {

constexpr double kFramesPerSecond = 30000.0 / 1001.0;
// "Promptly" means before the transport's stall timeout: a Stop that waited for the device would
// take at least that long.
constexpr int64_t kPromptMs = dv::kTransportStallTimeoutMs;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The control program's graph, with what the tests read from it.
struct Chain : ControlChain {
    // Events waiting in the graph's queue (for up to timeoutMs for the first).
    std::vector<std::pair<LONG, LONG_PTR>> TakeEvents(LONG timeoutMs) {
        std::vector<std::pair<LONG, LONG_PTR>> taken;
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (events->GetEvent(&code, &p1, &p2, taken.empty() ? timeoutMs : 0) == S_OK) {
            taken.push_back({code, p1});
            events->FreeEventParams(code, p1, p2);
        }
        return taken;
    }
};

class DvTape : public decktest::DeckTest {
protected:
    static void SetUpTestSuite() {
        for (const char* piece : {"tamsel.ax", "colorbar.dat", "dvfilters.so", "regsvr", "dvdeck"}) {
            if (!Exists(BuildFile(piece))) missing = std::string(piece) + " is not built";
        }
        if (missing.empty() && Shell("ffprobe -version >/dev/null") != 0) missing = "ffprobe is not installed";
        if (missing.empty() && Shell("cd '" + testsupport::BuildDir() + "' && ./regsvr tamsel.ax >/dev/null") != 0) {
            missing = "tamsel.ax could not be registered";
        }
    }
    void SetUp() override {
        if (!missing.empty()) FAIL() << missing;
        CoInitialize(nullptr);
    }
    void TearDown() override {
        if (missing.empty()) CoUninitialize();
    }

    // A deck named `name` recording to `file` in this test's folder, listening.
    testing::AssertionResult StartDeck(const std::string& file, const std::string& name) {
        tape = dir.path() + "/" + file;
        return deck.StartListening(tape, name);
    }

    // The chain streaming onto the deck for a second, then the deck stopped (SIGSTOP) so that it
    // takes nothing more; "" or what failed.
    std::string StreamThenStall(Chain& chain) {
        const std::string built = chain.BuildAndStart();
        if (!built.empty()) return built;
        std::this_thread::sleep_for(std::chrono::seconds(1));
        deck.Signal(SIGSTOP);
        return "";
    }

    // The stalled deck let go on and ended: it must exit cleanly with whole frames on the tape.
    void ResumeAndEndDeck() {
        deck.Signal(SIGCONT);
        ASSERT_TRUE(deck.Finish());
        EXPECT_EQ(0u, decktest::ReadFile(tape).size() % kFrameBytes) << "whole frames only";
    }

    static std::string missing;
};
std::string DvTape::missing;

TEST_F(DvTape, ColourBarsReachTheTapeAtTheDvFrameRate) {
    ASSERT_TRUE(StartDeck("bars.dv", "e2e deck"));

    Chain chain;
    ASSERT_EQ("", chain.Build());
    const int64_t started = NowMs();
    chain.control->Run();
    chain.control->Pause();
    std::this_thread::sleep_for(std::chrono::seconds(4));

    IDVDeviceStatistics* statistics = nullptr;
    ASSERT_EQ(S_OK, chain.filters[3]->QueryInterface(IID_IDVDeviceStatistics, reinterpret_cast<void**>(&statistics)));
    DVDeviceStatistics stats {};
    statistics->GetStatistics(&stats);
    statistics->Release();

    const int64_t stopping = NowMs();
    chain.control->Stop();
    const int64_t stopped = NowMs();
    EXPECT_LT(stopped - stopping, kPromptMs) << "Stop must return promptly";
    for (const auto& [code, status] : chain.TakeEvents(0)) {
        EXPECT_NE(EC_ERRORABORT, code) << "status 0x" << std::hex << status;
    }

    // The device's sample times settle at one DV frame period once the stream follows the
    // quality messages.
    EXPECT_GT(stats.qualityMessages, 0);
    ASSERT_GE(stats.averagedFrames, 30);
    EXPECT_NEAR(333667.0, double(stats.averageStep), 333667.0 * 0.01);

    ASSERT_TRUE(deck.Finish());
    const std::string bytes = decktest::ReadFile(tape);
    ASSERT_EQ(0u, bytes.size() % kFrameBytes) << "whole frames only";
    const size_t frames = bytes.size() / kFrameBytes;
    const double streamed = (stopped - started) / 1000.0 * kFramesPerSecond;
    EXPECT_LE(double(frames), streamed + 3) << "more frames than the deck's pace allows";
    EXPECT_GE(double(frames), streamed - 10) << "frames missing; deck said: " << deck.Output();
    EXPECT_EQ(std::to_string(frames), deck.ReportValue("frames"));
    std::printf("[ info     ] %zu frames for %.1f frame periods streamed; %lld quality messages, "
                "mean step %lld over the last %d frames; deck: %s ticks without a frame\n",
                frames, streamed, static_cast<long long>(stats.qualityMessages),
                static_cast<long long>(stats.averageStep), int(stats.averagedFrames),
                deck.ReportValue("ticks without a frame").c_str());

    // Continuous timecode, read back from every frame.
    ASSERT_NO_FATAL_FAILURE(dvtest::ExpectContinuousTimecode(bytes, kFrameBytes));
    EXPECT_EQ("0", deck.ReportValue("timecode breaks"));

    // An outside judge: NTSC DV with 48 kHz audio.
    std::string probe;
    ASSERT_EQ(0, Shell("ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,r_frame_rate,sample_rate"
                       " -of default=nw=1 '" + tape + "'", &probe));
    for (const char* expected : {"codec_name=dvvideo", "width=720", "height=480", "r_frame_rate=30000/1001",
                                 "codec_type=audio", "sample_rate=48000"}) {
        EXPECT_NE(std::string::npos, probe.find(expected)) << expected << " not in:\n" << probe;
    }

    // The pictures are the colour bars: colorbar.dat (a bottom-up BGR bitmap after a 54-byte
    // header) converted to the decoder's yuv411p the same way, luma compared.
    const std::string bars = decktest::ReadFile(BuildFile("colorbar.dat"));
    ASSERT_EQ(54u + kLumaBytes * 3, bars.size());
    {
        std::FILE* out = std::fopen((dir.path() + "/bars.bgr").c_str(), "wb");
        std::fwrite(bars.data() + 54, 1, kLumaBytes * 3, out);
        std::fclose(out);
    }
    ASSERT_EQ(0, Shell("ffmpeg -v error -f rawvideo -pix_fmt bgr24 -s 720x480 -i '" + dir.path() +
                       "/bars.bgr' -vf vflip -pix_fmt yuv411p -f rawvideo -y '" + dir.path() + "/bars.yuv'"));
    ASSERT_EQ(0, Shell("ffmpeg -v error -i '" + tape + "' -f rawvideo -pix_fmt yuv411p -y '" + dir.path() +
                       "/tape.yuv'"));
    const std::string reference = decktest::ReadFile(dir.path() + "/bars.yuv");
    const std::string decoded = decktest::ReadFile(dir.path() + "/tape.yuv");
    ASSERT_EQ(kYuv411Bytes, reference.size());
    ASSERT_EQ(frames * kYuv411Bytes, decoded.size());
    for (size_t i : {size_t(0), frames / 2, frames - 1}) {
        const double psnr = LumaPsnr(reinterpret_cast<const uint8_t*>(decoded.data()) + i * kYuv411Bytes,
                                     reinterpret_cast<const uint8_t*>(reference.data()));
        EXPECT_GT(psnr, 35.0) << "frame " << i;
        std::printf("[ info     ] frame %zu: luma PSNR %.1f dB\n", i, psnr);
    }
}

TEST_F(DvTape, KillingTheDeckMidStreamAbortsTheGraph) {
    ASSERT_TRUE(StartDeck("cut.dv", "doomed deck"));

    Chain chain;
    ASSERT_EQ("", chain.BuildAndStart());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    deck.Signal(SIGKILL);
    deck.Wait();

    bool aborted = false;
    const int64_t killed = NowMs();
    while (!aborted && NowMs() - killed < 5000) {
        for (const auto& [code, status] : chain.TakeEvents(500)) {
            if (code == EC_ERRORABORT) {
                aborted = true;
                // The device says it is gone, so the application can tell the user why.
                EXPECT_EQ(dv::kTransportDeviceGone, HRESULT(status)) << Hex(HRESULT(status));
            }
        }
    }
    EXPECT_TRUE(aborted) << "no EC_ERRORABORT after the deck died";
    const int64_t stopping = NowMs();
    chain.control->Stop();
    EXPECT_LT(NowMs() - stopping, kPromptMs) << "Stop must return promptly";

    const std::string bytes = decktest::ReadFile(tape);
    EXPECT_GT(bytes.size(), 0u);
    EXPECT_EQ(0u, bytes.size() % kFrameBytes) << "whole frames only";
}

TEST_F(DvTape, StopReturnsPromptlyFromAStalledDeck) {
    ASSERT_TRUE(StartDeck("stalled.dv", "stalled deck"));
    Chain chain;
    ASSERT_EQ("", StreamThenStall(chain));  // the device's Receive blocks with the socket full
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int64_t stopping = NowMs();
    chain.control->Stop();
    EXPECT_LT(NowMs() - stopping, kPromptMs) << "Stop must not wait for the stalled device";
    for (const auto& [code, status] : chain.TakeEvents(0)) {
        EXPECT_NE(EC_ERRORABORT, code) << "stopping is no error";
    }
    deck.Signal(SIGCONT);
    // The deck takes what was whole in the socket, then finds the cut frame and the hang-up; the
    // frame cut short must not reach the tape.
    for (int i = 0; i < 500 && deck.Output().find("sender finished") == std::string::npos; ++i) usleep(10000);
    ResumeAndEndDeck();
    EXPECT_GT(decktest::ReadFile(tape).size(), 0u);
}

// A deck that stopped taking frames a while before the stop (a second or more: far beyond its
// pace, short of the stall limit that would have failed the stream) lost what the graph sent
// meanwhile; the device says so during the stop, as it would a moment later while streaming.
TEST_F(DvTape, AStallThatLastsUntilTheStopIsReportedByTheStop) {
    ASSERT_TRUE(StartDeck("stalled.dv", "stalled deck"));
    Chain chain;
    ASSERT_EQ("", StreamThenStall(chain));
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * dv::kTransportStallAtStopMs));
    ASSERT_LT(2 * dv::kTransportStallAtStopMs, dv::kTransportStallTimeoutMs);
    for (const auto& [code, status] : chain.TakeEvents(0)) {
        EXPECT_NE(EC_ERRORABORT, code) << "the stall was found before the stop: 0x" << std::hex << status;
    }
    chain.control->Stop();
    std::vector<LONG_PTR> aborts;
    for (const auto& [code, status] : chain.TakeEvents(0)) {
        if (code == EC_ERRORABORT) aborts.push_back(status);
    }
    ASSERT_EQ(1u, aborts.size()) << "the frames lost in the stall were not reported, or more than once";
    EXPECT_EQ(dv::kTransportTimeout, HRESULT(aborts[0]));
    ResumeAndEndDeck();
}

TEST_F(DvTape, WithoutADeckOrAdapterTheCategoryIsEmpty) {
    if (Exists("/dev/fw0")) GTEST_SKIP() << "a 1394 adapter is present";
    ICreateDevEnum* devEnum = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                     reinterpret_cast<void**>(&devEnum)));
    IEnumMoniker* monikers = nullptr;
    const HRESULT hr = devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0);
    devEnum->Release();
    EXPECT_TRUE(SUCCEEDED(hr));
    if (monikers != nullptr) {
        IMoniker* moniker = nullptr;
        EXPECT_NE(S_OK, monikers->Next(1, &moniker, nullptr));
        SafeRelease(moniker);
        monikers->Release();
    }
    EXPECT_EQ(nullptr, Chain::FindDevice());
}

}  // namespace
