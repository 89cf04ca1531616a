// What the benchmarks and fault runs that start other programs share: a monotonic clock, reading
// a whole file, and starting a program with its output going to a file.
#pragma once

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline double WallSeconds() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The whole file; "" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Starts a program with its standard output and error going to `out`. Only called while this
// process has no threads of its own, or right before exec (nothing but exec runs in the child).
inline pid_t Spawn(std::vector<std::string> args, const std::string& out) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}
