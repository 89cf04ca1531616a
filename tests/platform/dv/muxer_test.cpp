// "DV Muxer": the DIF frames it gives must be what a consumer deck records: header, audio packs
// and silent audio in every frame, a gap-free drop-frame timecode, and a stream that an outside
// reader (ffprobe) recognises. Also: types, refusal of broken input, and quality messages passing
// upstream through the whole chain.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "filters/dif_frame.h"
#include "dif_test_filters.h"
#include "encoding_chain.h"
#include "filters/muxer.h"
#include "test_support.h"
#include "filters/video_encoder.h"

using namespace dvtest;
namespace dif = dv::dif;

namespace {

// The dvsd video type the encoder gives, for a source that feeds the muxer directly.
dv::MediaType DvVideoType() {
    dv::MediaType mt;
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
    void Pause() {
        EXPECT_EQ(sink->Pause(), S_OK);
        EXPECT_EQ(muxer->Pause(), S_OK);
        EXPECT_EQ(source->Pause(), S_OK);
    }
    void Stop() {
        sink->Stop();
        muxer->Stop();
        source->Stop();
    }
    ~MuxerChain() { StopAndUnlink({sink.p, muxer.p, source.p}); }
};

const uint8_t* Block(const std::vector<uint8_t>& frame, int sequence, int block) {
    return frame.data() + dif::BlockOffset(sequence, block);
}

// The next label after tc in SMPTE drop-frame counting.
dif::Timecode NextDropFrameLabel(dif::Timecode tc) {
    if (++tc.frames == 30) {
        tc.frames = 0;
        if (++tc.seconds == 60) {
            tc.seconds = 0;
            if (++tc.minutes == 60) {
                tc.minutes = 0;
                ++tc.hours;
            }
            if (tc.minutes % 10 != 0) tc.frames = 2;
        }
    }
    return tc;
}

std::string Text(const dif::Timecode& tc) {
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d;%02d", tc.hours, tc.minutes, tc.seconds, tc.frames);
    return text;
}

// Checks every sync block's 0x13 pack of a frame: all must carry the same drop-frame label.
dif::Timecode FrameTimecode(const std::vector<uint8_t>& frame) {
    dif::Timecode first{-1, -1, -1, -1};
    int packs = 0;
    for (int s = 0; s < dif::kSequences; ++s)
        for (int b = 1; b <= 2; ++b)
            for (int k = 0; k < 6; ++k) {
                const uint8_t* pack = Block(frame, s, b) + 3 + 8 * k + 3;
                if (pack[0] != 0x13) continue;
                dif::Timecode tc;
                bool drop = false;
                EXPECT_TRUE(dif::ParseTimecodePack(pack, &tc, &drop));
                EXPECT_TRUE(drop);
                if (packs++ == 0) first = tc;
                EXPECT_EQ(Text(tc), Text(first));
            }
    EXPECT_GT(packs, 0);
    return first;
}

std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    return output;
}

}  // namespace

TEST(MuxerTypes, TakesDvVideoAndGivesInterleavedDv) {
    Ref<dv::Muxer> muxer(new dv::Muxer());
    dv::MediaType mt = DvVideoType();
    EXPECT_EQ(muxer->Input().CheckMediaType(mt.get()), S_OK);
    MakeRgbType(&mt);
    EXPECT_EQ(muxer->Input().CheckMediaType(mt.get()), VFW_E_TYPE_NOT_ACCEPTED);
    mt = DvVideoType();
    mt->cbFormat = 40;
    EXPECT_EQ(muxer->Input().CheckMediaType(mt.get()), E_INVALIDARG);

    ASSERT_EQ(dv::Muxer::MakeOutputType(&mt), S_OK);
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
    std::vector<dif::Timecode> codes;
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
        "channels:format_tags=timecode -of default=noprint_wrappers=1 '" + path + "' 2>&1");
    EXPECT_NE(probe.find("codec_name=dvvideo"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=720"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=480"), std::string::npos) << probe;
    EXPECT_NE(probe.find("r_frame_rate=30000/1001"), std::string::npos) << probe;
    EXPECT_NE(probe.find("codec_name=pcm_s16le"), std::string::npos) << probe;
    EXPECT_NE(probe.find("sample_rate=48000"), std::string::npos) << probe;
    EXPECT_NE(probe.find("channels=2"), std::string::npos) << probe;
    EXPECT_NE(probe.find("timecode=00:00:00;00"), std::string::npos) << probe;

    // And decodes every frame without complaint.
    const std::string decode = RunCommand("ffmpeg -v error -i '" + path + "' -f null - 2>&1");
    EXPECT_EQ(decode, "");
}
