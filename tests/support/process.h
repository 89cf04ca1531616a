// Starting other programs from the tests and the benchmarks: the build's tools, the program, ffmpeg
// and the shell. Every wait is bounded: a child that outlives its time is killed and reaped, so a
// hung child fails its test instead of hanging it.
//
// Children inherit this process's environment (and with it a test program's platform state
// directory) with the given additions, and its signal dispositions. The pipes and files opened for
// a child are close-on-exec here, so children started at the same time from other threads do not
// hold each other's pipes open. Safe to call from any thread: the child runs only
// async-signal-safe calls between fork and exec.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct rusage;

namespace testsupport {

// The bound for a child that should end by itself: generous, under the tests' own time limit.
inline constexpr int kProcessTimeoutMs = 240000;

// Where one of a child's output streams goes.
struct Sink {
    enum class Kind { Inherit, Pipe, File, Output };
    Kind kind = Kind::Inherit;
    std::string path;     // with Kind::File: created, and truncated unless `append`
    bool append = false;

    static Sink Inherit() { return {}; }                        // this process's stream
    static Sink ToPipe() { return {Kind::Pipe, {}}; }           // Process::output, read by the caller
    static Sink ToFile(std::string path) { return {Kind::File, std::move(path)}; }
    static Sink AppendTo(std::string path) { return {Kind::File, std::move(path), true}; }
    static Sink ToOutput() { return {Kind::Output, {}}; }       // standard error only: with standard output
};

struct ProcessOptions {
    Sink out;                       // standard output; this process's by default
    Sink err;                       // standard error; this process's by default
    std::vector<std::string> env;   // "NAME=value", set over the inherited environment
    long fileSizeLimit = 0;         // > 0: the child's files cannot grow past it (as on a full disk)
    // Another user to run as (no supplementary groups), for root's tests across users; the child
    // exits with 126 when it may not become that user.
    uid_t uid = uid_t(-1);
    gid_t gid = gid_t(-1);
};

// A started child; pid -1 when it could not be started. `output` is the read end of the pipe its
// streams go to (Sink::ToPipe), -1 without one; the caller closes it.
struct Process {
    pid_t pid = -1;
    int output = -1;
};

// Starts argv[0] (a path, or a name looked up in PATH) with argv.
Process StartProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Standard output and error both to `path` (created or truncated); this process's when "".
ProcessOptions OutputTo(const std::string& path);

// Waits at most timeoutMs for the child to end: its exit status, 128 + the signal that ended it,
// or -1 when it had not ended in time (it is then killed with SIGKILL and reaped) or cannot be
// waited for. The resources it used in *usage when given (as wait4 tells them).
int WaitProcess(pid_t pid, int timeoutMs = kProcessTimeoutMs, rusage* usage = nullptr);

// Whether the child has ended, without waiting; its status (as WaitProcess's) in *status then.
bool ProcessEnded(pid_t pid, int* status);

// SIGTERM, then WaitProcess.
int StopProcess(pid_t pid, int timeoutMs = kProcessTimeoutMs);

// Kills the child with SIGKILL and reaps it.
void KillProcess(pid_t pid);

// What a pipe brings until it is closed or timeoutMs have passed.
std::string ReadToEnd(int fd, int timeoutMs = kProcessTimeoutMs);

// The first bytes a pipe brings within timeoutMs; "" when it was closed or nothing came in time.
std::string ReadSome(int fd, int timeoutMs = kProcessTimeoutMs);

// StartProcess, then WaitProcess: the status as WaitProcess's; -1 also when it could not start.
int RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {},
               int timeoutMs = kProcessTimeoutMs);

struct RunResult {
    int status = -1;     // as WaitProcess's
    std::string output;  // standard output and standard error together
};

// Runs argv to its end within timeoutMs, standard output and error captured together.
RunResult RunCaptured(const std::vector<std::string>& argv, const ProcessOptions& options = {},
                      int timeoutMs = kProcessTimeoutMs);

// Runs a shell command, stderr joined to stdout; its exit status as WaitProcess's, and its output
// in *output when given.
int Shell(const std::string& command, std::string* output = nullptr, int timeoutMs = kProcessTimeoutMs);

// `s` as one single-quoted shell word.
std::string Quote(const std::string& s);

// A monotonic clock, for deadlines and timings.
double MonotonicSeconds();

}  // namespace testsupport
