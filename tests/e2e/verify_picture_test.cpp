// The tape checker judges the picture of every pattern tamsel-stripe sends, in both systems, and a
// leader frame by frame: stripes dvdeck recorded are good; the same tapes with one frame's picture
// or sound spoilt (DIF blocks of another frame put in its place) are not, and the report names
// the frame and its timecode. The levels looked for come from the standards' tables (BT.601
// 8-bit codes of 75 % and 100 % bars, SMPTE EG 1, EBU Tech 3237).
#include <gtest/gtest.h>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "dv/dif/dif_layout.h"
#include "dv/dif/packs.h"
#include "tests/support/dv/deck_test_process.h"
#include "tests/support/dv/verify_run.h"
#include "tests/support/process.h"

namespace dif = dv::dif;
using testsupport::BuildFile;
using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::Shell;

namespace {

using dvtest::Verdict;

// tamsel-stripe --verify-file FILE ARGS --json, and the same as text.
Verdict Verify(const std::string& file, const std::string& args = "") {
    Verdict v = dvtest::Verify(file, args + " --json");
    Shell(dvtest::VerifyCommand(file, args) + " 2>&1", &v.out);
    return v;
}

// Every DIF block of `section` in frame `to` replaced by frame `from`'s (frames of `system`).
void CopySection(std::string& tape, const dv::DvSystem& system, int from, int to, dif::Section section) {
    for (int s = 0; s < system.sequences; ++s)
        for (int b = 0; b < dif::kBlocksPerSequence; ++b) {
            if (dif::SectionAt(b) != section) continue;
            const size_t offset = size_t(dif::BlockOffset(s, b));
            std::memcpy(&tape[size_t(to) * size_t(system.frameBytes) + offset],
                        &tape[size_t(from) * size_t(system.frameBytes) + offset], dif::kBlockBytes);
        }
}

// Frame `to`'s section from frame `from` of another tape.
void CopySectionFrom(const std::string& source, std::string& tape, const dv::DvSystem& system, int frame,
                     dif::Section section) {
    std::string both = tape + source.substr(size_t(frame) * size_t(system.frameBytes), size_t(system.frameBytes));
    CopySection(both, system, int(tape.size() / size_t(system.frameBytes)), frame, section);
    tape = both.substr(0, tape.size());
}

std::string Checked(const nlohmann::json& json) {
    std::string all;
    for (const auto& line : json["checked"]) all += line.get<std::string>() + "; ";
    return all;
}

// The first range of a kind of defect, or null.
nlohmann::json FirstRange(const nlohmann::json& json, const char* kind) {
    if (!json["defects"].contains(kind)) return nullptr;
    return json["defects"][kind]["ranges"][0];
}

constexpr const char* kLayout = "bars:3,black:1,slate:2,countdown:8,black:2";

// Stripes that dvdeck recorded, each made once when first needed: each pattern in each system for
// a second, and a short leader with black after it.
class VerifyPicture : public testing::Test {
protected:
    struct Stripe {
        const char* name;
        const char* options;
        const dv::DvSystem* system;
        const char* checked;  // the picture line of the report's "checked"
    };
    static const std::vector<Stripe>& Stripes() {
        static const std::vector<Stripe> stripes = {
            {"ntsc", "--standard ntsc", &dv::k525_60, "colour bars and black levels"},
            {"ntsc-smpte", "--standard ntsc --pattern smpte", &dv::k525_60, "picture levels: SMPTE colour bars"},
            {"ntsc-ebu75", "--standard ntsc --pattern ebu75", &dv::k525_60, "picture levels: EBU 75 % colour bars"},
            {"ntsc-ebu100", "--standard ntsc --pattern ebu100", &dv::k525_60, "picture levels: EBU 100 % colour bars"},
            {"ntsc-black", "--standard ntsc --pattern black --no-tone", &dv::k525_60, "picture levels: black"},
            {"pal", "--standard pal", &dv::k625_50, "picture levels: EBU 75 % colour bars"},
            {"pal-smpte", "--standard pal --pattern smpte --audio 32k", &dv::k625_50, "picture levels: SMPTE colour bars"},
            {"pal-ebu100", "--standard pal --pattern ebu100", &dv::k625_50, "picture levels: EBU 100 % colour bars"},
            {"pal-black", "--standard pal --pattern black --no-tone", &dv::k625_50, "picture levels: black"},
        };
        return stripes;
    }

