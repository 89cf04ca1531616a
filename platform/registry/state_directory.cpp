// platform::StateDirectory: where the registry database lives.
#include <platform/platform.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>

namespace platform {
namespace {

std::string ResolveStateDirectory() {
    const char* explicitDir = std::getenv(PLATFORM_STATE_DIR_ENV);
    if (explicitDir != nullptr && *explicitDir != '\0') return explicitDir;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && *dataHome != '\0') return std::string(dataHome) + "/tamsel-platform";
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        const passwd* entry = getpwuid(getuid());
        home = entry != nullptr ? entry->pw_dir : "/tmp";
    }
    return std::string(home) + "/.local/share/tamsel-platform";
}

}  // namespace

// The environment is read on every call, so a process (a test) that points the variable elsewhere
// moves to the new store. The texts handed out stay valid for the life of the process: every
// distinct directory is kept in `known`.
const char* StateDirectory() {
    static std::mutex mutex;
    static std::set<std::string>* known = new std::set<std::string>();  // guarded by mutex
    std::string dir = ResolveStateDirectory();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::lock_guard<std::mutex> lock(mutex);
    // Made again if someone removed it meanwhile; a failure surfaces as ERROR_CANTOPEN when the
    // database is opened.
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    return known->insert(dir).first->c_str();
}

}  // namespace platform
