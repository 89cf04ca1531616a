// ieee1394_bench: the IEEE 1394 transport on the simulated bus (sim1394). The control program's
// chain is built through the platform and paused onto a virtual camcorder for SECONDS of tape;
// reported per round:
// - CPU seconds per tape minute of the whole process (the chain and the transport) and of the
//   transport's loop thread alone (libiec61883's packet handler, our feeder, the test
//   libraw1394's DMA ring), against the baseline of the same round: the same chain onto dvdeck
//   (as realtime_bench runs it), for the same SECONDS;
// - the bus server's CPU (sim1394, standing where the deck stands in realtime_bench);
// - Run-to-first-packet: from IMediaControl::Run to the bus cycle of the first isochronous packet
//   (the capture's cycle against the bus's start time);
// - Stop, against Stop onto dvdeck, and of it the drain: from the Stop call to the bus cycle of
//   the stream's last packet (the frames accepted and the ring going out whole), with the frames
//   that started on the wire meanwhile.
// Each round runs this program again, onto a dvdeck it starts and under sim1394 (the inner half
// prints one line of figures). The last lines give the best of each figure and its spread.
//
//   ieee1394_bench [SECONDS] [ROUNDS]     # defaults 20 and 3
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/control_chain.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testsupport::MonotonicSeconds;
using testsupport::ReadFile;

