#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "framework/media_type_record.h"
#include "support/com_object.h"
#include "tests/support/com_fake.h"

namespace {

// An object whose references we can count, to stand in for a record's pUnk. On the test's
// stack (see tests/support/com_fake.h).
class CountedUnknown : public platform::ComObject<platform::Implements<IUnknown, IID_IUnknown>>,
                       public testsupport::TestOwned {};

MediaTypeRecord TypeWithBlock(const GUID& subtype, BYTE fill, ULONG size = 16) {
    MediaTypeRecord type;
    type.AssignMajorType(MEDIATYPE_Video);
    type.AssignSubtype(subtype);
    type.AssignFormatType(FORMAT_VideoInfo);
    std::memset(type.PrepareFormatBlock(size), fill, size);
    return type;
}

TEST(MediaTypeRecord, DefaultStateAndEquality) {
    CountedUnknown unknown;  // outlives the records that hold it
    MediaTypeRecord a;
    MediaTypeRecord b;
    EXPECT_EQ(a.bFixedSizeSamples, 1);
    EXPECT_EQ(a.lSampleSize, 1u);
    EXPECT_EQ(a.cbFormat, 0u);
    EXPECT_EQ(a.pbFormat, nullptr);
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a.IsWildcarded());

    // Flags, sample size and pUnk never take part in equality.
    b.AssignSampleSize(1036800);
    b.AssignSampleSize(0);
    EXPECT_EQ(b.bFixedSizeSamples, 0);
    EXPECT_EQ(b.lSampleSize, 1036800u);
    b.AssignTemporalCompression(TRUE);
    b.pUnk = &unknown;
    unknown.AddRef();
    EXPECT_TRUE(a == b);

    // Unowned blocks (cbFormat 0) are not compared.
    BYTE somewhere[4] = {};
    a.pbFormat = somewhere;
    EXPECT_TRUE(a == b);
    a.pbFormat = nullptr;

    MediaTypeRecord c = TypeWithBlock(MEDIASUBTYPE_RGB24, 1);
    MediaTypeRecord d = TypeWithBlock(MEDIASUBTYPE_RGB24, 1);
    EXPECT_TRUE(c == d);
    d.pbFormat[15] = 2;
    EXPECT_FALSE(c == d);
    MediaTypeRecord e = TypeWithBlock(MEDIASUBTYPE_RGB24, 1, 15);
    EXPECT_FALSE(c == e);

    c.AssignSubtype(GUID_NULL);
    EXPECT_FALSE(c.IsWildcarded());  // a null subtype alone does not make a wildcard
}

TEST(MediaTypeRecord, MatchesPatternWildcards) {
    const MediaTypeRecord candidate = TypeWithBlock(MEDIASUBTYPE_RGB24, 7);

    MediaTypeRecord bySubtype = TypeWithBlock(MEDIASUBTYPE_RGB24, 7);
    bySubtype.AssignMajorType(GUID_NULL);
    EXPECT_TRUE(candidate.MatchesPattern(bySubtype));
    bySubtype.pbFormat[0] = 8;  // named format type: the blocks must agree too
    EXPECT_FALSE(candidate.MatchesPattern(bySubtype));

    MediaTypeRecord anyFormat;
    anyFormat.AssignMajorType(MEDIATYPE_Video);
    anyFormat.AssignFormatType(GUID_NULL);
    EXPECT_TRUE(candidate.MatchesPattern(anyFormat));
    anyFormat.AssignMajorType(MEDIATYPE_Audio);
    EXPECT_FALSE(candidate.MatchesPattern(anyFormat));

    // A GUID_NULL in the candidate is an ordinary value.
    MediaTypeRecord noSubtype = TypeWithBlock(GUID_NULL, 7);
    MediaTypeRecord namesSubtype;
    namesSubtype.AssignSubtype(MEDIASUBTYPE_RGB24);
    EXPECT_FALSE(noSubtype.MatchesPattern(namesSubtype));

    MediaTypeRecord otherFormat = TypeWithBlock(MEDIASUBTYPE_RGB24, 7);
    otherFormat.AssignFormatType(FORMAT_DvInfo);
    EXPECT_FALSE(candidate.MatchesPattern(otherFormat));
}

TEST(MediaTypeRecord, PrepareFormatBlockKeepsOrReplaces) {
    MediaTypeRecord type;
    BYTE* first = type.PrepareFormatBlock(64);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(type.cbFormat, 64u);
    EXPECT_EQ(type.PrepareFormatBlock(64), first);  // same size: the same block
    BYTE* second = type.PrepareFormatBlock(1128);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(type.cbFormat, 1128u);
    EXPECT_EQ(type.pbFormat, second);
}

