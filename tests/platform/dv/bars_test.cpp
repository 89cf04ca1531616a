// "Reference Bars": the levels of each pattern at the centre of each bar, in both systems, against
// the published tables (SMPTE EG 1 with the digital 525 values without setup; EBU Tech 3237
// 100/0/75/0 and 100/0/100/0; ITU-R BT.601 coding); the types it offers and the frames' times;
// the RGB24 type; a picture file; its settings; and SMPTE bars through the real encoder and
// muxer, decoded by libavcodec, within two codes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <platform/platform.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "dv/filters/muxer.h"
#include "dv/filters/reference_bars.h"
#include "dv/filters/video_encoder.h"
#include "tests/support/dv/bar_levels.h"
#include "tests/support/dv/dif_test_filters.h"
#include "tests/support/dv/dv_picture.h"
#include "support/text.h"
#include "tests/support/test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace dvtest;
using namespace dvtest::bar_levels;

namespace {

// A place in the picture (x as a fraction of the width) and what must be there.
struct Spot {
    double x;
    int row;
    BarLevel level;
    std::string what;
};

std::vector<Spot> SmpteSpots(int height) {
    static const char* names[7] = {"white", "yellow", "cyan", "green", "magenta", "red", "blue"};
    std::vector<Spot> spots;
    const double bar = 1.0 / 7;
    for (int k = 0; k < 7; ++k) spots.push_back({(k + 0.5) * bar, height / 3, kBars75[k], std::string(names[k]) + " bar"});
    // The castellations: blue, black, magenta, black, cyan, black, white under the bars.
    const BarLevel under[7] = {kBars75[6], kBlack, kBars75[4], kBlack, kBars75[2], kBlack, kBars75[0]};
    const int castellationRow = height * 17 / 24;  // between 2/3 and 3/4
    for (int k = 0; k < 7; ++k) spots.push_back({(k + 0.5) * bar, castellationRow, under[k], "castellation " + std::to_string(k)});
    const int bottom = height * 7 / 8;
    for (const BottomPatch& patch : kSmpteBottomRow)
        spots.push_back({patch.centre * bar, bottom, patch.level, patch.name});
    return spots;
}

std::vector<Spot> EbuSpots(const BarLevel colours[7], int height) {
    // Eight bars: white at 100 % whatever the colours' level, the six colours, black.
    std::vector<Spot> spots;
    spots.push_back({0.5 / 8, height / 2, kWhite100, "white"});
    for (int k = 1; k < 7; ++k) spots.push_back({(k + 0.5) / 8, height / 2, colours[k], "colour bar " + std::to_string(k)});
    spots.push_back({7.5 / 8, height / 2, kBlack, "black"});
    return spots;
}

// The filter -> a sink taking `subtype`, collecting whole frames.
struct BarsChain {
    Ref<dv::ReferenceBars> bars{new dv::ReferenceBars()};
    Ref<TestSink> sink;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<ReceivedSample> samples;  // mutex

    explicit BarsChain(const GUID& subtype, LONG standard = REFERENCE_BARS_525_60)
        : sink(new TestSink(MEDIATYPE_Video, subtype)) {
        EXPECT_EQ(bars->SetStandard(standard), S_OK);
        sink->Input().onSample = [this](const ReceivedSample& s) {
            std::lock_guard<std::mutex> lock(mutex);
            samples.push_back(s);
            arrived.notify_all();
        };
    }
    ~BarsChain() { StopAndUnlink({sink.p, bars.p}); }

    HRESULT Connect() { return bars->Output().Connect(&sink->Input(), nullptr); }

    // Runs until `wanted` frames came (at most 20 s), then stops; the frames.
    std::vector<ReceivedSample> Collect(size_t wanted) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            samples.clear();
        }
        EXPECT_EQ(PauseAll({sink.p, bars.p}), S_OK);
        std::unique_lock<std::mutex> lock(mutex);
        const bool came = arrived.wait_for(lock, std::chrono::seconds(20), [&] { return samples.size() >= wanted; });
        lock.unlock();
        StopAll({sink.p, bars.p});
        EXPECT_TRUE(came) << "the filter delivered too few frames";
        lock.lock();
        samples.resize(std::min(samples.size(), wanted));
        return samples;
    }
};

