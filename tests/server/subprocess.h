// Starting the build directory's programs from the tests. Children inherit the environment, and
// with it this test program's platform state directory.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

struct ProcessResult {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string output;  // standard output and standard error together
};

// Runs program with args to completion.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// Starts program with args; its standard output goes to the returned pipe.
pid_t StartProgram(const std::string& program, const std::vector<std::string>& args,
                   int* outputPipe);

// Waits for a started program; its exit code, or -1.
int WaitProgram(pid_t pid);
