#include "process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace testsupport {
namespace {

int64_t NowMs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int RemainingMs(int64_t end) { return int(std::clamp<int64_t>(end - NowMs(), 0, INT_MAX)); }

int Decode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// The program to exec: argv[0] itself when it names a path, else the first executable of that
// name on PATH (found here, not in the child, where only async-signal-safe calls may run).
std::string Resolve(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        const size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string::npos) return name;
        start = colon + 1;
    }
}

// This process's environment with `additions` set over it.
std::vector<std::string> Environment(const std::vector<std::string>& additions) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(additions.begin(), additions.end(), [&](const std::string& added) {
            return added.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced) env.push_back(text);
    }
    env.insert(env.end(), additions.begin(), additions.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Waits at most timeoutMs: true once the child is reaped (*status as WaitProcess's, -1 when it
// cannot be waited for), false when it is still running at the end.
bool Reap(pid_t pid, int timeoutMs, int* status, rusage* usage = nullptr) {
    *status = -1;
    if (pid <= 0) return true;
    const int64_t end = NowMs() + timeoutMs;
    // A pidfd becomes readable when the child ends; without one (old kernels), a short sleep.
    const int pidfd = timeoutMs > 0 ? int(syscall(SYS_pidfd_open, pid, 0)) : -1;
    bool reaped = false;
    for (;;) {
        int raw = 0;
        const pid_t r = wait4(pid, &raw, WNOHANG, usage);
        if (r == pid) {
            *status = Decode(raw);
            reaped = true;
            break;
        }
        if (r < 0 && errno != EINTR) {
            reaped = true;
            break;
        }
        const int remaining = RemainingMs(end);
        if (remaining == 0) break;
        if (pidfd >= 0) {
            pollfd p {pidfd, POLLIN, 0};
            poll(&p, 1, remaining);
        } else {
            usleep(useconds_t(std::min(remaining, 2) * 1000));
        }
    }
    if (pidfd >= 0) close(pidfd);
    return reaped;
}

}  // namespace

Process StartProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    Process started;
    if (argv.empty()) return started;
    std::vector<std::string> args = argv;
    std::vector<std::string> env = Environment(options.env);
    const std::string program = Resolve(argv[0]);
    std::vector<char*> argp = Pointers(args), envp = Pointers(env);

    // Everything the child needs is opened here, close-on-exec; the child only moves it into place.
    const bool piped = options.out.kind == Sink::Kind::Pipe || options.err.kind == Sink::Kind::Pipe;
    int fds[2] = {-1, -1};
    if (piped && pipe2(fds, O_CLOEXEC) != 0) return started;
    auto openSink = [&](const Sink& sink) {
        if (sink.kind == Sink::Kind::Pipe) return fds[1];
        if (sink.kind != Sink::Kind::File) return -1;
        return open(sink.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (sink.append ? O_APPEND : O_TRUNC), 0644);
    };
    const int out = openSink(options.out);
    const int err = openSink(options.err);
    auto closeAll = [&] {
        for (int fd : {out, err}) {
            if (fd >= 0 && fd != fds[1]) close(fd);
        }
        if (fds[1] >= 0) close(fds[1]);
    };
    if ((options.out.kind == Sink::Kind::File && out < 0) || (options.err.kind == Sink::Kind::File && err < 0)) {
        closeAll();
        if (fds[0] >= 0) close(fds[0]);
        return started;
    }
    const rlimit limit {rlim_t(options.fileSizeLimit), rlim_t(options.fileSizeLimit)};

    std::fflush(stdout);  // what this process printed so far comes before the child's output
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (out >= 0) dup2(out, 1);
        if (err >= 0) dup2(err, 2);
        if (options.err.kind == Sink::Kind::Output) dup2(1, 2);
        if (options.fileSizeLimit > 0) setrlimit(RLIMIT_FSIZE, &limit);
        if (options.uid != uid_t(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(options.gid) != 0 || setuid(options.uid) != 0)) {
            _exit(126);
        }
        execve(program.c_str(), argp.data(), envp.data());
        _exit(127);
    }
    closeAll();
    if (pid < 0) {
        if (fds[0] >= 0) close(fds[0]);
        return started;
    }
    started.pid = pid;
    started.output = fds[0];
    return started;
}

ProcessOptions OutputTo(const std::string& path) {
    ProcessOptions options;
    if (!path.empty()) {
        options.out = Sink::ToFile(path);
        options.err = Sink::ToOutput();
    }
    return options;
}

int WaitProcess(pid_t pid, int timeoutMs, rusage* usage) {
    int status = -1;
    if (Reap(pid, timeoutMs, &status, usage)) return status;
    KillProcess(pid);
    return -1;
}

bool ProcessEnded(pid_t pid, int* status) { return Reap(pid, 0, status); }

int StopProcess(pid_t pid, int timeoutMs) {
    if (pid > 0) kill(pid, SIGTERM);
    return WaitProcess(pid, timeoutMs);
}

void KillProcess(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

int RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options, int timeoutMs) {
    const Process child = StartProcess(argv, options);
    if (child.output >= 0) close(child.output);
    return child.pid < 0 ? -1 : WaitProcess(child.pid, timeoutMs);
}

namespace {

// Reads what comes within the time left until `end`: everything until the pipe closes, or with
// `once`, the first bytes to come.
std::string ReadPipe(int fd, int64_t end, bool once) {
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd p {fd, POLLIN, 0};
        const int ready = poll(&p, 1, RemainingMs(end));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return text;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return text;
        text.append(buffer, size_t(n));
        if (once) return text;
    }
}

}  // namespace

std::string ReadToEnd(int fd, int timeoutMs) { return ReadPipe(fd, NowMs() + timeoutMs, false); }

std::string ReadSome(int fd, int timeoutMs) { return ReadPipe(fd, NowMs() + timeoutMs, true); }

RunResult RunCaptured(const std::vector<std::string>& argv, const ProcessOptions& options, int timeoutMs) {
    ProcessOptions captured = options;
    captured.out = Sink::ToPipe();
    captured.err = Sink::ToOutput();
    RunResult result;
    const Process child = StartProcess(argv, captured);
    if (child.pid < 0) return result;
    const int64_t end = NowMs() + timeoutMs;
    result.output = ReadPipe(child.output, end, false);
    close(child.output);
    result.status = WaitProcess(child.pid, RemainingMs(end));
    return result;
}

int Shell(const std::string& command, std::string* output, int timeoutMs) {
    RunResult result = RunCaptured({"/bin/sh", "-c", command}, {}, timeoutMs);
    if (output != nullptr) *output = std::move(result.output);
    return result.status;
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

double MonotonicSeconds() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace testsupport
