// "DV Muxer": the DIF frames it gives must be what a consumer deck records: header, audio packs
// and silent audio in every frame, a gap-free drop-frame timecode, and a stream that an outside
// reader (ffprobe) recognises. With "Reference Tone" on "Stream 1" the tape's audio, decoded by
// FFmpeg, is that tone without a step at any frame join; a starving audio source costs one bounded
// wait and silence, never the video. The timecode starts where IAMTimecodeGenerator says, and the
// recording date and time packs carry the local time of the run. Also: types, refusal of broken
// input, and quality messages passing upstream through the whole chain.
#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "dv/dif/dif_layout.h"
#include "dv/dif/packs.h"
#include "dv/dif/timecode.h"
#include "tests/support/dv/dif_test_filters.h"
#include "tests/support/dv/encoding_chain.h"
#include "dv/filters/muxer.h"
#include "dv/filters/reference_tone.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"
#include "tests/support/tone_analysis.h"
#include "dv/filters/video_encoder.h"

using namespace dvtest;
namespace dif = dv::dif;

namespace {

// The dvsd video type the encoder gives, for a source that feeds the muxer directly.
platform::MediaType DvVideoType() {
    platform::MediaType mt;
    dv::VideoEncoder::MakeOutputType(&mt);
    return mt;
}

// One real encoded frame of a grey picture.
std::vector<uint8_t> EncodedFrame() {
    dv::VideoEncoderCodec codec;
    EXPECT_EQ(codec.Open(), S_OK);
    std::vector<uint8_t> picture(kPictureBytes, 0x60);
    std::vector<uint8_t> frame(kDvFrameBytes);
    EXPECT_EQ(codec.Encode(picture.data(), true, frame.data()), S_OK);
    return frame;
}

// Source (dvsd video) -> muxer -> sink, connected and paused.
struct MuxerChain {
    Ref<TestSource> source{new TestSource(DvVideoType(), kDvFrameBytes)};
    Ref<dv::Muxer> muxer{new dv::Muxer()};
    Ref<TestSink> sink{new TestSink(MEDIATYPE_Interleaved, MEDIASUBTYPE_dvsd)};

    MuxerChain() {
        EXPECT_EQ(source->Output().Connect(&muxer->Input(), nullptr), S_OK);
        EXPECT_EQ(muxer->Output().Connect(&sink->Input(), nullptr), S_OK);
        Pause();
    }
    void Pause() { EXPECT_EQ(PauseAll({sink.p, muxer.p, source.p}), S_OK); }
    void Stop() { StopAll({sink.p, muxer.p, source.p}); }
    ~MuxerChain() { StopAndUnlink({sink.p, muxer.p, source.p}); }
};

const uint8_t* Block(const std::vector<uint8_t>& frame, int sequence, int block) {
    return frame.data() + dif::BlockOffset(sequence, block);
}

std::string Text(const dv::Timecode& tc) { return tc.Text(); }

// The label after tc: the muxer counts frames, and the labels follow each other as the room
// counts them (its counting is tested on its own).
dv::Timecode NextDropFrameLabel(const dv::Timecode& tc) {
    const std::optional<uint32_t> frame = tc.Frame();
    return frame ? dv::Timecode::OfFrame(int64_t{*frame} + 1) : dv::Timecode{-1, -1, -1, -1};
}

// Checks every sync block's 0x13 pack of a frame: all must carry the same drop-frame label.
dv::Timecode FrameTimecode(const std::vector<uint8_t>& frame) {
    dv::Timecode first{-1, -1, -1, -1};
    int packs = 0;
    for (int s = 0; s < dif::kSequences; ++s)
        for (int k = 0; k < dif::kSyncBlocksPerSequence; ++k) {
            const uint8_t* pack = frame.data() + dif::SubcodePackOffset(s, k);
            if (pack[0] != 0x13) continue;
            const std::optional<dif::TimecodePack> tc = dif::ReadTimecodePack(pack);
            EXPECT_TRUE(tc);
            if (!tc) continue;
            EXPECT_TRUE(tc->label.dropFrame);
            if (packs++ == 0) first = tc->label;
            EXPECT_EQ(Text(tc->label), Text(first));
        }
    EXPECT_GT(packs, 0);
    return first;
}

// What a shell command writes, standard error included.
std::string RunCommand(const std::string& command) {
    std::string output;
    testsupport::Shell(command, &output);
    return output;
}

}  // namespace

