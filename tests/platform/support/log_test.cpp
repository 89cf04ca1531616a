// The platform's diagnostics switch (PLATFORM_DEBUG) and the lines it writes to stderr.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "test_support.h"

namespace {

using platform::log::Level;

// Whether a category of this name would be written; names that no category has are asked too.
bool Enabled(const char* name, Level level) {
    return platform::log::Enabled(platform::log::Category{name, ""}, level);
}

void SetSwitch(const char* value) {
    if (value == nullptr) unsetenv("PLATFORM_DEBUG");
    else setenv("PLATFORM_DEBUG", value, 1);
    platform::log::Reload();
}

// Sends fd 2 to a file for the life of the object; Text() returns what was written.
class StderrCapture {
public:
    StderrCapture() : path_(testsupport::StateDir() + "/stderr.txt") {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(file, STDERR_FILENO);
        close(file);
    }
    ~StderrCapture() { Restore(); }
    std::string Text() {
        Restore();
        std::ifstream in(path_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

struct LogLine {
    std::string category, level, message;
};

// Reads "YYYY-MM-DD HH:MM:SS.mmm [tid N] category: level: message"; false when it is not one.
bool ParseLine(const std::string& line, LogLine* out) {
    const std::string stamp = "0000-00-00 00:00:00.000 [tid ";
    if (line.size() < stamp.size()) return false;
    for (size_t i = 0; i < stamp.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (stamp[i] == '0' ? !digit : line[i] != stamp[i]) return false;
    }
    size_t pos = stamp.size();
    const size_t tidStart = pos;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') ++pos;
    if (pos == tidStart || line.compare(pos, 2, "] ") != 0) return false;
    pos += 2;
    const size_t categoryEnd = line.find(": ", pos);
    if (categoryEnd == std::string::npos || categoryEnd == pos) return false;
    const size_t levelEnd = line.find(": ", categoryEnd + 2);
    if (levelEnd == std::string::npos) return false;
    out->category = line.substr(pos, categoryEnd - pos);
    out->level = line.substr(categoryEnd + 2, levelEnd - categoryEnd - 2);
    out->message = line.substr(levelEnd + 2);
    return out->level == "error" || out->level == "warning" || out->level == "info" ||
           out->level == "debug";
}

class LogTest : public testing::Test {
protected:
    void TearDown() override { SetSwitch(nullptr); }
};

TEST_F(LogTest, SilentWithoutTheSwitch) {
    SetSwitch(nullptr);
    for (const char* category : {"com", "registry", "streaming", "dv", "tools"})
        EXPECT_FALSE(Enabled(category, Level::Error)) << category;
    StderrCapture capture;
    PLATFORM_LOG("registry", Error, "cannot open %s", "/x");
    EXPECT_EQ(capture.Text(), "");

    SetSwitch("");
    EXPECT_FALSE(Enabled("com", Level::Error));
}

TEST_F(LogTest, CategoriesLevelsAndTheRest) {
    SetSwitch("registry:3,dv:4,*:2");
    EXPECT_TRUE(Enabled("registry", Level::Info));
    EXPECT_FALSE(Enabled("registry", Level::Debug));
    EXPECT_TRUE(Enabled("dv", Level::Debug));
    EXPECT_TRUE(Enabled("com", Level::Warning));
    EXPECT_FALSE(Enabled("com", Level::Info));
    // Names match whole, not as prefixes.
    EXPECT_FALSE(Enabled("dvx", Level::Info));
    EXPECT_FALSE(Enabled("d", Level::Info));
}

TEST_F(LogTest, OddSwitchesKeepTheirGoodItems) {
    // Spaces are trimmed; an item with no number or a bad one is skipped, the rest still count.
    SetSwitch(" dv : 4 ,registry:x,,:3,com:,tools:2junk,streaming");
    EXPECT_TRUE(Enabled("dv", Level::Debug));
    EXPECT_FALSE(Enabled("registry", Level::Error));
    EXPECT_FALSE(Enabled("com", Level::Error));
    EXPECT_FALSE(Enabled("tools", Level::Error));
    EXPECT_TRUE(Enabled("streaming", Level::Debug));  // a bare name means every level
    EXPECT_FALSE(Enabled("deck", Level::Error));      // no "*": the rest stays silent

    // Level 0 silences one category under "*"; out-of-range levels are clamped; a later item
    // for the same category overrides an earlier one.
    SetSwitch("*:4,deck:0,com:9,dv:-3,registry:1,registry:3");
    EXPECT_FALSE(Enabled("deck", Level::Error));
    EXPECT_TRUE(Enabled("com", Level::Debug));
    EXPECT_FALSE(Enabled("dv", Level::Error));
    EXPECT_TRUE(Enabled("registry", Level::Info));
    EXPECT_TRUE(Enabled("ieee1394", Level::Debug));
}

TEST_F(LogTest, SkipsFormattingWhenOff) {
    SetSwitch("com:1");
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    StderrCapture capture;
    PLATFORM_LOG(platform::log::kCom, Debug, "%d", count());
    PLATFORM_LOG(platform::log::kCom, Error, "%d", count());
    EXPECT_EQ(evaluated, 1);
    const auto lines = Lines(capture.Text());
    ASSERT_EQ(lines.size(), 1u);
    LogLine parsed;
    ASSERT_TRUE(ParseLine(lines[0], &parsed)) << lines[0];
    EXPECT_EQ(parsed.category, "com");
    EXPECT_EQ(parsed.level, "error");
    EXPECT_EQ(parsed.message, "1");
}

TEST_F(LogTest, EveryCallIsExactlyOneLine) {
    SetSwitch("tools:4");
    StderrCapture capture;
    const std::string longText(3000, 'a');
    PLATFORM_LOG(platform::log::kTools, Warning, "%s", longText.c_str());
    PLATFORM_LOG(platform::log::kTools, Info, "first\nsecond\r\nthird");
    PLATFORM_LOG(platform::log::kTools, Debug, "%s", "");
    const std::string text = capture.Text();
    const auto lines = Lines(text);
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_LT(lines[0].size(), platform::log::kMaxLine);
    EXPECT_NE(lines[0].find("tools: warning: aaaa"), std::string::npos);
    EXPECT_NE(lines[1].find("tools: info: first\\x0asecond\\x0d\\x0athird"), std::string::npos) << lines[1];
    LogLine empty;
    EXPECT_TRUE(ParseLine(lines[2], &empty)) << lines[2];
    EXPECT_EQ(empty.message, "");
}

// Whether `text` is well-formed UTF-8 with no control character in it.
bool PrintableUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
        if (length == 0 || i + length > text.size()) return false;
        if (lead < 0x20 || lead == 0x7F) return false;
        if (lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) return false;  // C1
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// What a message carries from outside (a path, a peer's text) must not drive the terminal the log
// is read on, nor forge a line of its own.
TEST_F(LogTest, ControlCharactersAndBytesThatAreNotUtf8AreEscaped) {
    SetSwitch("registry:1");
    StderrCapture capture;
    PLATFORM_LOG("registry", Error, "%s", "a\x1b]0;owned\x07" "b\x0b\x0c\t\x7f\x01z");
    PLATFORM_LOG("registry", Error, "%s", "x\n2026-01-01 00:00:00.000 [tid 1] registry: error: forged");
    // C1 controls as characters (CSI, U+009B) and as lone bytes; a surrogate and an overlong form.
    PLATFORM_LOG("registry", Error, "%s", "\xc2\x9b" "2J|\x9b|\xed\xa0\x80|\xc0\xaf|\xe6\x97\xa5\xc2\xa0\xf0\x9f\x98\x80");
    const auto lines = Lines(capture.Text());
    ASSERT_EQ(lines.size(), 3u) << capture.Text();
    std::vector<std::string> messages;
    for (const std::string& line : lines) {
        LogLine parsed;
        ASSERT_TRUE(ParseLine(line, &parsed)) << line;
        EXPECT_TRUE(PrintableUtf8(line)) << line;
        messages.push_back(parsed.message);
    }
    EXPECT_EQ(messages[0], "a\\x1b]0;owned\\x07b\\x0b\\x0c\\x09\\x7f\\x01z");
    EXPECT_EQ(messages[1], "x\\x0a2026-01-01 00:00:00.000 [tid 1] registry: error: forged");
    // Whole characters that are not controls stay as they are (no-break space, CJK, emoji).
    EXPECT_EQ(messages[2], "\\xc2\\x9b2J|\\x9b|\\xed\\xa0\\x80|\\xc0\\xaf|\xe6\x97\xa5\xc2\xa0\xf0\x9f\x98\x80");
}

// The cut of a long line falls between characters and between escapes, never inside one.
TEST_F(LogTest, ALongLineIsCutOnACharacterBoundary) {
    SetSwitch("dv:1");
    const std::string threeByte = "\xe3\x81\x82";  // U+3042
    const std::string fourByte = "\xf0\x9f\x98\x80";
    for (const std::string& unit : {threeByte, fourByte, std::string("\x1b")}) {
        for (const std::string& lead : {std::string(), std::string("a"), std::string("ab")}) {
            SCOPED_TRACE(testing::Message() << unit.size() << "-byte unit after " << lead.size());
            std::string text = lead;
            while (text.size() < 3 * platform::log::kMaxLine) text += unit;
            StderrCapture capture;
            PLATFORM_LOG(platform::log::kDv, Error, "%s", text.c_str());
            const auto lines = Lines(capture.Text());
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_LT(lines[0].size(), platform::log::kMaxLine);
            EXPECT_GT(lines[0].size(), platform::log::kMaxLine - 8) << "cut much shorter than it must be";
            LogLine parsed;
            ASSERT_TRUE(ParseLine(lines[0], &parsed)) << lines[0];
            EXPECT_TRUE(PrintableUtf8(parsed.message));
            const std::string shown = unit == "\x1b" ? "\\x1b" : unit;
            ASSERT_EQ(parsed.message.compare(0, lead.size(), lead), 0);
            const std::string rest = parsed.message.substr(lead.size());
            EXPECT_EQ(rest.size() % shown.size(), 0u) << "a character or escape was cut: " << rest.size();
            for (size_t at = 0; at + shown.size() <= rest.size(); at += shown.size())
                ASSERT_EQ(rest.compare(at, shown.size(), shown), 0) << "at " << at;
        }
    }
}

TEST_F(LogTest, LinesOfThreadsDoNotMix) {
    SetSwitch("*:3");
    constexpr int kThreads = 8;
    constexpr int kPerThread = 200;
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i)
                PLATFORM_LOG(platform::log::kStreaming, Info, "worker %d line %d %s", t, i,
                             "padding to make the lines long enough to be split by a careless writer");
        });
    }
    for (auto& thread : threads) thread.join();
    const auto lines = Lines(capture.Text());
    ASSERT_EQ(lines.size(), size_t(kThreads * kPerThread));
    std::set<std::pair<int, int>> seen;
    const std::string tail = "writer";
    for (const std::string& line : lines) {
        LogLine parsed;
        ASSERT_TRUE(ParseLine(line, &parsed)) << line;
        int worker = -1, index = -1, used = 0;
        ASSERT_EQ(std::sscanf(parsed.message.c_str(), "worker %d line %d padding%n", &worker,
                              &index, &used), 2)
            << line;
        ASSERT_GT(used, 0) << line;
        ASSERT_EQ(parsed.message.compare(parsed.message.size() - tail.size(), tail.size(), tail), 0)
            << line;
        seen.emplace(worker, index);
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kPerThread));
}

}  // namespace
