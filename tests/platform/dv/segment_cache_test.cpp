// The encoder's segment cache: its map of the DV shuffling covers the picture and the frame's video
// blocks exactly once, and a picture that changes in places (a burnt-in timecode) comes out of the
// cache byte for byte as libavcodec encodes it whole, with nothing encoded once its contents were
// seen; a content never seen is encoded.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "dv/filters/leader_picture.h"
#include "dv/filters/segment_cache.h"
#include "dv/filters/test_pattern.h"
#include "dv/filters/video_encoder_codec.h"

namespace {

using dv::SegmentCache;

std::vector<uint8_t> WithTimecode(const std::vector<uint8_t>& base, const std::string& text) {
    std::vector<uint8_t> picture = base;
    dv::LeaderPicture(720, 480).BurnIn(text, picture.data());
    return picture;
}

}  // namespace

TEST(SegmentCache, ItsMapCoversEveryPixelAndEveryVideoBlockOnce) {
    std::vector<int> covered(720 * 480, 0);
    std::set<size_t> blocks;
    for (int s = 0; s < SegmentCache::kSegments; ++s) {
        for (int m = 0; m < 5; ++m) {
            const SegmentCache::Macroblock& mb = SegmentCache::Place(s, m);
            ASSERT_EQ(mb.width * mb.height, 256);
            for (int y = mb.y; y < mb.y + mb.height; ++y)
                for (int x = mb.x; x < mb.x + mb.width; ++x) ++covered[static_cast<size_t>(y * 720 + x)];
            EXPECT_TRUE(blocks.insert(mb.blockOffset).second);
            // A video block: not one of a sequence's first six, nor an audio block.
            const size_t inSequence = mb.blockOffset / 80 % 150;
            EXPECT_GE(inSequence, 6u);
            EXPECT_NE((inSequence - 6) % 16, 0u) << s << "/" << m;
        }
    }
    for (size_t i = 0; i < covered.size(); ++i) ASSERT_EQ(covered[i], 1) << "pixel " << i % 720 << "," << i / 720;
    EXPECT_EQ(blocks.size(), 1350u);
}

TEST(SegmentCache, APictureChangedInPlacesComesOutAsLibavcodecEncodesItWhole) {
    dv::VideoEncoderCodec cached, whole;
    ASSERT_EQ(cached.Open(), S_OK);
    ASSERT_EQ(whole.Open(), S_OK);
    whole.SetReuse(false);
    const std::vector<uint8_t> bars = dv::TestPattern::Make(dv::TestPattern::Kind::Smpte, 720, 480);
    std::vector<uint8_t> a(120000), b(120000);
    const char* labels[] = {"01:00:00;00", "01:00:00;01", "01:00:00;02", "01:00:00;03"};
    // Twice round: the first time each content is new, the second time each comes from the cache.
    for (int round = 0; round < 2; ++round) {
        for (const char* label : labels) {
            const std::vector<uint8_t> picture = WithTimecode(bars, label);
            const uint64_t before = cached.EncodeCount();
            ASSERT_EQ(cached.EncodeUyvy(picture.data(), a.data()), S_OK);
            ASSERT_EQ(whole.EncodeUyvy(picture.data(), b.data()), S_OK);
            for (int s = 0; s < SegmentCache::kSegments; ++s) {
                for (int m = 0; m < 5; ++m) {
                    const size_t at = SegmentCache::Place(s, m).blockOffset;
                    ASSERT_EQ(std::vector<uint8_t>(a.begin() + at, a.begin() + at + 80),
                              std::vector<uint8_t>(b.begin() + at, b.begin() + at + 80))
                        << label << ", round " << round << ", segment " << s << " macroblock " << m;
                }
            }
            // The first picture of the second round follows the last of the first: its changed
            // segments were kept when the first round's first picture followed nothing.
            const bool fromCache = round == 1 && label != labels[0];
            EXPECT_EQ(cached.EncodeCount() - before, fromCache ? 0u : 1u) << label << ", round " << round;
        }
    }
    // The same picture again is the previous frame, and a picture never seen is encoded.
    const uint64_t before = cached.EncodeCount();
    ASSERT_EQ(cached.EncodeUyvy(WithTimecode(bars, labels[3]).data(), a.data()), S_OK);
    EXPECT_EQ(cached.EncodeCount(), before);
    ASSERT_EQ(cached.EncodeUyvy(WithTimecode(bars, "01:00:00;04").data(), a.data()), S_OK);
    EXPECT_EQ(cached.EncodeCount(), before + 1);
}

TEST(SegmentCache, StaysWithinItsBounds) {
    SegmentCache cache(2, 5);
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
