// realtime_bench: what putting colour bars on tape in real time costs, in CPU seconds per minute of
// tape. Ours: the whole chain as the control program runs it, "Velora Color Bar" -> "DV Video
// Encoder" -> "DV Muxer" -> "Microsoft DV Camera and VCR", built in this process as the control
// program builds it (ControlChain: registered names, the device by its friendly name) and left
// paused while a dvdeck it starts paces it at 29.97 frames a second: the CPU of
// this process, every thread of the graph from building it to stopping it (the device filter's
// sending of each frame included). The deck stands for the camcorder at the other end of the
// cable; what it spends receiving and writing its tape is printed beside it, and a second ratio
// counts it in too.
// Baseline, in the same run and for the same number of frames: ffmpeg making the same DV from the
// same picture in real time,
//
//   ffmpeg -re -stream_loop -1 -f rawvideo -pix_fmt bgr24 -s 720x480 -r 30000/1001 -i picture.bgr
//          -vf vflip -frames:v N -pix_fmt yuv411p -c:v dvvideo -f dv out.dv
//
// (picture.bgr is colorbar.dat from byte 54), its CPU taken from wait4. Prints the ratio; the
// target is below 0.1. Each side reports its lowest CPU over the rounds.
//
//   build/realtime_bench [seconds of tape, default 60] [rounds, default 1]
//
// Needs tamsel.ax, colorbar.dat, dvfilters.so, regsvr and dvdeck in the build directory it was
// built in, and ffmpeg on the PATH. It makes and removes its own platform state directory.
#include <dshow.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_run.h"
#include "tests/support/control_chain.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testsupport::MonotonicSeconds;
using testsupport::ReadFile;

