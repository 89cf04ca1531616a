// check_bench: what checking a tape costs, in CPU seconds per minute of tape: `tamsel-stripe
// --verify-file` on a stripe-like file with every check applied (the colour-bar picture, so the
// bars are recognised and each frame decoded; a 1 kHz tone at -20 dBFS on both channels).
// Baseline, in the same run and on the same file: FFmpeg decoding it (video and audio) to nothing,
//
//   ffmpeg -i tape.dv -f null -
//
// Each side's CPU is taken from wait4; each reports its lowest over the rounds. The file is made
// once with ffmpeg from colorbar.dat (the picture from byte 54) and the sine source.
//
//   build/check_bench [seconds of tape, default 60] [rounds, default 3]
//
// Needs tamsel-stripe and colorbar.dat in the build directory it was built in, and ffmpeg on the
// PATH. Works in a folder of its own under /tmp, removed at the end.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

std::string Build(const std::string& file) { return std::string(TAMSEL_BUILD_DIR) + "/" + file; }

double Seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

// Runs argv to its end (bounded at ten minutes against a hang), output to `log`; its CPU seconds,
// or -1 when it failed.
double CpuOf(const std::vector<std::string>& argv, const std::string& log, int* status = nullptr) {
    testsupport::ProcessOptions options = testsupport::OutputTo(log);
    const testsupport::Process process = testsupport::StartProcess(argv, options);
    if (process.pid <= 0) return -1;
    rusage usage {};
    const int code = testsupport::WaitProcess(process.pid, 600000, &usage);
    if (status != nullptr) *status = code;
    return code < 0 ? -1 : Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    testsupport::TempDir dir("tamsel-check-bench");
    const std::string picture = dir.path() + "/picture.bgr", tape = dir.path() + "/tape.dv";
    std::string output;
    if (testsupport::Shell("tail -c +55 " + testsupport::Quote(Build("colorbar.dat")) + " > " +
                           testsupport::Quote(picture), &output) != 0) {
        std::fprintf(stderr, "check_bench: colorbar.dat could not be read: %s\n", output.c_str());
        return 1;
    }
    // The sine source's mono tone (an eighth of full scale) spread over two channels at -3 dB
    // each, raised to -20 dBFS on both.
    const std::string make = "ffmpeg -v error -y -stream_loop -1 -f rawvideo -pix_fmt bgr24 -s 720x480 -r 30000/1001 -i " +
                             testsupport::Quote(picture) +
                             " -f lavfi -i sine=frequency=1000:sample_rate=48000 -vf vflip -af volume=1.1314 -ac 2 -t " +
                             std::to_string(seconds) + " -pix_fmt yuv411p -f dv " + testsupport::Quote(tape);
    if (testsupport::Shell(make, &output, 600000) != 0) {
        std::fprintf(stderr, "check_bench: ffmpeg could not make the tape: %s\n", output.c_str());
        return 1;
    }
    const double minutes = double(seconds) / 60.0;
    double checker = 1e9, ffmpeg = 1e9;
    for (int round = 0; round < rounds; ++round) {
        int status = -1;
        const double ours = CpuOf({Build("tamsel-stripe"), "--verify-file", tape, "--json"}, dir.path() + "/check.log",
                                  &status);
        if (ours < 0 || status != 0) {
            std::fprintf(stderr, "check_bench: the check failed (status %d); its report:\n%s\n", status,
                         testsupport::ReadFile(dir.path() + "/check.log").c_str());
            return 1;
        }
        const double theirs = CpuOf({"ffmpeg", "-v", "error", "-i", tape, "-f", "null", "-"}, dir.path() + "/ffmpeg.log");
        if (theirs < 0) {
            std::fprintf(stderr, "check_bench: ffmpeg could not decode the tape\n");
            return 1;
        }
        checker = std::min(checker, ours);
        ffmpeg = std::min(ffmpeg, theirs);
    }
    const std::string report = testsupport::ReadFile(dir.path() + "/check.log");
    const bool allChecks = report.find("colour bars and black levels") != std::string::npos &&
                           report.find("1 kHz tone") != std::string::npos;
    std::printf("check: %.3f CPU s per tape minute (%d s of tape, best of %d)%s\n", checker / minutes, seconds, rounds,
                allChecks ? ", every check applied" : ", NOT every check applied (see the report)");
    std::printf("ffmpeg decoding: %.3f CPU s per tape minute\n", ffmpeg / minutes);
    std::printf("ratio %.3f (check / ffmpeg decoding); the check takes %.1f%% of real time\n", checker / ffmpeg,
                100.0 * checker / minutes / 60.0);
    return 0;
}
