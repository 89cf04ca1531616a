#include "test_filters.h"

#include <atomic>
#include <chrono>
#include <cstring>

namespace streamtest {

namespace {

// {6F1C2D7A-90B3-4E55-8A41-2C6D9E0F7B13}
constexpr CLSID kTestFilterClsid = {0x6f1c2d7a, 0x90b3, 0x4e55,
                                    {0x8a, 0x41, 0x2c, 0x6d, 0x9e, 0x0f, 0x7b, 0x13}};
constexpr LONG kSampleSize = 4096;
constexpr auto kPatience = std::chrono::seconds(30);  // a fault fails the test instead of hanging

std::mutex g_logMutex;
std::vector<std::string> g_log;
std::atomic<int> g_liveFilters{0};

}  // namespace

// ---- CallLog ----------------------------------------------------------------------------------

void CallLog::Record(const std::string& entry) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_log.push_back(entry);
}

std::vector<std::string> CallLog::Take() {
    std::lock_guard<std::mutex> guard(g_logMutex);
    std::vector<std::string> taken;
    taken.swap(g_log);
    return taken;
}

std::vector<std::string> CallLog::Labels(const std::vector<std::string>& log,
                                         const std::string& call) {
    std::vector<std::string> labels;
    const std::string suffix = ":" + call;
    for (const std::string& entry : log) {
        if (entry.size() > suffix.size() &&
            entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0) {
            labels.push_back(entry.substr(0, entry.size() - suffix.size()));
        }
    }
    return labels;
}

// ---- Pins -------------------------------------------------------------------------------------

HRESULT CheckVideo(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    return mt->majortype == MEDIATYPE_Video ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT TestOutputPin::GetMediaType(int position, filterkit::MediaType* mt) {
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    mt->Clear();
    filterkit::SetFrameType(mt, MEDIATYPE_Video, MEDIASUBTYPE_RGB24, FORMAT_None, kSampleSize);
    return S_OK;
}

HRESULT TestOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    props->cBuffers = 2;
    return SizeForFrames(allocator, props, kSampleSize);
}

HRESULT TestInputPin::OnReceive(IMediaSample* sample) {
    return static_cast<TestFilter*>(Filter())->OnReceive(sample);
}

void TestInputPin::UnblockReceive() { static_cast<TestFilter*>(Filter())->WakeHeldReceive(); }

// ---- TestFilter -------------------------------------------------------------------------------

TestFilter* TestFilter::Create(Kind kind, const std::string& label) {
    return new TestFilter(kind, label);
}

HRESULT TestFilter::CreateRenderer(IUnknown* outer, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    const auto filter = ComPtr<TestFilter>::Adopt(Create(Kind::Renderer, "device"));
    return filter->QueryInterface(iid, out);
}

int TestFilter::LiveCount() { return g_liveFilters.load(); }

TestFilter::TestFilter(Kind kind, const std::string& label)
    : ComExtend(kTestFilterClsid), kind(kind), label(label), input(this), output(this) {
    if (kind != Kind::Source) AddPin(&input);
    if (kind != Kind::Renderer) AddPin(&output);
    ++g_liveFilters;
}

TestFilter::~TestFilter() {
    if (worker.joinable()) {  // released while streaming: stop the worker first
        output.Deactivate();
        StopWorker();
    }
    --g_liveFilters;
}

void TestFilter::Log(const char* call) { CallLog::Record(label + ":" + call); }

IPin* TestFilter::InputPin() { return kind != Kind::Source ? &input : nullptr; }
IPin* TestFilter::OutputPin() { return kind != Kind::Renderer ? &output : nullptr; }

HRESULT TestFilter::Stop() {
    Log("Stop");
    return KitFilter::Stop();
}

HRESULT TestFilter::Pause() {
    Log("Pause");
    return KitFilter::Pause();
}

HRESULT TestFilter::Run(REFERENCE_TIME tStart) {
    Log("Run");
    return KitFilter::Run(tStart);
}

HRESULT TestFilter::SetSyncSource(IReferenceClock* pClock) {
    Log(pClock != nullptr ? "SetSyncSource" : "ClearSyncSource");
    return KitFilter::SetSyncSource(pClock);
}

HRESULT TestFilter::OnActivate() {
    {
        std::lock_guard<std::mutex> stream(streamMutex);
        workerStop = false;
    }
    if (kind == Kind::Source && output.IsConnected()) worker = std::thread([this] { WorkerLoop(); });
    return S_OK;
}

// The allocator is decommitted by now: a worker waiting for a buffer gets a failure and sees
// the stop.
void TestFilter::OnStop() { StopWorker(); }

void TestFilter::StopWorker() {
    {
        std::lock_guard<std::mutex> stream(streamMutex);
        workerStop = true;
    }
    streamChanged.notify_all();
    if (worker.joinable()) worker.join();
}

