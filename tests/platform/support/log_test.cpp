// The platform's diagnostics switch (PLATFORM_DEBUG) and the lines it writes to stderr.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fd_capture.h"
#include "support/log.h"
#include "tests/support/test_support.h"

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

// Whether a category is written at a level.
struct Switched {
    const char* name;
    Level level;
    bool on;
};

// Sets the switch and checks what it turns on and off.
void ExpectSwitch(const char* value, std::initializer_list<Switched> expected) {
    SetSwitch(value);
    for (const Switched& e : expected) {
        EXPECT_EQ(Enabled(e.name, e.level), e.on)
            << value << ": " << e.name << " at level " << static_cast<int>(e.level);
    }
}

// What the log writes to stderr while alive.
struct StderrCapture : testsupport::Capture {
    StderrCapture() : Capture(STDERR_FILENO) {}
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
    void TearDown() override {
        unsetenv("PLATFORM_DEBUG_FILE");
        SetSwitch(nullptr);
    }
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
    ExpectSwitch("registry:3,dv:4,*:2", {{"registry", Level::Info, true},
                                         {"registry", Level::Debug, false},
                                         {"dv", Level::Debug, true},
                                         {"com", Level::Warning, true},
                                         {"com", Level::Info, false},
                                         // Names match whole, not as prefixes.
                                         {"dvx", Level::Info, false},
                                         {"d", Level::Info, false}});
}

