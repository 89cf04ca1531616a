// 625/50 (PAL) DV end to end below the graph: frames the encoder makes of 720x576 pictures, given
// their system data and audio as the muxer gives them, read back by our readers and by FFmpeg;
// the virtual deck started for 625/50 records them at 25 a second and refuses 525/60 senders
// (and a 525/60 deck 625/50 ones), saying which system it takes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dv/deck/transport_deck.h"
#include "dv/dif/audio_shuffle.h"
#include "dv/dif/dif_layout.h"
#include "dv/dif/packs.h"
#include "dv/dif/system_data.h"
#include "dv/dif/timecode.h"
#include "dv/dv_system.h"
#include "dv/filters/video_encoder_codec.h"
#include "tests/support/dv/deck_test_process.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

constexpr int64_t kTenOClock = int64_t{10} * 3600 * 25;  // 10:00:00:00 at 25 frames a second

// Frame n of a PAL stream from 10:00:00:00: a grey picture encoded, its system data, and a ramp
// of audio samples (left n + i, right the negation) as the muxer lays them out.
std::vector<uint8_t> PalFrame(dv::VideoEncoderCodec& codec, uint64_t n, std::vector<int16_t>* audio) {
    const dv::DvSystem& pal = dv::k625_50;
    std::vector<uint8_t> picture(size_t(dv::VideoEncoderCodec::UyvyPictureBytes(pal)));
    for (size_t i = 0; i < picture.size(); i += 2) picture[i] = 128, picture[i + 1] = 126;
    std::vector<uint8_t> frame(size_t(pal.frameBytes));
    EXPECT_EQ(S_OK, codec.EncodeUyvy(picture.data(), frame.data()));
    dv::dif::SystemData data;
    data.system = &pal;
    data.frameNumber = n;
    data.timecode = dv::Timecode::OfFrame(kTenOClock + int64_t(n), false, 25);
    data.hasRecordingTime = true;
    data.recorded = {2024, 5, 17, 10, 0, int(n / 25)};
    dv::dif::WriteSystemData(frame.data(), data);
    const int samples = dv::dif::AudioSamplesInFrame(pal, n);
    audio->resize(size_t(2 * samples));
    for (int i = 0; i < samples; ++i) {
        (*audio)[size_t(2 * i)] = int16_t(n + uint64_t(i));
        (*audio)[size_t(2 * i + 1)] = int16_t(-int(n) - i);
    }
    dv::ShuffleAudio(frame.data(), audio->data(), samples, pal);
    return frame;
}

}  // namespace

TEST(PalTimecode, CountsTwentyFiveLabelsASecondNeverDropping) {
    EXPECT_EQ("00:01:00:00", dv::Timecode::OfFrame(25 * 60, true, 25).Text());
    EXPECT_EQ("23:59:59:24", dv::Timecode::OfFrame(-1, false, 25).Text());
    EXPECT_EQ("00:00:00:00", dv::Timecode::OfFrame(dv::Timecode::kFramesPerDay25, false, 25).Text());
    EXPECT_FALSE(dv::Timecode::FromBcd(0x10000025, false, 25)) << "frame labels stop at 24";
    EXPECT_FALSE(dv::Timecode::FromBcd(0x10000000, true, 25)) << "625/50 has no drop-frame labels";
    const auto ten = dv::Timecode::FromBcd(0x10000000, false, 25);
    ASSERT_TRUE(ten);
    EXPECT_EQ(uint32_t(kTenOClock), ten->Frame());
}

