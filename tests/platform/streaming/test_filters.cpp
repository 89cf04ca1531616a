#include "test_filters.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "support/list_enumerator.h"

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

void CopyName(const std::u16string& from, WCHAR* to, size_t capacity) {
    const size_t length = std::min(from.size(), capacity - 1);
    std::copy(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(length), to);
    to[length] = 0;
}

using PinEnumerator = platform::ListEnumerator<IEnumPins, IID_IEnumPins, platform::InterfaceItems<IPin>>;

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

// ---- TestPin ----------------------------------------------------------------------------------

TestPin::TestPin(TestFilter* owner, PIN_DIRECTION direction, const char16_t* name)
    : ComPart(static_cast<IBaseFilter*>(owner)), owner(owner), direction(direction), name(name) {}

TestPin::~TestPin() = default;

bool TestPin::IsConnected() {
    std::lock_guard<std::recursive_mutex> guard(owner->Lock());
    return static_cast<bool>(peer);
}

HRESULT TestPin::Disconnect() {
    std::lock_guard<std::recursive_mutex> guard(owner->Lock());
    if (owner->StateLocked() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!peer) return S_FALSE;
    ReleaseConnection();
    peer.Reset();
    return S_OK;
}

HRESULT TestPin::ConnectedTo(IPin** pPin) {
    if (pPin == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(owner->Lock());
    peer.CopyTo(pPin);
    return peer ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT TestPin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
    if (pmt == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(owner->Lock());
    *pmt = peer ? type : AM_MEDIA_TYPE{};
    return peer ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT TestPin::QueryPinInfo(PIN_INFO* pInfo) {
    if (pInfo == nullptr) return E_POINTER;
    platform::CopyTo(static_cast<IBaseFilter*>(owner), &pInfo->pFilter);
    pInfo->dir = direction;
    CopyName(name, pInfo->achName, MAX_PIN_NAME);
    return S_OK;
}

HRESULT TestPin::QueryDirection(PIN_DIRECTION* pPinDir) {
    if (pPinDir == nullptr) return E_POINTER;
    *pPinDir = direction;
    return S_OK;
}

HRESULT TestPin::QueryId(LPWSTR* Id) {
    if (Id != nullptr) *Id = nullptr;
    return E_NOTIMPL;
}
HRESULT TestPin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
    return pmt != nullptr && pmt->majortype == MEDIATYPE_Video ? S_OK : S_FALSE;
}
HRESULT TestPin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
    if (ppEnum != nullptr) *ppEnum = nullptr;
    return E_NOTIMPL;
}
HRESULT TestPin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }
HRESULT TestPin::EndOfStream() { return S_OK; }
HRESULT TestPin::BeginFlush() { return S_OK; }
HRESULT TestPin::EndFlush() { return S_OK; }
HRESULT TestPin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) { return S_OK; }

// ---- TestOutputPin ----------------------------------------------------------------------------

TestOutputPin::TestOutputPin(TestFilter* owner) : TestPin(owner, PINDIR_OUTPUT, u"Out") {}

TestOutputPin::~TestOutputPin() { ReleaseConnection(); }

void TestOutputPin::ReleaseConnection() {
    allocator.Reset();
    input.Reset();
}

HRESULT TestOutputPin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
    if (pReceivePin == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(owner->Lock());
    if (peer) return VFW_E_ALREADY_CONNECTED;
    if (owner->StateLocked() != State_Stopped) return VFW_E_NOT_STOPPED;
    AM_MEDIA_TYPE offered{};
    offered.majortype = MEDIATYPE_Video;
    offered.subtype = MEDIASUBTYPE_RGB24;
    offered.formattype = FORMAT_None;
    offered.bFixedSizeSamples = TRUE;
    offered.lSampleSize = kSampleSize;
    if (pmt != nullptr && pmt->majortype != GUID_NULL && pmt->majortype != MEDIATYPE_Video) {
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    ComPtr<IMemInputPin> memInput;
    HRESULT hr = pReceivePin->QueryInterface(IID_IMemInputPin, memInput.PutVoid());
    if (FAILED(hr)) return hr;
    hr = pReceivePin->ReceiveConnection(this, &offered);
    if (FAILED(hr)) return hr;
    ComPtr<IMemAllocator> memAllocator;
    if (FAILED(memInput->GetAllocator(memAllocator.Put())) || !memAllocator) {
        hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IMemAllocator, memAllocator.PutVoid());
    }
    ALLOCATOR_PROPERTIES request{2, kSampleSize, 1, 0}, actual{};
    if (SUCCEEDED(hr)) hr = memAllocator->SetProperties(&request, &actual);
    if (SUCCEEDED(hr)) hr = memInput->NotifyAllocator(memAllocator.Get(), FALSE);
    if (FAILED(hr)) {
        pReceivePin->Disconnect();
        return hr;
    }
    peer.Assign(pReceivePin);
    input = std::move(memInput);
    allocator = std::move(memAllocator);
    type = offered;
    return S_OK;
}

