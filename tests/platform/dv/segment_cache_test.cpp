// The encoder's segment cache, in both systems: its map of the DV shuffling covers the picture and
// the frame's video blocks exactly once, and pictures that change in places (a burnt-in timecode,
// a countdown's sweep and digit) come out of the cache, or out of the cache and the segments it
// lacked, byte for byte as libavcodec encodes them whole; once their contents were seen nothing is
// encoded.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dv/dv_system.h"
#include "dv/filters/leader_picture.h"
#include "dv/filters/segment_cache.h"
#include "dv/filters/test_pattern.h"
#include "dv/filters/video_encoder_codec.h"

namespace {

using dv::DvSystem;
using dv::SegmentCache;

class SegmentCacheIn : public testing::TestWithParam<const DvSystem*> {
protected:
    const DvSystem& System() const { return *GetParam(); }
    std::vector<uint8_t> Bars() const {
        return dv::TestPattern::Make(dv::TestPattern::Kind::Ebu75, System().width, System().height);
    }
    std::vector<uint8_t> WithTimecode(const std::vector<uint8_t>& base, const std::string& text) const {
        std::vector<uint8_t> picture = base;
        dv::LeaderPicture(System().width, System().height).BurnIn(text, picture.data());
        return picture;
    }
};

std::string NameOf(const testing::TestParamInfo<const DvSystem*>& info) {
    return info.param->fiftyFields ? "Pal" : "Ntsc";
}

}  // namespace

TEST_P(SegmentCacheIn, ItsMapCoversEveryPixelAndEveryVideoBlockOnce) {
    const SegmentCache cache(System());
    const int width = System().width, height = System().height;
    std::vector<int> covered(static_cast<size_t>(width * height), 0);
    std::set<size_t> blocks;
    ASSERT_EQ(cache.Segments(), System().sequences * 27);
    for (int s = 0; s < cache.Segments(); ++s) {
        for (int m = 0; m < 5; ++m) {
            const SegmentCache::Macroblock& mb = cache.Place(s, m);
            ASSERT_EQ(mb.width * mb.height, 256);
            ASSERT_TRUE(mb.x >= 0 && mb.y >= 0 && mb.x + mb.width <= width && mb.y + mb.height <= height);
            for (int y = mb.y; y < mb.y + mb.height; ++y)
                for (int x = mb.x; x < mb.x + mb.width; ++x) ++covered[static_cast<size_t>(y * width + x)];
            EXPECT_TRUE(blocks.insert(mb.blockOffset).second);
            // A video block: not one of a sequence's first six, nor an audio block.
            EXPECT_LT(mb.blockOffset, size_t(System().frameBytes));
            const size_t inSequence = mb.blockOffset / 80 % 150;
            EXPECT_GE(inSequence, 6u);
            EXPECT_NE((inSequence - 6) % 16, 0u) << s << "/" << m;
        }
    }
    for (size_t i = 0; i < covered.size(); ++i)
        ASSERT_EQ(covered[i], 1) << "pixel " << i % size_t(width) << "," << i / size_t(width);
    EXPECT_EQ(blocks.size(), size_t(System().sequences) * 135);
}

TEST_P(SegmentCacheIn, APictureChangedInPlacesComesOutAsLibavcodecEncodesItWhole) {
    dv::VideoEncoderCodec cached, whole;
    ASSERT_EQ(cached.Open(System()), S_OK);
    ASSERT_EQ(whole.Open(System()), S_OK);
    whole.SetReuse(false);
    const std::vector<uint8_t> bars = Bars();
    const uint64_t all = uint64_t(System().sequences) * 27;
    std::vector<uint8_t> a(size_t(System().frameBytes)), b(a.size());
    const char* labels[] = {"01:00:00:00", "01:00:00:01", "01:00:00:02", "01:00:00:03"};
    // Twice round: the first time each content is new and only the segments it changed are
    // encoded, the second time each comes from the cache.
    for (int round = 0; round < 2; ++round) {
        for (const char* label : labels) {
            const std::vector<uint8_t> picture = WithTimecode(bars, label);
            const uint64_t before = cached.EncodeCount(), segmentsBefore = cached.SegmentsEncoded();
            ASSERT_EQ(cached.EncodeUyvy(picture.data(), a.data()), S_OK);
            ASSERT_EQ(whole.EncodeUyvy(picture.data(), b.data()), S_OK);
            ASSERT_TRUE(a == b) << label << ", round " << round;
            const uint64_t segments = cached.SegmentsEncoded() - segmentsBefore;
            if (round == 0 && label == labels[0]) {
                EXPECT_EQ(segments, all);  // nothing before it
            } else if (round == 0 || label == labels[0]) {
                // The first picture of the second round follows the last of the first: its
                // changed segments were not kept, since the first picture followed nothing.
                EXPECT_GT(segments, 0u) << label;
                EXPECT_LT(segments, all / 4) << label;
            } else {
                EXPECT_EQ(segments, 0u) << label;
                EXPECT_EQ(cached.EncodeCount(), before) << label;
            }
        }
    }
    // The same picture again is the previous frame, and a picture never seen is encoded.
    const uint64_t before = cached.EncodeCount();
    ASSERT_EQ(cached.EncodeUyvy(WithTimecode(bars, labels[3]).data(), a.data()), S_OK);
    EXPECT_EQ(cached.EncodeCount(), before);
    ASSERT_EQ(cached.EncodeUyvy(WithTimecode(bars, "01:00:00:04").data(), a.data()), S_OK);
    EXPECT_EQ(cached.EncodeCount(), before + 1);
}