TEST(PalFrames, CarryTheSystemsFlagsPacksTimecodeAndAudio) {
    const dv::DvSystem& pal = dv::k625_50;
    dv::VideoEncoderCodec codec;
    ASSERT_EQ(S_OK, codec.Open(pal));
    testsupport::TempDir dir("pal-frames");
    const std::string file = dir.path() + "/pal.dv";
    std::FILE* out = std::fopen(file.c_str(), "wb");
    ASSERT_NE(nullptr, out);
    std::optional<dv::Timecode> previous;
    for (uint64_t n = 0; n < 250; ++n) {
        std::vector<int16_t> audio;
        const std::vector<uint8_t> frame = PalFrame(codec, n, &audio);
        ASSERT_EQ(144000u, frame.size());
        ASSERT_TRUE(dv::dif::IsDifFrame(frame.data(), pal)) << "frame " << n;
        ASSERT_FALSE(dv::dif::IsNtscDifFrame(frame.data()));
        for (int s = 0; s < 12; ++s) ASSERT_EQ(0x80, frame[size_t(dv::dif::BlockOffset(s, 0) + 3)] & 0x80) << "DSF";
        // The packs: 50/60 set in VAUX and AAUX, 1920 samples in each half, the date.
        const auto vaux = dv::dif::VotePack(frame.data(), dv::dif::PackType::VideoSource, dv::dif::PackArea::Vaux, 0, 12, pal);
        const auto video = dv::dif::ReadVideoSourcePack(vaux.pack.data());
        ASSERT_TRUE(video);
        EXPECT_TRUE(video->fiftyFields);
        EXPECT_EQ(0, video->signalType);
        for (int half = 0; half < 2; ++half) {
            const auto aaux = dv::dif::VotePack(frame.data(), dv::dif::PackType::AudioSource, dv::dif::PackArea::Aaux,
                                                6 * half, 6, pal);
            const auto source = dv::dif::ReadAudioSourcePack(aaux.pack.data());
            ASSERT_TRUE(source);
            EXPECT_TRUE(source->fiftyFields);
            EXPECT_EQ(1920, source->samples);
            EXPECT_EQ(48000, source->sampleRate);
            EXPECT_EQ(half, source->audioMode);
        }
        const auto date = dv::dif::VotePack(frame.data(), dv::dif::PackType::VideoRecordingDate,
                                            dv::dif::PackArea::Subcode, 0, 12);
        const auto recorded = dv::dif::ReadRecordingDatePack(date.pack.data());
        ASSERT_TRUE(recorded);
        EXPECT_EQ(2024, recorded->year);
        EXPECT_EQ(17, recorded->day);
        // The timecode: 25 a second, non-drop, without a break.
        const auto code = dv::dif::FindTimecodePack(frame.data(), frame.size());
        ASSERT_TRUE(code);
        EXPECT_EQ(25, code->label.rate);
        EXPECT_FALSE(code->label.dropFrame);
        if (previous) {
            EXPECT_EQ(*previous->Frame() + 1, *code->label.Frame()) << code->label.Text();
        }
        previous = code->label;
        // The audio back as it went in, every sample of both channels.
        std::vector<int16_t> back(audio.size());
        dv::UnshuffleAudio(frame.data(), back.data(), 1920, pal);
        ASSERT_EQ(audio, back) << "frame " << n;
        ASSERT_EQ(frame.size(), std::fwrite(frame.data(), 1, frame.size(), out));
    }
    std::fclose(out);
    EXPECT_EQ("10:00:00:00", dv::Timecode::OfFrame(kTenOClock, false, 25).Text());
    EXPECT_EQ("10:00:09:24", previous->Text());

    // FFmpeg reads the file as 625/50 DV at 25 frames a second with 48 kHz stereo.
    std::string probe;
    ASSERT_EQ(0, testsupport::Shell("ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,"
                                    "r_frame_rate,nb_read_frames,sample_rate,channels -of default=noprint_wrappers=1 '" +
                                        file + "'",
                                    &probe));
    EXPECT_NE(std::string::npos, probe.find("codec_name=dvvideo")) << probe;
    EXPECT_NE(std::string::npos, probe.find("width=720")) << probe;
    EXPECT_NE(std::string::npos, probe.find("height=576")) << probe;
    EXPECT_NE(std::string::npos, probe.find("r_frame_rate=25/1")) << probe;
    EXPECT_NE(std::string::npos, probe.find("nb_read_frames=250")) << probe;
    EXPECT_NE(std::string::npos, probe.find("sample_rate=48000")) << probe;
}

using PalDeck = decktest::DeckTest;

TEST_F(PalDeck, RecordsTwentyFiveFramesASecondAndRefusesTheOtherSystem) {
    ASSERT_TRUE(deck.StartListening(tape, "pal deck", 0, {"--standard", "pal"}));
    {
        // A 525/60 sender is refused before a frame goes out, told the deck's system.
        dv::DeckTransport ntsc(deck.SocketPath());
        EXPECT_EQ(dv::kTransportWrongSystem, ntsc.Open());
        EXPECT_NE(std::string::npos, ntsc.LastError().find("625/50 (PAL)")) << ntsc.LastError();
        dv::DvStandard standard = dv::DvStandard::Ntsc525_60;
        ASSERT_EQ(S_OK, ntsc.GetUnitSystem(&standard)) << "deck control is for a caller of either system";
        EXPECT_EQ(dv::DvStandard::Pal625_50, standard);
    }
    dv::VideoEncoderCodec codec;
    ASSERT_EQ(S_OK, codec.Open(dv::k625_50));
    dv::DeckTransport transport(deck.SocketPath());
    transport.SetSystem(dv::k625_50);
    ASSERT_EQ(S_OK, transport.Open()) << transport.LastError();
    std::vector<int16_t> audio;
    for (uint64_t n = 0; n < 250; ++n) {
        const auto frame = PalFrame(codec, n, &audio);
        ASSERT_EQ(S_OK, transport.SendFrame(frame.data(), frame.size())) << transport.LastError();
    }
    transport.Close();
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ("625/50 (PAL)", deck.ReportValue("system"));
    EXPECT_EQ("250", deck.ReportValue("frames"));
    EXPECT_EQ("10.000 s", deck.ReportValue("duration"));
    EXPECT_EQ("10:00:00:00 - 10:00:09:24", deck.ReportValue("timecode"));
    EXPECT_EQ("0", deck.ReportValue("timecode breaks"));
    EXPECT_EQ(250u * 144000u, testsupport::ReadFile(tape).size());
}

