// The colour-bar source seen from downstream: the filter is created from the built tamsel.ax
// through DllGetClassObject and the class factory, connected to a test input pin, and paused so
// its worker delivers frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include <sys/stat.h>

#include "tamsel_library.h"
#include "tests/support/fake_allocator.h"
#include "tests/support/test_support.h"
#include "test_input_pin.h"

using testsupport::FakeAllocator;

namespace {

constexpr LONG kImageBytes = 1036800;
constexpr REFERENCE_TIME kFrame = 200000;  // 20 ms in 100 ns units

// A private directory holding a copy of tamsel.ax and, optionally, a colorbar.dat of our own.
class LibraryCopy {
public:
    LibraryCopy() {
        directory = testsupport::MakeTempDir("tamsel-lib");
        std::filesystem::copy_file(BuiltLibraryPath(), directory + "/tamsel.ax");
    }
    ~LibraryCopy() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    void WriteImageFile(const std::string& bytes) {
        std::ofstream out(directory + "/colorbar.dat", std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::string LibraryPath() const { return directory + "/tamsel.ax"; }
    std::string ImagePath() const { return directory + "/colorbar.dat"; }

private:
    std::string directory;
};

Quality MakeQuality(LONG proportion, REFERENCE_TIME late) {
    Quality q = {};
    q.Type = Famine;
    q.Proportion = proportion;
    q.Late = late;
    return q;
}

class ColorBarStreamTest : public testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }

    void TearDown() override {
        if (output != nullptr) {
            output->Disconnect();
            input.Disconnect();
            output->Release();
        }
        if (filter != nullptr) {
            EXPECT_EQ(filter->Release(), 0u);
        }
        if (library) {
            EXPECT_EQ(library->CanUnloadNow(), S_OK);
        }
        library.reset();
        CoUninitialize();
    }

    // Loads the library at path, creates a filter and connects its output to `input`.
    void Open(const std::string& path) {
        library = std::make_unique<TamselLibrary>(path);
        ASSERT_TRUE(library->Loaded());
        filter = library->CreateFilter();
        ASSERT_NE(filter, nullptr);
        output = OutputPinOf(filter);
        ASSERT_NE(output, nullptr);
    }

    void Connect() { ASSERT_EQ(output->Connect(&input, nullptr), S_OK); }

    // Pauses until count samples arrived, then stops.
    std::vector<ReceivedSample> Stream(int count) {
        input.Clear();
        EXPECT_EQ(filter->Pause(), S_OK);
        input.WaitForSamples(count);
        EXPECT_EQ(filter->Stop(), S_OK);
        return input.Samples();
    }

    IQualityControl* QualityOf(IPin* pin) {
        IQualityControl* quality = nullptr;
        EXPECT_EQ(pin->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&quality)),
                  S_OK);
        return quality;
    }

    // Streams like Stream, sending messages[index] to the output pin's quality control from
    // inside Receive of sample `index`, as a device does.
    std::vector<ReceivedSample> StreamWithQuality(int count, const std::map<int, Quality>& messages) {
        IQualityControl* quality = QualityOf(output);
        if (quality == nullptr) return {};
        input.OnReceive([quality, messages](int index, IMediaSample*) {
            const auto message = messages.find(index);
            if (message != messages.end()) quality->Notify(nullptr, message->second);
        });
        std::vector<ReceivedSample> samples = Stream(count);
        input.OnReceive(nullptr);
        quality->Release();
        return samples;
    }

    std::unique_ptr<TamselLibrary> library;
    IBaseFilter* filter = nullptr;
    IPin* output = nullptr;
    TestInputPin input;
};

TEST_F(ColorBarStreamTest, DeliversTheImageFileWithGapFreeTimes) {
    Open(BuiltLibraryPath());
    Connect();
    EXPECT_NE(input.NotifiedAllocator(), nullptr);
    input.KeepBytesOf(3);

    const std::vector<ReceivedSample> samples = Stream(3);
    const std::string file = ReadFileBytes(BuiltImagePath());
    ASSERT_EQ(file.size(), 54u + kImageBytes);
    const std::string picture = file.substr(54);

    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const ReceivedSample& s = samples[static_cast<size_t>(k)];
        EXPECT_EQ(s.timeStatus, S_OK);
        EXPECT_EQ(s.start, k * kFrame);
        EXPECT_EQ(s.stop, (k + 1) * kFrame);
        EXPECT_TRUE(s.syncPoint);
        EXPECT_EQ(s.actualLength, kImageBytes);
        ASSERT_GE(s.bytes.size(), static_cast<size_t>(kImageBytes));
        EXPECT_TRUE(s.bytes.compare(0, kImageBytes, picture) == 0);
    }
    EXPECT_EQ(input.EndOfStreamCount(), 0);
}

