// Frames per second the colour-bar filter delivers to a downstream pin that takes each sample
// and lets it go, against a plain loop copying the same 1036800 bytes into the same kind of
// buffer (a platform Memory Allocator sample), measured in the same run. Prints the ratio.
#include <benchmark/benchmark.h>

#include <dshow.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/fake_input_pin.h"

namespace {

constexpr LONG kImageBytes = 1036800;
constexpr long kFramesPerBatch = 16;  // frames per timed iteration of the filter benchmark

DEFINE_GUID(kColorBarClassId, 0x56B794AD, 0x9850, 0x4F6F, 0xA6, 0x95, 0x4E, 0x55, 0x38, 0x6F,
            0x73, 0x28);

// Takes each sample and returns at once; counts them so the benchmark can wait for the next.
class ConsumingPin : public testsupport::FakeInputPin {
public:
    // Blocks until more than count samples arrived. Only the sample reaching the target wakes
    // the waiter, so waiting costs the worker one wake-up per batch, not per frame.
    void WaitBeyond(long count) {
        std::unique_lock<std::mutex> hold(mutex);
        target = count + 1;
        arrived.wait(hold, [&] { return received.load() > count; });
    }
    long Received() const { return received.load(); }

    HRESULT STDMETHODCALLTYPE Receive(IMediaSample*) override {
        const long now = received.fetch_add(1) + 1;
        if (now >= target.load()) {
            std::lock_guard<std::mutex> hold(mutex);  // pairs with the waiter's predicate check
            arrived.notify_one();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample**, LONG, LONG*) override {
        return E_NOTIMPL;
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::atomic<long> received{0};
    std::atomic<long> target{1};
};

IBaseFilter* CreateFilter(HMODULE library) {
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, "DllGetClassObject")));
    if (getClassObject == nullptr) return nullptr;
    IClassFactory* factory = nullptr;
    if (FAILED(getClassObject(kColorBarClassId, IID_IClassFactory,
                              reinterpret_cast<void**>(&factory)))) {
        return nullptr;
    }
    IBaseFilter* filter = nullptr;
    factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
    factory->Release();
    return filter;
}

void BM_FilterDelivery(benchmark::State& state) {
    HMODULE library = LoadLibraryA(TAMSEL_BUILD_DIR "/tamsel.ax");
    IBaseFilter* filter = library != nullptr ? CreateFilter(library) : nullptr;
    IPin* output = nullptr;
    ConsumingPin input;
    if (filter == nullptr || FAILED(filter->FindPin(u"1", &output)) ||
        FAILED(output->Connect(&input, nullptr)) || FAILED(filter->Pause())) {
        state.SkipWithError("could not stream from tamsel.ax");
        return;
    }
    input.WaitBeyond(0);  // warm: the worker is running
    for (auto _ : state) {
        input.WaitBeyond(input.Received() + kFramesPerBatch - 1);
    }
    state.SetItemsProcessed(state.iterations() * kFramesPerBatch);
    filter->Stop();
    output->Disconnect();
    output->Release();
    filter->Release();
    FreeLibrary(library);
}

void BM_PlainCopy(benchmark::State& state) {
    IMemAllocator* allocator = nullptr;
    if (FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IMemAllocator, reinterpret_cast<void**>(&allocator)))) {
        state.SkipWithError("no Memory Allocator");
        return;
    }
    ALLOCATOR_PROPERTIES request = {1, kImageBytes, 1, 0};
    ALLOCATOR_PROPERTIES granted = {};
    allocator->SetProperties(&request, &granted);
    allocator->Commit();
    std::vector<BYTE> image(kImageBytes, 16);
    for (auto _ : state) {
        IMediaSample* sample = nullptr;
        if (FAILED(allocator->GetBuffer(&sample, nullptr, nullptr, 0))) break;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::memcpy(data, image.data(), kImageBytes);
        benchmark::ClobberMemory();
        sample->Release();
    }
    state.SetItemsProcessed(state.iterations());
    allocator->Decommit();
    allocator->Release();
}

BENCHMARK(BM_FilterDelivery)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainCopy)->UseRealTime()->MinTime(2.0);

// Keeps each benchmark's frames per second so main can print the ratio.
class RateReporter : public benchmark::ConsoleReporter {
public:
    RateReporter() : ConsoleReporter(OO_None) {}  // plain text, fit for logs
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto found = run.counters.find("items_per_second");
            if (found == run.counters.end()) continue;
            // Keyed by the function name, without the "/min_time:.../real_time" suffix.
            const std::string name = run.benchmark_name();
            rates[name.substr(0, name.find('/'))] = found->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
    CoInitialize(nullptr);
    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double filterRate = reporter.rates["BM_FilterDelivery"];
    const double copyRate = reporter.rates["BM_PlainCopy"];
    if (filterRate > 0 && copyRate > 0) {
        std::printf("filter %.1f frames/s, plain copy %.1f frames/s, ratio %.3f (target >= 0.9)\n",
                    filterRate, copyRate, filterRate / copyRate);
    }
    benchmark::Shutdown();
    CoUninitialize();
    return 0;
}
