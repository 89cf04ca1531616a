// Frames per second of "DV Video Encoder" + "DV Muxer" on the colour-bar picture, with frame reuse
// off and on, against the ffmpeg command line doing the same conversion, encoding and muxing in
// the same run. The chain ends in a sink that takes each frame as fast as it comes and drops it,
// as a transport with room to spare would: it looks at the sample's length and not at its bytes.
// The three runs alternate for several rounds and each reports its best round, so a burst of load
// on the shared machine does not decide the ratio.
// Then the cost of the reference tone and the recording packs on the real-time chain's kind of
// run (the still picture, frame reuse on): process CPU per frame of the chain without and with
// "Reference Tone" on the muxer's "Stream 1", and of the muxer's system-data writer as it was
// (silence, no date) against now (the tone's samples, date and time packs).
// Usage: dv_chain_bench [frames] [rounds] (defaults 900 and 3).
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/dv/encoding_chain.h"
#include "tests/support/process.h"
#include "dv/dif/dif_layout.h"
#include "dv/dif/system_data.h"
#include "dv/dif/audio_shuffle.h"
#include "dv/filters/reference_tone.h"

using namespace dvtest;
using Clock = std::chrono::steady_clock;

namespace {

// The colour-bar picture as the source sends it (bottom-up BGR): colorbar.dat from the build
// directory when it is there, otherwise 75% bars drawn here.
std::vector<uint8_t> BottomUpPicture() {
    std::vector<uint8_t> picture(kPictureBytes);
    std::ifstream file(std::string(TAMSEL_BUILD_DIR) + "/colorbar.dat", std::ios::binary);
    if (file && file.seekg(54) && file.read(reinterpret_cast<char*>(picture.data()), kPictureBytes)) {
        std::printf("picture: colorbar.dat\n");
        return picture;
    }
    static const uint8_t kBars[7][3] = {{191, 191, 191}, {0, 191, 191}, {191, 191, 0}, {0, 191, 0},
                                        {191, 0, 191},   {0, 0, 191},   {191, 0, 0}};
    for (int row = 0; row < kHeight; ++row)
        for (int x = 0; x < kWidth; ++x) {
            const uint8_t* bar = kBars[x * 7 / kWidth];
            std::memcpy(&picture[(static_cast<size_t>(row) * kWidth + x) * 3], bar, 3);
        }
    std::printf("picture: drawn bars (no colorbar.dat in %s)\n", TAMSEL_BUILD_DIR);
    return picture;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU seconds of the whole process (every thread: the encoder's helper, the tone's worker).
double ProcessCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Pushes frames through source -> encoder -> muxer -> sink, with the tone on the muxer's audio
// pin when asked, and returns frames per second; *cpuUs, when given, the process CPU per frame.
double RunChain(const std::vector<uint8_t>& picture, int frames, bool reuse, bool tone = false,
                double* cpuUs = nullptr) {
    EncodingChain chain;
    if (chain.Connect() != S_OK) {
        std::fprintf(stderr, "cannot connect the chain\n");
        std::exit(1);
    }
    Ref<dv::ReferenceTone> source(new dv::ReferenceTone());
    if (tone && source->Output().Connect(&chain.muxer->Audio(), nullptr) != S_OK) {
        std::fprintf(stderr, "cannot connect the tone\n");
        std::exit(1);
    }
    chain.encoder->Codec().SetReuse(reuse);
    // The hand-off: take the frame and let it go, counting what came.
    long delivered = 0;
    long wrongLength = 0;
    chain.sink->Input().onData = [&delivered, &wrongLength](const uint8_t* /*data*/, long length) {
        ++delivered;
        if (length != kDvFrameBytes) ++wrongLength;
    };
    chain.Pause();
    if (tone) {
        source->Pause();
        // Started: the queue filled, as it is in a stream that runs.
        for (int i = 0; chain.muxer->QueuedAudioSamples() < dv::Muxer::kAudioQueueFrames / 2; ++i) {
            if (i == 10000) {
                std::fprintf(stderr, "the tone did not start\n");
                std::exit(1);
            }
            usleep(1000);
        }
    }

    const double cpuStart = ProcessCpu();
    const Clock::time_point start = Clock::now();
    for (int k = 0; k < frames; ++k) {
        if (chain.source->Push(picture.data(), kPictureBytes, k * 200000LL, (k + 1) * 200000LL) != S_OK) {
            std::fprintf(stderr, "frame %d refused\n", k);
            std::exit(1);
        }
    }
    const double elapsed = Seconds(start);
    if (cpuUs != nullptr) *cpuUs = (ProcessCpu() - cpuStart) * 1e6 / frames;
    if (tone && chain.muxer->SilencedSamples() != 0) {
        std::fprintf(stderr, "the tone fell behind: %llu samples silenced\n",
                     static_cast<unsigned long long>(chain.muxer->SilencedSamples()));
        std::exit(1);
    }
    chain.Stop();
    source->Stop();
    source->Output().Disconnect();
    if (delivered != frames || wrongLength != 0) {
        std::fprintf(stderr, "the sink got %ld frames (%ld of the wrong length) for %d pictures\n",
                     delivered, wrongLength, frames);
        std::exit(1);
    }
    return frames / elapsed;
}

double RunFfmpeg(const std::string& dir, int frames) {
    const std::string command =
        "ffmpeg -v error -y -stream_loop -1 -f rawvideo -pix_fmt bgr24 -s 720x480 -r 30000/1001 -i '" +
        dir + "/picture.bgr' -vf vflip -frames:v " + std::to_string(frames) +
        " -pix_fmt yuv411p -c:v dvvideo -f dv '" + dir + "/out.dv'";
    const Clock::time_point start = Clock::now();
    std::string said;
    if (testsupport::Shell(command, &said, int(1000.0 * (60 + frames / 10.0))) != 0) {
        std::fprintf(stderr, "ffmpeg failed: %s\n%s", command.c_str(), said.c_str());
        std::exit(1);
    }
    return frames / Seconds(start);
}

// Microseconds per frame of the system-data writer: as it was (silence, no date), with the
// recording date and time packs, and with the tone's samples too.
enum class Writer { Before, Packs, PacksAndTone };
double WriterUs(int frames, Writer what) {
    std::vector<uint8_t> frame(kDvFrameBytes, 0);
    std::vector<int16_t> audio(2 * 1602);
    dv::ReferenceTone::Cycle cycle;
    dv::ReferenceTone::MakeCycle(dv::ReferenceTone::PeakOf(-20), &cycle);
    dv::ReferenceTone::FillTone(audio.data(), 0, 1602, cycle);
    dv::dif::SystemData data;
    data.hasRecordingTime = true;
    data.recorded = dv::dif::RecordingTime{2025, 6, 1, 12, 0, 0};
    const Clock::time_point start = Clock::now();
    for (int k = 0; k < frames; ++k) {
        if (what != Writer::Before) {
            data.frameNumber = static_cast<uint64_t>(k);
            data.timecode = dv::Timecode::OfFrame(k);
            dv::dif::WriteSystemData(frame.data(), data);
            if (what == Writer::PacksAndTone)
                dv::ShuffleAudio(frame.data(), audio.data(), dv::dif::AudioSamplesInFrame(data.frameNumber));
        } else {
            dv::dif::WriteSystemData(frame.data(), static_cast<uint64_t>(k));
        }
    }
    return Seconds(start) * 1e6 / frames;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 900;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    char pattern[] = "/tmp/dv-bench-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr || frames <= 0 || rounds <= 0) return 2;
    setenv("PLATFORM_STATE_DIR", dir, 1);  // never touch the user's registry

    const std::vector<uint8_t> picture = BottomUpPicture();
    {
        std::ofstream raw(std::string(dir) + "/picture.bgr", std::ios::binary);
        raw.write(reinterpret_cast<const char*>(picture.data()), kPictureBytes);
    }

    RunChain(picture, 30, false);
    double ffmpegFps = 0;
    double offFps = 0;
    double onFps = 0;
    for (int round = 0; round < rounds; ++round) {
        const double ffmpeg = RunFfmpeg(dir, frames);
        const double off = RunChain(picture, frames, false);
        const double on = RunChain(picture, frames, true);
        std::printf("round %d: ffmpeg %.1f, reuse off %.1f, reuse on %.1f frames/s\n", round + 1,
                    ffmpeg, off, on);
        ffmpegFps = std::max(ffmpegFps, ffmpeg);
        offFps = std::max(offFps, off);
        onFps = std::max(onFps, on);
    }

    std::printf("frames: %d, best of %d rounds\n", frames, rounds);
    std::printf("ffmpeg command line:        %8.1f frames/s\n", ffmpegFps);
    std::printf("encoder+muxer, reuse off:   %8.1f frames/s  ratio %.2f (target >= 1.0)\n", offFps,
                offFps / ffmpegFps);
    std::printf("encoder+muxer, reuse on:    %8.1f frames/s  ratio %.2f (target >= 10)\n", onFps,
                onFps / ffmpegFps);

    // The tone and the packs on the real-time chain's kind of run (reuse on), best of the rounds.
    double plainCpu = 1e9, toneCpu = 1e9, oldWriter = 1e9, packsWriter = 1e9, newWriter = 1e9;
    for (int round = 0; round < rounds; ++round) {
        double cpu = 0;
        RunChain(picture, frames, true, false, &cpu);
        plainCpu = std::min(plainCpu, cpu);
        RunChain(picture, frames, true, true, &cpu);
        toneCpu = std::min(toneCpu, cpu);
        oldWriter = std::min(oldWriter, WriterUs(frames, Writer::Before));
        packsWriter = std::min(packsWriter, WriterUs(frames, Writer::Packs));
        newWriter = std::min(newWriter, WriterUs(frames, Writer::PacksAndTone));
    }
    // The chain before the tone and packs: today's chain without the tone, less what the packs
    // added to its writer.
    const double before = plainCpu - (packsWriter - oldWriter);
    std::printf("system data writer:         %8.2f us/frame before, %.2f with the packs, %.2f with tone samples too\n",
                oldWriter, packsWriter, newWriter);
    std::printf("chain CPU, reuse on:        %8.2f us/frame without tone, %.2f with tone\n", plainCpu, toneCpu);
    std::printf("tone and packs:             ratio %.3f against the chain before them (target <= 1.10)\n",
                toneCpu / before);
    std::filesystem::remove_all(dir);
    return 0;
}
