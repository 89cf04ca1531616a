// tamsel-stripe --verify-file as a user runs it: a stripe that dvdeck recorded and a file FFmpeg
// wrote are good; the same stripe with a frame cut out, a timecode break, damaged blocks, audio
// error codes or a truncated end is not, and the report names each defect with its timecode
// range and count; files that are no DV recording, or no regular file, are refused plainly.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dv/dif/dif_layout.h"
#include "dv/dif/packs.h"
#include "tests/support/dv/deck_test_process.h"
#include "tests/support/dv/verify_run.h"
#include "tests/support/process.h"

namespace dif = dv::dif;
using dvtest::Verdict;
using dvtest::Verify;
using testsupport::BuildFile;
using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::Shell;

namespace {

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Every copy of the timecode pack in a frame relabelled.
void Relabel(uint8_t* frame, const dv::Timecode& label) {
    for (int s = 0; s < dif::kSequences; ++s)
        for (int k = 0; k < dif::kSyncBlocksPerSequence; ++k) {
            uint8_t* pack = frame + dif::SubcodePackOffset(s, k);
            if (auto tc = dif::ReadTimecodePack(pack)) {
                tc->label = label;
                dif::WritePack(pack, *tc);
            }
        }
}

// A stripe of bars and tone that dvdeck recorded, from 00:58:00;00 (shown from ;02), made once.
class VerifyFile : public testing::Test {
protected:
    static constexpr int kFrames = 150;

