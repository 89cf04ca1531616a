// The DV frame's system data: timecode labels (drop-frame and non-drop-frame counting, the
// labels drop-frame counting skips, text, BCD, durations), the packs read back as written and
// the bytes we write in them, finding the timecode in a frame, the audio sample cycle and
// recognising a broken frame; the checker's readers: packs voted over their copies, the audio read
// back from its shuffled places, the blocks a player marked damaged.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dv/dif/audio_shuffle.h"
#include "dv/dif/block_status.h"
#include "dv/dif/dif_layout.h"
#include "dv/dif/packs.h"
#include "dv/dif/system_data.h"
#include "dv/dif/timecode.h"

namespace dif = dv::dif;
using dv::Timecode;

namespace {

Timecode Label(int h, int m, int s, int f, bool dropFrame = true) { return Timecode{h, m, s, f, dropFrame}; }

// The label after tc as a deck counts, worked out from the rule alone: 30 labels a second, and
// ;00 and ;01 left out at each minute not divisible by ten.
Timecode NextDropFrameLabel(Timecode tc) {
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

std::vector<uint8_t> Bytes(const uint8_t* pack) { return std::vector<uint8_t>(pack, pack + dif::kPackBytes); }

}  // namespace

// ---- timecode labels --------------------------------------------------------------------------

TEST(DifTimecode, DropFrameLabelsStepWithoutGapsOverTwoHours) {
    Timecode expected = Label(0, 0, 0, 0);
    const int64_t twoHours = 2 * 107892;  // 29.97 frames/s, exactly 107892 frames an hour
    for (int64_t n = 0; n <= twoHours; ++n) {
        const Timecode tc = Timecode::OfFrame(n);
        ASSERT_EQ(tc, expected) << "frame " << n << ": " << tc.Text();
        // And back: every label shown names its own frame.
        ASSERT_EQ(tc.Frame(), std::optional<uint32_t>(static_cast<uint32_t>(n))) << tc.Text();
        expected = NextDropFrameLabel(expected);
    }
    EXPECT_EQ(Timecode::OfFrame(twoHours), Label(2, 0, 0, 0));
    EXPECT_EQ(Label(0, 1, 0, 2).Frame(), std::optional<uint32_t>(1800));    // ;00 and ;01 skipped
    EXPECT_EQ(Label(0, 10, 0, 0).Frame(), std::optional<uint32_t>(17982));  // but not every tenth minute
    // A day later it starts again, and a frame before midnight is the day's last label.
    EXPECT_EQ(Timecode::OfFrame(Timecode::kDropFramesPerDay + 5), Label(0, 0, 0, 5));
    EXPECT_EQ(Timecode::OfFrame(Timecode::kDropFramesPerDay - 1), Label(23, 59, 59, 29));
    EXPECT_EQ(Timecode::OfFrame(-1), Label(23, 59, 59, 29));
    for (const Timecode& wrong : {Label(24, 0, 0, 0), Label(0, 0, 0, 30), Label(0, 0, -1, 0), Label(0, 60, 0, 0)})
        EXPECT_FALSE(wrong.Frame()) << wrong.Text();
}

TEST(DifTimecode, NonDropFrameCountsEveryLabel) {
    EXPECT_EQ(Timecode::OfFrame(1800, false), Label(0, 1, 0, 0, false));  // no label left out
    EXPECT_EQ(Timecode::OfFrame(17982, false), Label(0, 9, 59, 12, false));
    EXPECT_EQ(Timecode::OfFrame(Timecode::kNonDropFramesPerDay - 1, false), Label(23, 59, 59, 29, false));
    EXPECT_EQ(Timecode::OfFrame(Timecode::kNonDropFramesPerDay, false), Label(0, 0, 0, 0, false));
    EXPECT_EQ(Label(0, 1, 0, 0, false).Frame(), std::optional<uint32_t>(1800));
    EXPECT_EQ(Label(21, 56, 34, 12, false).Frame(), std::optional<uint32_t>(((21 * 60 + 56) * 60 + 34) * 30 + 12));
    // The labels drop-frame counting skips are ordinary ones here.
    EXPECT_FALSE(Label(0, 58, 0, 0, false).Skipped());
    EXPECT_EQ(Label(0, 58, 0, 0, false).Frame(), std::optional<uint32_t>(58 * 1800));
}

TEST(DifTimecode, ASkippedStartLabelStartsAtFrameTwoOfItsSecondWhicheverFrameItNames) {
    // Minute 58 is no tenth minute: its ;00 and ;01 are never shown, both given as a start mean
    // the second's first label, ;02.
    for (const Timecode& skipped : {Label(0, 58, 0, 0), Label(0, 58, 0, 1), Label(23, 59, 0, 1)}) {
        SCOPED_TRACE(skipped.Text());
        EXPECT_TRUE(skipped.Skipped());
        EXPECT_FALSE(skipped.Frame());
        Timecode second = skipped;
        second.frames = 2;
        EXPECT_EQ(skipped.FirstShown(), second);
        ASSERT_TRUE(second.Frame());
        EXPECT_EQ(Timecode::OfFrame(*second.Frame()), second);
        // It follows the previous minute's last label directly.
        EXPECT_EQ(*second.Frame(), *Timecode::OfFrame(*second.Frame() - 1).Frame() + 1);
        EXPECT_EQ(Timecode::OfFrame(*second.Frame() - 1).seconds, 59);
    }
    // Shown labels are their own first: ;02 itself, and ;00 and ;01 of a tenth minute.
    for (const Timecode& shown : {Label(0, 58, 0, 2), Label(0, 50, 0, 0), Label(0, 50, 0, 1), Label(0, 58, 1, 0)}) {
        EXPECT_FALSE(shown.Skipped()) << shown.Text();
        EXPECT_EQ(shown.FirstShown(), shown) << shown.Text();
    }
}

TEST(DifTimecode, TextAndBcdFormsRoundTripAndRefuseWhatIsNoLabel) {
    EXPECT_EQ(Label(1, 9, 59, 29).Text(), "01:09:59;29");
    EXPECT_EQ(Label(1, 9, 59, 29, false).Text(), "01:09:59:29");
    EXPECT_EQ(Timecode::Parse("01:09:59;29"), Label(1, 9, 59, 29));
    EXPECT_EQ(Timecode::Parse("01:09:59:29"), Label(1, 9, 59, 29, false));
    EXPECT_EQ(Timecode::Parse("00:58:00;00"), Label(0, 58, 0, 0)) << "a skipped label is a label still";
    for (const char* wrong : {"24:00:00;00", "00:60:00;00", "00:00:60;00", "00:00:00;30", "-1:00:00;00",
                              " 1:00:00;00", "+1:00:00;00", "00:00:00.00", "00;00:00;00", "0:00:00;000",
                              "00:00:00;0", "00:00:00;001", ""})
        EXPECT_FALSE(Timecode::Parse(wrong)) << "'" << wrong << "'";

    EXPECT_EQ(Label(1, 9, 59, 29).Bcd(), 0x01095929u);
    EXPECT_EQ(Label(23, 59, 59, 29).Bcd(), 0x23595929u);
    EXPECT_EQ(Timecode::FromBcd(0x01095929), Label(1, 9, 59, 29));
    EXPECT_EQ(Timecode::FromBcd(0x01095929, false), Label(1, 9, 59, 29, false));
    for (const uint32_t wrong : {0x0000000Au, 0x000000A0u, 0x24000000u, 0x00600000u, 0x00006000u, 0x00000030u,
                                 0x00000040u /* a flag above the frames */, 0x80000000u})
        EXPECT_FALSE(Timecode::FromBcd(wrong)) << std::hex << wrong;
}

TEST(DifTimecode, DurationsAreSecondsOrTimecodeLengthsInFramesOf30ASecond) {
    EXPECT_EQ(dv::ParseDuration("10"), 300);
    EXPECT_EQ(dv::ParseDuration("2.5"), 75);
    EXPECT_EQ(dv::ParseDuration(".5"), 15);
    EXPECT_EQ(dv::ParseDuration("0.02"), 1);  // 0.6 of a frame: one, to the nearest
    EXPECT_EQ(dv::ParseDuration("86400"), 2592000);
    EXPECT_EQ(dv::ParseDuration("00:00:10;00"), 300);  // a length, not a place: no label skipped
    EXPECT_EQ(dv::ParseDuration("00:10:00:01"), 18001);
    for (const char* wrong : {"0", "0.01", "00:00:00;00", "86400.1", "", ".", "ten", "1.2.3", "-1", "1e3", "+5",
                              " 5", "5 ", "24:00:00;00"})
        EXPECT_FALSE(dv::ParseDuration(wrong)) << "'" << wrong << "'";
}

// ---- packs ------------------------------------------------------------------------------------

TEST(DifPacks, EachPackReadsBackWhatWasWrittenAndNoOtherPack) {
    uint8_t pack[dif::kPackBytes];

    dif::TimecodePack timecode;
    timecode.label = Label(21, 56, 34, 12, false);
    timecode.colorFrame = true;
    timecode.polarityCorrection = false;
    timecode.binaryGroupFlags = 0x5;
    dif::WritePack(pack, timecode);
    auto tc = dif::ReadTimecodePack(pack);
    ASSERT_TRUE(tc);
    EXPECT_EQ(tc->label, timecode.label);
    EXPECT_TRUE(tc->colorFrame);
    EXPECT_FALSE(tc->polarityCorrection);
    EXPECT_EQ(tc->binaryGroupFlags, 0x5);
    EXPECT_FALSE(dif::ReadAudioSourcePack(pack));

    dif::BinaryGroupPack groups;
    groups.groups = {1, 2, 3, 4, 5, 6, 7, 8};
    dif::WritePack(pack, groups);
    EXPECT_EQ(Bytes(pack), (std::vector<uint8_t>{0x14, 0x21, 0x43, 0x65, 0x87}));
    ASSERT_TRUE(dif::ReadBinaryGroupPack(pack));
    EXPECT_EQ(dif::ReadBinaryGroupPack(pack)->groups, groups.groups);
    EXPECT_FALSE(dif::ReadTimecodePack(pack));

    dif::AudioSourcePack source;
    source.audioMode = 1;
    source.fiftyFields = true;  // 625/50 counts from another least number
    source.sampleRate = 32000;
    source.locked = false;
    source.samples = 1264 + 7;
    dif::WritePack(pack, source);
    auto as = dif::ReadAudioSourcePack(pack);
    ASSERT_TRUE(as);
    EXPECT_EQ(as->samples, 1271);
    EXPECT_EQ(as->audioMode, 1);
    EXPECT_TRUE(as->fiftyFields);
    EXPECT_EQ(as->sampleRate, 32000);
    EXPECT_FALSE(as->locked);
    pack[4] = 0x80 | 3 << 3;  // a reserved sampling rate
    EXPECT_FALSE(dif::ReadAudioSourcePack(pack));

    dif::AudioControlPack control;
    control.recordingStart = true;
    control.speed = 0x78;
    control.forward = false;
    dif::WritePack(pack, control);
    auto ac = dif::ReadAudioControlPack(pack);
    ASSERT_TRUE(ac);
    EXPECT_TRUE(ac->recordingStart);
    EXPECT_FALSE(ac->recordingEnd);
    EXPECT_EQ(ac->speed, 0x78);
    EXPECT_FALSE(ac->forward);
    EXPECT_EQ(ac->recordingMode, 1);
    EXPECT_FALSE(dif::ReadVideoControlPack(pack));

    dif::VideoSourcePack video;
    video.fiftyFields = true;
    video.source = 0;
    dif::WritePack(pack, video);
    auto vs = dif::ReadVideoSourcePack(pack);
    ASSERT_TRUE(vs);
    EXPECT_TRUE(vs->fiftyFields);
    EXPECT_EQ(vs->source, 0);
    EXPECT_TRUE(vs->color);

    dif::VideoControlPack picture;
    picture.display = 2;  // 16:9
    picture.field1First = false;
    dif::WritePack(pack, picture);
    auto vc = dif::ReadVideoControlPack(pack);
    ASSERT_TRUE(vc);
    EXPECT_EQ(vc->display, 2);
    EXPECT_FALSE(vc->field1First);
    EXPECT_TRUE(vc->interlaced);
    EXPECT_FALSE(dif::ReadAudioControlPack(pack));

    // Date and time: the AAUX and the VAUX forms, and no information.
    dif::RecordingDatePack date;
    date.audio = true;
    date.year = 2031;
    date.month = 12;
    date.day = 29;
    dif::WritePack(pack, date);
    EXPECT_EQ(pack[0], 0x52);
    auto rd = dif::ReadRecordingDatePack(pack);
    ASSERT_TRUE(rd);
    EXPECT_TRUE(rd->audio && rd->known);
    EXPECT_EQ(rd->year, 2031);
    EXPECT_EQ(rd->month, 12);
    EXPECT_EQ(rd->day, 29);
    date.audio = false;
    date.year = 1999;  // not in two digits of this century: no information
    dif::WritePack(pack, date);
    EXPECT_EQ(Bytes(pack), (std::vector<uint8_t>{0x62, 0xFF, 0xFF, 0xFF, 0xFF}));
    rd = dif::ReadRecordingDatePack(pack);
    ASSERT_TRUE(rd);
    EXPECT_FALSE(rd->audio || rd->known);
    pack[1] = 0xFF, pack[2] = 0xC0 | 0x32, pack[3] = 0xE0 | 0x01, pack[4] = 0x24;  // day 32
    EXPECT_FALSE(dif::ReadRecordingDatePack(pack));

    dif::RecordingTimePack time;
    time.hours = 23;
    time.minutes = 5;
    time.seconds = 59;
    dif::WritePack(pack, time);
    EXPECT_EQ(pack[0], 0x63);
    auto rt = dif::ReadRecordingTimePack(pack);
    ASSERT_TRUE(rt);
    EXPECT_TRUE(!rt->audio && rt->known);
    EXPECT_EQ(rt->hours, 23);
    EXPECT_EQ(rt->minutes, 5);
    EXPECT_EQ(rt->seconds, 59);
    pack[2] = 0x80 | 0x0B;  // not a decimal digit
    EXPECT_FALSE(dif::ReadRecordingTimePack(pack));
    EXPECT_FALSE(dif::ReadRecordingDatePack(pack));
}

TEST(DifPacks, TimecodeReadingRefusesWhatIsNoLabelButIgnoresTheFlagsAroundTheDigits) {
    const uint8_t withFlags[5] = {0x13, 0xC0 | 0x29, 0x80 | 0x59, 0x80 | 0x09, 0xC0 | 0x01};
    auto tc = dif::ReadTimecodePack(withFlags);
    ASSERT_TRUE(tc);
    EXPECT_EQ(tc->label, Label(1, 9, 59, 29));
    EXPECT_TRUE(tc->colorFrame);
    EXPECT_EQ(tc->binaryGroupFlags, 0x7);
    const uint8_t notBcd[5] = {0x13, 0x0A, 0x00, 0x00, 0x00};
    EXPECT_FALSE(dif::ReadTimecodePack(notBcd));
    const uint8_t frame30[5] = {0x13, 0x30, 0x00, 0x00, 0x00};
    EXPECT_FALSE(dif::ReadTimecodePack(frame30));
    const uint8_t hour24[5] = {0x13, 0x00, 0x00, 0x00, 0x24};
    EXPECT_FALSE(dif::ReadTimecodePack(hour24));
}

// What a consumer camcorder writes, settled field by field; a slip in any of them changes what
// another reader makes of the tape.
TEST(DifPacks, OurPacksCarryWhatACamcorderWrites) {
    uint8_t pack[dif::kPackBytes];
    // Timecode: the polarity-correction bit and the three binary-group flags, of no use in DV,
    // set as a camcorder sets them; colour frame 0, drop-frame 1.
    dif::TimecodePack timecode;
    timecode.label = Label(0, 58, 0, 2);
    dif::WritePack(pack, timecode);
    EXPECT_EQ(Bytes(pack), (std::vector<uint8_t>{0x13, 0x40 | 0x02, 0x80 | 0x00, 0x80 | 0x58, 0xC0 | 0x00}));
    // Audio control: forward at normal speed in the code of IEC 61834, which our header's
    // APT 000 names (0x78 is SMPTE 314M's, for APT 001).
    dif::WritePack(pack, dif::AudioControlPack{});
    EXPECT_EQ(Bytes(pack), (std::vector<uint8_t>{0x51, 0x3F, 0xCF, 0x80 | 0x20, 0xFF}));
    dif::AudioSourcePack source;
    source.samples = 1602;
    dif::WritePack(pack, source);
    EXPECT_EQ(Bytes(pack), (std::vector<uint8_t>{0x50, 0x40 | 22, 0x00, 0xC0, 0x80}));
    dif::WritePack(pack, dif::VideoSourcePack{});
    EXPECT_EQ(Bytes(pack), (std::vector<uint8_t>{0x60, 0xFF, 0xFF, 0xC0, 0xFF}));
    dif::WritePack(pack, dif::VideoControlPack{});
    EXPECT_EQ(Bytes(pack), (std::vector<uint8_t>{0x61, 0x3F, 0xC8, 0xFC, 0xFF}));

    // And a written frame holds them, under a header that says APT 000.
    std::vector<uint8_t> frame(dif::kFrameBytes, 0);
    dif::WriteSystemData(frame.data(), 104416);  // 00:58:04;02
    for (int s = 0; s < dif::kSequences; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(frame[dif::BlockOffset(s, 0) + 4] & 0x07, 0);
        for (int k = 0; k < dif::kSyncBlocksPerSequence; k += 3) {
            const uint8_t* packed = frame.data() + dif::SubcodePackOffset(s, k);
            EXPECT_EQ(Bytes(packed), (std::vector<uint8_t>{0x13, 0x42, 0x84, 0xD8, 0xC0})) << "sync block " << k;
        }
        const uint8_t* control = frame.data() + dif::AudioPackOffset(s, s % 2 == 0 ? 4 : 1);
        EXPECT_EQ(Bytes(control), (std::vector<uint8_t>{0x51, 0x3F, 0xCF, 0xA0, 0xFF}));
    }
}

TEST(DifPacks, TheTimecodeIsFoundAnywhereInTheSubcodeOfTheWholeSequencesGiven) {
    std::vector<uint8_t> frame(dif::kFrameBytes, 0xFF);
    uint8_t* pack = frame.data() + dif::SubcodePackOffset(7, 8);  // sequence 7, block 2
    EXPECT_EQ(pack, frame.data() + 7 * 150 * 80 + 2 * 80 + 3 + 2 * 8 + 3);
    const uint8_t bytes[5] = {0x13, 0x40 | 0x12, 0x34, 0x56, 0x21};
    std::memcpy(pack, bytes, 5);
    auto found = dif::FindTimecodePack(frame.data(), frame.size());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->label.Text(), "21:56:34;12");
    EXPECT_FALSE(dif::FindTimecodePack(frame.data(), 7 * 150 * 80 + 149 * 80)) << "read past the end";
    pack[1] = 0x0A;  // not a decimal digit: no label, and nothing else in the frame
    EXPECT_FALSE(dif::FindTimecodePack(frame.data(), frame.size()));
    // An earlier pack that is no label does not hide a later one.
    std::memcpy(frame.data() + dif::SubcodePackOffset(9, 11), bytes, 5);
    found = dif::FindTimecodePack(frame.data(), frame.size());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->label, Label(21, 56, 34, 12));
}