TEST_F(LogTest, OddSwitchesKeepTheirGoodItems) {
    // Spaces are trimmed; an item with no number or a bad one is skipped, the rest still count.
    ExpectSwitch(" dv : 4 ,registry:x,,:3,com:,tools:2junk,streaming",
                 {{"dv", Level::Debug, true},
                  {"registry", Level::Error, false},
                  {"com", Level::Error, false},
                  {"tools", Level::Error, false},
                  {"streaming", Level::Debug, true},  // a bare name means every level
                  {"deck", Level::Error, false}});    // no "*": the rest stays silent

    // Level 0 silences one category under "*"; out-of-range levels are clamped; a later item
    // for the same category overrides an earlier one.
    ExpectSwitch("*:4,deck:0,com:9,dv:-3,registry:1,registry:3",
                 {{"deck", Level::Error, false},
                  {"com", Level::Debug, true},
                  {"dv", Level::Error, false},
                  {"registry", Level::Info, true},
                  {"ieee1394", Level::Debug, true}});
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

// As GStreamer users write it: a bare level for every category, globs for families of them.
TEST_F(LogTest, ABareLevelAndGlobPatterns) {
    SetSwitch("3");
    for (const platform::log::Category* category : platform::log::kCategories) {
        EXPECT_TRUE(platform::log::Enabled(*category, Level::Info)) << category->name;
        EXPECT_FALSE(platform::log::Enabled(*category, Level::Debug)) << category->name;
    }
    SetSwitch("com:1,2");  // a bare level is "*" and does not override a named category
    EXPECT_FALSE(Enabled("com", Level::Warning));
    EXPECT_TRUE(Enabled("deck", Level::Warning));

    SetSwitch("*:1,d*:3,dv:4,i?ee1394:2,[rs]*:3");
    EXPECT_TRUE(Enabled("dv", Level::Debug));      // the exact name wins over the pattern
    EXPECT_TRUE(Enabled("deck", Level::Info));
    EXPECT_FALSE(Enabled("deck", Level::Debug));
    EXPECT_TRUE(Enabled("ieee1394", Level::Warning));
    EXPECT_FALSE(Enabled("ieee1394", Level::Info));
    EXPECT_TRUE(Enabled("registry", Level::Info));
    EXPECT_TRUE(Enabled("streaming", Level::Info));
    EXPECT_FALSE(Enabled("com", Level::Warning));  // only "*"
    EXPECT_TRUE(Enabled("com", Level::Error));

    // The later of two matching patterns wins, wherever "*" stands.
    SetSwitch("d*:4,de*:1,*:3");
    EXPECT_FALSE(Enabled("deck", Level::Warning));
    EXPECT_TRUE(Enabled("dv", Level::Debug));
    EXPECT_TRUE(Enabled("tools", Level::Info));
}

// Reads the file at path whole ("" when there is none).
std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

TEST_F(LogTest, NamesThatAreNoCategoryAreWarnedAboutOnceAndTheRestStillCounts) {
    platform::log::ReportSwitchProblems();
    StderrCapture capture;
    SetSwitch("dv:4,bogus:3,x*:2,com:z,tools");
    EXPECT_TRUE(Enabled("dv", Level::Debug));
    EXPECT_TRUE(Enabled("tools", Level::Debug));
    EXPECT_FALSE(Enabled("com", Level::Error));
    PLATFORM_LOG(platform::log::kDv, Info, "still written");
    const auto lines = Lines(capture.Text());
    ASSERT_EQ(lines.size(), 2u) << capture.Text();
    const std::string& warning = lines[0];
    EXPECT_EQ(warning.rfind("platform: warning: PLATFORM_DEBUG: ", 0), 0u) << warning;
    for (const char* part : {"\"bogus\"", "\"x*\"", "\"com:z\"", "categories: com, registry, "})
        EXPECT_NE(warning.find(part), std::string::npos) << part << " in " << warning;
    EXPECT_EQ(warning.find("tools\""), std::string::npos) << warning;
    EXPECT_NE(lines[1].find("dv: info: still written"), std::string::npos) << lines[1];

    // A name from the environment cannot drive the terminal through the warning either.
    StderrCapture again;
    SetSwitch("\x1b[2Jx:1");
    const std::string text = again.Text();
    EXPECT_NE(text.find("\\x1b[2Jx"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);

    StderrCapture good;
    SetSwitch("dv*:4,*:1");
    EXPECT_EQ(good.Text(), "") << "a pattern that matches a category is no unknown name";
}

TEST_F(LogTest, PlatformDebugFileTakesTheLinesAndIsCreatedPrivate) {
    const std::string dir = testsupport::StateDir() + "/logfile";
    mkdir(dir.c_str(), 0700);
    const std::string path = dir + "/platform.log";
    unlink(path.c_str());
    setenv("PLATFORM_DEBUG_FILE", path.c_str(), 1);
    StderrCapture capture;
    SetSwitch("dv:2");
    PLATFORM_LOG(platform::log::kDv, Error, "to the file %d", 1);
    PLATFORM_LOG(platform::log::kDv, Info, "not at this level");
    EXPECT_EQ(capture.Text(), "");
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    auto lines = Lines(ReadFile(path));
    ASSERT_EQ(lines.size(), 1u);
    LogLine parsed;
    ASSERT_TRUE(ParseLine(lines[0], &parsed)) << lines[0];
    EXPECT_EQ(parsed.message, "to the file 1");

    // Every module of a process, and every process, appends: nothing written before is lost.
    SetSwitch("dv:1");
    PLATFORM_LOG(platform::log::kDv, Error, "second");
    lines = Lines(ReadFile(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("dv: error: second"), std::string::npos);
}

// A symbolic link planted at the path (in a shared folder, say) would send the log, written with
// the user's rights, into whatever file it names; a FIFO would block the first line forever.
TEST_F(LogTest, PlatformDebugFileRefusesALinkOrAFifoSaysSoOnceAndFallsBackToStderr) {
    platform::log::ReportSwitchProblems();
    const std::string dir = testsupport::StateDir() + "/logrefused";
    mkdir(dir.c_str(), 0700);
    const std::string victim = dir + "/victim";
    std::ofstream(victim) << "precious\n";
    const std::string link = dir + "/link.log";
    const std::string fifo = dir + "/fifo.log";
    unlink(link.c_str());
    unlink(fifo.c_str());
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const std::string& path;
        const char* why;
    };
    for (const Case& c : {Case{link, "symbolic link"}, Case{fifo, "not a regular file"}}) {
        SCOPED_TRACE(c.path);
        setenv("PLATFORM_DEBUG_FILE", c.path.c_str(), 1);
        StderrCapture capture;
        SetSwitch("tools:1");
        PLATFORM_LOG(platform::log::kTools, Error, "first");
        PLATFORM_LOG(platform::log::kTools, Error, "second");
        const auto lines = Lines(capture.Text());
        ASSERT_EQ(lines.size(), 3u) << capture.Text();
        EXPECT_EQ(lines[0].rfind("platform: warning: PLATFORM_DEBUG_FILE " + c.path, 0), 0u)
            << lines[0];
        EXPECT_NE(lines[0].find(c.why), std::string::npos) << lines[0];
        EXPECT_NE(lines[1].find("tools: error: first"), std::string::npos) << lines[1];
        EXPECT_NE(lines[2].find("tools: error: second"), std::string::npos) << lines[2];
    }
    EXPECT_EQ(ReadFile(victim), "precious\n");
}

}  // namespace
