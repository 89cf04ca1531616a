// The encoder's memory of its last picture: it must answer "identical" for exactly the
// byte-identical pictures, however the rows of the kept one repeat.
#include "dv/filters/kept_picture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using dv::KeptPicture;

constexpr size_t kRowBytes = 48;
constexpr size_t kRows = 30;

// Rows in runs: 0-9 one content, 10 its own, 11-28 another run, 29 the first run's content again
// (equal to a row that is not its neighbour).
std::vector<uint8_t> RunsPicture() {
    std::vector<uint8_t> picture(kRowBytes * kRows);
    for (size_t row = 0; row < kRows; ++row) {
        const uint8_t value = row < 10 || row == 29 ? 1 : (row == 10 ? 2 : 3);
        for (size_t i = 0; i < kRowBytes; ++i) picture[row * kRowBytes + i] = uint8_t(value + i);
    }
    return picture;
}

std::vector<uint8_t> DistinctRowsPicture() {
    std::vector<uint8_t> picture(kRowBytes * kRows);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = uint8_t(i * 7 + i / kRowBytes);
    return picture;
}

TEST(KeptPicture, MatchesExactlyTheByteIdenticalPictures) {
    for (const std::vector<uint8_t>& original : {RunsPicture(), DistinctRowsPicture()}) {
        KeptPicture kept(kRowBytes, kRows);
        EXPECT_FALSE(kept.Matches(original.data()));  // nothing kept yet
        kept.Keep(original.data());
        std::vector<uint8_t> copy = original;
        EXPECT_TRUE(kept.Matches(copy.data()));
        // Any single byte changed, in any row, is a different picture.
        for (size_t i = 0; i < copy.size(); ++i) {
            copy[i] ^= 0x01;
            EXPECT_FALSE(kept.Matches(copy.data())) << "byte " << i;
            copy[i] ^= 0x01;
        }
        EXPECT_TRUE(kept.Matches(copy.data()));
        kept.Forget();
        EXPECT_FALSE(kept.Matches(copy.data()));
    }
}

TEST(KeptPicture, StoresEachRunOfRowsOnce) {
    KeptPicture kept(kRowBytes, kRows);
    kept.Keep(RunsPicture().data());
    EXPECT_EQ(kept.StoredRows(), 4u);  // rows 0, 10, 11 and 29
    kept.Keep(DistinctRowsPicture().data());
    EXPECT_EQ(kept.StoredRows(), kRows);
}

TEST(KeptPicture, KeepingAnotherPictureReplacesTheFirst) {
    const std::vector<uint8_t> runs = RunsPicture();
    const std::vector<uint8_t> distinct = DistinctRowsPicture();
    KeptPicture kept(kRowBytes, kRows);
    kept.Keep(distinct.data());
    kept.Keep(runs.data());
    EXPECT_TRUE(kept.Matches(runs.data()));
    EXPECT_FALSE(kept.Matches(distinct.data()));
    // A picture whose rows are all the first run's row: same rows, different runs.
    std::vector<uint8_t> flat(kRowBytes * kRows);
    for (size_t row = 0; row < kRows; ++row)
        std::copy(runs.begin(), runs.begin() + kRowBytes, flat.begin() + row * kRowBytes);
    EXPECT_FALSE(kept.Matches(flat.data()));
    kept.Keep(flat.data());
    EXPECT_EQ(kept.StoredRows(), 1u);
    EXPECT_TRUE(kept.Matches(flat.data()));
    EXPECT_FALSE(kept.Matches(runs.data()));
}

}  // namespace

