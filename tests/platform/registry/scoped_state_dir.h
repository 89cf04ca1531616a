// Folders and the platform's directory variables for the life of an object: a fresh temporary
// folder removed with all in it, a variable pointed at a folder and then put back, and the two
// together for the user's state directory.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <platform/platform.h>

#include "tests/support/test_support.h"

// A fresh folder PREFIX-XXXXXX in the temporary root (0700, or `mode` when given), or `fallback`
// when none can be made; removed with all in it at the end.
class ScopedTempDir {
public:
    ScopedTempDir(const char* prefix, const std::string& fallback, mode_t mode = 0) {
        dir = testsupport::MakeTempDir(prefix);
        if (dir.empty()) dir = fallback;
        if (mode != 0) chmod(dir.c_str(), mode);
    }
    ~ScopedTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& Path() const { return dir; }

private:
    std::string dir;
};

// Points a directory variable (PLATFORM_STATE_DIR_ENV, PLATFORM_MACHINE_DIR_ENV) at `dir` for the
// life of the object, then puts back what it was (unset when it was unset).
class ScopedDirVariable {
public:
    ScopedDirVariable(const char* variable, const std::string& dir) : variable(variable), dir(dir) {
        const char* current = std::getenv(variable);
        hadPrevious = current != nullptr;
        previous = hadPrevious ? current : "";
        setenv(variable, dir.c_str(), 1);
    }
    ~ScopedDirVariable() {
        if (hadPrevious)
            setenv(variable, previous.c_str(), 1);
        else
            unsetenv(variable);
    }
    ScopedDirVariable(const ScopedDirVariable&) = delete;
    ScopedDirVariable& operator=(const ScopedDirVariable&) = delete;

    const std::string& Path() const { return dir; }
    // The registry database a store in the folder keeps.
    std::string Database() const { return dir + "/registry.db"; }
    // Points the variable at another folder, which need not exist, until the object ends.
    void Use(const std::string& path) const { setenv(variable, path.c_str(), 1); }

private:
    const char* const variable;
    const std::string dir;
    std::string previous;
    bool hadPrevious = false;
};

// Points the platform at a fresh state directory for the life of the object, then back.
class ScopedStateDir {
public:
    const std::string& Path() const { return folder.Path(); }

private:
    // Declared first, removed last: the variable is put back before the folder goes.
    ScopedTempDir folder{"tamsel-reg", testsupport::TempRoot()};
    ScopedDirVariable variable{PLATFORM_STATE_DIR_ENV, folder.Path()};
};