namespace {

constexpr double kFramesPerSecond = 30000.0 / 1001.0;
constexpr long kFrameBytes = 120000;

std::string Build(const std::string& file) { return std::string(TAMSEL_BUILD_DIR) + "/" + file; }

double Seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

double SelfCpuSeconds() {
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return Seconds(ru.ru_utime) + Seconds(ru.ru_stime);
}

// CPU seconds of this process's thread with that name; -1 when there is none.
double ThreadCpuSeconds(const char* name) {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    double found = -1;
    while (dirent* e = readdir(tasks)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::string comm = ReadFile(base + "/comm");
        while (!comm.empty() && comm.back() == '\n') comm.pop_back();
        if (comm != name) continue;
        const std::string stat = ReadFile(base + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        unsigned long utime = 0, stime = 0;
        // Fields after the name: state, then 10 numbers, then utime and stime (fields 14, 15).
        std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
        found = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    closedir(tasks);
    return found;
}

std::string Control(const std::string& command) {
    return testsupport::RunCaptured({Build("sim1394"), "--ctl", command}, {}, 60000).output;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
    return testsupport::StartProcess(args, testsupport::OutputTo(out)).pid;
}

long long StatusNumber(const std::string& status, const std::string& key) {
    const size_t at = status.find(key);
    return at == std::string::npos ? -1 : std::strtoll(status.c_str() + at + key.size(), nullptr, 10);
}

// The bus cycle of the capture's first packet; -1 while there is none.
long FirstPacketCycle(const std::string& capture) {
    const std::string head = ReadFile(capture).substr(0, 12);
    if (head.size() < 12) return -1;
    const auto* b = reinterpret_cast<const uint8_t*>(head.data()) + 8;
    return long(b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24);
}

// One round, on the bus (with its capture) or onto the dvdeck running beside (capture ""); prints
// "figures: ..." or "error: ...".
int Inner(int seconds, const std::string& capture) {
    const bool bus = !capture.empty();
    const long long busStartNs = bus ? StatusNumber(Control("status"), "monotonic ns ") : 0;
    if (busStartNs < 0) {
        std::printf("error: no bus status\n");
        return 1;
    }
    const double cpuStart = SelfCpuSeconds();
    double runToPacketMs = -1, stopMs = -1, loopCpu = -1, stopAt = -1;
    CoInitialize(nullptr);
    {
        ControlChain chain;
        const std::string error = chain.Build();
        if (!error.empty()) {
            std::printf("error: %s\n", error.c_str());
            return 1;
        }
        timespec run {};
        clock_gettime(CLOCK_MONOTONIC, &run);
        chain.control->Run();
        chain.control->Pause();  // as the control program leaves it
        const double runAt = double(run.tv_sec) + double(run.tv_nsec) / 1e9 - double(busStartNs) / 1e9;
        long first = -1;
        for (int i = 0; bus && i < 5000 && first < 0; ++i) {
            first = FirstPacketCycle(capture);
            if (first < 0) usleep(1000);
        }
        if (first >= 0) runToPacketMs = (double(first) / 8000.0 - runAt) * 1000.0;
        usleep(useconds_t(seconds) * 1000000u);
        if (bus) loopCpu = ThreadCpuSeconds("ieee1394-loop");
        const double stopping = MonotonicSeconds();
        chain.control->Stop();
        stopMs = (MonotonicSeconds() - stopping) * 1000.0;
        stopAt = stopping - double(busStartNs) / 1e9;  // on the bus's clock
    }
    CoFreeUnusedLibraries();
    CoUninitialize();
    const double cpu = SelfCpuSeconds() - cpuStart;
    const long long frames = bus ? StatusNumber(Control("status"), "camcorder 0 frames recorded ") : 0;
    std::printf("figures: frames %lld cpu %.3f loop %.3f run_to_packet_ms %.1f stop_ms %.1f stop_at_s %.6f\n", frames,
                cpu, loopCpu, runToPacketMs, stopMs, stopAt);
    return frames > 0 || !bus ? 0 : 1;
}

// What the capture shows of the stream's end: the bus cycle after its last packet, and the frames
// whose first packet went out at or after `fromCycle`.
struct StreamEnd {
    long endCycle = -1;
    long framesFrom = 0;
};
StreamEnd ReadStreamEnd(const std::string& capture, long fromCycle) {
    StreamEnd end;
    std::FILE* f = std::fopen(capture.c_str(), "rb");
    if (f == nullptr) return end;
    uint8_t h[12], head[11];
    if (std::fread(head, 1, 8, f) != 8) {
        std::fclose(f);
        return end;
    }
    while (std::fread(h, 1, 12, f) == 12) {
        const long cycle = long(h[0] | h[1] << 8 | h[2] << 16 | uint32_t(h[3]) << 24);
        const long length = long(h[8] | h[9] << 8 | h[10] << 16 | uint32_t(h[11]) << 24);
        const size_t got = std::fread(head, 1, size_t(std::min<long>(length, 10)), f);
        if (length > 10 && std::fseek(f, length - 10, SEEK_CUR) != 0) break;
        end.endCycle = cycle + 1;
        // A data packet whose first DIF block is the frame's header (section 0, sequence 0).
        if (cycle >= fromCycle && length == 488 && got == 10 && (head[8] >> 5) == 0 && (head[9] >> 4) == 0) {
            ++end.framesFrom;
        }
    }
    std::fclose(f);
    return end;
}

// Lowest, highest and spread ((highest - lowest) / lowest) of a figure over the rounds.
std::string Spread(std::vector<double> values, const char* format) {
    std::sort(values.begin(), values.end());
    char text[160];
    const double spread = values.front() > 0 ? (values.back() - values.front()) / values.front() * 100.0 : 0;
    std::string low(64, '\0'), high(64, '\0');
    low.resize(size_t(std::snprintf(low.data(), low.size(), format, values.front())));
    high.resize(size_t(std::snprintf(high.data(), high.size(), format, values.back())));
    std::snprintf(text, sizeof text, "%s (%s to %s, spread %.0f %%)", low.c_str(), low.c_str(), high.c_str(), spread);
    return text;
}


// The inner half's figures; false when the round failed.
struct Figures {
    long long frames = 0;
    double cpu = 0, loop = 0, runMs = 0, stopMs = 0, stopAt = 0;
};
bool ParseFigures(const std::string& text, Figures* f) {
    const size_t at = text.find("figures: ");
    return at != std::string::npos &&
           std::sscanf(text.c_str() + at,
                       "figures: frames %lld cpu %lf loop %lf run_to_packet_ms %lf stop_ms %lf stop_at_s %lf",
                       &f->frames, &f->cpu, &f->loop, &f->runMs, &f->stopMs, &f->stopAt) == 6;
}

double PerTapeMinute(double cpu, long long frames) { return cpu / (double(frames) / kFramesPerSecond / 60.0); }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--inner") == 0) return Inner(std::atoi(argv[2]), argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "--inner-deck") == 0) return Inner(std::atoi(argv[2]), "");
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (seconds <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: ieee1394_bench [seconds of tape] [rounds]\n");
        return 2;
    }
    for (const char* piece : {"sim1394", "sim1394-lib/libraw1394.so.11", "tamsel.ax", "dvfilters.so", "regsvr", "dvdeck"}) {
        if (access(Build(piece).c_str(), F_OK) != 0) {
            std::fprintf(stderr, "ieee1394_bench: %s is not built\n", piece);
            return 2;
        }
    }
    char pattern[] = "/tmp/ieee1394-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    const std::string dir = pattern;
    setenv("PLATFORM_STATE_DIR", dir.c_str(), 1);
    if (testsupport::RunProcess({Build("regsvr"), Build("tamsel.ax")}, testsupport::OutputTo("/dev/null"), 60000) != 0) {
        std::fprintf(stderr, "ieee1394_bench: cannot register tamsel.ax\n");
        return 2;
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 2;
    // Per round: bus CPU/min, deck CPU/min, their ratio, loop thread/min, bus server/min, Run to
    // first packet, Stop on the bus, Stop onto the deck, the drain, Stop after the drain.
    enum { kBus, kDeck, kRatio, kLoop, kServer, kRun, kStop, kDeckStop, kDrain, kAfterDrain, kCount };
    std::vector<double> all[kCount];
    auto fail = [&](const char* what, int round, const std::string& text) {
        std::fprintf(stderr, "ieee1394_bench: round %d, %s failed:\n%s\n", round, what, text.c_str());
        return 1;
    };
    const int roundMs = (seconds + 120) * 1000;  // the bound on one inner run: its tape and set-up
    for (int round = 1; round <= rounds; ++round) {
        // The baseline: the same chain onto a dvdeck, for as long.
        const std::string tape = dir + "/deck-" + std::to_string(round) + ".dv";
        const pid_t deck = Spawn({Build("dvdeck"), "--tape", tape}, dir + "/deck.out");
        const std::string socket = dir + "/dvdeck/" + std::to_string(deck) + ".sock";
        struct stat st {};
        for (int i = 0; i < 500 && stat(socket.c_str(), &st) != 0; ++i) usleep(10000);
        const std::string deckOut = dir + "/deck-round-" + std::to_string(round) + ".out";
        int status = testsupport::WaitProcess(Spawn({self, "--inner-deck", std::to_string(seconds)}, deckOut),
                                              roundMs);
        testsupport::StopProcess(deck, 60000);
        Figures onDeck;
        if (status != 0 || !ParseFigures(ReadFile(deckOut), &onDeck)) return fail("the deck", round, ReadFile(deckOut));
        onDeck.frames = stat(tape.c_str(), &st) == 0 ? st.st_size / kFrameBytes : 0;
        if (onDeck.frames == 0) return fail("the deck", round, ReadFile(dir + "/deck.out"));

        // On the bus.
        const std::string capture = dir + "/bus-" + std::to_string(round) + ".iso";
        const std::string out = dir + "/round-" + std::to_string(round) + ".out";
        const pid_t pid = Spawn({Build("sim1394"), "--recording", "--tape", dir + "/tape.dv", "--capture", capture, "--", self,
                                 "--inner", std::to_string(seconds), capture},
                                out);
        rusage ru {};
        status = testsupport::WaitProcess(pid, roundMs, &ru);
        Figures onBus;
        if (status != 0 || !ParseFigures(ReadFile(out), &onBus)) return fail("the bus", round, ReadFile(out));
        const long stopCycle = long(onBus.stopAt * 8000.0);
        const StreamEnd end = ReadStreamEnd(capture, stopCycle);
        unlink(capture.c_str());
        // sim1394's own CPU: the launcher and its bus thread, without the inner process.
        const double server = Seconds(ru.ru_utime) + Seconds(ru.ru_stime) - onBus.cpu;
        const double drainMs = (double(end.endCycle) / 8000.0 - onBus.stopAt) * 1000.0;
        const double figures[kCount] = {PerTapeMinute(onBus.cpu, onBus.frames),
                                        PerTapeMinute(onDeck.cpu, onDeck.frames),
                                        PerTapeMinute(onBus.cpu, onBus.frames) / PerTapeMinute(onDeck.cpu, onDeck.frames),
                                        PerTapeMinute(onBus.loop, onBus.frames),
                                        PerTapeMinute(server, onBus.frames),
                                        onBus.runMs,
                                        onBus.stopMs,
                                        onDeck.stopMs,
                                        drainMs,
                                        onBus.stopMs - drainMs};
        std::printf("round %d: %lld frames on the bus, %lld onto the deck; CPU s per tape minute: bus %.3f, deck %.3f, "
                    "ratio %.2f (loop thread %.3f, bus server %.3f); Run to first packet %.1f ms; Stop %.1f ms "
                    "(deck %.1f ms): drain %.1f ms (%ld frames), then %.1f ms\n",
                    round, onBus.frames, onDeck.frames, figures[kBus], figures[kDeck], figures[kRatio], figures[kLoop],
                    figures[kServer], figures[kRun], figures[kStop], figures[kDeckStop], figures[kDrain],
                    end.framesFrom, figures[kAfterDrain]);
        std::fflush(stdout);
        for (int i = 0; i < kCount; ++i) all[i].push_back(figures[i]);
    }
    std::printf("over %d rounds, lowest (lowest to highest, spread):\n", rounds);
    std::printf("  CPU s per tape minute: bus %s, deck %s; ratio bus / deck %s\n", Spread(all[kBus], "%.3f").c_str(),
                Spread(all[kDeck], "%.3f").c_str(), Spread(all[kRatio], "%.2f").c_str());
    std::printf("  of the bus: loop thread %s, bus server %s\n", Spread(all[kLoop], "%.3f").c_str(),
                Spread(all[kServer], "%.3f").c_str());
    std::printf("  Run to first packet %s ms\n", Spread(all[kRun], "%.1f").c_str());
    std::printf("  Stop %s ms (deck %s ms); of it the drain %s ms, then %s ms\n", Spread(all[kStop], "%.1f").c_str(),
                Spread(all[kDeckStop], "%.1f").c_str(), Spread(all[kDrain], "%.1f").c_str(),
                Spread(all[kAfterDrain], "%.1f").c_str());
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
