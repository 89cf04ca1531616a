// MediaType and the task-memory copies: who owns the format block and the pUnk reference, and the
// text forms of GUIDs and wide strings.
#include <gtest/gtest.h>

#include <dshow.h>

#include <cstring>

#include "support/com_object.h"
#include "support/com_ptr.h"
#include "support/media_type.h"
#include "support/text.h"

namespace {

using platform::ComPtr;
using platform::MediaType;

class Unknown final : public platform::ComObject<platform::Implements<IQualityControl, IID_IQualityControl>> {
public:
    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter*, Quality) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSink(IQualityControl*) override { return S_OK; }
    ULONG Count() {
        AddRef();
        return Release();
    }
};

MediaType WithFormat(IUnknown* unk) {
    MediaType type;
    type->majortype = MEDIATYPE_Video;
    BYTE* format = type.AllocFormat(8);
    EXPECT_NE(format, nullptr);
    std::memcpy(format, "DVformat", 8);
    type->pUnk = unk;
    if (unk != nullptr) unk->AddRef();
    return type;
}

TEST(MediaTypeTest, CopiesOwnTheirFormatAndPunk) {
    auto unk = ComPtr<Unknown>::Adopt(new Unknown());
    {
        MediaType original = WithFormat(unk.Get());
        EXPECT_EQ(unk->Count(), 2u);
        MediaType copy(original);
        EXPECT_EQ(unk->Count(), 3u);
        ASSERT_NE(copy->pbFormat, original->pbFormat);  // a block of its own
        EXPECT_EQ(std::memcmp(copy->pbFormat, "DVformat", 8), 0);
        original.Clear();
        EXPECT_EQ(original->pbFormat, nullptr);
        EXPECT_EQ(original->majortype, GUID_NULL);
        EXPECT_EQ(unk->Count(), 2u);

        MediaType moved(std::move(copy));
        EXPECT_EQ(copy->pbFormat, nullptr);
        EXPECT_EQ(copy->pUnk, nullptr);
        EXPECT_EQ(unk->Count(), 2u);  // moving counts nothing
        const auto& itself = moved;
        moved = itself;  // assigning to itself keeps the block
        ASSERT_NE(moved->pbFormat, nullptr);
        EXPECT_EQ(moved.Set(moved.get()), S_OK);
        EXPECT_EQ(std::memcmp(moved->pbFormat, "DVformat", 8), 0);

        AM_MEDIA_TYPE* task = platform::CreateTaskMediaType(*moved.get());
        ASSERT_NE(task, nullptr);
        EXPECT_EQ(unk->Count(), 3u);
        EXPECT_NE(task->pbFormat, moved->pbFormat);
        platform::FreeTaskMediaType(task);
        platform::FreeTaskMediaType(nullptr);
        EXPECT_EQ(unk->Count(), 2u);
    }
    EXPECT_EQ(unk->Count(), 1u);
}

TEST(MediaTypeTest, PartialMatchIgnoresNullGuids) {
    MediaType candidate;
    candidate->majortype = MEDIATYPE_Video;
    candidate->subtype = MEDIASUBTYPE_dvsd;
    AM_MEDIA_TYPE pattern{};
    EXPECT_TRUE(platform::MatchesPartialType(*candidate.get(), pattern));
    pattern.subtype = MEDIASUBTYPE_dvsd;
    EXPECT_TRUE(platform::MatchesPartialType(*candidate.get(), pattern));
    pattern.majortype = MEDIATYPE_Interleaved;
    EXPECT_FALSE(platform::MatchesPartialType(*candidate.get(), pattern));
}

TEST(SupportTextTest, GuidTextRoundTripsAndRefusesMalformedText) {
    const std::string text = platform::GuidText(MEDIASUBTYPE_dvsd);
    EXPECT_EQ(text.size(), 38u);
    EXPECT_EQ(text.front(), '{');
    GUID parsed = GUID_NULL;
    ASSERT_TRUE(platform::ParseGuid(text, &parsed));
    EXPECT_EQ(parsed, MEDIASUBTYPE_dvsd);
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    parsed = GUID_NULL;
    EXPECT_TRUE(platform::ParseGuid(lower, &parsed));
    EXPECT_EQ(parsed, MEDIASUBTYPE_dvsd);

    parsed = MEDIATYPE_Video;
    for (const char* bad : {"", "{}", "{0000000G-0000-0000-0000-000000000000}",
                            "{00000000-0000-0000-0000-000000000000}x", "00000000-0000-0000-0000-000000000000"})
        EXPECT_FALSE(platform::ParseGuid(bad, &parsed)) << bad;
    EXPECT_EQ(parsed, MEDIATYPE_Video);  // untouched
}

TEST(SupportTextTest, Utf8AndUtf16RoundTripOutsideTheBasicPlane) {
    const std::string utf8 = "DV機器 \xF0\x9F\x8E\xA5";  // a CJK name and a character beyond U+FFFF
    const std::u16string wide = platform::Utf16FromUtf8(utf8);
    EXPECT_EQ(wide, u"DV機器 \U0001F3A5");
    EXPECT_EQ(platform::Utf8FromUtf16(wide), utf8);
    EXPECT_EQ(platform::Utf8FromWide(wide.c_str()), utf8);
    EXPECT_EQ(platform::Utf8FromWide(nullptr), "");
    BSTR bstr = platform::NewBstrFromUtf8(utf8);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(std::u16string(bstr), wide);
    SysFreeString(bstr);
    BSTR empty = platform::NewBstrFromUtf8("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], u'\0');
    SysFreeString(empty);
}

}  // namespace
