// ieee1394_bench: the IEEE 1394 transport on the simulated bus (sim1394). The control program's
// chain is built through the platform and paused onto a virtual camcorder for SECONDS of tape;
// reported per round:
// - CPU seconds per tape minute of the whole process (the chain and the transport) and of the
//   transport's loop thread alone (libiec61883's packet handler, our feeder, the test
//   libraw1394's DMA ring), beside realtime_bench's figure for the chain onto dvdeck;
// - the bus server's CPU (sim1394, standing where the deck stands in realtime_bench);
// - Run-to-first-packet: from IMediaControl::Run to the bus cycle of the first isochronous packet
//   (the capture's cycle against the bus's start time), and the Stop latency.
// Each round runs this program again under sim1394 (the inner half prints one line of figures).
//
//   ieee1394_bench [SECONDS] [ROUNDS]     # defaults 20 and 3
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_process.h"
#include "control_chain.h"

namespace {

constexpr double kFramesPerSecond = 30000.0 / 1001.0;

std::string Build(const std::string& file) { return std::string(DV_BENCH_BUILD_DIR) + "/" + file; }

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
    std::string out;
    FILE* pipe = popen((Build("sim1394") + " --ctl " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
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

// On the bus: one round; prints "figures: ..." or "error: ...".
int Inner(int seconds, const std::string& capture) {
    const long long busStartNs = StatusNumber(Control("status"), "monotonic ns ");
    if (busStartNs < 0) {
        std::printf("error: no bus status\n");
        return 1;
    }
    const double cpuStart = SelfCpuSeconds();
    double runToPacketMs = -1, stopMs = -1, loopCpu = -1;
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
        for (int i = 0; i < 5000 && first < 0; ++i) {
            first = FirstPacketCycle(capture);
            if (first < 0) usleep(1000);
        }
        if (first >= 0) runToPacketMs = (double(first) / 8000.0 - runAt) * 1000.0;
        usleep(useconds_t(seconds) * 1000000u);
        loopCpu = ThreadCpuSeconds("ieee1394-loop");
        const double stopping = WallSeconds();
        chain.control->Stop();
        stopMs = (WallSeconds() - stopping) * 1000.0;
    }
    CoFreeUnusedLibraries();
    CoUninitialize();
    const double cpu = SelfCpuSeconds() - cpuStart;
    const long long frames = StatusNumber(Control("status"), "camcorder 0 frames recorded ");
    std::printf("figures: frames %lld cpu %.3f loop %.3f run_to_packet_ms %.1f stop_ms %.1f\n", frames, cpu, loopCpu,
                runToPacketMs, stopMs);
    return frames > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--inner") == 0 && argc == 4) return Inner(std::atoi(argv[2]), argv[3]);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    for (const char* piece : {"sim1394", "sim1394-lib/libraw1394.so.11", "tamsel.ax", "dvfilters.so", "regsvr"}) {
        if (access(Build(piece).c_str(), F_OK) != 0) {
            std::fprintf(stderr, "ieee1394_bench: %s is not built\n", piece);
            return 2;
        }
    }
    char pattern[] = "/tmp/ieee1394-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    setenv("PLATFORM_STATE_DIR", dir.c_str(), 1);
    if (system(("'" + Build("regsvr") + "' '" + Build("tamsel.ax") + "' >/dev/null").c_str()) != 0) {
        std::fprintf(stderr, "ieee1394_bench: cannot register tamsel.ax\n");
        return 2;
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 2;
    double best[5] = {1e9, 1e9, 1e9, 1e9, 1e9};  // cpu/min, loop/min, bus/min, run ms, stop ms
    for (int round = 1; round <= rounds; ++round) {
        const std::string capture = dir + "/bus-" + std::to_string(round) + ".iso";
        const std::string out = dir + "/round-" + std::to_string(round) + ".out";
        const pid_t pid = Spawn({Build("sim1394"), "--recording", "--tape", dir + "/tape.dv", "--capture", capture, "--", self,
                                 "--inner", std::to_string(seconds), capture},
                                out);
        int status = 0;
        rusage ru {};
        wait4(pid, &status, 0, &ru);
        const std::string text = ReadFile(out);
        long long frames = 0;
        double cpu = 0, loop = 0, runMs = 0, stopMs = 0;
        const size_t at = text.find("figures: ");
        if (status != 0 || at == std::string::npos ||
            std::sscanf(text.c_str() + at, "figures: frames %lld cpu %lf loop %lf run_to_packet_ms %lf stop_ms %lf",
                        &frames, &cpu, &loop, &runMs, &stopMs) != 5) {
            std::fprintf(stderr, "ieee1394_bench: round %d failed:\n%s\n", round, text.c_str());
            return 1;
        }
        // sim1394's own CPU: the launcher and its bus thread, without the inner process.
        const double bus = Seconds(ru.ru_utime) + Seconds(ru.ru_stime) - cpu;
        const double minutes = double(frames) / kFramesPerSecond / 60.0;
        const double figures[5] = {cpu / minutes, loop / minutes, bus / minutes, runMs, stopMs};
        std::printf("round %d: %lld frames (%.1f s of tape); process %.3f CPU s per tape minute, transport loop "
                    "thread %.3f, bus server %.3f; Run to first packet %.1f ms, Stop %.1f ms\n",
                    round, frames, double(frames) / kFramesPerSecond, figures[0], figures[1], figures[2], runMs,
                    stopMs);
        for (int i = 0; i < 5; ++i) best[i] = std::min(best[i], figures[i]);
    }
    std::printf("best of %d: process %.3f CPU s per tape minute (transport loop thread %.3f, bus server %.3f); "
                "Run to first packet %.1f ms; Stop %.1f ms\n",
                rounds, best[0], best[1], best[2], best[3], best[4]);
    (void)!system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
