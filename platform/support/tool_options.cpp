#include "tool_options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace platform::tools {
namespace {

// A help text that scrolled past a closed pipe must not end in status 0.
int Finish() {
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    return failed ? 1 : 0;
}

}  // namespace

const char* Version() { return TAMSEL_VERSION; }

}  // namespace platform::tools

#include <getopt.h>

#include "log.h"
#include "text.h"

namespace platform::tools {
namespace {

constexpr int kHelp = 'h';
constexpr int kVersion = 0x10000;
constexpr int kFirstLongOnly = 0x10001;  // getopt values of options with no short name

}  // namespace

CommandLine::CommandLine(const char* name, const char* usage, const char* help,
                         std::initializer_list<Option> options, const char* environment)
    : name_(name), usage_(usage), help_(help), environment_(environment), options_(options) {}

std::string CategoryList() {
    std::string text;
    for (const log::Category* category : log::kCategories) {
        std::string line = "  ";
        line += category->name;
        line.resize(std::max<size_t>(line.size() + 1, 14), ' ');
        text += line + category->about + "\n";
    }
    return text;
}

std::string CommandLine::HelpText() const {
    return std::string("usage: ") + name_ + " " + usage_ + "\n" + help_ +
           "Environment:\n"
           "  PLATFORM_STATE_DIR  the platform's state (registry); default\n"
           "                      ~/.local/share/tamsel-platform\n" +
           environment_ +
           "  PLATFORM_DEBUG      diagnostics on stderr, as CATEGORY:LEVEL,... with levels\n"
           "                      1 errors .. 4 debugging, e.g. com:4,registry:3,*:2\n"
           "  PLATFORM_DEBUG_FILE  write the diagnostics to this file instead\n"
           "Categories of PLATFORM_DEBUG (CATEGORY:LEVEL, a glob such as dv*:4, or a bare level\n"
           "for every category; PLATFORM_DEBUG_FILE writes to a file instead of stderr):\n" +
           CategoryList() + "See " + name_ + "(1).\n";
}

int CommandLine::UsageError(const std::string& why) const {
    std::fprintf(stderr, "%s: %s\nusage: %s %s\nTry '%s --help' for more information.\n", name_,
                 why.c_str(), name_, usage_, name_);
    return kUsageStatus;
}

int CommandLine::Parse(int argc, char** argv, const Handler& handle) {
    operands_.clear();
    std::vector<option> longOptions;
    std::string shortOptions = ":";  // ':' reports a missing value apart from an unknown option
    std::vector<int> values;         // getopt's value of options_[i]
    for (size_t i = 0; i < options_.size(); ++i) {
        const Option& wanted = options_[i];
        const int value = wanted.shortName != 0 ? wanted.shortName : kFirstLongOnly + int(i);
        values.push_back(value);
        if (wanted.shortName != 0) {
            shortOptions += wanted.shortName;
            if (wanted.takesValue) shortOptions += ':';
        }
        if (wanted.longName != nullptr)
            longOptions.push_back({wanted.longName, wanted.takesValue ? required_argument : no_argument,
                                   nullptr, value});
    }
    shortOptions += "h";
    longOptions.push_back({"help", no_argument, nullptr, kHelp});
    longOptions.push_back({"version", no_argument, nullptr, kVersion});
    longOptions.push_back({nullptr, 0, nullptr, 0});

    // The name an option was given by, for messages.
    const auto spelled = [&](int value) -> std::string {
        for (size_t i = 0; i < options_.size(); ++i) {
            if (values[i] == value)
                return options_[i].longName != nullptr ? std::string("--") + options_[i].longName
                                                       : std::string("-") + options_[i].shortName;
        }
        if (value == kHelp) return "--help";
        if (value == kVersion) return "--version";
        return std::string("-") + char(value);
    };

    opterr = 0;
    optind = 0;  // glibc: start afresh (a test parses more than once)
    for (;;) {
        const int found = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
        if (found == -1) break;
        if (found == kHelp) {
            std::fputs(HelpText().c_str(), stdout);
            return Finish();
        }
        if (found == kVersion) {
            std::printf("%s %s\n", name_, Version());
            return Finish();
        }
        if (found == ':') return UsageError("option " + spelled(optopt) + " needs a value");
        if (found == '?') {
            const std::string given = argv[optind - 1];
            if (optopt != 0 && given.rfind("--", 0) == 0)
                return UsageError("option " + spelled(optopt) + " takes no value");
            if (optopt != 0) return UsageError("unknown option " + QuotedName(std::string("-") + char(optopt)));
            return UsageError("unknown or ambiguous option " + QuotedName(given.substr(0, given.find('='))));
        }
        for (size_t i = 0; i < options_.size(); ++i) {
            if (values[i] != found) continue;
            const std::string refused = handle(options_[i].id, options_[i].takesValue ? optarg : nullptr);
            if (!refused.empty()) return UsageError(refused);
        }
    }
    for (int i = optind; i < argc; ++i) operands_.emplace_back(argv[i]);
    return -1;
}

}  // namespace platform::tools