    static void SetUpTestSuite() {
        for (const char* piece : {"tamsel.ax", "colorbar.dat", "dvfilters.so", "regsvr", "dvdeck", "tamsel-stripe"})
            ASSERT_EQ(access(BuildFile(piece).c_str(), F_OK), 0) << piece << " is not built";
        ASSERT_EQ(Shell("cd " + Quote(testsupport::BuildDir()) + " && ./regsvr tamsel.ax >/dev/null"), 0);
        dir_ = new decktest::TempDir();
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static void MakeTape(const std::string& name, const std::string& options, bool pal,
                         std::vector<std::string> deckOptions = {}) {
        decktest::DeckProcess deck(dir_->path());
        deckOptions.push_back("--standard");
        deckOptions.push_back(pal ? "pal" : "ntsc");
        ASSERT_TRUE(deck.StartListening(dir_->path() + "/" + name + ".dv", "picture deck", 0, deckOptions));
        std::string output;
        ASSERT_EQ(Shell(Quote(BuildFile("tamsel-stripe")) + " " + options + " --device " +
                            Quote("deck:" + deck.SocketPath()) + " 2>&1",
                        &output), 0) << output;
        ASSERT_TRUE(deck.Finish());
    }

    // The tape of a stripe of Stripes() or the leader, striped on first use.
    static std::string Tape(const std::string& name) {
        const std::string path = dir_->path() + "/" + name + ".dv";
        if (access(path.c_str(), F_OK) == 0) return path;
        if (name == "leader") {
            // Recorded as a deck records it when commanded: a second of pre-roll before the leader
            // (part of it on tape) and a post-roll after.
            MakeTape(name, std::string("--record --preroll 1 --layout ") + kLayout + " --black-after 2 --slate Title=Test",
                     false, {"--stopped"});
        }
        for (const Stripe& s : Stripes()) {
            if (name == s.name) MakeTape(s.name, std::string(s.options) + " --duration 1", s.system == &dv::k625_50);
        }
        return path;
    }
    static std::string Spoilt(const std::string& name, const std::string& bytes) {
        const std::string path = dir_->path() + "/" + name + ".spoilt.dv";
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    static decktest::TempDir* dir_;
};
decktest::TempDir* VerifyPicture::dir_ = nullptr;

}  // namespace

TEST_F(VerifyPicture, EveryPatternInEitherSystemIsRecognisedAndJudgedGoodTheToneInPalToo) {
    for (const Stripe& s : Stripes()) {
        SCOPED_TRACE(s.name);
        const Verdict v = Verify(Tape(s.name));
        EXPECT_EQ(v.status, 0) << v.out << v.err;
        EXPECT_EQ(v.json.value("result", ""), "good") << v.out;
        EXPECT_EQ(v.json.value("system", ""), s.system->name);
        EXPECT_NE(v.out.find(std::string(", ") + s.system->name), std::string::npos) << v.out;
        EXPECT_NE(Checked(v.json).find(s.checked), std::string::npos) << v.out;
        if (std::string(s.options).find("--no-tone") == std::string::npos) {
            EXPECT_NE(Checked(v.json).find("1 kHz tone at -20.0 dBFS"), std::string::npos) << v.out;
        }
    }
}

TEST_F(VerifyPicture, AFrameShowingAnotherPictureIsNamedWithItsFrameAndTimecodeInEitherSystem) {
    struct Case {
        const char* tape;
        const char* other;     // the tape whose picture replaces one frame's
        int frame;
        const char* label;
        const char* sent;      // the first patch that differs, as the standards give its level
        const char* system;
    } cases[] = {
        // SMPTE 75 % white: Y' 180 (16 + 219 x 0.75), where EBU 100 % has white at 235.
        {"ntsc-smpte", "ntsc-ebu100", 10, "00:00:00;10", "sent 180", "525/60 (NTSC)"},
        // EBU 75 % yellow: Y' 162 (16 + 219 x 0.75 x 0.886); both EBU patterns' white is 235.
        {"pal", "pal-ebu100", 7, "00:00:00:07", "sent 162", "625/50 (PAL)"},
        // Black: Y' 16; the colour-bar picture's 75 % grey bar is where black should be.
        {"ntsc-black", "ntsc", 20, "00:00:00;20", "sent 16", "525/60 (NTSC)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tape);
        std::string bytes = ReadFile(Tape(c.tape));
        const dv::DvSystem& system = std::string(c.system) == dv::k625_50.name ? dv::k625_50 : dv::k525_60;
        CopySectionFrom(ReadFile(Tape(c.other)), bytes, system, c.frame, dif::Section::Video);
        const Verdict v = Verify(Spoilt(c.tape, bytes));
        EXPECT_EQ(v.status, 1) << v.out;
        ASSERT_EQ(v.json["defects"].size(), 1u) << v.out;
        const nlohmann::json range = FirstRange(v.json, "picture_level");
        ASSERT_FALSE(range.is_null()) << v.out;
        EXPECT_EQ(range.value("first", ""), c.label);
        EXPECT_EQ(range.value("first_frame", -1), c.frame);
        EXPECT_EQ(range.value("frames", 0), 1);
        EXPECT_NE(range.value("detail", "").find(c.sent), std::string::npos) << range.dump();
        EXPECT_NE(v.out.find(std::string("NOT GOOD")), std::string::npos) << v.out;
        EXPECT_NE(v.out.find(c.system), std::string::npos) << v.out;
    }
}

TEST_F(VerifyPicture, ALeaderIsGoodAgainstItsLayoutAndEachSpoiltFrameIsNamed) {
    const std::string leader = Tape("leader");
    const std::string options = std::string("--layout '") + kLayout + "' --black-after 2";
    const Verdict good = Verify(leader, options);
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    EXPECT_GE(good.json.value("frames", 0), 540) << good.out;  // and the post-roll's black
    EXPECT_EQ(good.json.value("first_timecode", ""), "00:59:44;00");
    EXPECT_NE(Checked(good.json).find("leader " + std::string(kLayout)), std::string::npos) << good.out;
    EXPECT_NE(Checked(good.json).find("of pre-roll before it passed over"), std::string::npos) << good.out;
    // The tape's frames from the leader's first: the pre-roll before it is passed over.
    const std::string tape = ReadFile(leader);
    int first = 0;
    while (size_t(first + 1) * dif::kFrameBytes <= tape.size()) {
        const auto pack = dif::FindTimecodePack(reinterpret_cast<const uint8_t*>(tape.data()) + size_t(first) * dif::kFrameBytes,
                                                dif::kFrameBytes);
        ASSERT_TRUE(pack);
        if (pack->label.Text() == "00:59:44;00") break;
        ++first;
    }
    ASSERT_GT(first, 0) << "no pre-roll on the tape";
    // Without the layout the leader is no stripe of bars: its black is a picture defect.
    EXPECT_EQ(Verify(leader).status, 1);

    // Frames (after the pre-roll) from 00:59:44;00: bars 0-89, black 90-119, slate 120-179, countdown 180-419 (a
    // digit each 30 frames, 10 on 180), black 420-479 with the two-pop on 420, black after
    // from 480 (01:00:00;00).
    struct Case {
        const char* what;
        int from, to;
        dif::Section section;
        const char* kind;
        const char* first;
        const char* detail;
    } cases[] = {
        {"tone one frame into the black", 89, 90, dif::Section::Audio, "leader_sound", "00:59:47;00",
         "sound where silence belongs"},
        {"the tone stops a frame early", 90, 89, dif::Section::Audio, "tone_level", "00:59:46;29", "silence"},
        {"the blip of 9 a frame late (a silent frame swapped in)", 211, 210, dif::Section::Audio, "leader_sound",
         "00:59:51;00", "silence where the blip belongs"},
        {"the blip of 9 copied a frame late", 210, 211, dif::Section::Audio, "leader_sound", "00:59:51;01",
         "sound where silence belongs"},
        {"no two-pop", 421, 420, dif::Section::Audio, "leader_sound", "00:59:58;00", "the two-pop"},
        {"bars on the slate", 0, 130, dif::Section::Video, "picture_level", "00:59:48;10", "slate: shows SMPTE"},
        {"the slate in the black after", 130, 500, dif::Section::Video, "picture_level", "01:00:00;20", "black"},
        {"bars in the black", 10, 100, dif::Section::Video, "picture_level", "00:59:47;10", "black"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = tape;
        CopySection(bytes, dv::k525_60, first + c.from, first + c.to, c.section);
        const Verdict v = Verify(Spoilt("leader", bytes), options);
        EXPECT_EQ(v.status, 1) << v.out;
        const nlohmann::json range = FirstRange(v.json, c.kind);
        ASSERT_FALSE(range.is_null()) << v.out;
        EXPECT_EQ(range.value("first", ""), c.first) << v.out;
        EXPECT_NE(range.value("detail", "").find(c.detail), std::string::npos) << range.dump();
    }
}

TEST_F(VerifyPicture, ALeaderCheckTakesTheLeadersOptionsAndNoneThatClash) {
    std::string output;
    const std::string stripe = Quote(BuildFile("tamsel-stripe")) + " --verify-file " + Quote(Tape("pal"));
    EXPECT_EQ(Shell(stripe + " --layout bars:3 --timecode '00:59:57;00' 2>&1", &output), 2) << output;
    EXPECT_NE(output.find("placed by --program-start"), std::string::npos) << output;
    EXPECT_EQ(Shell(stripe + " --layout bars:3 --audio 32k 2>&1", &output), 2) << output;
    EXPECT_EQ(Shell(stripe + " --black-after 2 2>&1", &output), 2) << output;
    EXPECT_NE(output.find("go with --leader or --layout"), std::string::npos) << output;
    EXPECT_EQ(Shell(Quote(BuildFile("tamsel-stripe")) + " --verify-tape --duration 5 --leader 2>&1", &output), 2) << output;
    EXPECT_NE(output.find("--verify-tape checks no leader"), std::string::npos) << output;
    // A leader's check of a PAL file lays the leader out in 625/50's labels: a stripe of bars
    // from 00:00:00:00 holds no frame of a leader before 01:00:00:00, never "good".
    const Verdict pal = Verify(Tape("pal"), "--layout bars:3");
    EXPECT_EQ(pal.status, 1) << pal.out;
    EXPECT_NE(pal.err.find("no frame of the leader"), std::string::npos) << pal.err;
    // A programme on a minute that 525/60's drop-frame counting skips is a label of 625/50: the
    // leader is placed in the system's counting, for the check and for the stripe alike.
    const Verdict minute = Verify(Tape("pal"), "--layout bars:1 --program-start 00:01:00:00");
    EXPECT_EQ(minute.status, 1) << minute.out;
    EXPECT_NE(minute.err.find("before 00:00:59:00"), std::string::npos) << minute.err;
    EXPECT_NE(Shell(Quote(BuildFile("tamsel-stripe")) + " --standard pal --layout bars:5 --program-start 00:01:00:00 2>&1",
                    &output),
              2)
        << output;
    EXPECT_EQ(output.find("skips"), std::string::npos) << output;
}