// ---- layout -----------------------------------------------------------------------------------

TEST(DifAudio, FiveFrameCycleHoldsExactly8008Samples) {
    int total = 0;
    for (uint64_t n = 0; n < 5; ++n) total += dif::AudioSamplesInFrame(n);
    EXPECT_EQ(total, 8008);  // 48000 * 1001 / 30000 * 5
    EXPECT_EQ(dif::AudioSamplesInFrame(0), 1600);
    EXPECT_EQ(dif::AudioSamplesInFrame(5), 1600);
    EXPECT_EQ(dif::AudioSamplesInFrame(7), 1602);
}

TEST(DifFrame, SystemDataMakesAnyVideoFrameRecognisable) {
    // A frame with correct block IDs but empty system areas...
    std::vector<uint8_t> frame(dif::kFrameBytes, 0xFF);
    for (int s = 0; s < dif::kSequences; ++s)
        for (int b = 0; b < dif::kBlocksPerSequence; ++b) {
            uint8_t* block = frame.data() + dif::BlockOffset(s, b);
            const int section = b == 0 ? 0 : b <= 2 ? 1 : b <= 5 ? 2 : (b - 6) % 16 == 0 ? 3 : 4;
            block[0] = static_cast<uint8_t>(section << 5 | 0x1F);
            block[1] = static_cast<uint8_t>(s << 4 | 0x07);
            block[2] = 0;
        }
    frame[3] = 0x3F;
    for (int s = 1; s < dif::kSequences; ++s) frame[dif::BlockOffset(s, 0) + 3] = 0x3F;
    ASSERT_TRUE(dif::IsNtscDifFrame(frame.data()));

    dif::WriteSystemData(frame.data(), 1800);
    EXPECT_TRUE(dif::IsNtscDifFrame(frame.data()));
    const auto tc = dif::ReadTimecodePack(frame.data() + 80 + 6);  // where readers look
    ASSERT_TRUE(tc);
    EXPECT_EQ(tc->label, Label(0, 1, 0, 2));

    // ...but a video block in an audio block's place, or a block of another sequence, is not.
    std::vector<uint8_t> broken = frame;
    broken[dif::BlockOffset(4, dif::AudioBlock(2))] = 4 << 5 | 0x1F;
    EXPECT_FALSE(dif::IsNtscDifFrame(broken.data()));
    broken = frame;
    broken[dif::BlockOffset(9, 100) + 1] = 8 << 4 | 0x07;
    EXPECT_FALSE(dif::IsNtscDifFrame(broken.data()));
}