namespace {

constexpr size_t kFrameBytes = 120000;
constexpr size_t kPictureBytes = 720 * 480 * 3;
constexpr double kFramesPerSecond = 30000.0 / 1001.0;

using benchsupport::Build;
using benchsupport::CpuSeconds;

double SelfCpuSeconds() {
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return CpuSeconds(ru);
}

// Waits at most timeoutMs for the child; its CPU seconds, or -1 when it did not exit with 0.
double Reap(pid_t pid, int timeoutMs) {
    rusage ru {};
    return testsupport::WaitProcess(pid, timeoutMs, &ru) == 0 ? CpuSeconds(ru) : -1;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
    return testsupport::StartProcess(args, testsupport::OutputTo(out)).pid;
}

struct ChainRun {
    double cpu = -1;       // this process, building to stopping
    double buildCpu = -1;  // of which building and connecting the graph
    double deckCpu = -1;   // the dvdeck process, all of its life
    double wall = 0;       // from Run to Stop
    long frames = 0;       // on the tape
    std::string error;
};

// The control program's graph onto a fresh deck, streaming for `seconds`.
ChainRun RunChain(const std::string& dir, int round, int seconds) {
    ChainRun result;
    const std::string tape = dir + "/chain-" + std::to_string(round) + ".dv";
    const std::string deckLog = dir + "/deck-" + std::to_string(round) + ".out";
    const pid_t deck = Spawn({Build("dvdeck"), "--tape", tape}, deckLog);
    const std::string socket = std::string(getenv("PLATFORM_STATE_DIR")) + "/dvdeck/" + std::to_string(deck) + ".sock";
    struct stat st {};
    for (int i = 0; i < 500 && stat(socket.c_str(), &st) != 0; ++i) usleep(10000);

    const double cpuStart = SelfCpuSeconds();
    CoInitialize(nullptr);
    {
        ControlChain chain;
        result.error = chain.Build();
        if (result.error.empty()) {
            result.buildCpu = SelfCpuSeconds() - cpuStart;
            const double wallStart = MonotonicSeconds();
            chain.control->Run();
            chain.control->Pause();  // as the control program leaves it
            usleep(useconds_t(seconds) * 1000000u);
            chain.control->Stop();
            result.wall = MonotonicSeconds() - wallStart;
        }
    }
    CoFreeUnusedLibraries();
    CoUninitialize();
    result.cpu = SelfCpuSeconds() - cpuStart;

    kill(deck, SIGTERM);
    result.deckCpu = Reap(deck, 60000);
    if (result.deckCpu < 0 && result.error.empty()) result.error = "dvdeck failed: " + ReadFile(deckLog);
    struct stat recorded {};
    if (stat(tape.c_str(), &recorded) != 0 || (recorded.st_size % long(kFrameBytes) != 0 && result.error.empty())) {
        result.error = "the tape is missing or holds a partial frame";
    }
    result.frames = long(recorded.st_size / long(kFrameBytes));
    if (result.frames == 0 && result.error.empty()) result.error = "nothing reached the tape";
    return result;
}

struct FfmpegRun {
    double cpu = -1;
    double wall = 0;
    long frames = 0;
};

FfmpegRun RunFfmpeg(const std::string& dir, long frames) {
    FfmpegRun result;
    const std::string out = dir + "/ffmpeg.dv";
    const double start = MonotonicSeconds();
    const pid_t pid = Spawn({"ffmpeg", "-v", "error", "-nostdin", "-y", "-re", "-stream_loop", "-1", "-f", "rawvideo",
                             "-pix_fmt", "bgr24", "-s", "720x480", "-r", "30000/1001", "-i", dir + "/picture.bgr",
                             "-vf", "vflip", "-frames:v", std::to_string(frames), "-pix_fmt", "yuv411p", "-c:v",
                             "dvvideo", "-f", "dv", out},
                            dir + "/ffmpeg.out");
    result.cpu = Reap(pid, int(1000.0 * (double(frames) / kFramesPerSecond + 60)));
    result.wall = MonotonicSeconds() - start;
    struct stat st {};
    if (stat(out.c_str(), &st) == 0) result.frames = long(st.st_size / long(kFrameBytes));
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const auto prepared = benchsupport::Prepare(
        argc, argv, {"realtime_bench", "[seconds of tape] [rounds]", 60, 1, 1,
                     {"tamsel.ax", "colorbar.dat", "dvfilters.so", "regsvr", "dvdeck"}});
    if (!prepared) return 2;
    const auto& [seconds, rounds, dir] = *prepared;

    const std::string bars = ReadFile(Build("colorbar.dat"));
    if (bars.size() != 54 + kPictureBytes) {
        std::fprintf(stderr, "realtime_bench: colorbar.dat is %zu bytes, not a 720x480 bitmap\n", bars.size());
        return 2;
    }
    {
        std::ofstream picture(dir + "/picture.bgr", std::ios::binary);
        picture.write(bars.data() + 54, std::streamsize(kPictureBytes));
    }
    const pid_t regsvr = Spawn({Build("regsvr"), Build("tamsel.ax")}, dir + "/regsvr.out");
    if (Reap(regsvr, 60000) < 0) {
        std::fprintf(stderr, "realtime_bench: regsvr tamsel.ax failed: %s\n", ReadFile(dir + "/regsvr.out").c_str());
        return 1;
    }

    double bestGraph = -1, bestWithDeck = -1, bestFfmpeg = -1;
    auto lowest = [](double best, double value) { return best < 0 ? value : std::min(best, value); };
    for (int round = 1; round <= rounds; ++round) {
        const ChainRun chain = RunChain(dir, round, seconds);
        if (!chain.error.empty()) {
            std::fprintf(stderr, "realtime_bench: chain: %s\n", chain.error.c_str());
            return 1;
        }
        const FfmpegRun ffmpeg = RunFfmpeg(dir, chain.frames);
        if (ffmpeg.cpu < 0 || ffmpeg.frames != chain.frames) {
            std::fprintf(stderr, "realtime_bench: ffmpeg failed (%ld of %ld frames): %s\n", ffmpeg.frames,
                         chain.frames, ReadFile(dir + "/ffmpeg.out").c_str());
            return 1;
        }
        const double graphPerMinute = benchsupport::PerTapeMinute(chain.cpu, chain.frames, kFramesPerSecond);
        const double deckPerMinute = benchsupport::PerTapeMinute(chain.deckCpu, chain.frames, kFramesPerSecond);
        const double ffmpegPerMinute = benchsupport::PerTapeMinute(ffmpeg.cpu, ffmpeg.frames, kFramesPerSecond);
        std::printf("round %d: %ld frames (%.1f s of tape); chain %.1f s wall, %.3f CPU s/min (%.3f s of it "
                    "building), dvdeck %.3f; ffmpeg -re %.1f s wall, %.3f CPU s/min; ratio %.3f (with the deck "
                    "%.3f)\n",
                    round, chain.frames, chain.frames / kFramesPerSecond, chain.wall, graphPerMinute, chain.buildCpu,
                    deckPerMinute, ffmpeg.wall, ffmpegPerMinute, graphPerMinute / ffmpegPerMinute,
                    (graphPerMinute + deckPerMinute) / ffmpegPerMinute);
        std::fflush(stdout);
        bestGraph = lowest(bestGraph, graphPerMinute);
        bestWithDeck = lowest(bestWithDeck, graphPerMinute + deckPerMinute);
        bestFfmpeg = lowest(bestFfmpeg, ffmpegPerMinute);
    }
    std::filesystem::remove_all(dir);
    std::printf("chain %.3f CPU s per tape minute, ffmpeg -re %.3f, ratio %.3f (target < 0.1; best of %d); "
                "with the deck %.3f, ratio %.3f\n",
                bestGraph, bestFfmpeg, bestGraph / bestFfmpeg, rounds, bestWithDeck, bestWithDeck / bestFfmpeg);
    return 0;
}
