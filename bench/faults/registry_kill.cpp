// registry_kill: registration processes killed with SIGKILL at random points, many times over; after
// every kill the registry must still open and read, and a registration must still work.
//
//   registry_kill [--runs N] [--regsvr] [--seed S] [--keep]
//
// Each run starts a child that registers and unregisters tamsel.ax (from the build directory this
// was built in) and kills it after a random delay:
//   default    the child is this program in its loop mode: DllRegisterServer/DllUnregisterServer
//              called back to back, for ever, in one process (a kill lands in any registry call);
//   --regsvr   the child is one `regsvr tamsel.ax` or `regsvr -u tamsel.ax` process; the delay is
//              drawn over its usual run time, so a kill lands in loading, the platform's own
//              set-up, the registration or the exit. Runs where regsvr finished first do not count.
// Every tenth run starts from an empty state directory, so that kills also land while the store is
// created (schema, journal mode, the platform's own filters being seeded).
//
// After each kill, from this process:
//   - PRAGMA integrity_check on registry.db says "ok";
//   - the whole tree from HKEY_CLASSES_ROOT opens (RegOpenKeyExA) and enumerates (RegEnumKeyExA,
//     RegEnumValueA, RegQueryValueExA) without an error;
//   - graphinfo, started afresh, lists the platform's own filters ("DV Video Encoder", "DV Muxer");
//   - whatever the kill left of the class key, DllRegisterServer then writes it whole and right,
//     graphinfo lists "Velora Color Bar" too, and DllUnregisterServer removes the class key.
// Prints one line per failed run and a summary: "runs R, kills K, failures F". Exit 0 when F is 0.
#include <objbase.h>
#include <signal.h>
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/server_registration.h"

namespace {

const char kClassKey[] = "CLSID\\{56B794AD-9850-4F6F-A695-4E55386F7328}";
const char kServerKey[] = "CLSID\\{56B794AD-9850-4F6F-A695-4E55386F7328}\\InprocServer32";
constexpr int kChildTimeoutMs = 60000;  // the bound on a child that should end (or say it runs)

std::string BuildFile(const char* name) { return std::string(TAMSEL_BUILD_DIR) + "/" + name; }

int64_t NowUs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Child mode: register and unregister for ever. "running" tells the parent the loop has begun.
int Loop(const char* library) {
    const testsupport::ServerRegistration server = testsupport::FindRegistration(LoadLibraryA(library));
    if (!server.Found()) return 2;
    std::printf("running\n");
    std::fflush(stdout);
    for (;;) {
        server.doRegister();
        server.doUnregister();
    }
}

// Starts a child with its standard output going to a pipe (*readyPipe), or without one to /dev/null.
pid_t Start(const std::vector<std::string>& args, int* readyPipe) {
    testsupport::ProcessOptions options;
    options.out = readyPipe != nullptr ? testsupport::Sink::ToPipe() : testsupport::Sink::ToFile("/dev/null");
    const testsupport::Process child = testsupport::StartProcess(args, options);
    if (readyPipe != nullptr) *readyPipe = child.output;
    return child.pid;
}

std::string IntegrityCheck(const std::string& dbPath) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::string text = db ? sqlite3_errmsg(db) : "cannot open";
        sqlite3_close(db);
        return "open: " + text;
    }
    sqlite3_busy_timeout(db, 10000);
    std::string result;
    sqlite3_exec(
        db, "PRAGMA integrity_check",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) += values[0] ? values[0] : "(null)";
            return 0;
        },
        &result, nullptr);
    sqlite3_close(db);
    return result;
}

// Opens and reads every key and value under `key`; "" or what failed.
std::string WalkTree(HKEY key, const std::string& path, int depth, int* keys) {
    ++*keys;
    if (depth > 32) return path + ": too deep";
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD nameChars = sizeof name;
        BYTE data[4096];
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        const LONG rc = RegEnumValueA(key, i, name, &nameChars, nullptr, &type, data, &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return path + ": RegEnumValueA " + std::to_string(i) + " = " + std::to_string(rc);
        dataSize = sizeof data;
        const LONG q = RegQueryValueExA(key, name, nullptr, &type, data, &dataSize);
        if (q != ERROR_SUCCESS) return path + ": RegQueryValueExA '" + name + "' = " + std::to_string(q);
    }
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD nameChars = sizeof name;
        const LONG rc = RegEnumKeyExA(key, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return path + ": RegEnumKeyExA " + std::to_string(i) + " = " + std::to_string(rc);
        HKEY child = nullptr;
        const LONG o = RegOpenKeyExA(key, name, 0, KEY_READ, &child);
        if (o != ERROR_SUCCESS) return path + "\\" + name + ": RegOpenKeyExA = " + std::to_string(o);
        const std::string failed = WalkTree(child, path + "\\" + name, depth + 1, keys);
        RegCloseKey(child);
        if (!failed.empty()) return failed;
    }
    return "";
}