// ---- what a checker reads ---------------------------------------------------------------------

TEST(DifPacks, AVoteOutweighsSpoiltCopiesAndFindsNoneWhereThereIsNone) {
    std::vector<uint8_t> frame(dif::kFrameBytes, 0xFF);
    dif::SystemData data;
    data.timecode = Label(1, 2, 3, 4);
    data.hasRecordingTime = true;
    data.recorded = {2024, 5, 6, 7, 8, 9};
    dif::WriteSystemData(frame.data(), data);

    auto vote = dif::VotePack(frame.data(), dif::PackType::Timecode, dif::PackArea::Subcode);
    EXPECT_EQ(vote.copies, 40);  // four in each sequence
    EXPECT_EQ(vote.agreeing, 40);
    // A damaged sync block: another label, a digit that is none. The majority still reads right.
    dif::TimecodePack other;
    other.label = Label(9, 9, 9, 9);
    dif::WritePack(frame.data() + dif::SubcodePackOffset(0, 0), other);
    frame[dif::SubcodePackOffset(3, 3) + 1] = 0x0C;
    vote = dif::VotePack(frame.data(), dif::PackType::Timecode, dif::PackArea::Subcode);
    EXPECT_EQ(vote.copies, 40);
    EXPECT_EQ(vote.agreeing, 38);
    auto tc = dif::ReadTimecodePack(vote.pack.data());
    ASSERT_TRUE(tc);
    EXPECT_EQ(tc->label, Label(1, 2, 3, 4));

    // Each half of the frame tells its own channel in the AAUX source pack.
    const auto left = dif::VotePack(frame.data(), dif::PackType::AudioSource, dif::PackArea::Aaux, 0, 5);
    const auto right = dif::VotePack(frame.data(), dif::PackType::AudioSource, dif::PackArea::Aaux, 5, 5);
    EXPECT_EQ(left.copies, 5);
    EXPECT_EQ(dif::ReadAudioSourcePack(left.pack.data())->audioMode, 0);
    EXPECT_EQ(dif::ReadAudioSourcePack(right.pack.data())->audioMode, 1);
    const auto date = dif::VotePack(frame.data(), dif::PackType::VideoRecordingDate, dif::PackArea::Vaux);
    EXPECT_EQ(date.copies, 10);
    EXPECT_EQ(dif::ReadRecordingDatePack(date.pack.data())->month, 5);

    // Sequences past the frame's are never read; a pack that is nowhere is not found.
    EXPECT_EQ(dif::VotePack(frame.data(), dif::PackType::Timecode, dif::PackArea::Subcode, 8, 100).copies, 8);
    std::vector<uint8_t> blank(dif::kFrameBytes, 0xFF);
    vote = dif::VotePack(blank.data(), dif::PackType::Timecode, dif::PackArea::Subcode);
    EXPECT_FALSE(vote.Found());
    EXPECT_EQ(Bytes(vote.pack.data()), std::vector<uint8_t>(5, 0xFF));
}

