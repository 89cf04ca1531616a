// Points the platform at a fresh state directory for the life of the object, then back.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <platform/platform.h>

#include "tests/support/test_support.h"

class ScopedStateDir {
public:
    ScopedStateDir() {
        dir = testsupport::MakeTempDir("tamsel-reg");
        if (dir.empty()) dir = testsupport::TempRoot();
        const char* current = std::getenv(PLATFORM_STATE_DIR_ENV);
        previous = current != nullptr ? current : "";
        setenv(PLATFORM_STATE_DIR_ENV, dir.c_str(), 1);
    }
    ~ScopedStateDir() {
        setenv(PLATFORM_STATE_DIR_ENV, previous.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    ScopedStateDir(const ScopedStateDir&) = delete;
    ScopedStateDir& operator=(const ScopedStateDir&) = delete;

    const std::string& Path() const { return dir; }

private:
    std::string dir;
    std::string previous;
};
