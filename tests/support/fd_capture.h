// Sends a file descriptor (stdout, stderr) to a file for the life of the object, so a test can
// read what a function wrote there.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "test_support.h"

namespace testsupport {

// Text() restores the descriptor and returns what was written.
class Capture {
public:
    explicit Capture(int which)
        : which_(which), path_(testsupport::StateDir() + "/capture-" + std::to_string(which)) {
        std::fflush(nullptr);
        saved_ = dup(which);
        const int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(file, which);
        close(file);
    }
    ~Capture() { Restore(); }
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
        std::fflush(nullptr);
        dup2(saved_, which_);
        close(saved_);
        saved_ = -1;
    }
    int which_;
    std::string path_;
    int saved_ = -1;
};

}  // namespace testsupport
