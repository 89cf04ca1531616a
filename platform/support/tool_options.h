// The command line of the platform's programs, parsed one way for all of them (getopt_long):
// "--opt=value" and "--opt value", "-o value", short options bundled ("-uv"), "--" ending the
// options; --help (-h) prints the program's help text, --version its name and version, both on
// stdout, and the program then ends. A usage error (an unknown option, a missing value, a value
// given to an option that takes none, what the program itself refuses) is told on stderr with
// the usage line, and the program ends with status 2.
//
// Threads: main thread only (getopt_long keeps its state in globals).
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace platform::tools {

// The project's version, as packaged.
const char* Version();

// The exit status of a usage error.
constexpr int kUsageStatus = 2;

// One option a program takes.
struct Option {
    const char* longName;  // without "--", or nullptr
    char shortName;        // or 0
    bool takesValue;
    int id;                // handed to the program's handler
};

class CommandLine {
public:
    // name: as on the manual page. usage: what follows "usage: " on the usage line. help: the rest
    // of the --help text (after the usage line), up to the environment. Added to it: the
    // "Environment:" section (PLATFORM_STATE_DIR, then the program's own `environment` lines,
    // then PLATFORM_DEBUG and PLATFORM_DEBUG_FILE), the list of PLATFORM_DEBUG categories and
    // "See NAME(1).".
    CommandLine(const char* name, const char* usage, const char* help,
                std::initializer_list<Option> options, const char* environment = "");

    // Called for each option in the order given, with its value (nullptr for an option that
    // takes none). Returns "" to go on, or why the option is refused (a usage error).
    using Handler = std::function<std::string(int id, const char* value)>;

    // Parses argv[1..]; operands (arguments that are no option, and all after "--") are kept in
    // order for Operands(). Returns -1 to go on; otherwise the exit status, the program then
    // ends: 0 after --help or --version (1 when stdout could not take it), 2 after a usage error.
    int Parse(int argc, char** argv, const Handler& handle);

    const std::vector<std::string>& Operands() const { return operands_; }

    // Tells a usage error the program found itself (a missing operand, say) the same way as
    // Parse does. Returns kUsageStatus.
    int UsageError(const std::string& why) const;

    // The whole --help text.
    std::string HelpText() const;

private:
    const char* name_;
    const char* usage_;
    const char* help_;
    const char* environment_;
    std::vector<Option> options_;
    std::vector<std::string> operands_;
};

// The PLATFORM_DEBUG categories, one indented line each with what it reports, for --help.
std::string CategoryList();

}  // namespace platform::tools