BarLevel AtUyvy(const std::vector<uint8_t>& picture, int width, int x, int row) {
    const uint8_t* pair = &picture[static_cast<size_t>(row) * width * 2 + static_cast<size_t>(x / 2) * 4];
    return {pair[x % 2 == 0 ? 1 : 3], pair[0], pair[2]};
}

// Checks each spot of a UYVY picture against its level, within `tolerance`.
void ExpectLevels(const std::vector<uint8_t>& picture, int width, const std::vector<Spot>& spots,
                  const std::string& pattern) {
    for (const Spot& spot : spots) {
        const BarLevel got = AtUyvy(picture, width, static_cast<int>(spot.x * width), spot.row);
        EXPECT_EQ(got.y, spot.level.y) << pattern << ", " << spot.what << ": Y";
        EXPECT_EQ(got.cb, spot.level.cb) << pattern << ", " << spot.what << ": Cb";
        EXPECT_EQ(got.cr, spot.level.cr) << pattern << ", " << spot.what << ": Cr";
    }
}

// Writes a PNG of width x height RGB pixels with libavcodec's PNG encoder; "" or why not.
std::string WritePng(const std::string& path, int width, int height,
                     const std::vector<uint8_t>& rgb) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (encoder == nullptr) return "libavcodec has no PNG encoder";
    AVCodecContext* ctx = avcodec_alloc_context3(encoder);
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_RGB24;
    ctx->time_base = AVRational{1, 25};
    std::string error;
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = width;
    frame->height = height;
    if (avcodec_open2(ctx, encoder, nullptr) < 0 || av_frame_get_buffer(frame, 0) < 0) {
        error = "libavcodec refuses the PNG settings";
    } else {
        for (int row = 0; row < height; ++row)
            std::memcpy(frame->data[0] + static_cast<ptrdiff_t>(row) * frame->linesize[0],
                        &rgb[static_cast<size_t>(row) * width * 3], static_cast<size_t>(width) * 3);
        if (avcodec_send_frame(ctx, frame) < 0 || avcodec_receive_packet(ctx, packet) < 0) {
            error = "libavcodec cannot encode the PNG";
        } else {
            FILE* file = std::fopen(path.c_str(), "wb");
            if (file == nullptr || std::fwrite(packet->data, 1, packet->size, file) != size_t(packet->size))
                error = "cannot write " + path;
            if (file != nullptr) std::fclose(file);
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return error;
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("bars_test_" + std::to_string(getpid()) + "_" + name)).string();
}

}  // namespace

TEST(ReferenceBars, EachPatternHasTheStandardsLevelsAtTheCentreOfEachBarInBothSystems) {
    for (const LONG standard : {REFERENCE_BARS_525_60, REFERENCE_BARS_625_50}) {
        const int height = standard == REFERENCE_BARS_525_60 ? 480 : 576;
        const std::string system = standard == REFERENCE_BARS_525_60 ? "525/60 " : "625/50 ";
        struct Case {
            LONG pattern;
            std::vector<Spot> spots;
            const char* name;
        };
        const Case cases[] = {
            {REFERENCE_BARS_SMPTE, SmpteSpots(height), "SMPTE"},
            {REFERENCE_BARS_EBU75, EbuSpots(kBars75, height), "EBU 75 %"},
            {REFERENCE_BARS_EBU100, EbuSpots(kBars100, height), "EBU 100 %"},
            {REFERENCE_BARS_BLACK, {{0.1, 10, kBlack, "top"}, {0.9, height - 1, kBlack, "bottom"}}, "black"},
        };
        for (const Case& c : cases) {
            BarsChain chain(MEDIASUBTYPE_UYVY, standard);
            ASSERT_EQ(chain.bars->SetPattern(c.pattern), S_OK);
            ASSERT_EQ(chain.Connect(), S_OK);
            const std::vector<ReceivedSample> frames = chain.Collect(1);
            ASSERT_EQ(frames.size(), 1u);
            ASSERT_EQ(frames[0].data.size(), size_t(720 * height * 2)) << system << c.name;
            ExpectLevels(frames[0].data, 720, c.spots, system + c.name);
        }
    }
}

