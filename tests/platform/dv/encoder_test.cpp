// "DV Video Encoder": which types it takes and gives, what it makes of a picture, frame reuse for
// still pictures, time stamps, refusal of short samples, and stopping while a Receive blocks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tests/support/dv/dif_test_filters.h"
#include "filterkit/kit_module.h"
#include "dv/filters/dv_classes.h"
#include "dv/filters/reference_bars.h"
#include "dv/filters/test_pattern.h"
#include "dv/filters/video_encoder.h"

using namespace dvtest;

namespace {

// A colour-bar-like picture, top row first: 75% bars over the top two thirds, a luma ramp below,
// so that a picture turned upside down cannot pass for the original.
std::vector<uint8_t> TopDownBars() {
    static const uint8_t kBars[7][3] = {{191, 191, 191}, {0, 191, 191}, {191, 191, 0}, {0, 191, 0},
                                        {191, 0, 191},   {0, 0, 191},   {191, 0, 0}};  // B, G, R
    std::vector<uint8_t> picture(kPictureBytes);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* p = &picture[(static_cast<size_t>(y) * kWidth + x) * 3];
            if (y < kHeight * 2 / 3) {
                const uint8_t* bar = kBars[x * 7 / kWidth];
                p[0] = bar[0];
                p[1] = bar[1];
                p[2] = bar[2];
            } else {
                p[0] = p[1] = p[2] = static_cast<uint8_t>(x * 255 / (kWidth - 1));
            }
        }
    }
    return picture;
}

std::vector<uint8_t> FlipRows(const std::vector<uint8_t>& picture) {
    std::vector<uint8_t> flipped(picture.size());
    const size_t row = kWidth * 3;
    for (int y = 0; y < kHeight; ++y)
        std::memcpy(&flipped[y * row], &picture[(kHeight - 1 - y) * row], row);
    return flipped;
}

// BT.601 studio-range luma of a top-down BGR picture, computed independently of libswscale.
std::vector<double> ReferenceLuma(const std::vector<uint8_t>& topDown) {
    std::vector<double> luma(kWidth * kHeight);
    for (size_t i = 0; i < luma.size(); ++i) {
        const double b = topDown[i * 3], g = topDown[i * 3 + 1], r = topDown[i * 3 + 2];
        luma[i] = 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
    }
    return luma;
}

// Decodes one DV frame with libavcodec and returns the luma PSNR against reference (dB).
double DecodedLumaPsnr(const std::vector<uint8_t>& frame, const std::vector<double>& reference) {
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_DVVIDEO);
    AVCodecContext* ctx = avcodec_alloc_context3(decoder);
    EXPECT_EQ(avcodec_open2(ctx, decoder, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    av_new_packet(packet, static_cast<int>(frame.size()));
    std::memcpy(packet->data, frame.data(), frame.size());
    double psnr = 0;
    if (avcodec_send_packet(ctx, packet) == 0 && avcodec_receive_frame(ctx, picture) == 0) {
        EXPECT_EQ(picture->width, kWidth);
        EXPECT_EQ(picture->height, kHeight);
        EXPECT_EQ(picture->format, AV_PIX_FMT_YUV411P);
        double squared = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const double d = picture->data[0][y * picture->linesize[0] + x] - reference[y * kWidth + x];
                squared += d * d;
            }
        psnr = 10.0 * std::log10(255.0 * 255.0 / (squared / (kWidth * kHeight)));
    } else {
        ADD_FAILURE() << "libavcodec could not decode the frame";
    }
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return psnr;
}

// Source -> encoder -> sink, connected and paused (downstream first).
struct EncoderChain {
    Ref<TestSource> source;
    Ref<dv::VideoEncoder> encoder;
    Ref<TestSink> sink;

    explicit EncoderChain(LONG height = kHeight)
        : source(NewRgbSource(height)), encoder(new dv::VideoEncoder()),
          sink(new TestSink(MEDIATYPE_Video, MEDIASUBTYPE_dvsd)) {
        EXPECT_EQ(source->Output().Connect(&encoder->Input(), nullptr), S_OK);
        EXPECT_EQ(encoder->Output().Connect(&sink->Input(), nullptr), S_OK);
    }
    void Pause() { ASSERT_EQ(PauseAll({sink.p, encoder.p, source.p}), S_OK); }
    void Stop() { StopAll({sink.p, encoder.p, source.p}); }
    ~EncoderChain() { StopAndUnlink({sink.p, encoder.p, source.p}); }
};

