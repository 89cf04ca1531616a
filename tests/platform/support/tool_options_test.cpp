// The tools' one command-line parser: both forms of a value, what is a usage error (status 2 on
// stderr), and --help / --version on stdout.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fd_capture.h"
#include "support/log.h"
#include "tests/support/test_support.h"
#include "support/tool_options.h"

namespace {

using platform::tools::CommandLine;

using testsupport::Capture;

struct Parsed {
    int status = 0;
    std::vector<std::string> seen;  // "id=value" in the order handed over
    std::vector<std::string> operands;
    std::string out, err;
};

enum { kName = 'n', kVerbose = 'v', kCount = 1, kFlag = 2 };

Parsed Parse(std::vector<std::string> args) {
    CommandLine line("tool", "[-v] [--name NAME] [--count N] [--flag] FILE...",
                     "Does things.\n\n",
                     {{"name", 'n', true, kName},
                      {"verbose", 'v', false, kVerbose},
                      {"count", 0, true, kCount},
                      {"flag", 0, false, kFlag}});
    args.insert(args.begin(), "tool");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    Parsed parsed;
    Capture out(STDOUT_FILENO), err(STDERR_FILENO);
    parsed.status = line.Parse(int(args.size()), argv.data(), [&](int id, const char* value) {
        if (id == kCount && std::string(value) == "0") return std::string("--count must be 1 or more");
        parsed.seen.push_back(std::to_string(id) + "=" + (value == nullptr ? "-" : value));
        return std::string();
    });
    parsed.operands = line.Operands();
    parsed.out = out.Text();
    parsed.err = err.Text();
    return parsed;
}

TEST(CommandLine, ValuesInEitherFormShortOptionsAndOperands) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--name=deck", "--count", "3", "a", "-v", "b"},
             {"--name", "deck", "--count=3", "a", "b", "-v"},
             {"-ndeck", "a", "--count", "3", "-v", "b"},
             {"-n", "deck", "--cou=3", "-v", "a", "b"}}) {  // an unambiguous prefix will do
        SCOPED_TRACE(testing::PrintToString(args));
        const Parsed parsed = Parse(args);
        EXPECT_EQ(parsed.status, -1) << parsed.err;
        EXPECT_EQ(parsed.operands, (std::vector<std::string>{"a", "b"}));
        std::vector<std::string> sorted = parsed.seen;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, (std::vector<std::string>{"110=deck", "118=-", "1=3"}));
        EXPECT_EQ(parsed.out + parsed.err, "");
    }
    // "--" ends the options: what follows is an operand even when it looks like one, --help too.
    const Parsed rest = Parse({"--flag", "--", "-v", "--help", "--name=x"});
    EXPECT_EQ(rest.status, -1);
    EXPECT_EQ(rest.seen, (std::vector<std::string>{"2=-"}));
    EXPECT_EQ(rest.operands, (std::vector<std::string>{"-v", "--help", "--name=x"}));
    // A value that looks like an option is still the value.
    const Parsed value = Parse({"--name", "--help"});
    EXPECT_EQ(value.status, -1);
    EXPECT_EQ(value.seen, (std::vector<std::string>{"110=--help"}));
}

TEST(CommandLine, UsageErrorsAreStatusTwoOnStderrWithTheUsageLine) {
    struct Case {
        std::vector<std::string> args;
        const char* why;
    };
    for (const Case& c : {Case{{"--bogus"}, "unknown or ambiguous option '--bogus'"},
                          Case{{"--bogus=1", "a"}, "unknown or ambiguous option '--bogus'"},
                          Case{{"--bo\033gus"}, "unknown or ambiguous option '--bo'$'\\033''gus'"},
                          Case{{"-x"}, "unknown option '-x'"},
                          Case{{"-\n"}, "unknown option '-'$'\\n'"},
                          Case{{"--flag=yes"}, "option --flag takes no value"},
                          Case{{"--name"}, "option --name needs a value"},
                          Case{{"a", "-n"}, "option --name needs a value"},
                          Case{{"--count", "0"}, "--count must be 1 or more"}}) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Parsed parsed = Parse(c.args);
        EXPECT_EQ(parsed.status, 2);
        EXPECT_EQ(parsed.out, "");
        EXPECT_EQ(parsed.err, std::string("tool: ") + c.why +
                                  "\nusage: tool [-v] [--name NAME] [--count N] [--flag] FILE...\n"
                                  "Try 'tool --help' for more information.\n");
    }
}

TEST(CommandLine, HelpAndVersionOnStdoutEndTheProgram) {
    for (const char* ask : {"--help", "-h"}) {
        const Parsed help = Parse({"-v", ask, "--bogus"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.out.rfind("usage: tool [-v] [--name NAME]", 0), 0u) << help.out;
        for (const platform::log::Category* category : platform::log::kCategories)
            EXPECT_NE(help.out.find(std::string("\n  ") + category->name + " "), std::string::npos)
                << category->name << " not listed in\n" << help.out;
        EXPECT_NE(help.out.find("PLATFORM_DEBUG_FILE"), std::string::npos);
        // The environment section is the line's own, written once after the tool's help.
        const size_t environment = help.out.find("Does things.\n\nEnvironment:\n  PLATFORM_STATE_DIR");
        EXPECT_NE(environment, std::string::npos) << help.out;
        EXPECT_EQ(help.out.find("Environment:", environment + 20), std::string::npos) << help.out;
        EXPECT_EQ(help.out.substr(help.out.size() - 13), "See tool(1).\n");
    }
    const Parsed version = Parse({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("tool ") + platform::tools::Version() + "\n");
    // An error met before --help is the answer.
    EXPECT_EQ(Parse({"--bogus", "--help"}).status, 2);
}

}  // namespace
