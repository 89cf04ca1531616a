// Shared helpers for the test programs.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

// The folder for temporary files: TMPDIR when it names a folder, else /tmp, as every program
// that honours TMPDIR does.
inline std::string TempRoot() {
    const char* tmp = getenv("TMPDIR");
    struct stat info {};
    if (tmp != nullptr && *tmp != '\0' && stat(tmp, &info) == 0 && S_ISDIR(info.st_mode)) return tmp;
    return "/tmp";
}

// A fresh private folder (0700) named PREFIX-XXXXXX in TempRoot(), or "" when none can be made.
// The caller removes it.
inline std::string MakeTempDir(const std::string& prefix) {
    std::string pattern = TempRoot() + "/" + prefix + "-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// A fresh private folder (MakeTempDir), removed with its files when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix) : path_(MakeTempDir(prefix)) {}
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The build directory holding libplatform.so, dvfilters.so, tamsel.ax and the tools.
inline std::string BuildDir() { return TAMSEL_BUILD_DIR; }

// The whole file; "" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A file the build made (a tool, a library) by its name in BuildDir().
inline std::string BuildFile(const std::string& name) { return BuildDir() + "/" + name; }

inline bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// This test program's private platform state directory (fresh for each program run).
std::string StateDir();

}  // namespace testsupport
