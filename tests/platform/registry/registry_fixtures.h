// What several registry test files share: the helper process, raw access to the store's
// database, and a small file system of its own for full and read-only disks.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <platform/platform.h>

#include "tests/support/process.h"
#include "tests/support/scoped_user.h"
#include "tests/support/test_support.h"

namespace registrytest {

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

struct ToolResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a command line of the build directory's tools (with this process's environment); its exit
// status (128 + the signal that ended it), standard output and standard error.
inline ToolResult Shell(const std::string& command) {
    const std::string out = testsupport::StateDir() + "/registry-tool.out";
    const std::string err = testsupport::StateDir() + "/registry-tool.err";
    testsupport::ProcessOptions options;
    options.out = testsupport::Sink::ToFile(out);
    options.err = testsupport::Sink::ToFile(err);
    const int status = testsupport::RunProcess({"/bin/sh", "-c", command}, options);
    return {status, ReadFile(out), ReadFile(err)};
}

inline std::string Tool(const char* name) { return testsupport::BuildDir() + "/" + name; }

// Who a helper runs as: this process's user, or another one (with its own state directory).
struct RunAs {
    uid_t uid = static_cast<uid_t>(-1);  // -1: this process's user
    gid_t gid = static_cast<gid_t>(-1);
    std::string stateDir;                // PLATFORM_STATE_DIR for it, when not empty
};

// Runs the helper program with the given arguments (its standard output to a pipe when asked);
// returns its pid.
inline pid_t StartHelper(const std::vector<std::string>& args, int* stdoutPipe = nullptr,
                         const RunAs& as = RunAs()) {
    std::vector<std::string> argv = {testsupport::BuildDir() + "/registry_test_helper"};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::ProcessOptions options;
    if (stdoutPipe != nullptr) options.out = testsupport::Sink::ToPipe();
    if (!as.stateDir.empty()) options.env = {std::string(PLATFORM_STATE_DIR_ENV) + "=" + as.stateDir};
    options.uid = as.uid;
    options.gid = as.gid;
    const testsupport::Process helper = testsupport::StartProcess(argv, options);
    if (stdoutPipe != nullptr) *stdoutPipe = helper.output;
    return helper.pid;
}

// The helper's exit code once it ended (within the launcher's bound); -1 when a signal ended it.
inline int WaitExitCode(pid_t pid) {
    const int status = testsupport::WaitProcess(pid);
    return status > 128 ? -1 : status;
}

// A helper that says "ready" and then holds something until it is killed.
class HeldHelper {
public:
    explicit HeldHelper(const char* mode) : HeldHelper(std::vector<std::string>{mode}) {}
    explicit HeldHelper(const std::vector<std::string>& args, const RunAs& as = RunAs()) {
        pid = StartHelper(args, &out, as);
        ok = pid > 0 && testsupport::ReadSome(out).compare(0, 5, "ready") == 0;
    }
    // Whether it still runs (holds what it holds).
    bool Running() const {
        int status = 0;
        return pid > 0 && !testsupport::ProcessEnded(pid, &status);
    }
    ~HeldHelper() {
        testsupport::KillProcess(pid);
        if (out >= 0) close(out);
    }
    HeldHelper(const HeldHelper&) = delete;
    HeldHelper& operator=(const HeldHelper&) = delete;
    bool Ready() const { return ok; }

private:
    pid_t pid = -1;
    int out = -1;
    bool ok = false;
};

// A user made for one test and removed again however the test ends (testsupport::ScopedUser);
// the other user of cross-user cases. Throws when the user cannot be made (the test then fails).
class ScopedUser {
public:
    ScopedUser() : user("tamsel-t") {
        if (!user.Error().empty()) throw std::runtime_error(user.Error());
        as.uid = user.Uid();
        as.gid = user.Gid();
    }

    uid_t Uid() const { return as.uid; }
    gid_t Gid() const { return as.gid; }
    // To run a helper as this user with the state directory `dir` (made theirs here).
    RunAs With(const std::string& dir) const {
        RunAs with = as;
        with.stateDir = dir;
        mkdir(dir.c_str(), 0700);
        if (chown(dir.c_str(), as.uid, as.gid) != 0) with.stateDir.clear();
        return with;
    }
    const std::string& Name() const { return user.Name(); }

private:
    testsupport::ScopedUser user;
    RunAs as;
};

// Runs SQL on a database file directly (to damage a store the way an outside program would).
inline int ExecSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc;
}

// Makes this process close its connection to the store in `dir` (which checkpoints it) by
// using another store for a moment; the variable points at `dir` again afterwards.
inline void CloseStore(const std::string& dir) {
    setenv(PLATFORM_STATE_DIR_ENV, testsupport::StateDir().c_str(), 1);
    platform::CheckRegistry();
    setenv(PLATFORM_STATE_DIR_ENV, dir.c_str(), 1);
}

// A small tmpfs mounted on `dir` (which must exist) for the life of the object; Mounted() is
// false where this process may not mount (not root), and the test then skips.
class ScopedTmpfs {
public:
    ScopedTmpfs(const std::string& dir, const char* size) : dir(dir) {
        const std::string options = std::string("mode=700,size=") + size;
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~ScopedTmpfs() {
        if (mounted) umount2(dir.c_str(), MNT_DETACH);
    }
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
    bool Mounted() const { return mounted; }
    bool MakeReadOnly() {
        return mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::string dir;
    bool mounted = false;
};

}  // namespace registrytest
