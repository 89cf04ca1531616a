// UTF-8 <-> UTF-16 for system code: Japanese and characters beyond the Basic Multilingual Plane
// both ways, and invalid input refused rather than turned into something else.
#include <gtest/gtest.h>

#include <string>

#include "graph/utf_text.h"

namespace {

TEST(UtfText, JapaneseAndCharactersBeyondTheBmpGoBothWays) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"DV機器が見つかりませんでした。", u"DV機器が見つかりませんでした。"},
        // U+1D11E and U+1F3A5: each one surrogate pair, four bytes of UTF-8.
        {"\xF0\x9D\x84\x9E clef, \xF0\x9F\x8E\xA5 camera", u"\U0001D11E clef, \U0001F3A5 camera"},
        {"", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        std::u16string wide = u"stale";
        ASSERT_TRUE(CUtfText::ToUtf16(c.utf8, &wide));
        EXPECT_EQ(wide, c.utf16);
        std::string narrow = "stale";
        ASSERT_TRUE(CUtfText::ToUtf8(c.utf16, &narrow));
        EXPECT_EQ(narrow, c.utf8);
        ASSERT_TRUE(CUtfText::ToUtf8(c.utf16.c_str(), &narrow));
        EXPECT_EQ(narrow, c.utf8);
    }
    EXPECT_EQ(std::u16string(u"\U0001D11E").size(), 2u);
}

TEST(UtfText, InvalidInputIsRefusedAndLeavesNothing) {
    // A stray continuation byte, an overlong slash, an encoded surrogate, a cut-short character,
    // a code point beyond U+10FFFF, a byte no UTF-8 has.
    for (const std::string& bad : {std::string("a\x80z"), std::string("a\xC0\xAFz"), std::string("a\xED\xA0\x80z"),
                                   std::string("a\xE3\x81"), std::string("a\xF4\x90\x80\x80z"),
                                   std::string("a\xFFz")}) {
        std::u16string wide = u"stale";
        EXPECT_FALSE(CUtfText::ToUtf16(bad, &wide)) << testing::PrintToString(bad);
        EXPECT_TRUE(wide.empty());
    }
    // Unpaired surrogates: a lone high one at the end, a lone low one, a high one before a letter.
    for (const std::u16string& bad : {std::u16string(u"a") + char16_t(0xD834), std::u16string(1, char16_t(0xDD1E)),
                                      std::u16string(1, char16_t(0xD834)) + u"z"}) {
        std::string narrow = "stale";
        EXPECT_FALSE(CUtfText::ToUtf8(bad, &narrow));
        EXPECT_TRUE(narrow.empty());
        EXPECT_EQ(CUtfText::Utf8OrEmpty(bad.c_str()), "");
    }
    std::string narrow = "stale";
    EXPECT_TRUE(CUtfText::ToUtf8(static_cast<const WCHAR*>(nullptr), &narrow));
    EXPECT_EQ(narrow, "");
}

}  // namespace
