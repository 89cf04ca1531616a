// graph_soak: the whole chain the control program builds, "Velora Color Bar" -> "DV Video Encoder"
// -> "DV Muxer" -> "Microsoft DV Camera and VCR", run, paused and stopped many times over in one
// graph onto a dvdeck it starts itself, with short random pauses (0-5 ms, seeded) between the
// state changes. What it watches:
//
//   - resident memory (/proc/self/statm) after cycle 100 and after the last cycle; the first
//     hundred cycles let the allocators, the loaded libraries and the codecs settle;
//   - threads (/proc/self/task) and open descriptors (/proc/self/fd) with the graph built and
//     stopped: before the first cycle, after the first, after the last, and once the graph is
//     released. A graph that has run once keeps a few workers while stopped (the DV encoder's
//     converter thread and its codec's slice threads) and lets them go with the graph;
//     so the last cycle is compared with the first, and the released graph with the state
//     before the first cycle. Anything more is left over;
//   - every Run, Pause and Stop result and every graph event;
//   - the tape, once the deck is stopped with SIGTERM: whole frames only, the deck's own count,
//     ffprobe finds NTSC DV on it, and `ffmpeg -v error -i tape -f null -` says nothing.
//
//   build/graph_soak [--cycles N (10000)] [--seed S (1)] [--keep]
//
// It exits 1 when memory after the last cycle is more than 5% above memory after cycle 100, when
// a thread or a descriptor is left over (by a cycle, or by the graph once released), when a state
// change or the graph reports a failure, or when the tape is damaged; 2 when something it needs is
// missing. It makes its own platform state
// directory under /tmp and removes it unless --keep is given. Needs tamsel.ax, colorbar.dat,
// dvfilters.so, regsvr and dvdeck in the build directory it was built in, and ffmpeg and ffprobe
// on the PATH.
#include <dirent.h>
#include <dshow.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/control_chain.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testsupport::KillProcess;
using testsupport::MonotonicSeconds;
using testsupport::OutputTo;
using testsupport::ProcessEnded;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::Shell;
using testsupport::StartProcess;
using testsupport::StopProcess;

namespace {

constexpr size_t kFrameBytes = 120000;
constexpr int kSettleCycles = 100;           // memory is first sampled after this cycle
constexpr double kMemoryGrowthLimit = 0.05;  // allowed growth from then to the last cycle
constexpr int kMaxPauseUs = 5000;
constexpr int kFailuresShown = 10;

std::string Build(const std::string& file) { return std::string(TAMSEL_BUILD_DIR) + "/" + file; }

// --- What the process holds ---------------------------------------------------------------

long ResidentBytes() {
    long size = 0, resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    const int n = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    return n == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

// Bytes the C allocator has handed out and not had back: tells a leak from fragmentation when
// resident memory moves.
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;  // chunks in the arenas plus those mapped on their own
}

// Thread id -> thread name.
std::map<std::string, std::string> Threads() {
    std::map<std::string, std::string> threads;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return threads;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string name = ReadFile(std::string("/proc/self/task/") + entry->d_name + "/comm");
        while (!name.empty() && name.back() == '\n') name.pop_back();
        threads[entry->d_name] = name;
    }
    closedir(dir);
    return threads;
}

// Descriptor -> what it refers to; the descriptor of the listing itself is left out.
std::map<int, std::string> Descriptors() {
    std::map<int, std::string> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == own) continue;
        char target[512] = {};
        const ssize_t n = readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target,
                                   sizeof target - 1);
        fds[fd] = n > 0 ? std::string(target, size_t(n)) : "?";
    }
    closedir(dir);
    return fds;
}

struct Holdings {
    std::map<std::string, std::string> threads;
    std::map<int, std::string> fds;
};

Holdings Take() { return {Threads(), Descriptors()}; }

// What `after` holds that `before` did not, one per line; "" when nothing.
std::string LeftOver(const Holdings& before, const Holdings& after) {
    std::string text;
    for (const auto& [tid, name] : after.threads) {
        if (before.threads.count(tid) == 0) text += "  thread " + tid + " (" + name + ")\n";
    }
    for (const auto& [fd, target] : after.fds) {
        const auto it = before.fds.find(fd);
        if (it == before.fds.end() || it->second != target) {
            text += "  descriptor " + std::to_string(fd) + " -> " + target + "\n";
        }
    }
    return text;
}

