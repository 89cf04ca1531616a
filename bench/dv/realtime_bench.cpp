// realtime_bench: what recording in real time costs. CPU seconds per minute of tape for the
// virtual deck (the dvdeck process plus the sending thread, frames paced at 30000/1001 per
// second by the deck), against `ffmpeg -re` writing the same DV to a file at the same pace,
// measured in the same run. Prints the ratio; the target is below 0.1.
//
//   PLATFORM_STATE_DIR=$(mktemp -d) build/realtime_bench [seconds of tape, default 20]
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "transport_deck.h"

namespace {

constexpr size_t kFrameBytes = 120000;

double Seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }
double CpuSeconds(const rusage& ru) { return Seconds(ru.ru_utime) + Seconds(ru.ru_stime); }

double ThreadCpuSeconds() {
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double WallSeconds() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

pid_t Spawn(std::vector<std::string> args, const std::string& out) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for the child and returns its CPU seconds (-1 if it failed).
double Reap(pid_t pid) {
    int status = 0;
    rusage ru {};
    if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return CpuSeconds(ru);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    if (seconds <= 0 || getenv("PLATFORM_STATE_DIR") == nullptr) {
        std::fprintf(stderr, "usage: PLATFORM_STATE_DIR=DIR realtime_bench [seconds]\n");
        return 2;
    }
    char pattern[] = "/tmp/realtime-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string source = dir + "/source.dv";

    // The DV both sides write: bars with silent 48 kHz audio, made by ffmpeg.
    const std::string make = "ffmpeg -v error -f lavfi -i smptebars=size=720x480:rate=30000/1001 "
                             "-f lavfi -i anullsrc=r=48000:cl=stereo -t " + std::to_string(seconds) +
                             " -pix_fmt yuv411p -c:v dvvideo -c:a pcm_s16le -f dv -y " + source;
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "realtime_bench: ffmpeg could not make the source DV\n");
        return 1;
    }
    std::ifstream in(source, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string frames = ss.str();
    const size_t count = frames.size() / kFrameBytes;
    const double tapeMinutes = double(count) * 1001.0 / 30000.0 / 60.0;

    // The deck, fed by this thread.
    const std::string deckProgram = std::string(DV_BENCH_BUILD_DIR) + "/dvdeck";
    const pid_t deck = Spawn({deckProgram, "--tape", dir + "/deck.dv"}, dir + "/deck.out");
    const std::string socket = std::string(getenv("PLATFORM_STATE_DIR")) + "/dvdeck/" +
                               std::to_string(deck) + ".sock";
    struct stat st {};
    for (int i = 0; i < 500 && stat(socket.c_str(), &st) != 0; ++i) usleep(10000);
    dv::DeckTransport transport(socket);
    if (FAILED(transport.Open())) {
        std::fprintf(stderr, "realtime_bench: %s\n", transport.LastError().c_str());
        kill(deck, SIGKILL);
        return 1;
    }
    const double senderStart = ThreadCpuSeconds();
    const double wallStart = WallSeconds();
    for (size_t i = 0; i < count; ++i) {
        if (FAILED(transport.SendFrame(reinterpret_cast<const uint8_t*>(frames.data()) + i * kFrameBytes,
                                       kFrameBytes))) {
            std::fprintf(stderr, "realtime_bench: %s\n", transport.LastError().c_str());
            kill(deck, SIGKILL);
            return 1;
        }
    }
    transport.Close();
    const double deckWall = WallSeconds() - wallStart;
    const double senderCpu = ThreadCpuSeconds() - senderStart;
    kill(deck, SIGTERM);
    const double deckCpu = Reap(deck);

    // The baseline: ffmpeg writing the same DV in real time.
    const double ffmpegStart = WallSeconds();
    const pid_t ffmpeg = Spawn({"ffmpeg", "-v", "error", "-nostdin", "-re", "-i", source, "-c", "copy",
                                "-f", "dv", "-y", dir + "/ffmpeg.dv"},
                               dir + "/ffmpeg.out");
    const double ffmpegCpu = Reap(ffmpeg);
    const double ffmpegWall = WallSeconds() - ffmpegStart;
    std::system(("rm -rf '" + dir + "'").c_str());
    if (deckCpu < 0 || ffmpegCpu < 0) {
        std::fprintf(stderr, "realtime_bench: a child failed\n");
        return 1;
    }

    const double deckPerMinute = (deckCpu + senderCpu) / tapeMinutes;
    const double ffmpegPerMinute = ffmpegCpu / tapeMinutes;
    std::printf("%zu frames (%.1f s of tape): deck %.1f s wall, ffmpeg -re %.1f s wall\n", count,
                tapeMinutes * 60, deckWall, ffmpegWall);
    std::printf("deck %.3f CPU s per tape minute (dvdeck %.3f + sender %.3f), ffmpeg -re %.3f, "
                "ratio %.3f (target < 0.1)\n",
                deckPerMinute, deckCpu / tapeMinutes, senderCpu / tapeMinutes, ffmpegPerMinute,
                deckPerMinute / ffmpegPerMinute);
    return 0;
}
