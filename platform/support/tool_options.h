// The options every program of the project answers the same way: --help (-h) prints the program's
// help text, --version its name and version, both on stdout, and the program then ends.
#pragma once

namespace platform::tools {

struct ProgramInfo {
    const char* name;                      // as on its manual page: "regsvr"
    const char* help;                      // the whole --help text, ending in a newline
    const char* const* valueOptions;       // options that take the next argument, nullptr-ended
};

// The project's version, as packaged.
const char* Version();

// Looks through the arguments (up to "--", skipping the values of valueOptions) for --help, -h or
// --version and answers the first one found. Returns -1 when none was given; otherwise the exit
// status: 0, or 1 when the answer could not be written (stdout closed or full).
int AnswerInfoOptions(int argc, char** argv, const ProgramInfo& info);

}  // namespace platform::tools