// The default (or named) value of a key as text, or "<missing: code>".
std::string ValueText(const char* keyPath, const char* name) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return "<missing: " + std::to_string(rc) + ">";
    char text[1024] = {};
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return "<missing: " + std::to_string(rc) + ">";
    return text;
}

// What a kill left of the class key: 0 nothing, 1 the key, 2 its name too, 3 the server key,
// 4 all values. Tallied so the summary shows that kills land inside a registration.
int LeftBehind() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegCloseKey(key);
    if (ValueText(kClassKey, nullptr) != "Velora Color Bar") return 1;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 2;
    RegCloseKey(key);
    return ValueText(kServerKey, "ThreadingModel") == "Both" ? 4 : 3;
}

// graphinfo, a fresh process, lists the registered filters: "" when every name in `expected` is
// among them, else what is missing. A fresh process also finishes the platform's own set-up if a
// kill cut it short, so a missing platform filter here is one that never comes back.
std::string MissingFilters(std::initializer_list<const char*> expected) {
    const testsupport::RunResult listed = testsupport::RunCaptured({BuildFile("graphinfo")}, {}, kChildTimeoutMs);
    const std::string& text = listed.output;
    if (listed.status != 0) return "graphinfo failed (" + std::to_string(listed.status) + "): " + text;
    std::string missing;
    for (const char* name : expected) {
        std::string line = "\n  ";
        line += name;
        line += '\n';
        if (text.find(line) == std::string::npos) {
            missing += ' ';
            missing += name;
        }
    }
    return missing.empty() ? "" : "graphinfo does not list" + missing;
}