TEST(ReferenceBars, OffersUyvyThenRgb24OfItsSystemAndStampsEachFrameAtItsRate) {
    for (const LONG standard : {REFERENCE_BARS_525_60, REFERENCE_BARS_625_50}) {
        BarsChain chain(MEDIASUBTYPE_UYVY, standard);
        const int height = standard == REFERENCE_BARS_525_60 ? 480 : 576;
        platform::MediaType type;
        ASSERT_EQ(chain.bars->Output().GetMediaType(0, &type), S_OK);
        EXPECT_EQ(type->subtype, MEDIASUBTYPE_UYVY);
        const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
        EXPECT_EQ(vih->bmiHeader.biWidth, 720);
        EXPECT_EQ(vih->bmiHeader.biHeight, height);
        EXPECT_EQ(vih->AvgTimePerFrame, standard == REFERENCE_BARS_525_60 ? 333667 : 400000);
        EXPECT_EQ(chain.bars->Output().CheckMediaType(type.get()), S_OK);
        ASSERT_EQ(chain.bars->Output().GetMediaType(1, &type), S_OK);
        EXPECT_EQ(type->subtype, MEDIASUBTYPE_RGB24);
        EXPECT_EQ(reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader.biHeight, height);
        EXPECT_EQ(chain.bars->Output().GetMediaType(2, &type), VFW_S_NO_MORE_ITEMS);

        // The other system's picture is not this one's.
        platform::MediaType other;
        MakeRgbType(&other, standard == REFERENCE_BARS_525_60 ? 576 : 480);
        EXPECT_EQ(chain.bars->Output().CheckMediaType(other.get()), VFW_E_TYPE_NOT_ACCEPTED);

        ASSERT_EQ(chain.Connect(), S_OK);
        const std::vector<ReceivedSample> frames = chain.Collect(4);
        ASSERT_EQ(frames.size(), 4u);
        // Frame k from k x 1001/30000 s (or 1/25 s), rounded to 100 ns.
        const REFERENCE_TIME ntsc[5] = {0, 333667, 667333, 1001000, 1334667};
        for (int k = 0; k < 4; ++k) {
            ASSERT_EQ(frames[k].timeStatus, S_OK);
            EXPECT_EQ(frames[k].start, standard == REFERENCE_BARS_525_60 ? ntsc[k] : 400000 * k);
            EXPECT_EQ(frames[k].stop, standard == REFERENCE_BARS_525_60 ? ntsc[k + 1] : 400000 * (k + 1));
        }
    }
}

TEST(ReferenceBars, TheRgbTypeCarriesTheBarsBottomUpConvertedByBt601) {
    BarsChain chain(MEDIASUBTYPE_RGB24);
    ASSERT_EQ(chain.bars->SetPattern(REFERENCE_BARS_EBU75), S_OK);
    ASSERT_EQ(chain.Connect(), S_OK);  // the sink refuses UYVY, so the second type
    const std::vector<ReceivedSample> frames = chain.Collect(1);
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].data.size(), size_t(kPictureBytes));
    // 100/0/75/0 in R'G'B' 0..255: white 255, yellow (191, 191, 0), blue (0, 0, 191), black 0;
    // the Y'CbCr levels are rounded once, so one code either way. Row 0 is the picture's bottom.
    struct {
        int bar, r, g, b;
    } const expected[] = {{0, 255, 255, 255}, {1, 191, 191, 0}, {6, 0, 0, 191}, {7, 0, 0, 0}};
    for (const auto& e : expected) {
        const uint8_t* pixel = &frames[0].data[static_cast<size_t>(10 * kWidth + e.bar * 90 + 45) * 3];
        EXPECT_NEAR(pixel[2], e.r, 1) << "bar " << e.bar;
        EXPECT_NEAR(pixel[1], e.g, 1) << "bar " << e.bar;
        EXPECT_NEAR(pixel[0], e.b, 1) << "bar " << e.bar;
    }
}

