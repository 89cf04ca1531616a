#include "fakes.h"

#include <cstring>
#include <new>

namespace fakes {

MediaTypeRecord VideoType(const GUID& subtype, LONG width, LONG height) {
    MediaTypeRecord type;
    type.AssignMajorType(MEDIATYPE_Video);
    type.AssignSubtype(subtype);
    type.AssignFormatType(FORMAT_VideoInfo);
    BYTE* block = type.PrepareFormatBlock(sizeof(VIDEOINFO));
    std::memset(block, 0, sizeof(VIDEOINFO));
    VIDEOINFO* info = reinterpret_cast<VIDEOINFO*>(block);
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = width;
    info->bmiHeader.biHeight = height;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = 24;
    info->bmiHeader.biSizeImage = BitmapImageSize(info->bmiHeader);
    type.AssignSampleSize(info->bmiHeader.biSizeImage);
    return type;
}

// ---- the downstream pin -------------------------------------------------------------------------

// The downstream pin's own type list, handed out as task-memory records.
class FakeTypeEnumerator final
    : public platform::ComObject<platform::Implements<IEnumMediaTypes, IID_IEnumMediaTypes>> {
public:
    explicit FakeTypeEnumerator(FakeInputPin* pin) : pin(pin) { pin->AddRef(); }
    ~FakeTypeEnumerator() override { pin->Release(); }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
        ULONG written = 0;
        while (written < count && position < pin->offeredTypes.size()) {
            AM_MEDIA_TYPE* record =
                static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
            DuplicateMediaType(*record, pin->offeredTypes[position++]);
            types[written++] = record;
        }
        if (fetched != nullptr) {
            *fetched = written;
        }
        return written == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        position += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes**) override { return E_NOTIMPL; }

private:
    FakeInputPin* pin;
    size_t position = 0;
};

FakeInputPin::FakeInputPin() = default;

FakeInputPin::~FakeInputPin() { Disconnect(); }

HRESULT STDMETHODCALLTYPE FakeInputPin::ReceiveConnection(IPin* from, const AM_MEDIA_TYPE* type) {
    offeredToConnect.push_back(type->subtype);
    bool accepted = false;
    for (const GUID& subtype : acceptedSubtypes) {
        accepted = accepted || subtype == type->subtype;
    }
    if (!accepted) {
        return refusal;
    }
    connector = from;
    connector->AddRef();
    connectedType = *type;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeInputPin::Disconnect() {
    if (notified != nullptr) {
        notified->Release();
        notified = nullptr;
    }
    if (connector == nullptr) {
        return S_FALSE;
    }
    connector->Release();
    connector = nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeInputPin::EnumMediaTypes(IEnumMediaTypes** out) {
    ++enumerations;
    *out = new FakeTypeEnumerator(this);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeInputPin::GetAllocator(IMemAllocator** out) {
    if (ownAllocator == nullptr) {
        *out = nullptr;
        return VFW_E_NO_ALLOCATOR;
    }
    *out = ownAllocator;
    ownAllocator->AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeInputPin::NotifyAllocator(IMemAllocator* chosen, BOOL) {
    if (refuseOwnAllocator && chosen == ownAllocator) {
        return E_FAIL;
    }
    if (notified != nullptr) {
        notified->Release();
    }
    notified = chosen;
    notified->AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) {
    *props = requirements;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeInputPin::Receive(IMediaSample*) {
    ++received;
    return receiveAnswer;
}

// ---- the graph ----------------------------------------------------------------------------------
bool FakeGraph::Offers(REFIID iid) { return iid != IID_IMediaEventSink || hasEventSink; }

HRESULT STDMETHODCALLTYPE FakeGraph::Notify(LONG code, LONG_PTR param1, LONG_PTR param2) {
    std::lock_guard<std::mutex> hold(eventsLock);
    events.push_back({code, param1, param2});
    return S_OK;
}

std::vector<FakeGraph::Event> FakeGraph::Events() {
    std::lock_guard<std::mutex> hold(eventsLock);
    return events;
}

// ---- the filter under test ----------------------------------------------------------------------

TestStream::TestStream(HRESULT* status, TestSource* owner, const WCHAR* name)
    : PushStreamPin("test stream", status, owner, name) {}

HRESULT TestStream::GetSingleType(MediaTypeRecord* type) {
    if (!hasSingleType) {
        return PushStreamPin::GetSingleType(type);
    }
    *type = singleType;
    return S_OK;
}

HRESULT TestStream::ChooseBufferSize(IMemAllocator* chosen, ALLOCATOR_PROPERTIES* request) {
    sizingRequests.push_back(*request);
    request->cBuffers = 1;
    request->cbBuffer = bufferSize;
    ALLOCATOR_PROPERTIES granted = {};
    const HRESULT status = chosen->SetProperties(request, &granted);
    if (FAILED(status)) {
        return status;
    }
    return granted.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT TestStream::CreateAllocator(IMemAllocator** allocatorOut) {
    if (FAILED(createAllocatorAnswer)) {
        *allocatorOut = nullptr;
        return createAllocatorAnswer;
    }
    return PushStreamPin::CreateAllocator(allocatorOut);
}

HRESULT TestStream::FillSample(IMediaSample*) {
    ++fills;
    return fillAnswer;
}

TestSource::TestSource(IUnknown* outer)
    : SourceFilterBase("test source", outer, CLSID_TestSource) {}

TestStream* TestSource::AddStream(const WCHAR* name) {
    HRESULT status = S_OK;
    TestStream* stream = new TestStream(&status, this, name);
    if (FAILED(status)) {
        delete stream;
        return nullptr;
    }
    return stream;
}

IBaseFilter* AsFilter(TestSource* source) {
    IBaseFilter* filter = static_cast<IBaseFilter*>(source);
    filter->AddRef();
    return filter;
}

}  // namespace fakes