// After a kill: the store reads, and a full register/unregister cycle works. "" or what failed.
std::string CheckStore(const std::string& stateDir, const testsupport::ServerRegistration& server, const std::string& library) {
    const std::string integrity = IntegrityCheck(stateDir + "/registry.db");
    if (integrity != "ok") return "integrity_check: " + integrity;
    int keys = 0;
    std::string failed = WalkTree(HKEY_CLASSES_ROOT, "HKCR", 0, &keys);
    if (!failed.empty()) return failed;
    failed = MissingFilters({"DV Video Encoder", "DV Muxer"});
    if (!failed.empty()) return failed;
    HRESULT hr = server.doRegister();
    if (hr != S_OK) return "DllRegisterServer = " + std::to_string(unsigned(hr));
    failed = MissingFilters({"Velora Color Bar", "DV Video Encoder", "DV Muxer"});
    if (!failed.empty()) return "after registering: " + failed;
    if (ValueText(kClassKey, nullptr) != "Velora Color Bar") return "class name: " + ValueText(kClassKey, nullptr);
    if (ValueText(kServerKey, nullptr) != library) return "server path: " + ValueText(kServerKey, nullptr);
    if (ValueText(kServerKey, "ThreadingModel") != "Both") return "threading model: " + ValueText(kServerKey, "ThreadingModel");
    failed = WalkTree(HKEY_CLASSES_ROOT, "HKCR", 0, &keys);
    if (!failed.empty()) return "after registering: " + failed;
    hr = server.doUnregister();
    if (hr != S_OK) return "DllUnregisterServer = " + std::to_string(unsigned(hr));
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return "class key still there after DllUnregisterServer";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--loop") == 0) return Loop(argv[2]);
    int runs = 100;
    bool useRegsvr = false;
    bool keep = false;
    unsigned seed = unsigned(NowUs());
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) seed = unsigned(std::atoll(argv[++i]));
        else if (std::strcmp(argv[i], "--regsvr") == 0) useRegsvr = true;
        else if (std::strcmp(argv[i], "--keep") == 0) keep = true;
        else {
            std::fprintf(stderr, "usage: registry_kill [--runs N] [--regsvr] [--seed S] [--keep]\n");
            return 2;
        }
    }
    const std::string library = BuildFile("tamsel.ax");
    const std::string regsvr = BuildFile("regsvr");
    if (access(library.c_str(), R_OK) != 0 || access(regsvr.c_str(), X_OK) != 0 ||
        access(BuildFile("graphinfo").c_str(), X_OK) != 0) {
        std::fprintf(stderr, "registry_kill: build tamsel.ax, regsvr and graphinfo in %s first\n", TAMSEL_BUILD_DIR);
        return 2;
    }
    char pattern[] = "/tmp/registry-kill-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    const std::string top = pattern;
    std::mt19937 rng(seed);
    std::printf("registry_kill: %d runs, %s, seed %u, state under %s\n", runs,
                useRegsvr ? "regsvr processes" : "register/unregister loop", seed, top.c_str());

    CoInitialize(nullptr);
    HMODULE module = LoadLibraryA(library.c_str());
    const testsupport::ServerRegistration server = testsupport::FindRegistration(module);
    if (!server.Found()) {
        std::fprintf(stderr, "registry_kill: cannot load %s\n", library.c_str());
        return 2;
    }

    // regsvr's usual run time, so that its kills spread over the whole of it.
    int64_t regsvrUs = 0;
    std::string stateDir;
    int kills = 0, failures = 0, finishedFirst = 0, attempts = 0;
    int freshFor = -1;  // the run that last started from an empty state directory
    int leftBehind[5] = {};  // what the kills left of the class key, by LeftBehind()
    for (int run = 0; run < runs; ++attempts) {
        if (attempts > runs * 20) {
            std::printf("gave up: only %d of %d runs killed a process\n", run, runs);
            ++failures;
            break;
        }
        if (run % 10 == 0 && freshFor != run) {
            freshFor = run;
            stateDir = top + "/state-" + std::to_string(run);
            setenv("PLATFORM_STATE_DIR", stateDir.c_str(), 1);
        }
        bool killed = false;
        if (useRegsvr) {
            const bool unregister = rng() % 2 == 1;
            std::vector<std::string> args = {regsvr};
            if (unregister) args.push_back("-u");
            args.push_back(library);
            if (regsvrUs == 0) {  // the shortest of five timed runs first
                for (int i = 0; i < 5; ++i) {
                    const int64_t t0 = NowUs();
                    testsupport::WaitProcess(Start(args, nullptr), kChildTimeoutMs);
                    const int64_t took = NowUs() - t0;
                    if (regsvrUs == 0 || took < regsvrUs) regsvrUs = took;
                }
                std::printf("regsvr takes about %.1f ms\n", regsvrUs / 1000.0);
                continue;
            }
            const int64_t delay = int64_t(rng() % uint64_t(regsvrUs * 12 / 10 + 1));
            const pid_t pid = Start(args, nullptr);
            usleep(useconds_t(delay));
            kill(pid, SIGKILL);
            const int status = testsupport::WaitProcess(pid, kChildTimeoutMs);
            killed = status == 128 + SIGKILL;
            if (!killed) {
                ++finishedFirst;
                if (status != 0) {
                    std::printf("run %d: regsvr%s exited with %d before the kill\n", run,
                                unregister ? " -u" : "", status);
                    ++failures;
                }
                continue;
            }
        } else {
            int ready = -1;
            const pid_t pid = Start({"/proc/self/exe", "--loop", library}, &ready);
            if (testsupport::ReadSome(ready, kChildTimeoutMs).empty()) {
                std::printf("run %d: the loop did not start\n", run);
                ++failures;
            }
            // Register+unregister takes some milliseconds; up to 60 ms reaches many cycles in.
            usleep(useconds_t(rng() % 60000));
            kill(pid, SIGKILL);
            const int status = testsupport::WaitProcess(pid, kChildTimeoutMs);
            close(ready);
            killed = status > 128;
        }
        kills += killed ? 1 : 0;
        ++leftBehind[LeftBehind()];
        const std::string failed = CheckStore(stateDir, server, library);
        if (!failed.empty()) {
            std::printf("run %d (state %s): %s\n", run, stateDir.c_str(), failed.c_str());
            ++failures;
        }
        ++run;
    }
    FreeLibrary(module);
    CoUninitialize();
    if (!keep) std::filesystem::remove_all(top);
    std::printf("left behind by the kills: no class key %d, bare key %d, named key %d, "
                "server key without threading model %d, whole entry %d\n",
                leftBehind[0], leftBehind[1], leftBehind[2], leftBehind[3], leftBehind[4]);
    std::printf("runs %d, kills %d, failures %d%s\n", runs, kills, failures,
                useRegsvr ? (", regsvr finished before the kill " + std::to_string(finishedFirst) + " times").c_str() : "");
    return failures == 0 ? 0 : 1;
}
