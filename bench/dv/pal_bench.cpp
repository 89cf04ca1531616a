// pal_bench: what putting 625/50 (PAL) bars on tape in real time costs, in CPU seconds per minute of
// tape: tamsel-stripe --standard pal (EBU 75 % bars from "Reference Bars", 4:2:0, 12 DIF sequences)
// onto a `dvdeck --standard pal` that paces it at 25 frames a second, tamsel-stripe's CPU over all
// of its life. Baseline, in the same run and for the same number of frames: ffmpeg making the same
// DV from the same picture (the stripe's first frame, decoded) in real time,
//
//   ffmpeg -re -stream_loop -1 -f rawvideo -pix_fmt yuv420p -s 720x576 -r 25 -i picture.yuv
//          -frames:v N -c:v dvvideo -f dv out.dv
//
// its CPU taken from wait4. Prints the ratio, figures only: ffmpeg here reads the 4:2:0 picture
// it encodes as it is, so its side is cheaper than realtime_bench's converting 525/60 baseline and
// that benchmark's target does not carry over. Each side reports its lowest CPU over the rounds.
//
//   build/pal_bench [seconds of tape, default 60] [rounds, default 1]
//
// Needs dvfilters.so, regsvr, dvdeck and tamsel-stripe in the build directory it was built in, and
// ffmpeg on the PATH. It makes and removes its own platform state directory.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "stripe_on_deck.h"

namespace {


constexpr long kFrameBytes = 144000;
constexpr double kFramesPerSecond = 25.0;

// ffmpeg making `frames` frames of PAL DV from `picture` in real time: its CPU, -1 on failure.
double RunFfmpeg(const std::string& dir, const std::string& picture, long frames, long* made) {
    const std::string out = dir + "/ffmpeg.dv";
    const pid_t pid = testsupport::StartProcess({"ffmpeg", "-v", "error", "-nostdin", "-y", "-re", "-stream_loop", "-1",
                                                 "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "720x576", "-r", "25",
                                                 "-i", picture, "-frames:v", std::to_string(frames), "-c:v", "dvvideo",
                                                 "-f", "dv", out},
                                                testsupport::OutputTo(dir + "/ffmpeg.out"))
                          .pid;
    rusage ru {};
    if (testsupport::WaitProcess(pid, 3600 * 1000, &ru) != 0) return -1;
    struct stat st {};
    *made = stat(out.c_str(), &st) == 0 ? long(st.st_size / kFrameBytes) : 0;
    return benchsupport::CpuSeconds(ru);
}

}  // namespace

int main(int argc, char** argv) {
    const auto prepared = benchsupport::Prepare(
        argc, argv, {"pal_bench", "[seconds of tape, at least 2] [rounds]", 60, 2, 1, benchsupport::kStripeOnDeckPieces});
    if (!prepared) return 2;
    const auto& [seconds, rounds, dir] = *prepared;

    double chainBest = -1, ffmpegBest = -1;
    for (int round = 1; round <= rounds; ++round) {
        const std::string name = "pal-" + std::to_string(round);
        const benchsupport::StripeRun run = benchsupport::StripeOnDeck(
            dir, name, {"--standard", "pal", "--no-tone", "--duration", std::to_string(seconds)}, {"--standard", "pal"},
            kFrameBytes);
        if (!run.error.empty()) {
            std::fprintf(stderr, "pal_bench: %s\n", run.error.c_str());
            return 1;
        }
        // The baseline's picture: the stripe's own first frame, decoded.
        const std::string picture = dir + "/picture.yuv";
        std::string out;
        if (testsupport::Shell("ffmpeg -v error -nostdin -y -i " + dir + "/" + name + ".dv -frames:v 1 -f rawvideo " +
                                   "-pix_fmt yuv420p " + picture,
                               &out) != 0) {
            std::fprintf(stderr, "pal_bench: ffmpeg cannot decode the stripe: %s\n", out.c_str());
            return 1;
        }
        long made = 0;
        const double ffmpegCpu = RunFfmpeg(dir, picture, run.frames, &made);
        if (ffmpegCpu < 0 || made != run.frames) {
            std::fprintf(stderr, "pal_bench: ffmpeg failed (%ld of %ld frames): %s\n", made, run.frames,
                         testsupport::ReadFile(dir + "/ffmpeg.out").c_str());
            return 1;
        }
        const double chain = benchsupport::PerTapeMinute(run.cpu, run.frames, kFramesPerSecond);
        const double ffmpeg = benchsupport::PerTapeMinute(ffmpegCpu, made, kFramesPerSecond);
        std::printf("round %d: tamsel-stripe --standard pal %.3f CPU s per tape minute, ffmpeg -re %.3f (%ld frames)\n",
                    round, chain, ffmpeg, run.frames);
        chainBest = chainBest < 0 ? chain : std::min(chainBest, chain);
        ffmpegBest = ffmpegBest < 0 ? ffmpeg : std::min(ffmpegBest, ffmpeg);
    }
    std::printf("pal: chain %.3f CPU s per tape minute, ffmpeg -re %.3f, ratio %.3f (best of %d)\n",
                chainBest, ffmpegBest, chainBest / ffmpegBest, rounds);
    std::filesystem::remove_all(dir);
    return 0;
}