// --- The run ------------------------------------------------------------------------------

struct Options {
    long cycles = 10000;
    unsigned seed = 1;
    bool keep = false;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--cycles" && i + 1 < argc) {
            options->cycles = std::atol(argv[++i]);
        } else if (arg == "--seed" && i + 1 < argc) {
            options->seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--keep") {
            options->keep = true;
        } else {
            return false;
        }
    }
    return options->cycles > kSettleCycles;
}

// The value after "key: " in the deck's final report, or "" when missing.
std::string ReportValue(const std::string& report, const std::string& key) {
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
    }
    return "";
}

// Failures seen during the cycles: a count per kind, the first few spelled out.
class FailureLog {
public:
    void Add(long cycle, const std::string& what) {
        ++counts[what.substr(0, what.find(':'))];
        ++total;
        if (shown < kFailuresShown) {
            std::printf("  cycle %ld: %s\n", cycle, what.c_str());
            std::fflush(stdout);
            ++shown;
        }
    }
    long Total() const { return total; }
    void Print() const {
        for (const auto& [kind, count] : counts) std::printf("  %-28s %ld\n", kind.c_str(), count);
    }

private:
    std::map<std::string, long> counts;
    long total = 0;
    int shown = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: graph_soak [--cycles N (more than %d, default 10000)] [--seed S] [--keep]\n",
                     kSettleCycles);
        return 2;
    }
    for (const char* piece : {"tamsel.ax", "colorbar.dat", "dvfilters.so", "regsvr", "dvdeck"}) {
        if (access(Build(piece).c_str(), R_OK) != 0) {
            std::fprintf(stderr, "graph_soak: %s is not built in %s\n", piece, TAMSEL_BUILD_DIR);
            return 2;
        }
    }
    std::string probe;
    if (Shell("ffprobe -version", &probe) != 0 || Shell("ffmpeg -version", &probe) != 0) {
        std::fprintf(stderr, "graph_soak: ffprobe and ffmpeg are needed on the PATH\n");
        return 2;
    }
    char pattern[] = "/tmp/graph-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    const std::string dir = pattern;
    const std::string state = dir + "/state";
    setenv("PLATFORM_STATE_DIR", state.c_str(), 1);  // never the user's registry
    const std::string tape = dir + "/soak.dv";
    std::printf("graph_soak: %ld cycles, seed %u, in %s\n", options.cycles, options.seed, dir.c_str());

    // Both children are started before this process has any thread of its own.
    if (RunProcess({Build("regsvr"), Build("tamsel.ax")}, OutputTo(dir + "/regsvr.out"), 60000) != 0) {
        std::fprintf(stderr, "graph_soak: regsvr tamsel.ax failed: %s\n", ReadFile(dir + "/regsvr.out").c_str());
        return 2;
    }
    const pid_t deck = StartProcess({Build("dvdeck"), "--tape", tape, "--name", "soak deck"}, OutputTo(dir + "/deck.out")).pid;
    const std::string socket = state + "/dvdeck/" + std::to_string(deck) + ".sock";
    for (const double until = MonotonicSeconds() + 30;;) {
        struct stat st {};
        if (stat(socket.c_str(), &st) == 0) break;
        int status = 0;
        const bool ended = ProcessEnded(deck, &status);
        if (ended || MonotonicSeconds() > until) {
            std::fprintf(stderr, "graph_soak: dvdeck %s: %s\n", ended ? "ended at once" : "never listened",
                         ReadFile(dir + "/deck.out").c_str());
            KillProcess(deck);
            return 2;
        }
        usleep(10000);
    }

    CoInitialize(nullptr);
    ControlChain chain;
    const std::string built = chain.Build();
    if (!built.empty()) {
        std::fprintf(stderr, "graph_soak: the chain could not be built: %s\n", built.c_str());
        StopProcess(deck, 60000);
        return 2;
    }

    const Holdings before = Take();
    Holdings afterFirst;
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<int> pause(0, kMaxPauseUs);
    const auto Breathe = [&] {
        const int us = pause(random);
        if (us > 0) usleep(useconds_t(us));
    };
    FailureLog failures;
    std::map<LONG, long> eventCounts;
    long residentSettled = 0, residentPeak = 0;
    size_t heapSettled = 0;
    const double started = MonotonicSeconds();
    for (long cycle = 1; cycle <= options.cycles; ++cycle) {
        HRESULT hr = chain.control->Run();
        if (FAILED(hr)) failures.Add(cycle, "Run failed: " + Hex(hr));
        Breathe();
        hr = chain.control->Pause();
        if (FAILED(hr)) failures.Add(cycle, "Pause failed: " + Hex(hr));
        Breathe();
        hr = chain.control->Stop();
        if (FAILED(hr)) failures.Add(cycle, "Stop failed: " + Hex(hr));
        OAFilterState after = State_Running;
        hr = chain.control->GetState(0, &after);
        if (hr != S_OK || after != State_Stopped) {
            failures.Add(cycle, "not stopped after Stop: " + Hex(hr) + ", state " + std::to_string(int(after)));
        }
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (chain.events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            ++eventCounts[code];
            if (code == EC_ERRORABORT || code == EC_STREAM_ERROR_STOPPED || code == EC_DEVICE_LOST) {
                failures.Add(cycle, "graph event " + std::to_string(code) + ": " + Hex(HRESULT(p1)));
            }
            chain.events->FreeEventParams(code, p1, p2);
        }
        Breathe();
        if (cycle == 1) afterFirst = Take();

        const long resident = ResidentBytes();
        if (cycle >= kSettleCycles && resident > residentPeak) residentPeak = resident;
        if (cycle == kSettleCycles) {
            residentSettled = resident;
            heapSettled = HeapInUse();
        }
        if (cycle % 1000 == 0 || cycle == kSettleCycles) {
            std::printf("  cycle %6ld: %7.1f s, resident %6.1f MiB, heap in use %6.1f MiB, %zu threads, %zu fds\n",
                        cycle, MonotonicSeconds() - started, resident / 1048576.0, HeapInUse() / 1048576.0,
                        Threads().size(), Descriptors().size());
            std::fflush(stdout);
        }
    }
    const double elapsed = MonotonicSeconds() - started;
    const long residentLast = ResidentBytes();
    const size_t heapLast = HeapInUse();
    const Holdings after = Take();

    // With the graph gone and the libraries let go, nothing of the graph's should remain.
    chain.Release();
    CoFreeUnusedLibraries();
    const Holdings released = Take();
    CoUninitialize();

    const int deckStatus = StopProcess(deck, 60000);
    const std::string deckReport = ReadFile(dir + "/deck.out");

    // The tape.
    std::string tapeProblem;
    struct stat tapeStat {};
    const size_t tapeBytes = stat(tape.c_str(), &tapeStat) == 0 ? size_t(tapeStat.st_size) : 0;
    const size_t frames = tapeBytes / kFrameBytes;
    std::string probeOut, decodeOut;
    if (deckStatus != 0) tapeProblem += "dvdeck exited with " + std::to_string(deckStatus) + "\n";
    if (tapeBytes % kFrameBytes != 0) {
        tapeProblem += "the tape ends in a partial frame (" + std::to_string(tapeBytes % kFrameBytes) + " bytes)\n";
    }
    if (frames == 0) tapeProblem += "nothing reached the tape\n";
    if (ReportValue(deckReport, "frames") != std::to_string(frames)) {
        tapeProblem += "the deck says " + ReportValue(deckReport, "frames") + " frames, the tape holds " +
                       std::to_string(frames) + "\n";
    }
    if (frames > 0) {
        const int probed = Shell("ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,r_frame_rate"
                                 " -of default=nw=1 '" + tape + "'", &probeOut);
        for (const char* expected : {"codec_name=dvvideo", "width=720", "height=480", "r_frame_rate=30000/1001",
                                     "codec_type=audio"}) {
            if (probed != 0 || probeOut.find(expected) == std::string::npos) {
                tapeProblem += std::string("ffprobe: ") + expected + " not found\n";
            }
        }
        const int decoded = Shell("ffmpeg -nostdin -v error -i '" + tape + "' -f null -", &decodeOut);
        if (decoded != 0 || !decodeOut.empty()) {
            tapeProblem += "ffmpeg -v error -i tape -f null - said (exit " + std::to_string(decoded) + "):\n" +
                           decodeOut.substr(0, 2000);
        }
    }

    // The figures.
    const double growth = residentSettled > 0 ? double(residentLast - residentSettled) / double(residentSettled) : 0;
    std::printf("\ncycles                       %ld in %.1f s (%.2f ms a cycle)\n", options.cycles, elapsed,
                1000.0 * elapsed / double(options.cycles));
    std::printf("resident after cycle %-7d %.2f MiB (heap in use %.2f MiB)\n", kSettleCycles,
                residentSettled / 1048576.0, heapSettled / 1048576.0);
    std::printf("resident after cycle %-7ld %.2f MiB (heap in use %.2f MiB), peak %.2f MiB\n", options.cycles,
                residentLast / 1048576.0, heapLast / 1048576.0, residentPeak / 1048576.0);
    std::printf("resident growth              %+.2f%% (limit %+.0f%%)\n", 100.0 * growth, 100.0 * kMemoryGrowthLimit);
    std::printf("threads                      %zu before the first cycle, %zu after the first, %zu after the last, "
                "%zu with the graph released\n",
                before.threads.size(), afterFirst.threads.size(), after.threads.size(), released.threads.size());
    std::printf("open descriptors             %zu before the first cycle, %zu after the first, %zu after the last, "
                "%zu with the graph released\n",
                before.fds.size(), afterFirst.fds.size(), after.fds.size(), released.fds.size());
    std::printf("state-change failures        %ld\n", failures.Total());
    failures.Print();
    std::printf("graph events                ");
    if (eventCounts.empty()) std::printf(" none");
    for (const auto& [code, count] : eventCounts) std::printf(" 0x%02X x%ld", unsigned(code), count);
    std::printf("\n");
    std::printf("tape                         %zu bytes, %zu frames (%.1f s); deck: timecode breaks %s, "
                "ticks without a frame %s\n",
                tapeBytes, frames, double(frames) * 1001.0 / 30000.0, ReportValue(deckReport, "timecode breaks").c_str(),
                ReportValue(deckReport, "ticks without a frame").substr(0, 40).c_str());

    bool ok = true;
    if (growth > kMemoryGrowthLimit) {
        std::printf("FAIL: resident memory grew %.2f%% from cycle %d to cycle %ld\n", 100.0 * growth, kSettleCycles,
                    options.cycles);
        ok = false;
    }
    const std::string byCycles = LeftOver(afterFirst, after);
    if (!byCycles.empty() || after.threads.size() != afterFirst.threads.size() ||
        after.fds.size() != afterFirst.fds.size()) {
        std::printf("FAIL: the cycles left over (after the last, not after the first):\n%s", byCycles.c_str());
        ok = false;
    }
    const std::string byGraph = LeftOver(before, released);
    if (!byGraph.empty() || released.threads.size() != before.threads.size() ||
        released.fds.size() != before.fds.size()) {
        std::printf("FAIL: left over with the graph released (not there before the first cycle):\n%s", byGraph.c_str());
        ok = false;
    }
    const std::string keptByGraph = LeftOver(before, after);
    if (!keptByGraph.empty()) std::printf("note: kept by the stopped graph until released:\n%s", keptByGraph.c_str());
    if (failures.Total() > 0) {
        std::printf("FAIL: %ld failures during the cycles\n", failures.Total());
        ok = false;
    }
    if (!tapeProblem.empty()) {
        std::printf("FAIL: the tape:\n%s", tapeProblem.c_str());
        ok = false;
    }
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    if (options.keep || !ok) {
        std::printf("kept %s\n", dir.c_str());
    } else {
        std::filesystem::remove_all(dir);
    }
    return ok ? 0 : 1;
}