TEST(DifAudio, SamplesReadBackFromTheirShuffledPlacesAndTheErrorCodeIsNoSample) {
    std::vector<uint8_t> frame(dif::kFrameBytes, 0);
    dif::WriteSystemData(frame.data(), 0);
    std::vector<int16_t> audio(2 * dv::kMaxAudioSamples);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<int16_t>(i * 37 - 30000);
    audio[10] = INT16_MIN;  // written as -32767: the error code is never a sample
    dv::ShuffleAudio(frame.data(), audio.data(), dv::kMaxAudioSamples);
    // Every place of every audio block holds a sample: the shuffle is a permutation.
    std::vector<int16_t> back(audio.size());
    dv::UnshuffleAudio(frame.data(), back.data(), dv::kMaxAudioSamples);
    audio[10] = INT16_MIN + 1;
    EXPECT_EQ(back, audio);
    EXPECT_EQ(dif::CountDamage(frame.data()).AudioErrors(), 0);

    // The right channel's sample 0 sits in sequence 5, audio block 0, first place (IEC 61834).
    uint8_t* place = frame.data() + dif::BlockOffset(5, dif::AudioBlock(0)) + dif::kAudioSampleOffset;
    EXPECT_EQ(int16_t(place[0] << 8 | place[1]), audio[1]);
    place[0] = 0x80;
    place[1] = 0x00;
    dv::UnshuffleAudio(frame.data(), back.data(), 1);
    EXPECT_EQ(back[1], dv::kAudioErrorSample);
    const auto damage = dif::CountDamage(frame.data());
    EXPECT_EQ(damage.audioErrors[1], 1);  // sequence 5 is odd
    EXPECT_EQ(damage.audioErrors[0], 0);
}