TEST(ReferenceBars, SettingsChangeOnlyWhileStoppedAndTheSystemOnlyWhileUnconnected) {
    BarsChain chain(MEDIASUBTYPE_UYVY);
    IReferenceBars* bars = chain.bars.p;
    LONG value = -1;
    EXPECT_EQ(bars->GetPattern(&value), S_OK);
    EXPECT_EQ(value, REFERENCE_BARS_SMPTE);
    EXPECT_EQ(bars->GetStandard(&value), S_OK);
    EXPECT_EQ(value, REFERENCE_BARS_525_60);
    EXPECT_EQ(bars->SetPattern(REFERENCE_BARS_PICTURE), E_INVALIDARG);
    EXPECT_EQ(bars->SetPattern(-1), E_INVALIDARG);
    EXPECT_EQ(bars->SetStandard(2), E_INVALIDARG);
    EXPECT_EQ(bars->GetPattern(nullptr), E_POINTER);
    EXPECT_EQ(bars->SetPictureFile(nullptr), E_POINTER);

    ASSERT_EQ(chain.Connect(), S_OK);
    EXPECT_EQ(bars->SetStandard(REFERENCE_BARS_625_50), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(bars->SetStandard(REFERENCE_BARS_525_60), S_OK);  // what it is already
    ASSERT_EQ(PauseAll({chain.sink.p, chain.bars.p}), S_OK);
    EXPECT_EQ(bars->SetPattern(REFERENCE_BARS_BLACK), VFW_E_NOT_STOPPED);
    StopAll({chain.sink.p, chain.bars.p});
    EXPECT_EQ(bars->GetPattern(&value), S_OK);
    EXPECT_EQ(value, REFERENCE_BARS_SMPTE);
    EXPECT_EQ(bars->SetPattern(REFERENCE_BARS_BLACK), S_OK);
    const std::vector<ReceivedSample> frames = chain.Collect(1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(AtUyvy(frames[0].data, 720, 360, 100).y, 16);
}

TEST(ReferenceBars, APictureFileOfTheSystemsSizeBecomesThePatternInYCbCr) {
    // Left half 75 % yellow, right half 100 % blue, in full-range RGB.
    std::vector<uint8_t> rgb(720 * 480 * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        const bool left = (i / 3) % 720 < 360;
        rgb[i] = left ? 191 : 0;
        rgb[i + 1] = left ? 191 : 0;
        rgb[i + 2] = left ? 0 : 255;
    }
    const std::string png = TempPath("picture.png");
    const std::string small = TempPath("small.png");
    const std::string notPicture = TempPath("not-a-picture.png");
    ASSERT_EQ(WritePng(png, 720, 480, rgb), "");
    ASSERT_EQ(WritePng(small, 360, 240, std::vector<uint8_t>(360 * 240 * 3, 0)), "");
    {
        FILE* file = std::fopen(notPicture.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("no picture here\n", file);
        std::fclose(file);
    }

    BarsChain chain(MEDIASUBTYPE_UYVY);
    IReferenceBars* bars = chain.bars.p;
    const std::u16string wide = platform::Utf16FromUtf8(png);
    EXPECT_EQ(bars->SetPictureFile(reinterpret_cast<LPCWSTR>(platform::Utf16FromUtf8(small).c_str())),
              VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(bars->SetPictureFile(reinterpret_cast<LPCWSTR>(platform::Utf16FromUtf8(notPicture).c_str())),
              E_INVALIDARG);
    EXPECT_EQ(bars->SetPictureFile(reinterpret_cast<LPCWSTR>(
                  platform::Utf16FromUtf8(TempPath("missing.png")).c_str())),
              E_INVALIDARG);
    ASSERT_EQ(bars->SetPictureFile(reinterpret_cast<LPCWSTR>(wide.c_str())), S_OK);
    LONG pattern = -1;
    EXPECT_EQ(bars->GetPattern(&pattern), S_OK);
    EXPECT_EQ(pattern, REFERENCE_BARS_PICTURE);
    // A 480-line picture cannot be the 576-line system's.
    EXPECT_EQ(bars->SetStandard(REFERENCE_BARS_625_50), VFW_E_TYPE_NOT_ACCEPTED);

    ASSERT_EQ(chain.Connect(), S_OK);
    const std::vector<ReceivedSample> frames = chain.Collect(1);
    ASSERT_EQ(frames.size(), 1u);
    const BarLevel yellow = AtUyvy(frames[0].data, 720, 180, 240);
    const BarLevel blue = AtUyvy(frames[0].data, 720, 540, 240);
    EXPECT_NEAR(yellow.y, kBars75[1].y, 1);
    EXPECT_NEAR(yellow.cb, kBars75[1].cb, 1);
    EXPECT_NEAR(yellow.cr, kBars75[1].cr, 1);
    EXPECT_NEAR(blue.y, kBars100[6].y, 1);
    EXPECT_NEAR(blue.cb, kBars100[6].cb, 1);
    EXPECT_NEAR(blue.cr, kBars100[6].cr, 1);
    for (const std::string& path : {png, small, notPicture}) std::filesystem::remove(path);
}

// SMPTE bars through "DV Video Encoder" (taking UYVY) and "DV Muxer" onto a stripe, decoded by
// libavcodec: each bar's Y'CbCr within two codes at its centre, the PLUGE steps apart, black 16.
TEST(ReferenceBarsThroughDv, SmpteBarsKeepTheirLevelsWithinTwoCodesOnTheTape) {
    Ref<dv::ReferenceBars> bars{new dv::ReferenceBars()};
    Ref<dv::VideoEncoder> encoder{new dv::VideoEncoder()};
    Ref<dv::Muxer> muxer{new dv::Muxer()};
    Ref<TestSink> sink{new TestSink(MEDIATYPE_Interleaved, MEDIASUBTYPE_dvsd)};
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<ReceivedSample> frames;
    sink->Input().onSample = [&](const ReceivedSample& s) {
        std::lock_guard<std::mutex> lock(mutex);
        frames.push_back(s);
        arrived.notify_all();
    };
    ASSERT_EQ(bars->Output().Connect(&encoder->Input(), nullptr), S_OK);
    EXPECT_EQ(encoder->Input().ConnectionType()->subtype, MEDIASUBTYPE_UYVY);
    ASSERT_EQ(encoder->Output().Connect(&muxer->Input(), nullptr), S_OK);
    ASSERT_EQ(muxer->Output().Connect(&sink->Input(), nullptr), S_OK);
    ASSERT_EQ(PauseAll({sink.p, muxer.p, encoder.p, bars.p}), S_OK);
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, std::chrono::seconds(20), [&] { return frames.size() >= 3; }))
            << "the chain delivered too few frames";
    }
    StopAndUnlink({sink.p, muxer.p, encoder.p, bars.p});
    ASSERT_GE(frames.size(), 3u);

    for (size_t f : {size_t{0}, size_t{2}}) {
        ASSERT_EQ(frames[f].data.size(), size_t(kDvFrameBytes));
        const DecodedPicture picture = DecodeDvFrame(frames[f].data);
        ASSERT_EQ(picture.error, "");
        ASSERT_EQ(picture.width, 720);
        ASSERT_EQ(picture.height, 480);
        for (const Spot& spot : SmpteSpots(480)) {
            const int x = static_cast<int>(spot.x * 720);
            EXPECT_NEAR(picture.Y(x, spot.row), spot.level.y, 2) << "frame " << f << ", " << spot.what << ": Y";
            EXPECT_NEAR(picture.Cb(x, spot.row), spot.level.cb, 2) << "frame " << f << ", " << spot.what << ": Cb";
            EXPECT_NEAR(picture.Cr(x, spot.row), spot.level.cr, 2) << "frame " << f << ", " << spot.what << ": Cr";
        }
        // The PLUGE: three distinct steps, the middle one black.
        const double bar = 720.0 / 7;
        const int row = 480 * 7 / 8;
        const int below = picture.Y(static_cast<int>((5 + 1.0 / 6) * bar), row);
        const int black = picture.Y(static_cast<int>(5.5 * bar), row);
        const int above = picture.Y(static_cast<int>((5 + 5.0 / 6) * bar), row);
        EXPECT_LT(below + 4, black);
        EXPECT_LT(black + 4, above);
        EXPECT_EQ(black, 16);
    }
}
