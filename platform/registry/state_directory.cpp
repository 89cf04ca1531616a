// platform::StateDirectory: where the registry database lives.
#include <platform/platform.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>

namespace platform {
namespace {

std::string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The explicit variable, then the data home, then the home directory (from the environment or
// the password database), then the user's runtime directory. Never a directory shared between
// users such as /tmp: another user could plant a store there whose server paths run their code.
// "" when none of them is known.
std::string ResolveStateDirectory() {
    const std::string explicitDir = FromEnvironment(PLATFORM_STATE_DIR_ENV);
    if (!explicitDir.empty()) return explicitDir;
    const std::string dataHome = FromEnvironment("XDG_DATA_HOME");
    if (!dataHome.empty()) return dataHome + "/tamsel-platform";
    std::string home = FromEnvironment("HOME");
    if (home.empty()) {
        const passwd* entry = getpwuid(geteuid());
        if (entry != nullptr && entry->pw_dir != nullptr) home = entry->pw_dir;
    }
    if (!home.empty() && home != "/") return home + "/.local/share/tamsel-platform";
    const std::string runtime = FromEnvironment("XDG_RUNTIME_DIR");
    if (!runtime.empty()) return runtime + "/tamsel-platform";
    return "";
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
    if (!dir.empty()) {
        // Made again if someone removed it meanwhile: the parents as usual, the directory itself
        // private. The registry checks owner and mode before it trusts anything inside.
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ignored);
        mkdir(dir.c_str(), 0700);
    }
    return known->insert(dir).first->c_str();
}

PLATFORM_API std::string MachineDirectory() {
    std::string dir = FromEnvironment(PLATFORM_MACHINE_DIR_ENV);
    if (dir.empty()) dir = PLATFORM_MACHINE_DIR_DEFAULT;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

}  // namespace platform