TEST(MuxerTypes, TakesDvVideoAndGivesInterleavedDv) {
    Ref<dv::Muxer> muxer(new dv::Muxer());
    platform::MediaType mt = DvVideoType();
    EXPECT_EQ(muxer->Input().CheckMediaType(mt.get()), S_OK);
    MakeRgbType(&mt);
    EXPECT_EQ(muxer->Input().CheckMediaType(mt.get()), VFW_E_TYPE_NOT_ACCEPTED);
    mt = DvVideoType();
    mt->cbFormat = 40;
    EXPECT_EQ(muxer->Input().CheckMediaType(mt.get()), E_INVALIDARG);

    ASSERT_EQ(muxer->MakeOutputType(&mt), S_OK);
    EXPECT_EQ(mt->majortype, MEDIATYPE_Interleaved);
    EXPECT_EQ(mt->subtype, MEDIASUBTYPE_dvsd);
    EXPECT_EQ(mt->formattype, FORMAT_DvInfo);
    EXPECT_EQ(mt->lSampleSize, 120000u);
    ASSERT_EQ(mt->cbFormat, sizeof(DVINFO));
    const auto* info = reinterpret_cast<const DVINFO*>(mt->pbFormat);
    // The DVINFO words are the packs' four bytes after the pack number: 48 kHz, 16 bit, locked.
    EXPECT_EQ(info->dwDVAAuxSrc & 0x3F, 1600u - 1580u);
    EXPECT_EQ(info->dwDVAAuxSrc >> 24 & 0x3F, 0u);
    EXPECT_EQ(info->dwDVVAuxSrc >> 16 & 0x20, 0u);  // 60 fields
}

TEST(MuxerStreaming, FramesCarryConsumerHeaderAudioPacksAndSilence) {
    MuxerChain chain;
    const std::vector<uint8_t> video = EncodedFrame();
    for (int k = 0; k < 10; ++k)
        ASSERT_EQ(chain.source->Push(video.data(), kDvFrameBytes, k * 333667, (k + 1) * 333667), S_OK);
    const auto& frames = chain.sink->Input().received;
    ASSERT_EQ(frames.size(), 10u);

    const int expectedSamples[5] = {1600, 1602, 1602, 1602, 1602};
    for (size_t k = 0; k < frames.size(); ++k) {
        SCOPED_TRACE(k);
        const std::vector<uint8_t>& frame = frames[k].data;
        ASSERT_EQ(frame.size(), 120000u);
        EXPECT_TRUE(dif::IsNtscDifFrame(frame.data()));
        EXPECT_EQ(frames[k].start, static_cast<REFERENCE_TIME>(k) * 333667);
        EXPECT_EQ(frames[k].stop, static_cast<REFERENCE_TIME>(k + 1) * 333667);
        for (int s = 0; s < dif::kSequences; ++s) {
            const uint8_t* header = Block(frame, s, 0);
            EXPECT_EQ(header[3] & 0x80, 0);  // 525/60
            EXPECT_EQ(header[4] & 0x07, 0);  // APT 000: consumer DV
            for (int i = 5; i <= 7; ++i) {
                EXPECT_EQ(header[i] & 0x80, 0) << "transmitting flag " << i - 4 << " says invalid";
                EXPECT_EQ(header[i] & 0x07, 0);
            }
            int sourcePacks = 0;
            int controlPacks = 0;
            for (int n = 0; n < dif::kAudioBlocksPerSequence; ++n) {
                const uint8_t* audio = Block(frame, s, dif::AudioBlock(n));
                if (audio[3] == 0x50) {
                    ++sourcePacks;
                    EXPECT_EQ(audio[4] & 0x3F, expectedSamples[k % 5] - 1580);
                    EXPECT_EQ(audio[4] & 0x80, 0);       // locked
                    EXPECT_EQ(audio[7] & 0x38, 0);       // 48 kHz
                    EXPECT_EQ(audio[7] & 0x07, 0);       // 16 bit
                }
                if (audio[3] == 0x51) ++controlPacks;
                // Silence, not "no audio": every sample byte is zero.
                for (int i = 8; i < dif::kBlockBytes; ++i) ASSERT_EQ(audio[i], 0) << "block " << n;
            }
            EXPECT_EQ(sourcePacks, 1);
            EXPECT_EQ(controlPacks, 1);
        }
        // The video source pack where readers look for it.
        EXPECT_EQ(frame[5 * 80 + 48], 0x60);
        EXPECT_EQ(frame[5 * 80 + 53], 0x61);
        // Video blocks are the encoder's, untouched.
        for (int s = 0; s < dif::kSequences; ++s)
            EXPECT_EQ(std::memcmp(Block(frame, s, 7), video.data() + dif::BlockOffset(s, 7), 80 * 15), 0);
    }
}

