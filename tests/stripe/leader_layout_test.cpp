// A leader's layout: the segments it takes and the clear refusals of what it does not, and where
// each segment lands so that the programme starts on its label, in drop-frame and non-drop-frame
// counting, over skipped labels and over midnight.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stripe/leader_layout.h"

namespace {

dv::Timecode Label(const char* text) { return *dv::Timecode::Parse(text); }

std::vector<std::string> Starts(const CLeaderLayout& layout) {
    std::vector<std::string> starts;
    for (const CLeaderLayout::Segment& s : layout.Segments()) starts.push_back(s.start.Text());
    return starts;
}

}  // namespace

TEST(LeaderLayout, TheDefaultLandsTheProgrammeOnOneHourWithEachSegmentOnItsWholeSecond) {
    CLeaderLayout layout;
    ASSERT_EQ(layout.Parse(CLeaderLayout::kDefault), "");
    EXPECT_EQ(layout.Labels(), 90 * 30);
    ASSERT_EQ(layout.Place(Label("01:00:00;00"), 60 * 30), "");
    EXPECT_EQ(Starts(layout), (std::vector<std::string>{"00:58:30;00", "00:59:30;00", "00:59:40;00", "00:59:50;00",
                                                        "00:59:58;00", "01:00:00;00"}));
    // 00:59:00;00 and ;01 are skipped: the bars hold two frames fewer than 60 s of labels.
    const std::vector<int64_t> frames{1798, 300, 300, 240, 60, 1800};
    int64_t total = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(layout.Segments()[i].frames, frames[i]) << layout.Segments()[i].name;
        total += frames[i];
    }
    EXPECT_EQ(layout.Frames(), total);
    EXPECT_EQ(layout.Start().Text(), "00:58:30;00");
    // The programme's frame is the leader's start plus its frames.
    EXPECT_EQ(*layout.Start().Frame() + total - 1800, *Label("01:00:00;00").Frame());
}

TEST(LeaderLayout, NonDropFrameSkippedStartsAndMidnight) {
    CLeaderLayout ndf;
    ASSERT_EQ(ndf.Parse("bars:60,black:30"), "");
    ASSERT_EQ(ndf.Place(Label("01:00:00:00"), 0), "");
    EXPECT_EQ(Starts(ndf), (std::vector<std::string>{"00:58:30:00", "00:59:30:00"}));
    EXPECT_EQ(ndf.Frames(), 2700);

    // A leader starting on a skipped label starts on the first shown one.
    CLeaderLayout skipped;
    ASSERT_EQ(skipped.Parse("bars:10"), "");
    ASSERT_EQ(skipped.Place(Label("00:01:10;00"), 0), "");
    EXPECT_EQ(skipped.Start().Text(), "00:01:00;02");
    EXPECT_EQ(skipped.Frames(), 298);

    // Over midnight: the leader starts the day before.
    CLeaderLayout midnight;
    ASSERT_EQ(midnight.Parse("black:10,countdown:8,black:2"), "");
    ASSERT_EQ(midnight.Place(Label("00:00:10;00"), 0), "");
    EXPECT_EQ(midnight.Start().Text(), "23:59:50;00");
    EXPECT_EQ(midnight.Frames(), 600);
}

TEST(LeaderLayout, EveryKindIsTakenAndWhatIsWrongIsNamed) {
    CLeaderLayout layout;
    EXPECT_EQ(layout.Parse("bars:1.5,black:00:00:02;00,slate:3,countdown:8,pattern:ebu75:2,image:/tmp/a b.png:1"), "");
    ASSERT_EQ(layout.Segments().size(), 6u);
    EXPECT_EQ(layout.Segments()[1].labels, 60);
    EXPECT_EQ(layout.Segments()[4].pattern, REFERENCE_BARS_EBU75);
    EXPECT_EQ(layout.Segments()[5].file, "/tmp/a b.png");
    ASSERT_EQ(layout.Parse("image:c:/x:1.png:00:00:02;00"), "");
    EXPECT_EQ(layout.Segments()[0].file, "c:/x:1.png");
    EXPECT_EQ(layout.Segments()[0].labels, 60);
    struct Wrong {
        const char* layout;
        const char* says;
    };
    for (const Wrong& w : {Wrong{"", "empty"}, Wrong{"bars", "KIND:SECONDS"}, Wrong{"bars:ten", "not a length"},
                           Wrong{"bars:0", "not a length"}, Wrong{"tone:5", "unknown kind 'tone'"},
                           Wrong{"bars:5,", "empty segment"}, Wrong{"bars:5,,black:2", "segment 2"},
                           Wrong{"countdown:9", "at most 8 seconds"}, Wrong{"pattern:plaid:5", "NAME smpte"},
                           Wrong{"image::5", "image:FILE"}, Wrong{"image:x.png", "image:FILE:SECONDS"}, Wrong{"black:smpte:5", "only a length"}}) {
        const std::string said = layout.Parse(w.layout);
        EXPECT_NE(said.find(w.says), std::string::npos) << w.layout << ": " << said;
    }
}