TEST_F(ColorBarStreamTest, ReleasingAStreamingFilterStopsItsWorker) {
    Open(BuiltLibraryPath());
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    input.WaitForSamples(1);
    input.Disconnect();  // drops the downstream side's reference on the filter
    output->Release();
    output = nullptr;
    EXPECT_EQ(filter->Release(), 0u);  // destroyed while paused
    filter = nullptr;
    EXPECT_EQ(library->CanUnloadNow(), S_OK);
}

TEST_F(ColorBarStreamTest, OffersOneRgb24TypeAndAcceptsOnlyItsGeometry) {
    Open(BuiltLibraryPath());
    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(output->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* offered[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(types->Next(2, offered, &fetched), S_FALSE);
    types->Release();
    ASSERT_EQ(fetched, 1u);
    AM_MEDIA_TYPE* type = offered[0];

    EXPECT_EQ(type->majortype, MEDIATYPE_Video);
    EXPECT_EQ(type->subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(type->formattype, FORMAT_VideoInfo);
    EXPECT_TRUE(type->bFixedSizeSamples);
    EXPECT_FALSE(type->bTemporalCompression);
    EXPECT_EQ(type->lSampleSize, static_cast<ULONG>(kImageBytes));
    ASSERT_EQ(type->cbFormat, sizeof(VIDEOINFO));
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
    EXPECT_EQ(info->AvgTimePerFrame, 0);
    EXPECT_EQ(info->bmiHeader.biWidth, 720);
    EXPECT_EQ(info->bmiHeader.biHeight, 480);
    EXPECT_EQ(info->bmiHeader.biBitCount, 24);
    EXPECT_EQ(info->bmiHeader.biSizeImage, static_cast<DWORD>(kImageBytes));
    EXPECT_EQ(output->QueryAccept(type), S_OK);

    // Each variant differs from the offered type in one point.
    info->bmiHeader.biHeight = -480;  // top-down
    EXPECT_EQ(output->QueryAccept(type), S_FALSE);
    info->bmiHeader.biHeight = 480;
    type->bFixedSizeSamples = FALSE;
    EXPECT_EQ(output->QueryAccept(type), S_FALSE);
    type->bFixedSizeSamples = TRUE;
    const ULONG realLength = type->cbFormat;
    type->cbFormat = 40;  // too short to hold the bitmap header: refused, not over-read
    EXPECT_EQ(output->QueryAccept(type), S_FALSE);
    type->cbFormat = realLength;
    BYTE* block = type->pbFormat;
    type->pbFormat = nullptr;
    EXPECT_EQ(output->QueryAccept(type), S_FALSE);
    type->pbFormat = block;
    // The format type itself is not examined, only the geometry at the usual place.
    type->formattype = FORMAT_None;
    EXPECT_EQ(output->QueryAccept(type), S_OK);

    CoTaskMemFree(type->pbFormat);
    CoTaskMemFree(type);
}

TEST_F(ColorBarStreamTest, QualityMessagesChangeThePeriodAndDelayTheNextFrame) {
    Open(BuiltLibraryPath());
    Connect();
    // One buffer means the message always lands between the fill of sample `index` and that of
    // the next one.
    const std::vector<ReceivedSample> s = StreamWithQuality(6, {
        {1, MakeQuality(500, 0)},  // 20 -> 40 ms
        {2, MakeQuality(0, 0)},    // -> 1000 ms
        {3, MakeQuality(1000, 300000)},
        {4, MakeQuality(2000, -5)},  // 1000 -> 500 ms
    });
    ASSERT_GE(s.size(), 6u);

    EXPECT_EQ(s[0].start, 0);
    EXPECT_EQ(s[1].start, kFrame);
    EXPECT_EQ(s[2].start, 2 * kFrame);
    EXPECT_EQ(s[2].stop - s[2].start, 400000);     // 40 ms
    EXPECT_EQ(s[3].stop - s[3].start, 10000000);   // 1000 ms
    EXPECT_EQ(s[4].start, s[3].stop + 300000);     // Late opens one gap
    EXPECT_EQ(s[4].stop - s[4].start, 10000000);
    EXPECT_EQ(s[5].start, s[4].stop);              // a negative Late is ignored
    EXPECT_EQ(s[5].stop - s[5].start, 5000000);

    // A restart forgets the messages: time 0 and 20 ms again.
    const std::vector<ReceivedSample> again = Stream(2);
    EXPECT_EQ(again[0].start, 0);
    EXPECT_EQ(again[0].stop, kFrame);
    EXPECT_EQ(again[1].start, kFrame);
}

TEST_F(ColorBarStreamTest, PeriodIsClampedBetween10And1000Ms) {
    Open(BuiltLibraryPath());
    Connect();
    const std::vector<ReceivedSample> s = StreamWithQuality(5, {
        {0, MakeQuality(1, 0)},       // 20000 -> 1000
        {1, MakeQuality(999, 0)},     // 1001 -> 1000
        {2, MakeQuality(100000, 0)},  // 10
        {3, MakeQuality(1001, 0)},    // 9 -> 10
    });
    ASSERT_GE(s.size(), 5u);
    EXPECT_EQ(s[1].stop - s[1].start, 10000000);
    EXPECT_EQ(s[2].stop - s[2].start, 10000000);
    EXPECT_EQ(s[3].stop - s[3].start, 100000);
    EXPECT_EQ(s[4].stop - s[4].start, 100000);
}

TEST_F(ColorBarStreamTest, MissingImageFileGivesUniform16) {
    LibraryCopy copy;  // tamsel.ax alone, no colorbar.dat beside it
    Open(copy.LibraryPath());
    Connect();
    input.KeepBytesOf(2);
    const std::vector<ReceivedSample> s = Stream(2);
    for (int k = 0; k < 2; ++k) {  // more may have arrived before the stop; only 2 keep bytes
        ASSERT_EQ(s[k].bytes.size(), static_cast<size_t>(kImageBytes));
        EXPECT_EQ(s[k].bytes, std::string(kImageBytes, '\x10'));
    }
}

TEST_F(ColorBarStreamTest, ImageFileThatIsNotARegularFileCountsAsMissing) {
    // A FIFO would block the open until a writer came, hanging the filter's creation.
    LibraryCopy copy;
    ASSERT_EQ(mkfifo(copy.ImagePath().c_str(), 0600), 0);
    Open(copy.LibraryPath());
    Connect();
    input.KeepBytesOf(1);
    const std::vector<ReceivedSample> s = Stream(1);
    EXPECT_TRUE(s[0].bytes == std::string(kImageBytes, '\x10'));
}

TEST_F(ColorBarStreamTest, ShortImageFileGivesItsBytesThenUniform16) {
    LibraryCopy copy;
    std::string file(54, 'h');  // header bytes are skipped unread
    for (int i = 0; i < 5000; ++i) file.push_back(static_cast<char>(i * 7 + 1));
    copy.WriteImageFile(file);
    Open(copy.LibraryPath());
    Connect();
    input.KeepBytesOf(1);
    const std::vector<ReceivedSample> s = Stream(1);
    ASSERT_EQ(s[0].bytes.size(), static_cast<size_t>(kImageBytes));
    EXPECT_EQ(s[0].bytes.substr(0, 5000), file.substr(54));
    EXPECT_EQ(s[0].bytes.substr(5000), std::string(kImageBytes - 5000, '\x10'));
}

// The one buffer comes back frame after frame, holding what the previous frame left in it. A
// downstream filter that wrote into it (here: bytes in repeated rows, at the edges of runs of
// rows, and the very last byte) must still get exactly the picture in the next frame. The
// picture has runs of identical rows and rows that differ from their neighbour only in their
// last byte, so taking a row from the wrong place would show.
TEST_F(ColorBarStreamTest, EverySampleHoldsThePictureWhateverDownstreamWroteIntoTheBuffer) {
    constexpr size_t kRow = 720 * 3;
    std::string picture;
    for (size_t row = 0; row < 480; ++row) {
        std::string line(kRow, static_cast<char>(row / 7));  // runs of seven rows
        if (row % 50 == 49) line.back() = 'x';                 // a row of its own
        picture += line;
    }
    LibraryCopy copy;
    copy.WriteImageFile(std::string(54, 'h') + picture);
    FakeAllocator allocator(kImageBytes, kImageBytes);
    input.OfferAllocator(&allocator);
    Open(copy.LibraryPath());
    Connect();
    input.KeepBytesOf(5);
    input.OnReceive([](int index, IMediaSample* sample) {
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data))) return;
        const size_t rows[] = {0, 3, 6, 7, 48, 49, 50, 200, 479};
        for (size_t row : rows) data[row * kRow + static_cast<size_t>(index) * 97 % kRow] ^= 0x5A;
        data[kImageBytes - 1] = 0;
    });
    const std::vector<ReceivedSample> s = Stream(5);
    input.OnReceive(nullptr);
    for (int k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(s[k].actualLength, kImageBytes);
        EXPECT_TRUE(s[k].bytes == picture);
    }
    output->Disconnect();
    input.Disconnect();
    input.OfferAllocator(nullptr);
}