TEST(MediaTypeRecord, CopiesOwnTheirBlockAndReference) {
    CountedUnknown unknown;
    MediaTypeRecord source = TypeWithBlock(MEDIASUBTYPE_RGB24, 3);
    source.pUnk = &unknown;
    unknown.AddRef();
    {
        MediaTypeRecord copy;
        copy = source;
        EXPECT_EQ(testsupport::References(unknown), 3u);
        EXPECT_NE(copy.pbFormat, source.pbFormat);
        EXPECT_TRUE(copy == source);

        // Self-assignment releases and copies nothing.
        BYTE* block = copy.pbFormat;
        const MediaTypeRecord& itself = copy;
        copy = itself;
        EXPECT_EQ(copy.pbFormat, block);
        EXPECT_EQ(testsupport::References(unknown), 3u);

        // Duplicating a bare record onto itself must not lose its block either.
        DuplicateMediaType(copy, copy);
        EXPECT_EQ(copy.pbFormat, block);
        EXPECT_EQ(copy.pbFormat[0], 3);
    }
    EXPECT_EQ(testsupport::References(unknown), 2u);

    // Handing a record over to task memory: the source then releases nothing.
    AM_MEDIA_TYPE* handed = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    std::memcpy(handed, static_cast<AM_MEDIA_TYPE*>(&source), sizeof(AM_MEDIA_TYPE));
    source.cbFormat = 0;
    source.pbFormat = nullptr;
    source.pUnk = nullptr;
    ReleaseMediaTypeContents(source);
    EXPECT_EQ(testsupport::References(unknown), 2u);
    DisposeMediaType(handed);
    EXPECT_EQ(testsupport::References(unknown), 1u);
    DisposeMediaType(nullptr);

    AM_MEDIA_TYPE bare;
    std::memset(&bare, 0xAB, sizeof(bare));
    ResetMediaType(bare);
    EXPECT_EQ(bare.lSampleSize, 1u);
    EXPECT_EQ(bare.pbFormat, nullptr);
    EXPECT_TRUE(static_cast<MediaTypeRecord&>(bare) == MediaTypeRecord());
}

TEST(MediaTypeRecord, VideoBitmapHeaderNeedsAWholeHeader) {
    MediaTypeRecord type = TypeWithBlock(MEDIASUBTYPE_RGB24, 0, sizeof(VIDEOINFOHEADER) - 1);
    EXPECT_EQ(VideoBitmapHeader(type), nullptr);
    type.PrepareFormatBlock(sizeof(VIDEOINFOHEADER));
    EXPECT_EQ(VideoBitmapHeader(type),
              &reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader);
    MediaTypeRecord none;
    EXPECT_EQ(VideoBitmapHeader(none), nullptr);
}

TEST(BitmapHelpers, ImageSizeRoundsRowsToWords) {
    BITMAPINFOHEADER header = {};
    header.biWidth = 720;
    header.biHeight = 480;
    header.biBitCount = 24;
    EXPECT_EQ(BitmapImageSize(header), 1036800u);
    header.biHeight = -480;
    EXPECT_EQ(BitmapImageSize(header), 1036800u);
    header.biWidth = 1;
    header.biHeight = 1;
    header.biBitCount = 1;
    EXPECT_EQ(BitmapImageSize(header), 4u);
    header.biWidth = 3;
    header.biBitCount = 24;
    EXPECT_EQ(BitmapImageSize(header), 12u);
}

TEST(BitmapHelpers, SubtypeFromHeader) {
    VIDEOINFO info = {};
    BITMAPINFOHEADER& header = info.bmiHeader;
    header.biCompression = BI_RGB;
    header.biBitCount = 16;
    EXPECT_EQ(BitmapSubtype(header), MEDIASUBTYPE_RGB555);

    header.biCompression = BI_BITFIELDS;
    info.dwBitMasks[0] = 0xF800;
    info.dwBitMasks[1] = 0x07E0;
    info.dwBitMasks[2] = 0x001F;
    EXPECT_EQ(BitmapSubtype(header), MEDIASUBTYPE_RGB565);
    info.dwBitMasks[0] = 0x7C00;
    info.dwBitMasks[1] = 0x03E0;
    EXPECT_EQ(Rgb16Subtype(header), MEDIASUBTYPE_RGB555);
    info.dwBitMasks[2] = 0x003F;
    EXPECT_EQ(BitmapSubtype(header), GUID_NULL);

    header.biBitCount = 24;
    EXPECT_EQ(BitmapSubtype(header), MEDIASUBTYPE_RGB24);
    header.biBitCount = 32;
    EXPECT_EQ(BitmapSubtype(header), MEDIASUBTYPE_RGB32);
    header.biCompression = BI_RGB;
    header.biBitCount = 8;
    EXPECT_EQ(BitmapSubtype(header), MEDIASUBTYPE_RGB8);
    header.biBitCount = 2;
    EXPECT_EQ(BitmapSubtype(header), GUID_NULL);
    header.biBitCount = 0;
    EXPECT_EQ(BitmapSubtype(header), GUID_NULL);

    header.biCompression = 0x64737664;  // "dvsd"
    header.biBitCount = 24;
    EXPECT_EQ(BitmapSubtype(header), MEDIASUBTYPE_dvsd);
}

TEST(IntegerToWideText, WritesSignedDecimalWithinTheBuffer) {
    WCHAR text[16];
    IntegerToWideText(1, text, 16);
    EXPECT_EQ(std::u16string(text), u"1");
    IntegerToWideText(INT_MIN, text, 16);
    EXPECT_EQ(std::u16string(text), u"-2147483648");

    // A small buffer gets a cut, terminated text and nothing beyond it.
    WCHAR small[6];
    for (WCHAR& c : small) {
        c = u'#';
    }
    IntegerToWideText(123456, small, 4);
    EXPECT_EQ(std::u16string(small), u"123");
    EXPECT_EQ(small[4], u'#');
    EXPECT_EQ(small[5], u'#');
}

}  // namespace
