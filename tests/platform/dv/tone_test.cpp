// "Reference Tone": the PCM it offers, its level interface, and what it delivers: one sample a DV
// frame in the 1600/1602 pattern, stamped with the frame's times, a 1 kHz sine at the chosen
// level whose phase runs on across samples, or silence; and that it stops cleanly.
#include <gtest/gtest.h>

#include <platform/platform.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "tests/support/dv/dif_test_filters.h"
#include "dv/filters/muxer.h"
#include "dv/filters/reference_tone.h"
#include "tests/support/tone_analysis.h"

using namespace dvtest;

namespace {

// Tone -> a sink taking PCM, collecting the first `wanted` samples.
struct ToneChain {
    Ref<dv::ReferenceTone> tone{new dv::ReferenceTone()};
    Ref<TestSink> sink{new TestSink(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)};
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<ReceivedSample> samples;  // mutex

    ToneChain() {
        EXPECT_EQ(tone->Output().Connect(&sink->Input(), nullptr), S_OK);
        sink->Input().onSample = [this](const ReceivedSample& s) {
            std::lock_guard<std::mutex> lock(mutex);
            samples.push_back(s);
            arrived.notify_all();
        };
    }
    ~ToneChain() { StopAndUnlink({sink.p, tone.p}); }

    // Runs until `wanted` samples came (at most 20 s), then stops; the samples.
    std::vector<ReceivedSample> Collect(size_t wanted) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            samples.clear();
        }
        EXPECT_EQ(sink->Pause(), S_OK);
        EXPECT_EQ(tone->Pause(), S_OK);
        std::unique_lock<std::mutex> lock(mutex);
        const bool came = arrived.wait_for(lock, std::chrono::seconds(20), [&] { return samples.size() >= wanted; });
        lock.unlock();
        sink->Stop();
        tone->Stop();
        EXPECT_TRUE(came) << "the tone delivered too few samples";
        lock.lock();
        samples.resize(std::min(samples.size(), wanted));
        return samples;
    }
};

// One channel of interleaved 16-bit stereo samples; *same is false when the channels differ.
std::vector<int16_t> Left(const std::vector<ReceivedSample>& samples, bool* same) {
    std::vector<int16_t> left;
    *same = true;
    for (const ReceivedSample& s : samples) {
        std::vector<int16_t> pcm(s.data.size() / 2);
        std::memcpy(pcm.data(), s.data.data(), pcm.size() * 2);
        for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
            left.push_back(pcm[i]);
            if (pcm[i] != pcm[i + 1]) *same = false;
        }
    }
    return left;
}

}  // namespace