TEST_F(ColorBarStreamTest, LargeBufferGetsTheImageAtItsStartAndNothingBeyond) {
    FakeAllocator allocator(2 * 1024 * 1024, 2 * 1024 * 1024);
    input.OfferAllocator(&allocator);
    Open(BuiltLibraryPath());
    Connect();
    EXPECT_EQ(input.NotifiedAllocator(), &allocator);
    const ALLOCATOR_PROPERTIES request = allocator.LastRequest();
    EXPECT_EQ(request.cBuffers, 1);
    EXPECT_EQ(request.cbBuffer, kImageBytes);

    const std::vector<ReceivedSample> s = Stream(2);
    EXPECT_EQ(s[0].size, 2 * 1024 * 1024);
    EXPECT_EQ(s[0].actualLength, kImageBytes);
    const std::vector<BYTE> buffer = allocator.Buffer();
    const std::string picture = ReadFileBytes(BuiltImagePath()).substr(54);
    EXPECT_TRUE(std::equal(picture.begin(), picture.end(), buffer.begin(),
                           [](char a, BYTE b) { return static_cast<BYTE>(a) == b; }));
    EXPECT_TRUE(std::all_of(buffer.begin() + kImageBytes, buffer.end(),
                            [](BYTE b) { return b == FakeAllocator::kUntouchedByte; }));
    output->Disconnect();
    input.Disconnect();
    input.OfferAllocator(nullptr);
}