void TestFilter::WorkerLoop() {
    REFERENCE_TIME time = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> stream(streamMutex);
            if (workerStop) break;
        }
        IMediaSample* sample = nullptr;
        if (FAILED(output.GetDeliveryBuffer(&sample, nullptr, nullptr, 0))) {
            std::unique_lock<std::mutex> stream(streamMutex);
            streamChanged.wait_for(stream, std::chrono::milliseconds(1),
                                   [this] { return workerStop; });
            continue;
        }
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::memset(data, static_cast<int>(time / 200000) & 0xFF,
                    static_cast<size_t>(sample->GetSize()));
        REFERENCE_TIME start = time, stop = time + 200000;
        sample->SetTime(&start, &stop);
        time = stop;
        bool fail = false;
        {
            std::lock_guard<std::mutex> stream(streamMutex);
            fail = failAfter >= 0 && delivered >= failAfter;
        }
        HRESULT hr = S_OK;
        if (fail) {
            sample->Release();
            NotifyEvent(EC_ERRORABORT, E_FAIL, 0);
            hr = E_FAIL;
        } else {
            hr = output.Deliver(sample);
            sample->Release();
            std::lock_guard<std::mutex> stream(streamMutex);
            ++delivered;
        }
        if (hr != S_OK) {  // streaming ends until the filter is stopped
            std::unique_lock<std::mutex> stream(streamMutex);
            streamChanged.wait(stream, [this] { return workerStop; });
            break;
        }
    }
}

HRESULT TestFilter::InitNew() { return S_OK; }

HRESULT TestFilter::Load(IPropertyBag* pPropBag, IErrorLog*) {
    if (pPropBag == nullptr) return E_POINTER;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    const HRESULT hr = pPropBag->Read(u"DevicePath", &value, nullptr);
    if (FAILED(hr)) return hr;
    std::lock_guard<std::recursive_mutex> guard(FilterLock());
    devicePath = value.bstrVal != nullptr ? std::u16string(value.bstrVal) : std::u16string();
    VariantClear(&value);
    return S_OK;
}

HRESULT TestFilter::Save(IPropertyBag*, BOOL, BOOL) { return E_NOTIMPL; }

HRESULT TestFilter::OnReceive(IMediaSample* sample) {
    {
        std::unique_lock<std::mutex> stream(streamMutex);
        if (workerStop) return VFW_E_WRONG_STATE;  // stopped
        ++received;
        REFERENCE_TIME start = -1, stop = -1;
        if (SUCCEEDED(sample->GetTime(&start, &stop))) lastStart = start;
        lastLength = sample->GetActualDataLength();
        streamChanged.notify_all();
        if (holdNext) {
            // Back-pressure: keep the sample and the caller until we are stopped.
            holdNext = false;
            holding = true;
            streamChanged.notify_all();
            streamChanged.wait(stream, [this] { return workerStop || input.IsStopped(); });
            holding = false;
            return S_OK;
        }
    }
    if (kind == Kind::PassThrough && output.IsConnected()) return output.Deliver(sample);
    return S_OK;
}

void TestFilter::WakeHeldReceive() {
    { std::lock_guard<std::mutex> stream(streamMutex); }  // a holder is waiting or sees the stop
    streamChanged.notify_all();
}

int TestFilter::Received() {
    std::lock_guard<std::mutex> stream(streamMutex);
    return received;
}

bool TestFilter::WaitForReceived(int count) {
    std::unique_lock<std::mutex> stream(streamMutex);
    return streamChanged.wait_for(stream, kPatience, [&] { return received >= count; });
}

void TestFilter::HoldReceive() {
    std::lock_guard<std::mutex> stream(streamMutex);
    holdNext = true;
}

bool TestFilter::WaitUntilHolding() {
    std::unique_lock<std::mutex> stream(streamMutex);
    return streamChanged.wait_for(stream, kPatience, [this] { return holding; });
}

void TestFilter::FailAfter(int samples) {
    std::lock_guard<std::mutex> stream(streamMutex);
    failAfter = samples;
}

REFERENCE_TIME TestFilter::LastSampleStart() {
    std::lock_guard<std::mutex> stream(streamMutex);
    return lastStart;
}

LONG TestFilter::LastSampleLength() {
    std::lock_guard<std::mutex> stream(streamMutex);
    return lastLength;
}

std::u16string TestFilter::Name() {
    FILTER_INFO info{};
    QueryFilterInfo(&info);
    if (info.pGraph != nullptr) info.pGraph->Release();
    return info.achName;
}

std::u16string TestFilter::DevicePath() {
    std::lock_guard<std::recursive_mutex> guard(FilterLock());
    return devicePath;
}

IReferenceClock* TestFilter::Clock() {
    IReferenceClock* clock = nullptr;
    GetSyncSource(&clock);
    if (clock != nullptr) clock->Release();  // the filter keeps its own reference
    return clock;
}

IFilterGraph* TestFilter::Graph() {
    FILTER_INFO info{};
    QueryFilterInfo(&info);
    if (info.pGraph != nullptr) info.pGraph->Release();  // the graph is held uncounted
    return info.pGraph;
}

}  // namespace streamtest