    static void SetUpTestSuite() {
        for (const char* piece : {"tamsel.ax", "colorbar.dat", "dvfilters.so", "regsvr", "dvdeck", "tamsel-stripe"})
            ASSERT_EQ(access(BuildFile(piece).c_str(), F_OK), 0) << piece << " is not built";
        ASSERT_EQ(Shell("ffmpeg -version >/dev/null"), 0) << "ffmpeg is not installed (scripts/install-deps.sh)";
        ASSERT_EQ(Shell("cd " + Quote(testsupport::BuildDir()) + " && ./regsvr tamsel.ax >/dev/null"), 0);
        dir_ = new decktest::TempDir();
        stripe_ = dir_->path() + "/stripe.dv";
        decktest::DeckProcess deck(dir_->path());
        ASSERT_TRUE(deck.StartListening(stripe_, "verify deck"));
        std::string output;
        ASSERT_EQ(Shell(Quote(BuildFile("tamsel-stripe")) + " --duration " + std::to_string(kFrames / 30) +
                            " --timecode '00:58:00;00' 2>&1 --device " + Quote("deck:" + deck.SocketPath()),
                        &output), 0) << output;
        ASSERT_TRUE(deck.Finish());
        ASSERT_EQ(ReadFile(stripe_).size(), size_t(kFrames) * dif::kFrameBytes);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    // The stripe's bytes, to damage.
    static std::string Stripe() { return ReadFile(stripe_); }
    static uint8_t* FrameOf(std::string& tape, int frame) {
        return reinterpret_cast<uint8_t*>(tape.data()) + size_t(frame) * dif::kFrameBytes;
    }
    std::string Path(const std::string& name) const { return dir_->path() + "/" + name; }

    static decktest::TempDir* dir_;
    static std::string stripe_;
};
decktest::TempDir* VerifyFile::dir_ = nullptr;
std::string VerifyFile::stripe_;

}  // namespace

TEST_F(VerifyFile, AStripeDvdeckRecordedIsGoodWithEveryCheckApplied) {
    const Verdict text = Verify(stripe_, "--timecode '00:58:00;00'");
    EXPECT_EQ(text.status, 0) << text.out << text.err;
    EXPECT_NE(text.out.find(": good: 150 frames checked, 00:58:00;02 - 00:58:05;01"), std::string::npos) << text.out;

    const Verdict json = Verify(stripe_, "--json --tone -20");
    EXPECT_EQ(json.status, 0) << json.out << json.err;
    EXPECT_EQ(json.json.value("format_version", 0), 1);
    EXPECT_EQ(json.json.value("result", ""), "good");
    EXPECT_EQ(json.json.value("frames", 0), kFrames);
    EXPECT_EQ(json.json["defects"], nlohmann::json::object());
    const std::string checked = json.json["checked"].dump();
    EXPECT_NE(checked.find("colour bars and black levels"), std::string::npos) << checked;
    EXPECT_NE(checked.find("1 kHz tone at -20.0 dBFS"), std::string::npos) << checked;
    EXPECT_EQ(json.json["not_checked"], nlohmann::json::array());

    // Told of another start or another tone, the same stripe is not good.
    const Verdict start = Verify(stripe_, "--json --timecode '01:00:00;00'");
    EXPECT_EQ(start.status, 1);
    EXPECT_EQ(start.json["defects"]["timecode_break"]["ranges"][0].value("detail", ""),
              "starts at 00:58:00;02, not 01:00:00;00");
    const Verdict tone = Verify(stripe_, "--json --tone -18");
    EXPECT_EQ(tone.status, 1);
    EXPECT_EQ(tone.json["defects"]["tone_level"].value("count", 0), kFrames);
}

TEST_F(VerifyFile, AnFfmpegFileIsGoodWithoutTheChecksOfWhatItDoesNotCarry) {
    const std::string file = Path("ffmpeg.dv");
    std::string output;
    ASSERT_EQ(Shell("ffmpeg -v error -y -f lavfi -i testsrc=size=720x480:rate=30000/1001 -f lavfi -i "
                    "sine=frequency=440:sample_rate=48000 -t 3 -s 720x480 -r 30000/1001 -pix_fmt yuv411p -ac 2 "
                    "-f dv " + Quote(file), &output), 0) << output;
    const Verdict v = Verify(file, "--json");
    EXPECT_EQ(v.status, 0) << v.out << v.err;
    EXPECT_EQ(v.json.value("result", ""), "good");
    EXPECT_EQ(v.json.value("first_timecode", ""), "00:00:00:00");  // FFmpeg counts non-drop-frame
    EXPECT_EQ(v.json["not_checked"].size(), 2u) << v.json["not_checked"].dump();  // bars, tone
    // Its start named as it counts (':' non-drop-frame) is good; named drop-frame it is not.
    EXPECT_EQ(Verify(file, "--timecode 00:00:00:00").status, 0);
    const Verdict dropFrame = Verify(file, "--json --timecode '00:00:00;00'");
    EXPECT_EQ(dropFrame.status, 1);
    EXPECT_EQ(dropFrame.json["defects"]["timecode_break"]["ranges"][0].value("detail", ""),
              "starts at 00:00:00:00, not 00:00:00;00");
}

TEST_F(VerifyFile, ACutFrameABreakDamagedBlocksAndAudioErrorsAreEachNamedWhereTheyAre) {
    std::string tape = Stripe();
    // A single spoilt copy of the timecode is outvoted: no break at frame 10.
    {
        dif::TimecodePack wrong;
        wrong.label = dv::Timecode{12, 0, 0, 0, true};
        dif::WritePack(FrameOf(tape, 10) + dif::SubcodePackOffset(3, 0), wrong);
    }
    // Damaged video blocks in the even sequences only (one head) in frames 20-22 (00:58:00;22 -
    // 00:58:00;24), concealed ones in frame 30.
    for (int f = 20; f <= 22; ++f)
        for (int s = 0; s < dif::kSequences; s += 2)
            for (int b : {7, 50, 100}) FrameOf(tape, f)[dif::BlockOffset(s, b) + 3] |= 0x70;
    FrameOf(tape, 30)[dif::BlockOffset(1, 9) + 3] |= 0x20;
    // Audio error codes in frame 40 (00:58:01;12), in two audio blocks.
    for (int s : {0, 5}) {
        uint8_t* sample = FrameOf(tape, 40) + dif::BlockOffset(s, dif::AudioBlock(1)) + dif::kAudioSampleOffset;
        sample[0] = 0x80;
        sample[1] = 0x00;
    }
    // From frame 100 on, the timecode jumps an hour ahead.
    const int64_t first = *dv::Timecode{0, 58, 0, 2, true}.Frame();
    for (int f = 100; f < kFrames; ++f) Relabel(FrameOf(tape, f), dv::Timecode::OfFrame(first + 107892 + f));
    // Frame 60 cut out (00:58:02;02 missing, so the file goes on at 00:58:02;03).
    tape.erase(size_t(60) * dif::kFrameBytes, dif::kFrameBytes);
    const std::string file = Path("damaged.dv");
    Write(file, tape);

    const Verdict v = Verify(file, "--json --timecode '00:58:00;00'");
    EXPECT_EQ(v.status, 1) << v.out << v.err;
    EXPECT_EQ(v.json.value("result", ""), "defects");
    const nlohmann::json& d = v.json["defects"];

    const nlohmann::json& video = d["video_errors"];
    EXPECT_EQ(video.value("count", 0), 3 * 5 * 3);
    ASSERT_EQ(video["ranges"].size(), 1u) << video.dump();
    EXPECT_EQ(video["ranges"][0].value("first", ""), "00:58:00;22");
    EXPECT_EQ(video["ranges"][0].value("last", ""), "00:58:00;24");
    EXPECT_EQ(video["ranges"][0].value("even_sequences", -1), 45);
    EXPECT_EQ(video["ranges"][0].value("odd_sequences", -1), 0);
    EXPECT_EQ(d["video_concealed"]["ranges"][0].value("first", ""), "00:58:01;02");
    EXPECT_TRUE(v.json["one_head_damaged"].is_null()) << "the concealed block lies in an odd sequence";

    EXPECT_EQ(d["audio_errors"].value("count", 0), 2);
    EXPECT_EQ(d["audio_errors"]["ranges"][0].value("first", ""), "00:58:01;12");

    ASSERT_TRUE(d.contains("frame_missing")) << d.dump(1);
    EXPECT_EQ(d["frame_missing"].value("count", 0), 1);
    EXPECT_EQ(d["frame_missing"]["ranges"][0].value("first", ""), "00:58:02;03");
    EXPECT_EQ(d["frame_missing"]["ranges"][0].value("detail", ""), "1 frame missing before 00:58:02;03");

    ASSERT_TRUE(d.contains("timecode_break")) << d.dump(1);
    EXPECT_EQ(d["timecode_break"].value("count", 0), 1) << "the outvoted copy is no break";
    EXPECT_EQ(d["timecode_break"]["ranges"][0].value("first", ""), "01:58:03;12");
    EXPECT_EQ(d["timecode_break"]["ranges"][0].value("detail", ""), "01:58:03;12 follows 00:58:03;11");
    for (const char* kind : {"blank", "unreadable", "timecode_missing", "frame_repeated", "date_missing",
                             "vaux_source_changed", "aaux_source_changed", "picture_level", "tone_level"})
        EXPECT_FALSE(d.contains(kind)) << kind << ": " << d[kind].dump();

    // The text names the same places.
    const Verdict text = Verify(file, "--timecode '00:58:00;00'");
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("NOT GOOD"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("video blocks in error: 45 blocks in 1 place; even sequences 45, odd 0"),
              std::string::npos) << text.out;
    EXPECT_NE(text.out.find("00:58:00;22 - 00:58:00;24 (frames 20-22)"), std::string::npos) << text.out;
}

TEST_F(VerifyFile, HeadClogDuplicatesAndBlankFramesAreToldApart) {
    std::string tape = Stripe();
    // The odd sequences of frames 5-9 all concealed: one head.
    for (int f = 5; f <= 9; ++f)
        for (int s = 1; s < dif::kSequences; s += 2) FrameOf(tape, f)[dif::BlockOffset(s, 20) + 3] |= 0x20;
    // Frame 50 played twice; frames 80-84 blank (their system data gone, the block IDs left).
    tape.insert(size_t(51) * dif::kFrameBytes, tape, size_t(50) * dif::kFrameBytes, dif::kFrameBytes);
    for (int f = 81; f <= 85; ++f) {
        uint8_t* frame = FrameOf(tape, f);
        for (int s = 0; s < dif::kSequences; ++s)
            for (int b = 1; b < dif::kBlocksPerSequence; ++b)
                if (b <= 5 || dif::SectionAt(b) == dif::Section::Audio)
                    std::memset(frame + dif::BlockOffset(s, b) + 3, 0xFF, dif::kBlockBytes - 3);
    }
    const std::string file = Path("clog.dv");
    Write(file, tape);
    const Verdict v = Verify(file, "--json");
    EXPECT_EQ(v.status, 1);
    const nlohmann::json& d = v.json["defects"];
    EXPECT_EQ(v.json.value("one_head_damaged", ""), "odd");
    EXPECT_EQ(d["video_concealed"].value("count", 0), 25);
    EXPECT_EQ(d["frame_repeated"]["ranges"][0].value("first", ""), "00:58:01;22");
    EXPECT_EQ(d["blank"].value("count", 0), 5);
    EXPECT_EQ(d["blank"]["ranges"][0].value("first_frame", 0), 81);
    EXPECT_EQ(d["blank"]["ranges"][0].value("first", ""), "00:58:02;22");  // where the tape should be
    EXPECT_FALSE(d.contains("timecode_break")) << "the labels run on across the blank: " << d.dump(1);
}

TEST_F(VerifyFile, WhatIsNoWholeDvRecordingIsToldPlainlyAndNothingIsWritten) {
    // Cut short within the last frame: the whole frames are checked, the end is a defect.
    const std::string cut = Path("cut.dv");
    Write(cut, Stripe().substr(0, size_t(3) * dif::kFrameBytes + 1000));
    Verdict v = Verify(cut, "--json");
    EXPECT_EQ(v.status, 1);
    EXPECT_EQ(v.json.value("frames", 0), 3);
    EXPECT_EQ(v.json["defects"]["truncated"].value("count", 0), 1000);
    EXPECT_EQ(v.json["defects"]["truncated"]["ranges"][0].value("first", ""), "00:58:00;05");

    // Shorter than a frame, empty, not DV at all, PAL.
    Write(Path("short.dv"), Stripe().substr(0, 5000));
    v = Verify(Path("short.dv"));
    EXPECT_EQ(v.status, 1);
    EXPECT_NE(v.err.find("shorter than one frame (5000 of 120000 bytes): not a DV recording"), std::string::npos)
        << v.err;
    Write(Path("empty.dv"), "");
    v = Verify(Path("empty.dv"));
    EXPECT_EQ(v.status, 1);
    EXPECT_NE(v.err.find("empty: no frame to check"), std::string::npos) << v.err;
    Write(Path("text.dv"), std::string(2 * dif::kFrameBytes, 'x'));
    v = Verify(Path("text.dv"), "--json");
    EXPECT_EQ(v.status, 1);
    EXPECT_EQ(v.json["defects"]["unreadable"].value("count", 0), 2);
    std::string pal = Stripe().substr(0, dif::kFrameBytes);
    pal[3] = char(pal[3] | 0x80);
    Write(Path("pal.dv"), pal);
    v = Verify(Path("pal.dv"));
    EXPECT_EQ(v.status, 1);
    EXPECT_NE(v.err.find("625/50 (PAL)"), std::string::npos) << v.err;

    // A symbolic link to a recording is read; a FIFO, a directory, a device or no file are not,
    // and nothing waits for a writer that never comes.
    ASSERT_EQ(symlink(stripe_.c_str(), Path("link.dv").c_str()), 0);
    EXPECT_EQ(Verify(Path("link.dv")).status, 0);
    ASSERT_EQ(mkfifo(Path("fifo.dv").c_str(), 0600), 0);
    for (const std::string& path : {Path("fifo.dv"), dir_->path(), std::string("/dev/zero"), Path("none.dv")}) {
        v = Verify(path);
        EXPECT_EQ(v.status, 1) << path;
        EXPECT_NE(v.err.find(path.substr(path.rfind('/') + 1)), std::string::npos) << v.err;
        EXPECT_EQ(v.out, "") << path;
        v = Verify(path, "--json");
        EXPECT_EQ(v.json.value("result", ""), "failed") << path;
    }
    EXPECT_NE(Verify(Path("fifo.dv")).err.find("not a regular file"), std::string::npos);

    // The file checked is left as it was.
    EXPECT_EQ(ReadFile(cut).size(), size_t(3) * dif::kFrameBytes + 1000);

    // A check takes no striping options.
    std::string output;
    EXPECT_EQ(Shell(Quote(BuildFile("tamsel-stripe")) + " --verify-file " + Quote(cut) + " --record", &output), 2) << output;
    EXPECT_EQ(Shell(Quote(BuildFile("tamsel-stripe")) + " --verify-file " + Quote(cut) + " --stop", &output), 2) << output;
}