HRESULT TestOutputPin::ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) { return E_UNEXPECTED; }

// ---- TestInputPin -----------------------------------------------------------------------------

TestInputPin::TestInputPin(TestFilter* owner) : ComExtend(owner, PINDIR_INPUT, u"In") {}

HRESULT TestInputPin::Connect(IPin*, const AM_MEDIA_TYPE*) { return E_UNEXPECTED; }

HRESULT TestInputPin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
    if (pConnector == nullptr || pmt == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(owner->Lock());
    if (peer) return VFW_E_ALREADY_CONNECTED;
    if (owner->StateLocked() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (pmt->majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
    peer.Assign(pConnector);
    type = *pmt;
    type.pUnk = nullptr;  // the format block is not kept
    type.cbFormat = 0;
    type.pbFormat = nullptr;
    return S_OK;
}

HRESULT TestInputPin::GetAllocator(IMemAllocator** ppAllocator) {
    if (ppAllocator == nullptr) return E_POINTER;
    *ppAllocator = nullptr;
    return VFW_E_NO_ALLOCATOR;  // upstream brings a platform allocator
}

HRESULT TestInputPin::NotifyAllocator(IMemAllocator* pAllocator, BOOL) {
    return pAllocator != nullptr ? S_OK : E_POINTER;
}

HRESULT TestInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }

HRESULT TestInputPin::Receive(IMediaSample* pSample) {
    if (pSample == nullptr) return E_POINTER;
    return owner->OnReceive(pSample);
}

HRESULT TestInputPin::ReceiveMultiple(IMediaSample** pSamples, LONG nSamples,
                                      LONG* nSamplesProcessed) {
    if (pSamples == nullptr || nSamplesProcessed == nullptr) return E_POINTER;
    *nSamplesProcessed = 0;
    for (LONG i = 0; i < nSamples; ++i) {
        const HRESULT hr = Receive(pSamples[i]);
        if (hr != S_OK) return hr;
        ++*nSamplesProcessed;
    }
    return S_OK;
}

HRESULT TestInputPin::ReceiveCanBlock() { return S_OK; }

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

TestFilter::TestFilter(Kind kind, const std::string& label) : kind(kind), label(label) {
    if (kind != Kind::Source) input = new TestInputPin(this);
    if (kind != Kind::Renderer) output = new TestOutputPin(this);
    ++g_liveFilters;
}

TestFilter::~TestFilter() {
    if (worker.joinable()) {  // released while streaming: stop the worker first
        if (output->allocator) output->allocator->Decommit();
        {
            std::lock_guard<std::mutex> guard(streamMutex);
            workerStop = true;
        }
        streamChanged.notify_all();
        worker.join();
    }
    delete input;
    delete output;
    clock.Reset();
    --g_liveFilters;
}

void TestFilter::Log(const char* call) { CallLog::Record(label + ":" + call); }

HRESULT TestFilter::GetClassID(CLSID* pClassID) {
    if (pClassID == nullptr) return E_POINTER;
    *pClassID = kTestFilterClsid;
    return S_OK;
}

HRESULT TestFilter::Stop() {
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    Log("Stop");
    if (state == State_Stopped) return S_OK;
    {
        std::lock_guard<std::mutex> stream(streamMutex);
        workerStop = true;  // also ends a held Receive
    }
    streamChanged.notify_all();
    if (worker.joinable()) {
        // Decommit first: a worker waiting for a buffer gets a failure and sees the stop.
        output->allocator->Decommit();
        worker.join();
    }
    state = State_Stopped;
    return S_OK;
}

HRESULT TestFilter::Pause() {
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    Log("Pause");
    if (state == State_Stopped) {
        {
            std::lock_guard<std::mutex> stream(streamMutex);
            workerStop = false;
        }
        if (kind == Kind::Source && output->IsConnected()) {
            const HRESULT hr = output->allocator->Commit();
            if (FAILED(hr)) return hr;
            IMediaEventSink* eventSink = sink;
            worker = std::thread([this, eventSink] {
                IMemAllocator* memAllocator = output->allocator.Get();
                IMemInputPin* memInput = output->input.Get();
                REFERENCE_TIME time = 0;
                for (;;) {
                    {
                        std::lock_guard<std::mutex> stream(streamMutex);
                        if (workerStop) break;
                    }
                    IMediaSample* sample = nullptr;
                    if (FAILED(memAllocator->GetBuffer(&sample, nullptr, nullptr, 0))) {
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
                        if (eventSink != nullptr) eventSink->Notify(EC_ERRORABORT, E_FAIL, 0);
                        hr = E_FAIL;
                    } else {
                        hr = memInput->Receive(sample);
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
            });
        }
    }
    state = State_Paused;
    return S_OK;
}

HRESULT TestFilter::Run(REFERENCE_TIME) {
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    Log("Run");
    if (state == State_Stopped) {
        const HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    state = State_Running;
    return S_OK;
}

HRESULT TestFilter::GetState(DWORD, FILTER_STATE* State) {
    if (State == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    *State = state;
    return S_OK;
}

HRESULT TestFilter::SetSyncSource(IReferenceClock* pClock) {
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    Log(pClock != nullptr ? "SetSyncSource" : "ClearSyncSource");
    clock.Assign(pClock);
    return S_OK;
}

HRESULT TestFilter::GetSyncSource(IReferenceClock** pClock) {
    if (pClock == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    return clock.CopyTo(pClock);
}

HRESULT TestFilter::EnumPins(IEnumPins** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = PinEnumerator::Create(platform::CountedList<IPin>({input, output}));
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT TestFilter::FindPin(LPCWSTR Id, IPin** ppPin) {
    if (Id == nullptr || ppPin == nullptr) return E_POINTER;
    const std::u16string wanted(Id);
    IPin* pin = nullptr;
    if (input != nullptr && wanted == u"In") pin = input;
    if (output != nullptr && wanted == u"Out") pin = output;
    platform::CopyTo(pin, ppPin);
    return pin != nullptr ? S_OK : VFW_E_NOT_FOUND;
}

HRESULT TestFilter::QueryFilterInfo(FILTER_INFO* pInfo) {
    if (pInfo == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    CopyName(name, pInfo->achName, MAX_FILTER_NAME);
    platform::CopyTo(graph, &pInfo->pGraph);
    return S_OK;
}

HRESULT TestFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) {
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    graph = pGraph;
    sink = nullptr;
    if (pGraph != nullptr &&
        SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) {
        sink->Release();  // held uncounted, like every filter does
    }
    name = pName != nullptr ? std::u16string(pName) : std::u16string();
    return S_OK;
}

HRESULT TestFilter::QueryVendorInfo(LPWSTR* pVendorInfo) {
    if (pVendorInfo != nullptr) *pVendorInfo = nullptr;
    return E_NOTIMPL;
}

HRESULT TestFilter::InitNew() { return S_OK; }

HRESULT TestFilter::Load(IPropertyBag* pPropBag, IErrorLog*) {
    if (pPropBag == nullptr) return E_POINTER;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    const HRESULT hr = pPropBag->Read(u"DevicePath", &value, nullptr);
    if (FAILED(hr)) return hr;
    std::lock_guard<std::recursive_mutex> guard(filterLock);
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
            streamChanged.wait(stream, [this] { return workerStop; });
            holding = false;
            return S_OK;
        }
    }
    if (kind == Kind::PassThrough && output->input) return output->input->Receive(sample);
    return S_OK;
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
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    return name;
}

std::u16string TestFilter::DevicePath() {
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    return devicePath;
}

IReferenceClock* TestFilter::Clock() {
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    return clock.Get();
}

IFilterGraph* TestFilter::Graph() {
    std::lock_guard<std::recursive_mutex> guard(filterLock);
    return graph;
}

}  // namespace streamtest
