// Starting the platform's tools and the program from the tests.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

extern char** environ;

namespace apptest {

inline std::string Tool(const std::string& name) { return testsupport::BuildDir() + "/" + name; }

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Starts a program with the test's environment; its output goes to `output` when given.
inline pid_t Start(const std::vector<std::string>& args, const std::string& output = "") {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for the program to end: its exit status, or 128 + the signal that ended it.
inline int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

inline int Run(const std::vector<std::string>& args, const std::string& output = "") {
    const pid_t pid = Start(args, output);
    return pid < 0 ? -1 : Wait(pid);
}

inline int Stop(pid_t pid) {
    kill(pid, SIGTERM);
    return Wait(pid);
}

}  // namespace apptest