TEST(LeaderLayout, ForThePlatformTheBarsCarryThePatternOrThePictureFile) {
    CLeaderLayout layout;
    ASSERT_EQ(layout.Parse("bars:2,pattern:black:1,image:x.png:1"), "");
    ASSERT_EQ(layout.Place(Label("01:00:00;00"), 0), "");
    std::vector<LEADER_SEGMENT> out = layout.ForPlatform(REFERENCE_BARS_EBU100, "");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].kind, LEADER_BARS);
    EXPECT_EQ(out[0].pattern, REFERENCE_BARS_EBU100);
    EXPECT_EQ(out[0].file, nullptr);
    EXPECT_EQ(out[1].pattern, REFERENCE_BARS_BLACK);
    EXPECT_EQ(out[0].frames + out[1].frames + out[2].frames, layout.Frames());
    ASSERT_NE(out[2].file, nullptr);
    out = layout.ForPlatform(REFERENCE_BARS_SMPTE, "bars.png");
    EXPECT_EQ(out[0].kind, LEADER_BARS) << "bars of a picture file keep their tone";
    ASSERT_NE(out[0].file, nullptr);
    EXPECT_EQ(out[0].file[0], u'b');
}

TEST(LeaderLayout, In625_50ItCountsTwentyFiveLabelsASecondNeverDropping) {
    dv::Timecode programme = Label("01:00:00:00");
    programme.rate = 25;
    CLeaderLayout layout;
    ASSERT_EQ(layout.Parse(CLeaderLayout::kDefault, 25), "");
    EXPECT_EQ(layout.Labels(), 90 * 25);
    ASSERT_EQ(layout.Place(programme, 60 * 25), "");
    EXPECT_EQ(Starts(layout), (std::vector<std::string>{"00:58:30:00", "00:59:30:00", "00:59:40:00", "00:59:50:00",
                                                        "00:59:58:00", "01:00:00:00"}));
    // Every label is shown: no minute takes frames from the bars.
    const std::vector<int64_t> frames{1500, 250, 250, 200, 50, 1500};
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(layout.Segments()[i].frames, frames[i]) << layout.Segments()[i].name;
    EXPECT_EQ(*layout.Start().Frame() + layout.Frames() - 1500, *programme.Frame());

    // Over midnight as in 525/60.
    CLeaderLayout midnight;
    ASSERT_EQ(midnight.Parse("black:10,countdown:8,black:2.5", 25), "");
    dv::Timecode early = Label("00:00:10:00");
    early.rate = 25;
    ASSERT_EQ(midnight.Place(early, 0), "");
    EXPECT_EQ(midnight.Start().Text(), "23:59:49:12");  // 2.5 s: 63 frames
    EXPECT_EQ(midnight.Frames(), 513);

    // Lengths in its frames: 00-24, and a countdown of at most 8 of its seconds.
    EXPECT_EQ(layout.Parse("bars:00:00:02:24", 25), "");
    EXPECT_EQ(layout.Segments()[0].labels, 74);
    EXPECT_NE(layout.Parse("bars:00:00:01:27", 25).find("frames 00-24"), std::string::npos);
    EXPECT_NE(layout.Parse("countdown:00:00:08:01", 25).find("at most 8 seconds"), std::string::npos);
}
