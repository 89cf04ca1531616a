#include "tool_options.h"

#include <cstdio>
#include <cstring>

namespace platform::tools {
namespace {

bool TakesValue(const char* arg, const char* const* valueOptions) {
    for (const char* const* option = valueOptions; option != nullptr && *option != nullptr;
         ++option) {
        if (std::strcmp(arg, *option) == 0) return true;
    }
    return false;
}

// A help text that scrolled past a closed pipe must not end in status 0.
int Finish() {
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    return failed ? 1 : 0;
}

}  // namespace

const char* Version() { return TAMSEL_VERSION; }

int AnswerInfoOptions(int argc, char** argv, const ProgramInfo& info) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) break;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(info.help, stdout);
            return Finish();
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("%s %s\n", info.name, Version());
            return Finish();
        }
        if (TakesValue(arg, info.valueOptions)) ++i;
    }
    return -1;
}

}  // namespace platform::tools
