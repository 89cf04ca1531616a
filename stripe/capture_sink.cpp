#include "capture_sink.h"

#include <chrono>
#include <cstring>

namespace {

constexpr char16_t kPinName[] = u"In";
constexpr int kRoomWaitMs = 100;  // a full queue is looked at again this often

}  // namespace

// The one input pin; its references are the filter's.
class CCaptureSink::Pin final : public IPin, public IMemInputPin {
public:
    explicit Pin(CCaptureSink* owner) : owner_(owner) {}
    virtual ~Pin() { Disconnect(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPin)) {
            *out = static_cast<IPin*>(this);
        } else if (IsEqualGUID(iid, IID_IMemInputPin)) {
            *out = static_cast<IMemInputPin*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }

    // IPin: an input pin only connects when asked to.
    HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override {
        if (connector == nullptr || mt == nullptr) return E_POINTER;
        if (owner_->state_.load() != State_Stopped) return VFW_E_NOT_STOPPED;
        std::lock_guard<std::mutex> hold(owner_->lock_);
        if (peer_ != nullptr) return VFW_E_ALREADY_CONNECTED;
        if (QueryAccept(mt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
        peer_ = connector;
        peer_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Disconnect() override {
        IPin* was = nullptr;
        {
            std::lock_guard<std::mutex> hold(owner_->lock_);
            was = peer_;
            peer_ = nullptr;
        }
        if (was == nullptr) return S_FALSE;
        was->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override {
        if (pin == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(owner_->lock_);
        *pin = peer_;
        if (peer_ == nullptr) return VFW_E_NOT_CONNECTED;
        peer_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* mt) override {
        if (mt == nullptr) return E_POINTER;
        std::memset(mt, 0, sizeof *mt);
        std::lock_guard<std::mutex> hold(owner_->lock_);
        if (peer_ == nullptr) return VFW_E_NOT_CONNECTED;
        // Only the identifiers: the format block is the sender's business.
        mt->majortype = MEDIATYPE_Interleaved;
        mt->subtype = MEDIASUBTYPE_dvsd;
        mt->formattype = FORMAT_DvInfo;
        mt->bFixedSizeSamples = TRUE;
        mt->lSampleSize = ULONG(owner_->frameBytes_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override {
        if (info == nullptr) return E_POINTER;
        std::memset(info, 0, sizeof *info);
        info->pFilter = owner_;
        owner_->AddRef();
        info->dir = PINDIR_INPUT;
        for (size_t i = 0; kPinName[i] != 0; ++i) info->achName[i] = WCHAR(kPinName[i]);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* dir) override {
        if (dir == nullptr) return E_POINTER;
        *dir = PINDIR_INPUT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override {
        if (id == nullptr) return E_POINTER;
        auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof kPinName));
        if (copy == nullptr) return E_OUTOFMEMORY;
        for (size_t i = 0; i < sizeof kPinName / sizeof kPinName[0]; ++i) copy[i] = WCHAR(kPinName[i]);
        *id = copy;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* mt) override {
        if (mt == nullptr) return E_POINTER;
        return IsEqualGUID(mt->majortype, MEDIATYPE_Interleaved) && IsEqualGUID(mt->subtype, MEDIASUBTYPE_dvsd)
                   ? S_OK
                   : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** out) override {
        if (out != nullptr) *out = nullptr;
        return E_NOTIMPL;  // it offers none: the sender's type is taken
    }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndOfStream() override {
        owner_->End();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IMemInputPin: the sender brings its own allocator.
    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** allocator) override {
        if (allocator != nullptr) *allocator = nullptr;
        return VFW_E_NO_ALLOCATOR;
    }
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override { return owner_->Receive(sample); }
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** samples, LONG count, LONG* done) override {
        if (done != nullptr) *done = 0;
        if (samples == nullptr) return E_POINTER;
        for (LONG i = 0; i < count; ++i) {
            const HRESULT hr = owner_->Receive(samples[i]);
            if (hr != S_OK) return hr;
            if (done != nullptr) ++*done;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_OK; }

private:
    CCaptureSink* const owner_;
    IPin* peer_ = nullptr;  // owner_->lock_
};

// The filter's pins listed: the one pin.
class CCaptureSink::PinEnum : public IEnumPins {
public:
    PinEnum(CCaptureSink* owner, ULONG at) : owner_(owner), at_(at) { owner_->AddRef(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IEnumPins)) return E_NOINTERFACE;
        *out = static_cast<IEnumPins*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            owner_->Release();
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override {
        if (pins == nullptr) return E_POINTER;
        ULONG n = 0;
        if (count > 0 && at_ == 0) {
            pins[0] = owner_->pin_;
            pins[0]->AddRef();
            at_ = 1;
            n = 1;
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const ULONG next = at_ + count;
        at_ = next > 1 ? 1 : next;
        return next <= 1 ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        at_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumPins** out) override {
        if (out == nullptr) return E_POINTER;
        *out = new PinEnum(owner_, at_);
        return S_OK;
    }

private:
    virtual ~PinEnum() = default;
    CCaptureSink* const owner_;  // one reference
    ULONG at_;
    std::atomic<ULONG> refs_ {1};
};

CCaptureSink::CCaptureSink(size_t frameBytes) : frameBytes_(frameBytes), pin_(new Pin(this)) {}

CCaptureSink::~CCaptureSink() { delete pin_; }

CCaptureSink::TakeResult CCaptureSink::Take(std::vector<uint8_t>* frame, int timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return ended_ || !queue_.empty(); });
    if (!queue_.empty()) {
        frame->swap(queue_.front());
        queue_.pop_front();
        changed_.notify_all();
        return kFrame;
    }
    return ended_ ? kEnded : kNone;
}

HRESULT CCaptureSink::Receive(IMediaSample* sample) {
    if (sample == nullptr) return E_POINTER;
    if (state_.load() == State_Stopped) return VFW_E_WRONG_STATE;
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || data == nullptr || sample->GetActualDataLength() != LONG(frameBytes_)) {
        refused_.fetch_add(1);
        return S_OK;  // not a whole frame: counted, the stream goes on
    }
    std::vector<uint8_t> frame(data, data + frameBytes_);
    std::unique_lock<std::mutex> hold(lock_);
    while (queue_.size() >= kQueueFrames) {
        changed_.wait_for(hold, std::chrono::milliseconds(kRoomWaitMs));
        if (state_.load() == State_Stopped) return VFW_E_WRONG_STATE;
    }
    queue_.push_back(std::move(frame));
    changed_.notify_all();
    return S_OK;
}

void CCaptureSink::End() {
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
    changed_.notify_all();
}

HRESULT CCaptureSink::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPersist) || IsEqualGUID(iid, IID_IMediaFilter) ||
        IsEqualGUID(iid, IID_IBaseFilter)) {
        *out = static_cast<IBaseFilter*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG CCaptureSink::AddRef() { return ++refs_; }

ULONG CCaptureSink::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT CCaptureSink::GetClassID(CLSID* clsid) {
    if (clsid == nullptr) return E_POINTER;
    *clsid = GUID_NULL;  // not a registered class
    return S_OK;
}

HRESULT CCaptureSink::Stop() {
    state_.store(State_Stopped);
    std::lock_guard<std::mutex> hold(lock_);
    changed_.notify_all();  // a Receive waiting for room ends
    return S_OK;
}

HRESULT CCaptureSink::Pause() {
    state_.store(State_Paused);
    return S_OK;
}

HRESULT CCaptureSink::Run(REFERENCE_TIME) {
    state_.store(State_Running);
    return S_OK;
}

HRESULT CCaptureSink::GetState(DWORD, FILTER_STATE* state) {
    if (state == nullptr) return E_POINTER;
    *state = state_.load();
    return S_OK;
}

HRESULT CCaptureSink::SetSyncSource(IReferenceClock*) { return S_OK; }

HRESULT CCaptureSink::GetSyncSource(IReferenceClock** clock) {
    if (clock == nullptr) return E_POINTER;
    *clock = nullptr;
    return S_OK;
}

HRESULT CCaptureSink::EnumPins(IEnumPins** out) {
    if (out == nullptr) return E_POINTER;
    *out = new PinEnum(this, 0);
    return S_OK;
}

HRESULT CCaptureSink::FindPin(LPCWSTR id, IPin** out) {
    if (id == nullptr || out == nullptr) return E_POINTER;
    *out = nullptr;
    size_t i = 0;
    while (kPinName[i] != 0 && id[i] == WCHAR(kPinName[i])) ++i;
    if (kPinName[i] != 0 || id[i] != 0) return VFW_E_NOT_FOUND;
    *out = pin_;
    pin_->AddRef();
    return S_OK;
}

HRESULT CCaptureSink::QueryFilterInfo(FILTER_INFO* info) {
    if (info == nullptr) return E_POINTER;
    std::memset(info, 0, sizeof *info);
    const char16_t name[] = u"Capture";
    for (size_t i = 0; name[i] != 0; ++i) info->achName[i] = WCHAR(name[i]);
    info->pGraph = graph_;
    if (graph_ != nullptr) graph_->AddRef();
    return S_OK;
}

HRESULT CCaptureSink::JoinFilterGraph(IFilterGraph* graph, LPCWSTR) {
    graph_ = graph;
    return S_OK;
}

HRESULT CCaptureSink::QueryVendorInfo(LPWSTR* info) {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
}