AM_MEDIA_TYPE* RgbType(platform::MediaType* holder, LONG height) {
    MakeRgbType(holder, height);
    return holder->get();
}

}  // namespace

TEST(EncoderTypes, TakesRgb24FrameEitherWayUpAndRefusesTheRest) {
    Ref<dv::VideoEncoder> encoder(new dv::VideoEncoder());
    dv::VideoEncoderInputPin& in = encoder->Input();
    platform::MediaType mt;

    EXPECT_EQ(in.CheckMediaType(RgbType(&mt, 480)), S_OK);
    EXPECT_EQ(in.CheckMediaType(RgbType(&mt, -480)), S_OK);
    // 625/50 pictures are the other system's; a height of neither is refused.
    EXPECT_EQ(in.CheckMediaType(RgbType(&mt, 576)), S_OK);
    EXPECT_EQ(in.CheckMediaType(RgbType(&mt, 578)), E_INVALIDARG);

    RgbType(&mt, 480);
    reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat)->bmiHeader.biWidth = 640;
    EXPECT_EQ(in.CheckMediaType(mt.get()), E_INVALIDARG);

    RgbType(&mt, 480);
    reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat)->bmiHeader.biBitCount = 32;
    EXPECT_EQ(in.CheckMediaType(mt.get()), E_INVALIDARG);

    RgbType(&mt, 480);
    mt->subtype = MEDIASUBTYPE_RGB32;
    EXPECT_EQ(in.CheckMediaType(mt.get()), VFW_E_TYPE_NOT_ACCEPTED);

    RgbType(&mt, 480);
    mt->formattype = FORMAT_None;
    EXPECT_EQ(in.CheckMediaType(mt.get()), VFW_E_TYPE_NOT_ACCEPTED);

    // Format blocks too short to hold a VIDEOINFOHEADER, or missing, are never read.
    RgbType(&mt, 480);
    mt->cbFormat = sizeof(VIDEOINFOHEADER) - 1;
    EXPECT_EQ(in.CheckMediaType(mt.get()), E_INVALIDARG);
    AM_MEDIA_TYPE bare = *RgbType(&mt, 480);
    bare.pbFormat = nullptr;
    EXPECT_EQ(in.CheckMediaType(&bare), E_INVALIDARG);
    EXPECT_EQ(in.QueryAccept(&bare), S_FALSE);
}