TEST(MuxerStreaming, TimecodeRunsGapFreeInDropFrameWhateverTheSampleTimes) {
    MuxerChain chain;
    std::vector<dv::Timecode> codes;
    chain.sink->Input().onSample = [&](const ReceivedSample& sample) {
        codes.push_back(FrameTimecode(sample.data));
    };
    const std::vector<uint8_t> video = EncodedFrame();
    // Irregular times with a jump: the timecode counts frames, not time.
    for (int k = 0; k < 1805; ++k) {
        const REFERENCE_TIME start = k < 900 ? k * 200000 : k * 200000 + 50000000;
        ASSERT_EQ(chain.source->Push(video.data(), kDvFrameBytes, start, start + 200000), S_OK);
    }
    ASSERT_EQ(codes.size(), 1805u);
    EXPECT_EQ(Text(codes[0]), "00:00:00;00");
    EXPECT_EQ(Text(codes[29]), "00:00:00;29");
    EXPECT_EQ(Text(codes[30]), "00:00:01;00");
    EXPECT_EQ(Text(codes[1799]), "00:00:59;29");
    EXPECT_EQ(Text(codes[1800]), "00:01:00;02");
    for (size_t k = 1; k < codes.size(); ++k)
        ASSERT_EQ(Text(codes[k]), Text(NextDropFrameLabel(codes[k - 1]))) << "frame " << k;

    // A new stream starts again from zero.
    chain.Stop();
    codes.clear();
    chain.Pause();
    ASSERT_EQ(chain.source->Push(video.data(), kDvFrameBytes, 0, 1), S_OK);
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_EQ(Text(codes[0]), "00:00:00;00");
}

TEST(MuxerStreaming, RefusesWhatIsNotAWholeNtscFrame) {
    MuxerChain chain;
    std::vector<uint8_t> video = EncodedFrame();
    EXPECT_EQ(chain.source->Push(video.data(), kDvFrameBytes - 80, 0, 1), E_INVALIDARG);
    std::vector<uint8_t> noise(kDvFrameBytes, 0x5A);
    EXPECT_EQ(chain.source->Push(noise.data(), kDvFrameBytes, 0, 1), E_INVALIDARG);
    video[dif::BlockOffset(3, 0) + 3] |= 0x80;  // a 625/50 header in the middle
    EXPECT_EQ(chain.source->Push(video.data(), kDvFrameBytes, 0, 1), E_INVALIDARG);
    EXPECT_TRUE(chain.sink->Input().received.empty());
}

TEST(MuxerStreaming, EncoderAndMuxerMakeATapeThatFfprobeReads) {
    EncodingChain chain;
    ASSERT_EQ(chain.Connect(), S_OK);
    ASSERT_EQ(chain.Pause(), S_OK);
    TestSource* source = chain.source.p;
    TestSink* sink = chain.sink.p;

    const std::string path = testsupport::StateDir() + "/tape.dv";
    std::ofstream tape(path, std::ios::binary);
    sink->Input().onSample = [&](const ReceivedSample& sample) {
        tape.write(reinterpret_cast<const char*>(sample.data.data()), sample.data.size());
    };
    std::vector<uint8_t> picture(kPictureBytes);
    for (int k = 0; k < 30; ++k) {
        for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 7 + k);
        ASSERT_EQ(source->Push(picture.data(), kPictureBytes, k * 200000, (k + 1) * 200000), S_OK);
    }
    tape.close();

    // A quality message from the far end reaches the source through muxer and encoder.
    Quality q{Famine, 500, 1000, 2000};
    EXPECT_EQ(sink->Input().SendQualityUpstream(q), S_OK);
    ASSERT_EQ(source->Output().QualityMessages().size(), 1u);
    EXPECT_EQ(source->Output().QualityMessages()[0].Proportion, 500);
    EXPECT_EQ(source->Output().QualityMessages()[0].Late, 1000);

    chain.Stop();

    const std::string probe = RunCommand(
        "ffprobe -v error -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,"
        "channels:format_tags=timecode -of default=noprint_wrappers=1 '" + path + "'");
    EXPECT_NE(probe.find("codec_name=dvvideo"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=720"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=480"), std::string::npos) << probe;
    EXPECT_NE(probe.find("r_frame_rate=30000/1001"), std::string::npos) << probe;
    EXPECT_NE(probe.find("codec_name=pcm_s16le"), std::string::npos) << probe;
    EXPECT_NE(probe.find("sample_rate=48000"), std::string::npos) << probe;
    EXPECT_NE(probe.find("channels=2"), std::string::npos) << probe;
    EXPECT_NE(probe.find("timecode=00:00:00;00"), std::string::npos) << probe;

    // And decodes every frame without complaint.
    const std::string decode = RunCommand("ffmpeg -v error -i '" + path + "' -f null -");
    EXPECT_EQ(decode, "");
}