TEST(DifBlocks, StatusNibblesCountAsErrorsOrConcealmentByTheSideOfTheDrum) {
    std::vector<uint8_t> frame(dif::kFrameBytes, 0);
    dif::WriteSystemData(frame.data(), 0);
    EXPECT_FALSE(dif::CountDamage(frame.data()).Any());
    const auto sta = [&](int sequence, int block, int value) {
        uint8_t& byte = frame[dif::BlockOffset(sequence, block) + 3];
        byte = static_cast<uint8_t>(value << 4 | (byte & 0x0F));
    };
    sta(0, 7, 0x7);   // error, not concealed
    sta(2, 8, 0xF);   // error
    sta(4, 9, 0x2);   // concealed from the frame before
    sta(1, 10, 0x4);  // concealed from the frame after
    sta(1, 6, 0xF);   // an audio block: its byte 3 is the AAUX pack, not a status
    const auto damage = dif::CountDamage(frame.data());
    EXPECT_EQ(damage.videoErrors[0], 2);
    EXPECT_EQ(damage.videoErrors[1], 0);
    EXPECT_EQ(damage.videoConcealed[0], 1);
    EXPECT_EQ(damage.videoConcealed[1], 1);
    EXPECT_EQ(damage.AudioErrors(), 0);
    EXPECT_EQ(dif::VideoBlockStatus(frame.data() + dif::BlockOffset(0, 7)), dif::BlockStatus::Error);
    EXPECT_EQ(dif::VideoBlockStatus(frame.data() + dif::BlockOffset(0, 8)), dif::BlockStatus::Good);
}
