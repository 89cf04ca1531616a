#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

namespace {

const char kJapanese[] = "終了しますか？";
const char16_t kJapaneseWide[] = u"終了しますか？";

TEST(CodePageTest, JapaneseRoundTripsThroughBothCodePages) {
    for (UINT codePage : {static_cast<UINT>(CP_ACP), static_cast<UINT>(CP_UTF8)}) {
        const int wideSize = MultiByteToWideChar(codePage, 0, kJapanese, -1, nullptr, 0);
        EXPECT_EQ(wideSize, 8);  // seven characters and the terminator
        char16_t wide[16];
        ASSERT_EQ(MultiByteToWideChar(codePage, MB_PRECOMPOSED, kJapanese, -1, wide, 16), 8);
        EXPECT_EQ(std::u16string(wide), kJapaneseWide);

        const int narrowSize =
            WideCharToMultiByte(codePage, 0, wide, -1, nullptr, 0, nullptr, nullptr);
        EXPECT_EQ(narrowSize, static_cast<int>(sizeof(kJapanese)));
        char narrow[64];
        ASSERT_EQ(WideCharToMultiByte(codePage, 0, wide, -1, narrow, 64, nullptr, nullptr),
                  narrowSize);
        EXPECT_STREQ(narrow, kJapanese);
    }
    // An explicit length counts no terminator and writes none.
    char16_t wide[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "ab", 2, wide, 4), 2);
    EXPECT_EQ(wide[2], u'x');
}

TEST(CodePageTest, SurrogatePairs) {
    const char clef[] = "\xF0\x9D\x84\x9E";  // U+1D11E
    char16_t wide[3];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, clef, -1, wide, 3), 3);
    EXPECT_EQ(wide[0], 0xD834);
    EXPECT_EQ(wide[1], 0xDD1E);
    char back[5];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, back, 5, nullptr, nullptr), 5);
    EXPECT_STREQ(back, clef);
}

TEST(CodePageTest, InvalidInputIsRefusedOrReplaced) {
    const char* invalid[] = {"a\xFFz", "a\xC0\xAFz", "a\xED\xA0\x80z", "a\xE3\x81z", "a\xF4\x90\x80\x80z"};
    for (const char* text : invalid) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0), 0) << text;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
        char16_t wide[16];
        const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 16);
        ASSERT_GT(length, 3);
        EXPECT_EQ(wide[0], u'a');
        EXPECT_EQ(wide[1], 0xFFFD);
        EXPECT_EQ(wide[length - 2], u'z');
    }
    // A truncated three-byte sequence is one replacement, not two.
    char16_t wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xE3\x81", 2, wide, 8), 1);

    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    char narrow[16];
    BOOL usedDefault = FALSE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, lone, -1, narrow, 16, nullptr, &usedDefault), 5);
    EXPECT_STREQ(narrow, "a?b?");
    EXPECT_TRUE(usedDefault);
}

TEST(CodePageTest, SmallBuffersAreNeverOverrun) {
    char16_t wide[10];
    for (auto& unit : wide) unit = u'#';
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, kJapanese, -1, wide, 7), 0);  // needs 8
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    for (int i = 7; i < 10; ++i) EXPECT_EQ(wide[i], u'#');

    char narrow[32];
    std::memset(narrow, '#', sizeof(narrow));
    SetLastError(0);
    // Each of these characters takes three bytes: 10 bytes hold three, not four.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kJapaneseWide, -1, narrow, 10, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    for (int i = 10; i < 32; ++i) EXPECT_EQ(narrow[i], '#');
}

TEST(CodePageTest, BadParameters) {
    char16_t wide[4];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", -1, nullptr, 4), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 4), 0);
    EXPECT_EQ(MultiByteToWideChar(932, 0, "a", -1, wide, 4), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, nullptr, -1, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(TextTest, LstrFunctionsAreNullSafe) {
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrlenW(kJapaneseWide), 7);
    EXPECT_NE(lstrcmpA("DV Muxer", "dv muxer"), 0);  // case matters
    EXPECT_LT(lstrcmpA(nullptr, "a"), 0);
    EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
    EXPECT_LT(lstrcmpW(u"Out", u"Output"), 0);

    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    lstrcpynA(buffer, "colour bars", 5);
    EXPECT_STREQ(buffer, "colo");
    EXPECT_EQ(buffer[5], '#');
}

TEST(TextTest, WsprintfFormats) {
    char out[1024];
    const int length = wsprintfA(out, "%d|%i|%u|%x|%X|%c|%%", -42, 7, 4000000000u, 0xbeef, 0xbeef, 'Q');
    EXPECT_STREQ(out, "-42|7|4000000000|beef|BEEF|Q|%");
    EXPECT_EQ(length, static_cast<int>(std::strlen(out)));
    wsprintfA(out, "[%5d][%-5d][%05d][%08X]", 42, 42, -42, 0x1A2B);
    EXPECT_STREQ(out, "[   42][42   ][-0042][00001A2B]");
    wsprintfA(out, "CLSID\\%ls", u"{56B794AD-9850-4F6F-A695-4E55386F7328}");
    EXPECT_STREQ(out, "CLSID\\{56B794AD-9850-4F6F-A695-4E55386F7328}");
    wsprintfA(out, "%ls%s", u"終了", "しますか？");
    EXPECT_STREQ(out, kJapanese);
    wsprintfA(out, "%s %ls", static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr));
    EXPECT_STREQ(out, "(null) (null)");
}

TEST(TextTest, WsprintfStopsAt1024Bytes) {
    const std::string longText(3000, 'a');
    char out[1100];
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(wsprintfA(out, "%s%s", longText.c_str(), "tail"), 1023);
    EXPECT_EQ(out[1023], '\0');
    EXPECT_EQ(out[1024], '#');
}

}  // namespace
