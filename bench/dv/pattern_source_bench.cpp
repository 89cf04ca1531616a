// pattern_source_bench: what a frame of "Reference Bars" costs against a frame of the colour-bar
// filter ("Velora Color Bar", loaded from tamsel.ax through the registry as the control program
// loads it), measured in the same run. Each source pushes frames as fast as a sink that drops
// them takes them; the process CPU per frame is compared:
//   - the source alone (Reference Bars' UYVY frame against the colour-bar RGB24 frame), and
//   - the source with "DV Video Encoder" behind it, frame reuse off, so the encoder's input
//     conversion counts (UYVY straight into 4:1:1 against libswscale's RGB conversion).
// The runs alternate for several rounds and each reports its best round. Target: ratio <= 1.0.
//
//   build/pattern_source_bench [frames, default 600] [rounds, default 3]
//
// Needs tamsel.ax, colorbar.dat, dvfilters.so and regsvr in the build directory it was built in.
// It makes and removes its own platform state directory.
#include <sys/resource.h>
#include <unistd.h>

#include <platform/platform.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "bench_run.h"
#include "dv/filters/video_encoder.h"
#include "tests/support/dv/dif_test_filters.h"
#include "tests/support/process.h"

using namespace dvtest;

namespace {

using benchsupport::Build;

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Counts the frames reaching the sink and wakes the waiter at `wanted`.
struct Counter {
    std::mutex mutex;
    std::condition_variable reached;
    long frames = 0;  // mutex
};

// CPU seconds per frame of `source` (optionally through a fresh encoder, reuse off) into a sink
// taking `subtype` (the encoder's dvsd when there is one); -1 when it does not run.
double PerFrame(IBaseFilter* source, const GUID& subtype, bool withEncoder, long frames) {
    Counter counter;
    const bool encoded = withEncoder;
    Ref<TestSink> sink{new TestSink(MEDIATYPE_Video, encoded ? MEDIASUBTYPE_dvsd : subtype)};
    sink->Input().onData = [&](const uint8_t*, long) {
        std::lock_guard<std::mutex> lock(counter.mutex);
        if (++counter.frames >= frames) counter.reached.notify_all();
    };
    Ref<dv::VideoEncoder> encoder{new dv::VideoEncoder()};
    encoder->Codec().SetReuse(false);
    IPin* out = nullptr;
    IEnumPins* pins = nullptr;
    source->EnumPins(&pins);
    pins->Next(1, &out, nullptr);
    pins->Release();
    HRESULT hr = S_OK;
    if (encoded) {
        hr = out->Connect(&encoder->Input(), nullptr);
        if (hr == S_OK) hr = encoder->Output().Connect(&sink->Input(), nullptr);
    } else {
        hr = out->Connect(&sink->Input(), nullptr);
    }
    double cpu = -1;
    if (hr == S_OK) {
        const double start = CpuSeconds();
        sink->Pause();
        if (encoded) encoder->Pause();
        source->Pause();
        std::unique_lock<std::mutex> lock(counter.mutex);
        const bool came = counter.reached.wait_for(lock, std::chrono::seconds(120), [&] { return counter.frames >= frames; });
        const long got = counter.frames;
        lock.unlock();
        sink->Stop();
        if (encoded) encoder->Stop();
        source->Stop();
        if (came) cpu = (CpuSeconds() - start) / double(got);
    } else {
        std::fprintf(stderr, "pattern_source_bench: cannot connect (0x%08X)\n", unsigned(hr));
    }
    out->Disconnect();
    encoder->Input().Disconnect();
    encoder->Output().Disconnect();
    sink->Input().Disconnect();
    out->Release();
    return cpu;
}

}  // namespace

int main(int argc, char** argv) {
    const auto prepared = benchsupport::Prepare(argc, argv, {"pattern_source_bench", "[frames] [rounds]", 600, 1, 3,
                                                         {"tamsel.ax", "colorbar.dat", "dvfilters.so", "regsvr"}});
    if (!prepared) return 2;
    const auto& [frames, rounds, dir] = *prepared;
    const auto regsvr = testsupport::StartProcess({Build("regsvr"), Build("tamsel.ax")},
                                                  testsupport::OutputTo(dir + "/regsvr.out"));
    if (testsupport::WaitProcess(regsvr.pid, 60000, nullptr) != 0) {
        std::fprintf(stderr, "pattern_source_bench: regsvr tamsel.ax failed\n");
        return 1;
    }

    CoInitialize(nullptr);
    CLSID colourBarClass{};
    CLSIDFromString(u"{56B794AD-9850-4F6F-A695-4E55386F7328}", &colourBarClass);  // "Velora Color Bar"
    IBaseFilter* colourBar = nullptr;
    IBaseFilter* bars = nullptr;
    int status = 0;
    if (FAILED(CoCreateInstance(colourBarClass, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&colourBar))) ||
        FAILED(CoCreateInstance(CLSID_ReferenceBars, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&bars)))) {
        std::fprintf(stderr, "pattern_source_bench: cannot create the two sources\n");
        status = 1;
    } else {
        for (const bool withEncoder : {false, true}) {
            double bestBars = -1, bestColourBar = -1;
            auto lowest = [](double best, double value) { return best < 0 ? value : std::min(best, value); };
            for (int round = 0; round < rounds; ++round) {
                const double c = PerFrame(colourBar, MEDIASUBTYPE_RGB24, withEncoder, frames);
                const double b = PerFrame(bars, MEDIASUBTYPE_UYVY, withEncoder, frames);
                if (c < 0 || b < 0) {
                    std::fprintf(stderr, "pattern_source_bench: a source did not deliver %ld frames\n", frames);
                    status = 1;
                    break;
                }
                bestColourBar = lowest(bestColourBar, c);
                bestBars = lowest(bestBars, b);
            }
            if (status != 0) break;
            std::printf("%-28s colour bar %7.3f ms/frame, Reference Bars %7.3f ms/frame, ratio %.2f (target <= 1.0)\n",
                        withEncoder ? "source + encoder (no reuse):" : "source alone:", bestColourBar * 1e3,
                        bestBars * 1e3, bestBars / bestColourBar);
        }
    }
    if (bars != nullptr) bars->Release();
    if (colourBar != nullptr) colourBar->Release();
    CoFreeUnusedLibraries();
    CoUninitialize();
    std::filesystem::remove_all(dir);
    return status;
}