// A countdown changes large parts of the picture (the sweep, the digit's plate): every frame of
// two of its seconds, and a picture of a different kind between them, are exact; so are they when
// the encoder is told the rows the painter changed and compares only those.
TEST_P(SegmentCacheIn, ACountdownComesOutAsLibavcodecEncodesItWhole) {
    dv::VideoEncoderCodec cached, told, whole;
    ASSERT_EQ(cached.Open(System()), S_OK);
    ASSERT_EQ(told.Open(System()), S_OK);
    ASSERT_EQ(whole.Open(System()), S_OK);
    whole.SetReuse(false);
    dv::LeaderPicture painter(System().width, System().height);
    const int rate = System().timecodeRate;
    std::vector<uint8_t> picture(size_t(System().width) * System().height * 2);
    std::vector<uint8_t> a(size_t(System().frameBytes)), b(a.size()), c(a.size());
    const auto same = [&](const std::string& what, const dv::RowSpan* rows) {
        ASSERT_EQ(cached.EncodeUyvy(picture.data(), a.data()), S_OK);
        ASSERT_EQ(told.EncodeUyvy(picture.data(), c.data(), rows), S_OK);
        ASSERT_EQ(whole.EncodeUyvy(picture.data(), b.data()), S_OK);
        ASSERT_TRUE(a == b) << what;
        ASSERT_TRUE(c == b) << what << ", the rows told";
    };
    for (int digit : {5, 4}) {
        for (int f = 0; f < rate; f += 3) {
            const dv::RowSpan rows = painter.Countdown(digit, double(f) / rate, picture.data());
            same(std::to_string(digit) + " at frame " + std::to_string(f), &rows);
        }
    }
    picture = Bars();
    same("bars after the countdown", nullptr);
    painter.Countdown(4, 0, picture.data());
    same("the countdown again", nullptr);
    same("the same picture again", std::make_unique<dv::RowSpan>(dv::RowSpan{0, 0}).get());
}

INSTANTIATE_TEST_SUITE_P(BothSystems, SegmentCacheIn, testing::Values(&dv::k525_60, &dv::k625_50), NameOf);

TEST(SegmentCache, StaysWithinItsBounds) {
    SegmentCache cache(dv::k525_60, 2, 5);
    std::vector<uint8_t> picture(720 * 480 * 2, 16), frame(120000, 0);
    cache.Harvest(picture.data(), frame.data());
    for (int n = 1; n <= 20; ++n) {
        // Each picture changes the first macroblock row and one more: a few segments each time.
        for (size_t i = 0; i < 720 * 2 * 8; ++i) picture[i] = static_cast<uint8_t>(16 + n);
        cache.Harvest(picture.data(), frame.data());
        EXPECT_LE(cache.Kept(), 5u);
    }
    EXPECT_EQ(cache.Kept(), 5u);
}

// A cache too small for what it meets replaces its oldest contents, and what it puts together
// stays exact: four timecodes round and round with room for two contents a segment (then for
// five in all), every frame against libavcodec's whole encoding.
TEST_P(SegmentCacheIn, AFullCacheReplacesItsOldestAndStaysExact) {
    dv::VideoEncoderCodec whole;
    ASSERT_EQ(whole.Open(System()), S_OK);
    whole.SetReuse(false);
    const std::vector<uint8_t> bars = Bars();
    const char* labels[] = {"01:00:00:00", "01:00:00:01", "01:00:00:02", "01:00:00:03"};
    for (const size_t total : {size_t(4096), size_t(5)}) {
        SegmentCache cache(System(), 2, total);
        std::vector<uint8_t> expected(size_t(System().frameBytes)), frame(expected.size());
        std::vector<int> missing;
        int assembled = 0;
        for (int n = 0; n < 12; ++n) {
            const std::vector<uint8_t> picture = WithTimecode(bars, labels[n % 4 == 3 ? 1 : n % 4]);
            ASSERT_EQ(whole.EncodeUyvy(picture.data(), expected.data()), S_OK);
            if (cache.Assemble(picture.data(), frame.data(), &missing)) {
                ++assembled;
            } else if (missing.empty()) {
                cache.Harvest(picture.data(), expected.data());
                frame = expected;
            } else {
                cache.Complete(picture.data(), expected.data(), frame.data());
            }
            ASSERT_TRUE(frame == expected) << "picture " << n << ", room for " << total;
            EXPECT_LE(cache.Kept(), total);
        }
        // 0 1 2 1 0 1 2 1 ...: the first "0" is no change and kept nothing; with two contents a
        // segment, oldest out first, only the "1" after each "2" finds its segments kept.
        if (total == 4096) {
            EXPECT_EQ(assembled, 3) << "room for " << total;
        }
    }
}

// What a countdown costs: once a second has drawn its sweep, a later second encodes its new
// digit's segments and little more, not the picture again and again.
TEST_P(SegmentCacheIn, ACountdownsLaterSecondsEncodeLittleMoreThanTheirDigit) {
    dv::VideoEncoderCodec cached;
    ASSERT_EQ(cached.Open(System()), S_OK);
    dv::LeaderPicture painter(System().width, System().height);
    const int rate = System().timecodeRate;
    const uint64_t all = uint64_t(System().sequences) * 27;
    std::vector<uint8_t> picture(size_t(System().width) * System().height * 2), frame(size_t(System().frameBytes));
    for (int digit = 10; digit >= 3; --digit) {
        const uint64_t before = cached.SegmentsEncoded();
        for (int f = 0; f < rate; ++f) {
            painter.Countdown(digit, double(f) / rate, picture.data());
            ASSERT_EQ(cached.EncodeUyvy(picture.data(), frame.data()), S_OK);
        }
        // The first second draws it all; from the third on (one digit replacing another) each
        // costs under half a picture's encoding.
        if (digit <= 8) {
            EXPECT_LT(cached.SegmentsEncoded() - before, all / 2) << "the second of " << digit;
        }
    }
}