TEST_F(PalDeck, AnNtscDeckRecordsNothingOfAPalSender) {
    ASSERT_TRUE(deck.StartListening(tape));
    dv::DeckTransport transport(deck.SocketPath());
    transport.SetSystem(dv::k625_50);
    EXPECT_EQ(dv::kTransportWrongSystem, transport.Open());
    EXPECT_NE(std::string::npos, transport.LastError().find("525/60 (NTSC)")) << transport.LastError();
    dv::DvStandard standard = dv::DvStandard::Pal625_50;
    ASSERT_EQ(S_OK, transport.GetUnitSystem(&standard));
    EXPECT_EQ(dv::DvStandard::Ntsc525_60, standard);
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ("525/60 (NTSC)", deck.ReportValue("system"));
    EXPECT_EQ("0", deck.ReportValue("frames"));
    EXPECT_EQ(0u, testsupport::ReadFile(tape).size());
}

// Lengths in 625/50 count 25 frames a second; a timecode length's frames stop at 24.
TEST(PalCounting, LengthsCountTwentyFiveFramesASecond) {
    EXPECT_EQ(dv::ParseDuration("10", 25), 250);
    EXPECT_EQ(dv::ParseDuration("0.5", 25), 13);  // 12.5 frames: to the nearest
    EXPECT_EQ(dv::ParseDuration("00:00:01:24", 25), 49);
    EXPECT_EQ(dv::ParseDuration("00:01:00:00", 25), 1500);
    EXPECT_FALSE(dv::ParseDuration("00:00:01:25", 25));
    EXPECT_EQ(dv::ParseDuration("00:00:01:25"), 55);  // 525/60's 30 a second, as before
}

// Locked 32 kHz audio: 1280 sample frames in each 625/50 frame; 525/60's 16016 in fifteen
// frames, the short one first. Four-channel 12-bit audio fills a 625/50 frame's twelve sequences:
// every sample frame of the most a frame holds comes back as its code, each pair in its half, and
// no two samples share a place.
TEST(PalCounting, ThirtyTwoKilohertzAudioFillsTheTwelveSequences) {
    const dv::DvSystem& pal = dv::k625_50;
    for (uint64_t n : {0u, 1u, 24u, 25u, 1000u}) {
        EXPECT_EQ(dv::dif::AudioSamplesInFrame32k(pal, n), 1280) << n;
        EXPECT_EQ(dv::dif::AudioPositionOfFrame32k(pal, n), n * 1280) << n;
    }
    int total = 0;
    for (uint64_t n = 0; n < 15; ++n) total += dv::dif::AudioSamplesInFrame32k(dv::k525_60, n);
    EXPECT_EQ(total, 16016);
    EXPECT_EQ(dv::dif::AudioSamplesInFrame32k(dv::k525_60, 0), 1067);
    EXPECT_EQ(dv::dif::AudioSamplesInFrame(pal, 3, 32000), 1280);
    EXPECT_EQ(dv::dif::AudioSamplesInFrame(pal, 3, 48000), 1920);

    const int samples = dv::MaxAudioSamples12(pal);
    ASSERT_EQ(samples, 1296);
    std::vector<int16_t> audio(size_t(4 * samples));
    for (int n = 0; n < samples; ++n)
        for (int c = 0; c < 4; ++c) audio[size_t(4 * n + c)] = int16_t((c % 2 ? -1 : 1) * (4 * n + c + 1));
    std::vector<uint8_t> frame(size_t(pal.frameBytes));
    dv::dif::WriteSystemData(frame.data(), 0, pal);
    dv::ShuffleAudio12(frame.data(), audio.data(), samples, pal);
    std::vector<uint16_t> codes(audio.size());
    dv::UnshuffleAudio12(frame.data(), codes.data(), samples, pal);
    for (size_t i = 0; i < audio.size(); ++i) ASSERT_EQ(codes[i], dv::Compress12(audio[i])) << "sample " << i;
    // The first pair lives in sequences 0-5, the second in 6-11: silencing the second half's
    // audio leaves channels 1 and 2 whole.
    for (int sequence = 6; sequence < 12; ++sequence)
        for (int block = 0; block < 9; ++block)
            std::fill_n(frame.begin() + dv::dif::BlockOffset(sequence, dv::dif::AudioBlock(block)) + 8, 72, 0);
    dv::UnshuffleAudio12(frame.data(), codes.data(), samples, pal);
    for (int n = 0; n < samples; ++n) {
        ASSERT_EQ(codes[size_t(4 * n)], dv::Compress12(audio[size_t(4 * n)])) << n;
        ASSERT_EQ(codes[size_t(4 * n + 2)], 0) << n;
    }
}