TEST(ReferenceTone, OffersStereo48kHz16BitPcmAndTakesOnlyLevelsUpToFullScale) {
    Ref<dv::ReferenceTone> tone(new dv::ReferenceTone());
    platform::MediaType mt;
    ASSERT_EQ(tone->Output().GetMediaType(0, &mt), S_OK);
    EXPECT_EQ(tone->Output().GetMediaType(1, &mt), VFW_S_NO_MORE_ITEMS);
    ASSERT_EQ(tone->Output().GetMediaType(0, &mt), S_OK);
    EXPECT_EQ(mt->majortype, MEDIATYPE_Audio);
    EXPECT_EQ(mt->subtype, MEDIASUBTYPE_PCM);
    EXPECT_EQ(mt->formattype, FORMAT_WaveFormatEx);
    ASSERT_GE(mt->cbFormat, sizeof(WAVEFORMATEX));
    WAVEFORMATEX wave;
    std::memcpy(&wave, mt->pbFormat, sizeof(wave));
    EXPECT_EQ(wave.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(wave.nChannels, 2);
    EXPECT_EQ(wave.nSamplesPerSec, 48000u);
    EXPECT_EQ(wave.wBitsPerSample, 16);
    EXPECT_EQ(wave.nBlockAlign, 4);
    EXPECT_EQ(wave.nAvgBytesPerSec, 192000u);
    // It connects to the muxer's audio pin; a mono sink would not do.
    Ref<dv::Muxer> muxer(new dv::Muxer());
    EXPECT_EQ(muxer->Audio().CheckMediaType(mt.get()), S_OK);
    reinterpret_cast<WAVEFORMATEX*>(mt->pbFormat)->nChannels = 1;
    EXPECT_EQ(tone->Output().CheckMediaType(mt.get()), VFW_E_TYPE_NOT_ACCEPTED);

    IReferenceTone* control = nullptr;
    ASSERT_EQ(tone->QueryInterface(IID_IReferenceTone, reinterpret_cast<void**>(&control)), S_OK);
    double level = 0;
    BOOL silent = TRUE;
    EXPECT_EQ(control->GetLevel(&level), S_OK);
    EXPECT_EQ(level, -20.0);
    EXPECT_EQ(control->GetSilent(&silent), S_OK);
    EXPECT_EQ(silent, FALSE);
    for (double wrong : {0.5, -90.5, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(control->SetLevel(wrong), E_INVALIDARG) << wrong;
    EXPECT_EQ(control->GetLevel(&level), S_OK);
    EXPECT_EQ(level, -20.0);
    EXPECT_EQ(control->SetLevel(-18.0), S_OK);
    EXPECT_EQ(control->GetLevel(&level), S_OK);
    EXPECT_EQ(level, -18.0);
    EXPECT_EQ(control->GetLevel(nullptr), E_POINTER);
    EXPECT_EQ(control->GetSilent(nullptr), E_POINTER);
    control->Release();
}

// Checks each sample's size (`sampleFrames` of frame k) and times (frame k from `startOf`(k) to
// where the next starts); gives the joins between them, counted in sample frames.
template <typename Size, typename Start>
std::vector<size_t> ExpectFrames(const std::vector<ReceivedSample>& samples, Size sampleFrames, Start startOf) {
    std::vector<size_t> joins;
    size_t total = 0;
    for (size_t k = 0; k < samples.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(samples[k].data.size(), size_t(sampleFrames(k)) * 4);
        EXPECT_EQ(samples[k].timeStatus, S_OK);
        EXPECT_EQ(samples[k].start, startOf(k));
        EXPECT_EQ(samples[k].stop, startOf(k + 1));
        total += samples[k].data.size() / 4;
        joins.push_back(total);
    }
    return joins;
}

TEST(ReferenceTone, DeliversFramePatternAtFrameTimesWithUnbrokenPhase) {
    ToneChain chain;
    const std::vector<ReceivedSample> samples = chain.Collect(30);
    ASSERT_EQ(samples.size(), 30u);
    // Frame k starts at k * 1001/30000 s, to the nearest 100 ns.
    const std::vector<size_t> joins = ExpectFrames(
        samples, [](size_t k) { return k % 5 == 0 ? 1600u : 1602u; },
        [](size_t k) { return LONGLONG(std::llround(double(k) * 1001e7 / 30000)); });
    const size_t total = joins.back();
    EXPECT_EQ(total, 6u * 8008);  // a second of locked audio: 48000 * 1.001
    bool same = false;
    const std::vector<int16_t> left = Left(samples, &same);
    EXPECT_TRUE(same) << "both channels carry the tone";
    const testsupport::ToneFit fit = testsupport::FitTone(left, 48000, 1000, joins);
    EXPECT_NEAR(fit.frequency, 1000.0, 0.01);
    EXPECT_NEAR(fit.levelDbfs, -20.0, 0.05);
    // Only rounding to whole sample values is left, at the joins as anywhere.
    EXPECT_LE(fit.maxResidual, 1.0);
    EXPECT_LE(fit.maxJoinResidual, 1.0);
}

// In 625/50 every frame holds 1920 sample frames at 48 kHz (1280 at 32 kHz), stamped at 40 ms a
// frame, the phase running on across the joins; the system changes only while stopped.
TEST(ReferenceTone, FollowsPalFramesWhenSetSoAndOnlyWhileStopped) {
    ToneChain chain;
    LONG standard = -1;
    ASSERT_EQ(chain.tone->GetStandard(&standard), S_OK);
    EXPECT_EQ(standard, REFERENCE_BARS_525_60);
    EXPECT_EQ(chain.tone->SetStandard(7), E_INVALIDARG);
    ASSERT_EQ(chain.tone->SetStandard(REFERENCE_BARS_625_50), S_OK);
    const std::vector<ReceivedSample> samples = chain.Collect(10);
    ASSERT_EQ(samples.size(), 10u);
    const std::vector<size_t> joins =
        ExpectFrames(samples, [](size_t) { return 1920u; }, [](size_t k) { return LONGLONG(k) * 400000; });
    bool same = false;
    const testsupport::ToneFit fit = testsupport::FitTone(Left(samples, &same), 48000, 1000, joins);
    EXPECT_NEAR(fit.frequency, 1000.0, 0.01);
    EXPECT_LE(fit.maxJoinResidual, 1.0);

    EXPECT_EQ(chain.sink->Pause(), S_OK);
    EXPECT_EQ(chain.tone->Pause(), S_OK);
    EXPECT_EQ(chain.tone->SetStandard(REFERENCE_BARS_525_60), VFW_E_NOT_STOPPED);
    chain.sink->Stop();
    chain.tone->Stop();
    ASSERT_EQ(chain.tone->GetStandard(&standard), S_OK);
    EXPECT_EQ(standard, REFERENCE_BARS_625_50);
}

TEST(ReferenceTone, LevelAndSilenceApplyToTheNextRun) {
    ToneChain chain;
    EXPECT_EQ(chain.tone->SetLevel(-18.0), S_OK);
    bool same = false;
    std::vector<int16_t> left = Left(chain.Collect(10), &same);
    EXPECT_NEAR(testsupport::FitTone(left, 48000, 1000).levelDbfs, -18.0, 0.05);
    // The phase starts afresh with each run: the first sample of a sine is zero.
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left[0], 0);

    EXPECT_EQ(chain.tone->SetSilent(TRUE), S_OK);
    left = Left(chain.Collect(10), &same);
    ASSERT_FALSE(left.empty());
    for (int16_t v : left) ASSERT_EQ(v, 0);
}

TEST(ReferenceTone, StopReturnsWhileDownstreamHoldsADelivery) {
    ToneChain chain;
    chain.sink->Input().blockInReceive = true;
    ASSERT_EQ(chain.sink->Pause(), S_OK);
    ASSERT_EQ(chain.tone->Pause(), S_OK);
    {
        std::unique_lock<std::mutex> lock(chain.sink->Input().mutex);
        ASSERT_TRUE(chain.sink->Input().changed.wait_for(lock, std::chrono::seconds(20),
                                                        [&] { return chain.sink->Input().enteredReceive; }));
    }
    // Downstream first, as the graph stops: the held delivery fails and the worker ends.
    EXPECT_EQ(chain.sink->Stop(), S_OK);
    EXPECT_EQ(chain.tone->Stop(), S_OK);
    FILTER_STATE state = State_Running;
    EXPECT_EQ(chain.tone->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    // And it starts again.
    chain.sink->Input().blockInReceive = false;
    EXPECT_EQ(chain.Collect(3).size(), 3u);
}