TEST_F(ColorBarStreamTest, SmallBufferGetsTheImagesFirstBytes) {
    // Claims to grant a whole frame but hands out 1000-byte samples.
    FakeAllocator allocator(kImageBytes, 1000);
    input.OfferAllocator(&allocator);
    Open(BuiltLibraryPath());
    Connect();
    input.KeepBytesOf(1);
    const std::vector<ReceivedSample> s = Stream(1);
    EXPECT_EQ(s[0].actualLength, 1000);
    const std::string picture = ReadFileBytes(BuiltImagePath()).substr(54);
    EXPECT_EQ(s[0].bytes, picture.substr(0, 1000));
    output->Disconnect();
    input.Disconnect();
    input.OfferAllocator(nullptr);
}

TEST_F(ColorBarStreamTest, TypeWithoutImageSizeStillGetsWholeFrameBuffers) {
    FakeAllocator allocator(kImageBytes, kImageBytes);
    input.OfferAllocator(&allocator);
    Open(BuiltLibraryPath());
    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(output->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* type = nullptr;
    ASSERT_EQ(types->Next(1, &type, nullptr), S_OK);
    types->Release();
    // Legal for uncompressed bitmaps: 0 means "as big as the geometry says".
    reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader.biSizeImage = 0;
    ASSERT_EQ(output->Connect(&input, type), S_OK);
    CoTaskMemFree(type->pbFormat);
    CoTaskMemFree(type);
    EXPECT_EQ(allocator.LastRequest().cbBuffer, kImageBytes);
    output->Disconnect();
    input.Disconnect();
    input.OfferAllocator(nullptr);
}

// A proposed type may state any image size; buffers are never smaller than a frame (the
// picture's top rows would be lost) and a size no request can carry is not taken literally.
TEST_F(ColorBarStreamTest, ProposedImageSizeShortOfAFrameStillGetsWholeFrameBuffers) {
    Open(BuiltLibraryPath());
    for (const DWORD imageSize : {DWORD{1000}, DWORD{kImageBytes - 1}, DWORD{0xFFFFFFFFu}}) {
        SCOPED_TRACE(imageSize);
        IEnumMediaTypes* types = nullptr;
        ASSERT_EQ(output->EnumMediaTypes(&types), S_OK);
        AM_MEDIA_TYPE* type = nullptr;
        ASSERT_EQ(types->Next(1, &type, nullptr), S_OK);
        types->Release();
        reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader.biSizeImage = imageSize;
        const HRESULT connected = output->Connect(&input, type);
        CoTaskMemFree(type->pbFormat);
        CoTaskMemFree(type);
        ASSERT_EQ(connected, S_OK);
        input.KeepBytesOf(1);
        const std::vector<ReceivedSample> s = Stream(1);
        EXPECT_GE(s[0].size, kImageBytes);
        EXPECT_EQ(s[0].actualLength, kImageBytes);
        const std::string picture = ReadFileBytes(BuiltImagePath()).substr(54);
        EXPECT_TRUE(s[0].bytes.substr(0, kImageBytes) == picture);
        output->Disconnect();
        input.Disconnect();
    }
}

TEST_F(ColorBarStreamTest, DownstreamAllocatorGrantingLessThanAFrameIsNotUsed) {
    FakeAllocator allocator(kImageBytes - 1, kImageBytes - 1);
    input.OfferAllocator(&allocator);
    Open(BuiltLibraryPath());
    Connect();
    ASSERT_NE(input.NotifiedAllocator(), nullptr);
    EXPECT_NE(input.NotifiedAllocator(), &allocator);  // a platform Memory Allocator instead
    const std::vector<ReceivedSample> s = Stream(1);
    EXPECT_GE(s[0].size, kImageBytes);
    output->Disconnect();
    input.Disconnect();
    input.OfferAllocator(nullptr);
}

}  // namespace