namespace {

// The PCM type the tone offers, for sources that feed "Stream 1" by hand.
platform::MediaType PcmType() {
    platform::MediaType mt;
    dv::ReferenceToneOutputPin::MakeType(&mt);
    return mt;
}

// Sample frames before frame k of a stream: the 1600/1602 pattern, counted independently.
size_t SamplesBefore(uint64_t k) {
    size_t total = 0;
    for (uint64_t i = 0; i < k; ++i) total += i % 5 == 0 ? 1600 : 1602;
    return total;
}

// Waits (at most 20 s) until the muxer's audio queue holds the samples of the frame taken last
// and of the next one: the next frame then finds its samples without waiting.
bool AudioReadyForNextFrame(dv::Muxer* muxer) {
    for (int i = 0; i < 20000; ++i) {
        if (muxer->QueuedAudioSamples() >= 2 * 1602) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Both channels of a tape as FFmpeg's DV demuxer decodes them.
bool DecodeAudio(const std::string& tape, std::vector<int16_t>* left, std::vector<int16_t>* right) {
    const std::string raw = tape + ".s16";
    std::string output;
    if (testsupport::Shell("ffmpeg -v error -y -i " + testsupport::Quote(tape) +
                           " -map 0:a -f s16le -acodec pcm_s16le " + testsupport::Quote(raw), &output) != 0) {
        ADD_FAILURE() << output;
        return false;
    }
    const std::string bytes = testsupport::ReadFile(raw);
    std::vector<int16_t> pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    left->clear();
    right->clear();
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        left->push_back(pcm[i]);
        right->push_back(pcm[i + 1]);
    }
    return true;
}

// Video source and tone -> muxer -> tape file, `frames` frames, each pushed once the muxer's
// audio queue is full. Returns the tape's path; *silenced the muxer's count of silenced samples;
// *afSizes each frame's AF_SIZE from its first 0x50 pack.
std::string MakeToneTape(const char* name, double level, int frames, uint64_t* silenced,
                         std::vector<int>* afSizes) {
    Ref<TestSource> source(new TestSource(DvVideoType(), kDvFrameBytes));
    Ref<dv::ReferenceTone> tone(new dv::ReferenceTone());
    Ref<dv::Muxer> muxer(new dv::Muxer());
    Ref<TestSink> sink(new TestSink(MEDIATYPE_Interleaved, MEDIASUBTYPE_dvsd));
    EXPECT_EQ(tone->SetLevel(level), S_OK);
    EXPECT_EQ(source->Output().Connect(&muxer->Input(), nullptr), S_OK);
    EXPECT_EQ(tone->Output().Connect(&muxer->Audio(), nullptr), S_OK);
    EXPECT_EQ(muxer->Output().Connect(&sink->Input(), nullptr), S_OK);
    const std::string path = testsupport::StateDir() + "/" + name;
    std::ofstream tape(path, std::ios::binary);
    sink->Input().onSample = [&](const ReceivedSample& sample) {
        tape.write(reinterpret_cast<const char*>(sample.data.data()), sample.data.size());
        for (int n = 0; n < dif::kAudioBlocksPerSequence; ++n) {
            const uint8_t* audio = Block(sample.data, 0, dif::AudioBlock(n));
            if (audio[3] == 0x50) {
                afSizes->push_back(audio[4] & 0x3F);
                break;
            }
        }
    };
    for (filterkit::KitFilter* f :
         std::initializer_list<filterkit::KitFilter*>{sink.p, muxer.p, tone.p, source.p})
        EXPECT_EQ(f->Pause(), S_OK);
    const std::vector<uint8_t> video = EncodedFrame();
    for (int k = 0; k < frames; ++k) {
        EXPECT_TRUE(AudioReadyForNextFrame(muxer.p)) << "frame " << k;
        EXPECT_EQ(source->Push(video.data(), kDvFrameBytes, k * 333667, (k + 1) * 333667), S_OK);
    }
    *silenced = muxer->SilencedSamples();
    StopAndUnlink({sink.p, muxer.p, tone.p, source.p});
    tape.close();
    return path;
}

}  // namespace

TEST(MuxerTypes, AudioPinTakesOnlyStereo48kHz16BitPcm) {
    Ref<dv::Muxer> muxer(new dv::Muxer());
    IPin* pin = nullptr;
    ASSERT_EQ(muxer->FindPin(u"Stream 1", &pin), S_OK);
    PIN_DIRECTION direction = PINDIR_OUTPUT;
    EXPECT_EQ(pin->QueryDirection(&direction), S_OK);
    EXPECT_EQ(direction, PINDIR_INPUT);
    pin->Release();

    platform::MediaType mt = PcmType();
    EXPECT_EQ(muxer->Audio().CheckMediaType(mt.get()), S_OK);
    const auto changed = [&](auto change) {
        platform::MediaType other = PcmType();
        change(reinterpret_cast<WAVEFORMATEX*>(other->pbFormat));
        return muxer->Audio().CheckMediaType(other.get());
    };
    EXPECT_EQ(changed([](WAVEFORMATEX* w) { w->nSamplesPerSec = 44100; }), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(changed([](WAVEFORMATEX* w) { w->nChannels = 1; }), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(changed([](WAVEFORMATEX* w) { w->wBitsPerSample = 8; }), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(changed([](WAVEFORMATEX* w) { w->wFormatTag = 3; }), VFW_E_TYPE_NOT_ACCEPTED);
    mt->cbFormat = 10;
    EXPECT_EQ(muxer->Audio().CheckMediaType(mt.get()), E_INVALIDARG);
    EXPECT_EQ(muxer->Audio().CheckMediaType(DvVideoType().get()), VFW_E_TYPE_NOT_ACCEPTED);
}

TEST(MuxerAudio, ToneOnTapeDecodesAs1kHzAtTheChosenLevelWithoutStepsAtFrameJoins) {
    for (const double level : {-20.0, -18.0}) {
        SCOPED_TRACE(level);
        constexpr int kFrames = 150;  // five seconds
        uint64_t silenced = 1;
        std::vector<int> afSizes;
        const std::string tape = MakeToneTape("tone.dv", level, kFrames, &silenced, &afSizes);
        EXPECT_EQ(silenced, 0u);
        ASSERT_EQ(afSizes.size(), static_cast<size_t>(kFrames));
        for (int k = 0; k < kFrames; ++k) ASSERT_EQ(afSizes[k], k % 5 == 0 ? 20 : 22) << "frame " << k;

        std::vector<int16_t> left, right;
        ASSERT_TRUE(DecodeAudio(tape, &left, &right));
        ASSERT_EQ(left.size(), SamplesBefore(kFrames)) << "FFmpeg reads exactly the frames' samples";
        EXPECT_EQ(left, right);
        std::vector<size_t> joins;
        for (int k = 1; k < kFrames; ++k) joins.push_back(SamplesBefore(k));
        const testsupport::ToneFit fit = testsupport::FitTone(left, 48000, 1000, joins);
        EXPECT_NEAR(fit.frequency, 1000.0, 1.0);
        EXPECT_NEAR(fit.levelDbfs, level, 0.5);
        // A lost, repeated or misplaced sample anywhere, a join in particular, leaves a residual
        // of the tone's own size (hundreds); rounding leaves about one.
        EXPECT_LE(fit.maxJoinResidual, 2.0);
        EXPECT_LE(fit.maxResidual, 2.0);
    }
}

TEST(MuxerAudio, StarvedAudioCostsOneBoundedWaitThenSilenceAndStaysPairedByPosition) {
    MuxerChain chain;
    chain.Stop();
    Ref<TestSource> audio(new TestSource(PcmType(), 8 * 1602 * 4));
    ASSERT_EQ(audio->Output().Connect(&chain.muxer->Audio(), nullptr), S_OK);
    chain.Pause();
    ASSERT_EQ(audio->Pause(), S_OK);
    const std::string path = testsupport::StateDir() + "/starved.dv";
    std::ofstream tape(path, std::ios::binary);
    chain.sink->Input().onSample = [&](const ReceivedSample& sample) {
        tape.write(reinterpret_cast<const char*>(sample.data.data()), sample.data.size());
    };
    // Sample value of stream position p: a ramp the right channel mirrors.
    const auto valueAt = [](size_t p) { return static_cast<int16_t>(static_cast<int>(p % 20000) - 10000); };
    const auto pushAudio = [&](size_t from, size_t to) {
        std::vector<int16_t> pcm;
        for (size_t p = from; p < to; ++p) {
            pcm.push_back(valueAt(p));
            pcm.push_back(static_cast<int16_t>(-valueAt(p)));
        }
        return audio->Push(reinterpret_cast<const uint8_t*>(pcm.data()), static_cast<LONG>(pcm.size() * 2), 0, 1);
    };
    const std::vector<uint8_t> video = EncodedFrame();

    // Frame 0's samples come; those of frames 1 and 2 do not: both go out anyway, silent.
    ASSERT_EQ(pushAudio(0, SamplesBefore(1)), S_OK);
    for (int k = 0; k < 3; ++k) ASSERT_EQ(chain.source->Push(video.data(), kDvFrameBytes, k, k + 1), S_OK);
    EXPECT_EQ(chain.muxer->SilencedSamples(), 2u * 1602);
    // Late samples of frames 1 and 2 are dropped; frames 3 and 4 get their own.
    ASSERT_EQ(pushAudio(SamplesBefore(1), SamplesBefore(5)), S_OK);
    for (int k = 3; k < 5; ++k) ASSERT_EQ(chain.source->Push(video.data(), kDvFrameBytes, k, k + 1), S_OK);
    EXPECT_EQ(chain.muxer->SilencedSamples(), 2u * 1602);
    chain.Stop();
    audio->Stop();
    tape.close();
    audio->Output().Disconnect();
    chain.muxer->Audio().Disconnect();

    std::vector<int16_t> left, right;
    ASSERT_TRUE(DecodeAudio(path, &left, &right));
    ASSERT_EQ(left.size(), SamplesBefore(5));
    for (size_t p = 0; p < left.size(); ++p) {
        const bool silent = p >= SamplesBefore(1) && p < SamplesBefore(3);
        ASSERT_EQ(left[p], silent ? 0 : valueAt(p)) << "position " << p;
        ASSERT_EQ(right[p], silent ? 0 : -valueAt(p)) << "position " << p;
    }
}

namespace {

// IAMTimecodeGenerator's label word, BCD 0xhhmmssff.
DWORD LabelWord(int h, int m, int s, int f) {
    const auto bcd = [](int v) { return static_cast<DWORD>((v / 10) << 4 | (v % 10)); };
    return bcd(h) << 24 | bcd(m) << 16 | bcd(s) << 8 | bcd(f);
}

HRESULT SetStart(dv::Muxer* muxer, DWORD label) {
    IAMTimecodeGenerator* generator = nullptr;
    HRESULT hr = muxer->QueryInterface(IID_IAMTimecodeGenerator, reinterpret_cast<void**>(&generator));
    if (FAILED(hr)) return hr;
    TIMECODE_SAMPLE sample{};
    sample.timecode.dwFrames = label;
    sample.dwFlags = AM_TIMECODE_FLAG_DF;
    hr = generator->SetTimecode(&sample);
    generator->Release();
    return hr;
}

}  // namespace

TEST(MuxerTimecode, RunsFromTheChosenStartThroughDropFrameMinutesAndTheHour) {
    MuxerChain chain;
    // Set while a stream runs: it applies from the next stream. 00:58:00;00 is no drop-frame
    // label (minute 58 skips frames 0 and 1): the count starts at 00:58:00;02, as the muxer says.
    ASSERT_EQ(SetStart(chain.muxer.p, LabelWord(0, 58, 0, 0)), S_FALSE);
    std::vector<dv::Timecode> codes;
    chain.sink->Input().onSample = [&](const ReceivedSample& sample) { codes.push_back(FrameTimecode(sample.data)); };
    const std::vector<uint8_t> video = EncodedFrame();
    ASSERT_EQ(chain.source->Push(video.data(), kDvFrameBytes, 0, 1), S_OK);
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_EQ(Text(codes[0]), "00:00:00;00");

    chain.Stop();
    codes.clear();
    chain.Pause();
    const std::string path = testsupport::StateDir() + "/timecode.dv";
    std::ofstream tape(path, std::ios::binary);
    chain.sink->Input().onSample = [&](const ReceivedSample& sample) {
        codes.push_back(FrameTimecode(sample.data));
        if (codes.size() <= 30) tape.write(reinterpret_cast<const char*>(sample.data.data()), sample.data.size());
    };
    for (int k = 0; k < 3600; ++k)
        ASSERT_EQ(chain.source->Push(video.data(), kDvFrameBytes, k * 333667, (k + 1) * 333667), S_OK);
    tape.close();
    ASSERT_EQ(codes.size(), 3600u);
    EXPECT_EQ(Text(codes[0]), "00:58:00;02");
    EXPECT_EQ(Text(codes[1797]), "00:58:59;29");
    EXPECT_EQ(Text(codes[1798]), "00:59:00;02");  // minute 59: frames 0 and 1 are skipped
    EXPECT_EQ(Text(codes[3595]), "00:59:59;29");
    EXPECT_EQ(Text(codes[3596]), "01:00:00;00");  // minute 0 is a tenth minute: nothing skipped
    EXPECT_EQ(Text(codes[3599]), "01:00:00;03");
    for (size_t k = 1; k < codes.size(); ++k)
        ASSERT_EQ(Text(codes[k]), Text(NextDropFrameLabel(codes[k - 1]))) << "frame " << k;

    // The generator reports the label handed on last.
    IAMTimecodeGenerator* generator = nullptr;
    ASSERT_EQ(chain.muxer->QueryInterface(IID_IAMTimecodeGenerator, reinterpret_cast<void**>(&generator)), S_OK);
    TIMECODE_SAMPLE now{};
    EXPECT_EQ(generator->GetTimecode(&now), S_OK);
    EXPECT_EQ(now.timecode.dwFrames, LabelWord(1, 0, 0, 3));
    EXPECT_EQ(now.qwTick, 3599);
    EXPECT_NE(now.dwFlags & AM_TIMECODE_FLAG_DF, 0u);
    EXPECT_EQ(generator->GetTimecode(nullptr), E_POINTER);
    EXPECT_EQ(generator->SetTimecode(nullptr), E_POINTER);
    generator->Release();

    // What is no label at all is refused, and the start stays.
    for (DWORD wrong : {LabelWord(24, 0, 0, 0), LabelWord(0, 0, 0, 30), DWORD{0x0000000A}, LabelWord(0, 60, 0, 0),
                        LabelWord(0, 0, 60, 0)})
        EXPECT_EQ(SetStart(chain.muxer.p, wrong), E_INVALIDARG) << std::hex << wrong;
    // The label the first frame of a new stream carries.
    const auto firstLabel = [&] {
        chain.Stop();
        codes.clear();
        chain.Pause();
        EXPECT_EQ(chain.source->Push(video.data(), kDvFrameBytes, 0, 1), S_OK);
        return codes.empty() ? std::string("no frame") : Text(codes[0]);
    };
    EXPECT_EQ(firstLabel(), "00:58:00;02");
    // The second label drop-frame counting skips there, ;01, starts the count at ;02 too.
    ASSERT_EQ(SetStart(chain.muxer.p, LabelWord(0, 58, 0, 1)), S_FALSE);
    EXPECT_EQ(firstLabel(), "00:58:00;02");
    // A label of a tenth minute is taken as it is.
    ASSERT_EQ(SetStart(chain.muxer.p, LabelWord(0, 50, 0, 0)), S_OK);
    EXPECT_EQ(firstLabel(), "00:50:00;00");

    std::string probe;
    testsupport::Shell("ffprobe -v error -show_entries format_tags=timecode -of default=noprint_wrappers=1 " +
                           testsupport::Quote(path), &probe);
    EXPECT_NE(probe.find("timecode=00:58:00;02"), std::string::npos) << probe;
}

namespace {

struct DateTime {
    int year = -1, month = -1, day = -1, hours = -1, minutes = -1, seconds = -1;
    bool operator==(const DateTime& o) const {
        return year == o.year && month == o.month && day == o.day && hours == o.hours &&
               minutes == o.minutes && seconds == o.seconds;
    }
    time_t Local() const {
        tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hours;
        t.tm_min = minutes;
        t.tm_sec = seconds;
        t.tm_isdst = -1;
        return mktime(&t);
    }
};

int FromBcd(uint8_t v) { return (v >> 4) * 10 + (v & 0x0F); }

// Every date pack (0x62 VAUX and subcode, 0x52 AAUX) and time pack (0x63, 0x53) of a frame must
// say the same; their count in *copies. IEC 61834 layout: day, month, year; seconds, minutes,
// hours, below reserved bits.
DateTime FrameRecordingTime(const std::vector<uint8_t>& frame, int* copies) {
    DateTime date, time;
    *copies = 0;
    const auto take = [&](const uint8_t* pack) {
        if (pack[0] == 0x62 || pack[0] == 0x52) {
            DateTime d;
            d.day = FromBcd(pack[2] & 0x3F);
            d.month = FromBcd(pack[3] & 0x1F);
            d.year = 2000 + FromBcd(pack[4]);
            if (date.year < 0) date = d;
            EXPECT_TRUE(d.day == date.day && d.month == date.month && d.year == date.year);
            ++*copies;
        } else if (pack[0] == 0x63 || pack[0] == 0x53) {
            DateTime t;
            t.seconds = FromBcd(pack[2] & 0x7F);
            t.minutes = FromBcd(pack[3] & 0x7F);
            t.hours = FromBcd(pack[4] & 0x3F);
            if (time.hours < 0) time = t;
            EXPECT_TRUE(t.seconds == time.seconds && t.minutes == time.minutes && t.hours == time.hours);
            ++*copies;
        }
    };
    for (int s = 0; s < dif::kSequences; ++s) {
        for (int b = 1; b <= 2; ++b)
            for (int k = 0; k < 6; ++k) take(Block(frame, s, b) + 3 + 8 * k + 3);
        for (int b = 3; b <= 5; ++b)
            for (int p = 0; p < 15; ++p) take(Block(frame, s, b) + 3 + 5 * p);
        for (int n = 0; n < dif::kAudioBlocksPerSequence; ++n) take(Block(frame, s, dif::AudioBlock(n)) + 3);
    }
    date.hours = time.hours;
    date.minutes = time.minutes;
    date.seconds = time.seconds;
    return date;
}

}  // namespace

TEST(MuxerDate, PacksCarryTheLocalTimeOfTheRunAdvancingWithTheFrames) {
    MuxerChain chain;
    std::vector<DateTime> times;
    std::vector<int> copies;
    const std::string path = testsupport::StateDir() + "/dated.dv";
    std::ofstream tape(path, std::ios::binary);
    chain.sink->Input().onSample = [&](const ReceivedSample& sample) {
        int n = 0;
        times.push_back(FrameRecordingTime(sample.data, &n));
        copies.push_back(n);
        tape.write(reinterpret_cast<const char*>(sample.data.data()), sample.data.size());
    };
    const std::vector<uint8_t> video = EncodedFrame();
    const time_t before = time(nullptr);
    ASSERT_EQ(chain.muxer->Run(0), S_OK);
    const time_t after = time(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // frames made later still say the Run
    for (int k = 0; k < 91; ++k) ASSERT_EQ(chain.source->Push(video.data(), kDvFrameBytes, k, k + 1), S_OK);
    tape.close();
    ASSERT_EQ(times.size(), 91u);
    // Ten sequences: date and time once each in VAUX and AAUX, four times each in the subcode.
    EXPECT_EQ(copies[0], 10 * (2 + 2 + 8));
    const time_t first = times[0].Local();
    EXPECT_GE(first, before);
    EXPECT_LE(first, after);
    // Frame 90 was recorded 3.003 s after frame 0.
    const time_t last = times[90].Local() - first;
    EXPECT_TRUE(last == 3 || last == 4) << last;
    for (size_t k = 1; k < times.size(); ++k) EXPECT_GE(times[k].Local(), times[k - 1].Local());

    // A stream that only pauses takes the time of its first frame.
    chain.Stop();
    times.clear();
    chain.Pause();
    const time_t pausedBefore = time(nullptr);
    ASSERT_EQ(chain.source->Push(video.data(), kDvFrameBytes, 0, 1), S_OK);
    const time_t pausedAfter = time(nullptr);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_GE(times[0].Local(), pausedBefore);
    EXPECT_LE(times[0].Local(), pausedAfter);
}