TEST(EncoderTypes, RefusedConnectionLeavesBothPinsFree) {
    Ref<TestSource> source(NewRgbSource(240));
    Ref<dv::VideoEncoder> encoder(new dv::VideoEncoder());
    EXPECT_EQ(source->Output().Connect(&encoder->Input(), nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_FALSE(source->Output().IsConnected());
    EXPECT_FALSE(encoder->Input().IsConnected());
    StopAndUnlink({encoder.p, source.p});
}

TEST(EncoderTypes, GivesNtscDvFrames) {
    Ref<dv::VideoEncoder> encoder(new dv::VideoEncoder());
    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(encoder->Output().EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* mt = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(types->Next(1, &mt, &fetched), S_OK);
    EXPECT_EQ(types->Next(1, &mt + 0, &fetched), S_FALSE);
    types->Release();

    EXPECT_EQ(mt->majortype, MEDIATYPE_Video);
    EXPECT_EQ(mt->subtype, MEDIASUBTYPE_dvsd);
    EXPECT_EQ(mt->formattype, FORMAT_VideoInfo);
    EXPECT_TRUE(mt->bFixedSizeSamples);
    EXPECT_EQ(mt->lSampleSize, 120000u);
    ASSERT_GE(mt->cbFormat, sizeof(VIDEOINFOHEADER));
    const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
    EXPECT_EQ(vih->AvgTimePerFrame, 333667);
    EXPECT_EQ(vih->bmiHeader.biCompression, 0x64737664u);  // 'dvsd'
    EXPECT_EQ(vih->bmiHeader.biWidth, 720);
    EXPECT_EQ(vih->bmiHeader.biHeight, 480);
    platform::FreeTaskMediaType(mt);

    // The input pin has nothing to offer: the upstream proposes its own type.
    ASSERT_EQ(encoder->Input().EnumMediaTypes(&types), S_OK);
    EXPECT_EQ(types->Next(1, &mt, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    types->Release();
}

TEST(EncoderStreaming, ColourBarsDecodeBackFaithfullyEitherWayUp) {
    const std::vector<uint8_t> topDown = TopDownBars();
    const std::vector<double> reference = ReferenceLuma(topDown);

    for (const LONG height : {480, -480}) {
        SCOPED_TRACE(height);
        EncoderChain chain(height);
        chain.Pause();
        const std::vector<uint8_t> stored = height > 0 ? FlipRows(topDown) : topDown;
        ASSERT_EQ(chain.source->Push(stored.data(), kPictureBytes, 0, 333667), S_OK);
        ASSERT_EQ(chain.sink->Input().received.size(), 1u);
        const std::vector<uint8_t>& frame = chain.sink->Input().received[0].data;
        ASSERT_EQ(frame.size(), 120000u);
        const double psnr = DecodedLumaPsnr(frame, reference);
        EXPECT_GT(psnr, 35.0);
        RecordProperty("luma_psnr_db", std::to_string(psnr));
    }
}

TEST(EncoderStreaming, StillPictureIsEncodedOnceAndTimesPassThrough) {
    EncoderChain chain;
    chain.Pause();
    std::vector<uint8_t> picture = FlipRows(TopDownBars());
    for (int k = 0; k < 3; ++k)
        ASSERT_EQ(chain.source->Push(picture.data(), kPictureBytes, k * 200000, (k + 1) * 200000), S_OK);
    EXPECT_EQ(chain.encoder->Codec().EncodeCount(), 1u);

    picture[12345] ^= 0x40;  // one byte differs: a new picture
    ASSERT_EQ(chain.source->Push(picture.data(), kPictureBytes, 600000, 800000), S_OK);
    EXPECT_EQ(chain.encoder->Codec().EncodeCount(), 2u);

    const auto& got = chain.sink->Input().received;
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].data, got[1].data);
    EXPECT_EQ(got[0].data, got[2].data);
    EXPECT_NE(got[2].data, got[3].data);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(got[k].timeStatus, S_OK);
        EXPECT_EQ(got[k].start, k * 200000);
        EXPECT_EQ(got[k].stop, (k + 1) * 200000);
    }
    // An untimed picture stays untimed, though its output sample carried a time last round.
    ASSERT_EQ(chain.source->Push(picture.data(), kPictureBytes, 0, 0, false), S_OK);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_TRUE(FAILED(got[4].timeStatus));
    chain.sink->Input().received.pop_back();

    // With reuse off every picture is encoded, and gives the same frame as before.
    const std::vector<uint8_t> lastFrame = got[3].data;
    chain.Stop();
    chain.encoder->Codec().SetReuse(false);
    chain.sink->Input().received.clear();
    chain.Pause();
    for (int k = 0; k < 2; ++k)
        ASSERT_EQ(chain.source->Push(picture.data(), kPictureBytes, 0, 1), S_OK);
    EXPECT_EQ(chain.encoder->Codec().EncodeCount(), 4u);
    ASSERT_EQ(chain.sink->Input().received.size(), 2u);
    EXPECT_EQ(chain.sink->Input().received[0].data, lastFrame);
    EXPECT_EQ(chain.sink->Input().received[1].data, lastFrame);
}

// A UYVY sample may say which rows changed from the sample before it. The encoder then compares
// only those rows, but only when the picture it kept is that sample's: not after a gap in the media
// times, a discontinuity, a sample without media times, or a stop.
TEST(EncoderStreaming, ComparesOnlyTheRowsASampleSaysChangedWhenItFollowsTheLastOne) {
    platform::MediaType type;
    ASSERT_EQ(dv::ReferenceBarsOutputPin::MakeType(*dv::BarsSystem::Of(REFERENCE_BARS_525_60), false, &type), S_OK);
    Ref<TestSource> source{new TestSource(type, kWidth * kHeight * 2)};
    Ref<dv::VideoEncoder> encoder{new dv::VideoEncoder()};
    Ref<TestSink> sink{new TestSink(MEDIATYPE_Video, MEDIASUBTYPE_dvsd)};
    ASSERT_EQ(source->Output().Connect(&encoder->Input(), nullptr), S_OK);
    ASSERT_EQ(encoder->Output().Connect(&sink->Input(), nullptr), S_OK);
    ASSERT_EQ(PauseAll({sink.p, encoder.p, source.p}), S_OK);
    const LONG bytes = kWidth * kHeight * 2;
    const std::vector<uint8_t> bars = dv::TestPattern::Make(dv::TestPattern::Kind::Smpte, kWidth, kHeight);
    std::vector<uint8_t> changed = bars;
    std::memset(changed.data() + 400 * kWidth * 2, 16, kWidth * 2 * 16);  // rows 400 to 415 black
    const auto push = [&](const std::vector<uint8_t>& picture, std::optional<LONGLONG> frame, bool discontinuity = false,
                          std::optional<std::pair<LONG, LONG>> rows = std::nullopt) {
        ASSERT_EQ(source->Push(picture.data(), bytes, 0, 1, true, PushExtras{frame, discontinuity, rows}), S_OK);
    };
    const std::pair<LONG, LONG> top{0, 100};  // leaves out the rows that changed
    const auto& got = sink->Input().received;

    push(bars, 0);
    // Following frame 0, it is taken at its word: nothing changed in the rows said, the frame
    // before.
    push(changed, 1, false, top);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[1].data == got[0].data) << "the rows said were not the only ones compared";
    // Not following the last picture, it is looked at whole: after a gap, as a discontinuity,
    // without media times, after a stop.
    push(bars, 2);
    const size_t gap = got.size();
    push(changed, 4, false, top);
    push(bars, 5);
    const size_t discontinuity = got.size();
    push(changed, 6, true, top);
    push(bars, 7);
    const size_t untimed = got.size();
    push(changed, std::nullopt, false, top);
    push(bars, 8);
    StopAll({sink.p, encoder.p, source.p});
    ASSERT_EQ(PauseAll({sink.p, encoder.p, source.p}), S_OK);
    const size_t stopped = got.size();
    push(changed, 9, false, top);
    ASSERT_EQ(got.size(), stopped + 1);
    for (size_t k : {gap, discontinuity, untimed, stopped}) {
        EXPECT_TRUE(got[k].data != got[0].data) << "sample " << k << " was taken at its word";
        EXPECT_TRUE(got[k].data == got[gap].data) << "sample " << k;
    }
    // Rows that hold the change give the changed picture's frame.
    push(bars, 10);
    push(changed, 11, false, std::make_pair(LONG{390}, LONG{420}));
    EXPECT_TRUE(got.back().data == got[gap].data);
    StopAndUnlink({sink.p, encoder.p, source.p});
}

// The picture is converted in bands shared between the calling thread and a helper that joins
// when it wakes up; however the bands fall between the two, every picture must give exactly the
// frame it gives alone.
TEST(EncoderCodec, BandsSharedBetweenThreadsGiveTheSameFrameEveryTime) {
    std::vector<uint8_t> bars = FlipRows(TopDownBars());
    std::vector<uint8_t> other = bars;
    for (size_t i = 0; i < other.size(); i += 4099) other[i] = uint8_t(other[i] + 77);
    dv::VideoEncoderCodec codec;
    ASSERT_EQ(codec.Open(), S_OK);
    codec.SetReuse(false);
    std::vector<uint8_t> firstBars(dv::VideoEncoderCodec::kFrameBytes);
    std::vector<uint8_t> firstOther(dv::VideoEncoderCodec::kFrameBytes);
    ASSERT_EQ(codec.Encode(bars.data(), true, firstBars.data()), S_OK);
    ASSERT_EQ(codec.Encode(other.data(), true, firstOther.data()), S_OK);
    ASSERT_NE(firstBars, firstOther);
    std::vector<uint8_t> frame(dv::VideoEncoderCodec::kFrameBytes);
    for (int k = 0; k < 60; ++k) {
        const bool even = k % 2 == 0;
        ASSERT_EQ(codec.Encode(even ? bars.data() : other.data(), true, frame.data()), S_OK);
        ASSERT_EQ(frame, even ? firstBars : firstOther) << "picture " << k;
        if (k % 10 == 9) usleep(2000);  // let the helper fall asleep, so it joins late
    }
}

TEST(EncoderStreaming, BringsItsOwnAllocatorWhenDownstreamHasNone) {
    Ref<TestSource> source(NewRgbSource());
    Ref<dv::VideoEncoder> encoder(new dv::VideoEncoder());
    Ref<TestSink> sink(new TestSink(MEDIATYPE_Video, MEDIASUBTYPE_dvsd));
    sink->Input().refuseAllocator = true;
    ASSERT_EQ(source->Output().Connect(&encoder->Input(), nullptr), S_OK);
    ASSERT_EQ(encoder->Output().Connect(&sink->Input(), nullptr), S_OK);
    ASSERT_EQ(sink->Pause(), S_OK);
    ASSERT_EQ(encoder->Pause(), S_OK);
    ASSERT_EQ(source->Pause(), S_OK);
    const std::vector<uint8_t> picture(kPictureBytes, 0x80);
    EXPECT_EQ(source->Push(picture.data(), kPictureBytes, 0, 1), S_OK);
    EXPECT_EQ(sink->Input().received.size(), 1u);
    StopAndUnlink({sink.p, encoder.p, source.p});
}

TEST(EncoderStreaming, RefusesShortSamplesAndSamplesWhileStopped) {
    EncoderChain chain;
    const std::vector<uint8_t> picture(kPictureBytes, 0x80);
    // Stopped: the encoder takes nothing.
    EXPECT_EQ(chain.source->Pause(), S_OK);
    EXPECT_EQ(chain.source->Push(picture.data(), kPictureBytes, 0, 1), VFW_E_WRONG_STATE);
    chain.source->Stop();

    chain.Pause();
    EXPECT_EQ(chain.source->Push(picture.data(), kPictureBytes - 1, 0, 1), E_INVALIDARG);
    EXPECT_EQ(chain.source->Push(picture.data(), 0, 0, 1), E_INVALIDARG);
    EXPECT_TRUE(chain.sink->Input().received.empty());
    // The stream goes on with whole pictures.
    EXPECT_EQ(chain.source->Push(picture.data(), kPictureBytes, 0, 1), S_OK);
    EXPECT_EQ(chain.sink->Input().received.size(), 1u);
}

TEST(EncoderStreaming, FiltersAndEnumeratorsAreFreedOnceUnlinked) {
    ASSERT_EQ(filterkit::ModuleObjectCount(), 0);
    {
        EncoderChain chain;
        chain.Pause();
        const std::vector<uint8_t> picture(kPictureBytes, 0x80);
        ASSERT_EQ(chain.source->Push(picture.data(), kPictureBytes, 0, 1), S_OK);
        IEnumPins* pins = nullptr;
        ASSERT_EQ(chain.encoder->EnumPins(&pins), S_OK);
        pins->Release();
        EXPECT_GT(filterkit::ModuleObjectCount(), 0);
    }
    EXPECT_EQ(filterkit::ModuleObjectCount(), 0);
}

TEST(EncoderStreaming, StopReleasesAReceiveBlockedDownstream) {
    EncoderChain chain;
    chain.sink->Input().blockInReceive = true;
    chain.Pause();
    const std::vector<uint8_t> picture(kPictureBytes, 0x80);
    HRESULT pushed = S_OK;
    std::thread streaming([&] { pushed = chain.source->Push(picture.data(), kPictureBytes, 0, 1); });
    {
        TestSinkPin& in = chain.sink->Input();
        std::unique_lock<std::mutex> lock(in.mutex);
        in.changed.wait(lock, [&] { return in.enteredReceive; });
    }
    // As the graph does: downstream first. Each Stop returns only when no Receive of its filter
    // runs any more.
    EXPECT_EQ(chain.sink->Stop(), S_OK);
    EXPECT_EQ(chain.encoder->Stop(), S_OK);
    streaming.join();
    EXPECT_EQ(pushed, VFW_E_WRONG_STATE);
}
