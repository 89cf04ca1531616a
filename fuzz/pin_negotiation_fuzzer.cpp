// Fuzzes the colour-bar pin's connection negotiation: QueryAccept, ReceiveConnection and Connect
// (with no type, a partial type or a full one) against a peer pin whose every answer comes from
// the input: its direction, whether it has IMemInputPin, the media types its enumerator yields
// (short, empty and huge format blocks, with and without a VIDEOINFOHEADER-sized block), its
// ReceiveConnection verdict, and the allocator it offers.
//
// Records and blocks are honest: a record that claims cbFormat bytes really owns a task-memory
// block of that size (the tail past the input's bytes is zero), because the platform's contract
// lets the pin read every byte the record claims. Records the peer hands out live in task memory
// and belong to the pin, which must free them: LeakSanitizer checks that.
//
// Besides crashes and leaks the target checks what the pin promises:
//   - QueryAccept answers S_OK exactly for the one acceptable shape, S_FALSE otherwise, and never
//     reads a block too short to hold a VIDEOINFOHEADER;
//   - a pin that reports a connection holds a type it accepts, the peer saw the same type in its
//     ReceiveConnection, and ConnectionMediaType hands back an equal deep copy;
//   - a failed attempt leaves the pin unconnected; every reference taken on the peer, its
//     allocator and its memory input pin has been given back once the filter is gone.
#include <fuzzer/FuzzedDataProvider.h>

#include <dshow.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "filter/color_bar_filter.h"
#include "filter/color_bar_stream.h"
#include "framework/media_type_record.h"
#include "fuzz_check.h"
#include "support/com_object.h"
#include "support/com_ptr.h"

namespace {

using platform::ComExtend;
using platform::ComObject;
using platform::ComPtr;
using platform::Implements;

// The largest block a record may claim: far beyond any video format block (1128 bytes), small
// enough that copying it around does not dominate a run.
constexpr size_t kLargestClaimedBlock = 1 << 16;

const GUID* const kMajorTypes[] = {&MEDIATYPE_Video, &GUID_NULL, &MEDIATYPE_Interleaved,
                                   &MEDIASUBTYPE_RGB24};
const GUID* const kSubtypes[] = {&MEDIASUBTYPE_RGB24, &GUID_NULL, &MEDIASUBTYPE_RGB32,
                                 &MEDIASUBTYPE_RGB555, &MEDIASUBTYPE_dvsd, &MEDIATYPE_Video};
const GUID* const kFormatTypes[] = {&FORMAT_VideoInfo, &GUID_NULL, &FORMAT_DvInfo,
                                    &MEDIATYPE_Video};

// The peer's objects are ordinary COM objects; the run holds one reference on each, and at the
// end of an input nobody else may hold one.
ULONG ReferencesOn(IUnknown* object) {
    const ULONG count = object->AddRef();
    object->Release();
    return count - 1;
}

void CheckBalanced(IUnknown* object, const char* what) {
    const ULONG count = ReferencesOn(object);
    if (count != 1) {
        std::fprintf(stderr, "%s: %lu references left over\n", what,
                     static_cast<unsigned long>(count - 1));
        std::abort();
    }
}

// The object a record's pUnk may name. Copies of a record take a reference on it and releasing
// a record gives one back; at the end of every input the count must be back where it started.
class FormatObject final : public ComObject<Implements<IUnknown, IID_IUnknown>> {};
FormatObject* formatObject = nullptr;  // made once, kept for the whole run


GUID PickGuid(FuzzedDataProvider& input, const GUID* const* table, size_t count) {
    // Mostly known identifiers, so that the interesting paths are reached; sometimes raw bytes.
    const size_t choice = input.ConsumeIntegralInRange<size_t>(0, count);
    if (choice < count) return *table[choice];
    GUID raw = {};
    const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(sizeof(GUID));
    if (!bytes.empty()) std::memcpy(&raw, bytes.data(), bytes.size());
    return raw;
}

// Fills `record` from the input. The block, when there is one, is a task-memory block of exactly
// the claimed size; the record owns it (cbFormat != 0) or, rarely, points at it without owning it
// (cbFormat 0): then `unownedBlock` receives it so that the caller can free it.
void ConsumeMediaType(FuzzedDataProvider& input, AM_MEDIA_TYPE* record, void** unownedBlock) {
    std::memset(record, 0, sizeof(*record));
    record->majortype = PickGuid(input, kMajorTypes, std::size(kMajorTypes));
    record->subtype = PickGuid(input, kSubtypes, std::size(kSubtypes));
    record->bFixedSizeSamples = input.ConsumeBool() ? TRUE : input.ConsumeIntegral<BOOL>();
    record->bTemporalCompression = input.ConsumeIntegral<BOOL>();
    record->lSampleSize = input.ConsumeIntegral<ULONG>();
    record->formattype = PickGuid(input, kFormatTypes, std::size(kFormatTypes));
    if (input.ConsumeIntegralInRange<int>(0, 3) == 0) {
        record->pUnk = formatObject;  // the record owns this reference
        formatObject->AddRef();
    }

    enum class BlockShape { None, VideoInfo, VideoInfoHeader, Short, Huge, Unowned };
    const BlockShape shape = static_cast<BlockShape>(input.ConsumeIntegralInRange<int>(0, 5));
    size_t claimed = 0;
    switch (shape) {
        case BlockShape::None: return;
        case BlockShape::VideoInfo: claimed = sizeof(VIDEOINFO); break;
        case BlockShape::VideoInfoHeader: claimed = sizeof(VIDEOINFOHEADER); break;
        case BlockShape::Short:
            claimed = input.ConsumeIntegralInRange<size_t>(0, sizeof(VIDEOINFOHEADER) - 1);
            break;
        case BlockShape::Huge:
            claimed = input.ConsumeIntegralInRange<size_t>(sizeof(VIDEOINFOHEADER) + 1,
                                                           kLargestClaimedBlock);
            break;
        case BlockShape::Unowned:
            claimed = input.ConsumeIntegralInRange<size_t>(0, sizeof(VIDEOINFO));
            break;
    }
    // Even a zero-length claim gets a real (one-byte) allocation, so a pointer is never dangling.
    BYTE* block = static_cast<BYTE*>(CoTaskMemAlloc(claimed == 0 ? 1 : claimed));
    FUZZ_CHECK(block != nullptr);
    std::memset(block, 0, claimed == 0 ? 1 : claimed);
    // Usually a plausible header: the offered one with a few fields changed by the input.
    if (claimed >= sizeof(VIDEOINFOHEADER) && input.ConsumeBool()) {
        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(block);
        info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info->bmiHeader.biWidth = input.ConsumeBool() ? 720 : input.ConsumeIntegral<LONG>();
        info->bmiHeader.biHeight = input.ConsumeBool() ? 480 : input.ConsumeIntegral<LONG>();
        info->bmiHeader.biPlanes = 1;
        info->bmiHeader.biBitCount = input.ConsumeBool() ? 24 : input.ConsumeIntegral<WORD>();
        info->bmiHeader.biSizeImage =
            input.ConsumeBool() ? 1036800 : input.ConsumeIntegral<DWORD>();
    } else {
        const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(claimed);
        if (!bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
    }
    record->pbFormat = block;
    record->cbFormat = shape == BlockShape::Unowned ? 0 : static_cast<ULONG>(claimed);
    // With cbFormat 0 the record points at the block without owning it: the pin must neither
    // free it nor read it, and the caller frees it.
    if (record->cbFormat == 0) *unownedBlock = block;
}

// What the pin must accept: video, fixed-size samples, RGB24, and a block long enough to hold a
// VIDEOINFOHEADER whose bitmap header says 720 x 480 (bottom-up).
bool Acceptable(const AM_MEDIA_TYPE& type) {
    if (type.majortype != MEDIATYPE_Video || !type.bFixedSizeSamples) return false;
    if (type.subtype != MEDIASUBTYPE_RGB24 || type.pbFormat == nullptr) return false;
    if (type.cbFormat < sizeof(VIDEOINFOHEADER)) return false;
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
    return info->bmiHeader.biWidth == 720 && info->bmiHeader.biHeight == 480;
}

bool SameType(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
    return a.majortype == b.majortype && a.subtype == b.subtype && a.formattype == b.formattype &&
           a.cbFormat == b.cbFormat &&
           (a.cbFormat == 0 || std::memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0);
}

class FuzzedAllocator final : public ComObject<Implements<IMemAllocator, IID_IMemAllocator>> {
public:
    HRESULT setPropertiesStatus = S_OK;
    LONG grantedBuffer = 0;  // < 0: grant what is asked
    HRESULT STDMETHODCALLTYPE SetProperties(ALLOCATOR_PROPERTIES* request,
                                            ALLOCATOR_PROPERTIES* granted) override {
        FUZZ_CHECK(request != nullptr && granted != nullptr);
        if (FAILED(setPropertiesStatus)) return setPropertiesStatus;
        *granted = *request;
        if (grantedBuffer >= 0) granted->cbBuffer = grantedBuffer;
        return setPropertiesStatus;
    }
    HRESULT STDMETHODCALLTYPE GetProperties(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Commit() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Decommit() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*,
                                        DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(IMediaSample*) override { return E_NOTIMPL; }
};

// The peer's media-type list. Every Next hands out fresh task-memory records built from the
// input consumed when the list was made.
class FuzzedTypeList final
    : public ComObject<Implements<IEnumMediaTypes, IID_IEnumMediaTypes>> {
public:
    explicit FuzzedTypeList(FuzzedDataProvider& input) {
        const int count = input.ConsumeIntegralInRange<int>(0, 6);
        for (int i = 0; i < count; ++i) {
            AM_MEDIA_TYPE type;
            void* unowned = nullptr;
            ConsumeMediaType(input, &type, &unowned);
            // Handed-out records must be owned by the receiver completely; an unowned block
            // would leak by the platform's rules, which is the peer's fault, not the pin's.
            if (unowned != nullptr) {
                CoTaskMemFree(unowned);
                type.pbFormat = nullptr;
            }
            types.push_back(type);
        }
        // Sometimes the list breaks down part way: Next fails, handing nothing out.
        failAt = input.ConsumeBool() ? types.size() + 1
                                     : input.ConsumeIntegralInRange<size_t>(0, types.size());
        resetStatus = input.ConsumeIntegralInRange<int>(0, 7) == 0 ? E_UNEXPECTED : S_OK;
    }
    ~FuzzedTypeList() override {
        for (AM_MEDIA_TYPE& type : types) ReleaseMediaTypeContents(type);
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** out, ULONG* fetched) override {
        FUZZ_CHECK(out != nullptr);
        ULONG given = 0;
        if (position == failAt) {
            if (fetched != nullptr) *fetched = 0;
            return E_FAIL;
        }
        while (given < count && position < types.size()) {
            auto* copy = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
            FUZZ_CHECK(copy != nullptr);
            *copy = types[position++];
            if (copy->cbFormat != 0) {
                copy->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(copy->cbFormat));
                FUZZ_CHECK(copy->pbFormat != nullptr);
                std::memcpy(copy->pbFormat, types[position - 1].pbFormat, copy->cbFormat);
            }
            if (copy->pUnk != nullptr) copy->pUnk->AddRef();
            out[given++] = copy;
        }
        if (fetched != nullptr) *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes**) override { return E_NOTIMPL; }
    // Reset answers as the input chose; Skip stops at the end.
    HRESULT STDMETHODCALLTYPE Reset() override {
        position = 0;
        return resetStatus;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        position = std::min(types.size(), position + count);
        return S_OK;
    }

private:
    std::vector<AM_MEDIA_TYPE> types;
    size_t position = 0;
    size_t failAt = 0;
    HRESULT resetStatus = S_OK;
};

// The peer's answers, consumed from the input.
struct PeerSettings {
    explicit PeerSettings(FuzzedDataProvider& input) {
        direction = input.ConsumeIntegralInRange<int>(0, 9) == 0 ? PINDIR_OUTPUT : PINDIR_INPUT;
        directionStatus = input.ConsumeIntegralInRange<int>(0, 9) == 0 ? E_FAIL : S_OK;
        hasInputSide = input.ConsumeIntegralInRange<int>(0, 9) != 0;
        hasList = input.ConsumeIntegralInRange<int>(0, 7) != 0;
        const HRESULT verdicts[] = {S_OK, S_OK, E_FAIL, VFW_E_TYPE_NOT_ACCEPTED, E_INVALIDARG,
                                    E_OUTOFMEMORY, S_FALSE};
        receiveStatus = verdicts[input.ConsumeIntegralInRange<size_t>(0, std::size(verdicts) - 1)];
        offersAllocator = input.ConsumeBool();
        const HRESULT notify[] = {S_OK, E_FAIL, VFW_E_BADALIGN};
        notifyStatus = notify[input.ConsumeIntegralInRange<size_t>(0, 2)];
        requirements.cBuffers = input.ConsumeIntegral<LONG>();
        requirements.cbBuffer = input.ConsumeIntegral<LONG>();
        requirements.cbAlign = input.ConsumeIntegral<LONG>();
        requirements.cbPrefix = input.ConsumeIntegral<LONG>();
        setPropertiesStatus = input.ConsumeBool() ? S_OK : E_FAIL;
        grantedBuffer = input.ConsumeBool() ? -1 : input.ConsumeIntegralInRange<LONG>(0, 2 * 1036800);
    }

    PIN_DIRECTION direction = PINDIR_INPUT;
    HRESULT directionStatus = S_OK;
    bool hasInputSide = true;  // whether the pin answers IMemInputPin
    bool hasList = true;
    HRESULT receiveStatus = S_OK;
    bool offersAllocator = false;
    HRESULT notifyStatus = S_OK;
    ALLOCATOR_PROPERTIES requirements = {};
    HRESULT setPropertiesStatus = S_OK;
    LONG grantedBuffer = 0;
};

// The peer pin without IMemInputPin (FuzzedMemPeer adds it). Its type list is consumed after
// the settings.
class FuzzedPeer : public ComObject<Implements<IPin, IID_IPin>> {
public:
    FuzzedPeer(const PeerSettings& settings, FuzzedDataProvider& input)
        : settings(settings), allocator(new FuzzedAllocator), list(new FuzzedTypeList(input)) {
        allocator->setPropertiesStatus = settings.setPropertiesStatus;
        allocator->grantedBuffer = settings.grantedBuffer;
    }
    ~FuzzedPeer() override {
        list->Release();
        allocator->Release();
        if (haveReceivedType) ReleaseMediaTypeContents(receivedType);
    }

    void CheckAllBalanced() {
        CheckBalanced(static_cast<IPin*>(this), "peer pin");
        CheckBalanced(allocator, "peer allocator");
        CheckBalanced(list, "peer type list");
    }

    HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector,
                                                const AM_MEDIA_TYPE* type) override {
        FUZZ_CHECK(connector != nullptr && type != nullptr);
        // The pin offers only what it accepts itself.
        FUZZ_CHECK(Acceptable(*type));
        if (SUCCEEDED(settings.receiveStatus)) {
            if (haveReceivedType) ReleaseMediaTypeContents(receivedType);
            DuplicateMediaType(receivedType, *type);
            haveReceivedType = true;
            connected = true;
        }
        return settings.receiveStatus;
    }
    HRESULT STDMETHODCALLTYPE Disconnect() override {
        const bool was = connected;
        connected = false;
        return was ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* out) override {
        FUZZ_CHECK(out != nullptr);
        if (FAILED(settings.directionStatus)) return settings.directionStatus;
        *out = settings.direction;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE*) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** out) override {
        FUZZ_CHECK(out != nullptr);
        *out = nullptr;
        if (!settings.hasList) return E_NOTIMPL;
        return list->QueryInterface(IID_IEnumMediaTypes, reinterpret_cast<void**>(out));
    }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EndOfStream() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override {
        return S_OK;
    }

    const PeerSettings settings;
    bool connected = false;
    AM_MEDIA_TYPE receivedType = {};
    bool haveReceivedType = false;

protected:
    FuzzedAllocator* const allocator;  // one reference, the peer's
    FuzzedTypeList* const list;        // one reference, the peer's
};

// The peer pin that answers IMemInputPin too.
class FuzzedMemPeer final
    : public ComExtend<FuzzedPeer, Implements<IMemInputPin, IID_IMemInputPin>> {
public:
    FuzzedMemPeer(const PeerSettings& settings, FuzzedDataProvider& input)
        : ComExtend(settings, input) {}

    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** out) override {
        FUZZ_CHECK(out != nullptr);
        *out = nullptr;
        if (!settings.offersAllocator) return VFW_E_NO_ALLOCATOR;
        return allocator->QueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(out));
    }
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* chosen, BOOL) override {
        FUZZ_CHECK(chosen != nullptr);
        return settings.notifyStatus;
    }
    HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES* out) override {
        FUZZ_CHECK(out != nullptr);
        *out = settings.requirements;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample*) override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample**, LONG, LONG*) override {
        return E_UNEXPECTED;
    }
    HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_FALSE; }
};

// A peer from the input: its settings, then its type list. One reference for the caller.
FuzzedPeer* NewPeer(const PeerSettings& settings, FuzzedDataProvider& input) {
    if (settings.hasInputSide) return new FuzzedMemPeer(settings, input);
    return new FuzzedPeer(settings, input);
}


// Checks the pin's connection state against what it reported.
void CheckConnectionState(IPin* pin, FuzzedPeer& peer, HRESULT status) {
    IPin* connectedTo = nullptr;
    const HRESULT connectedStatus = pin->ConnectedTo(&connectedTo);
    AM_MEDIA_TYPE held;
    std::memset(&held, 0xA5, sizeof(held));
    const HRESULT typeStatus = pin->ConnectionMediaType(&held);
    if (SUCCEEDED(status)) {
        FUZZ_CHECK(connectedStatus == S_OK && connectedTo == static_cast<IPin*>(&peer));
        FUZZ_CHECK(typeStatus == S_OK);
        FUZZ_CHECK(Acceptable(held));
        if (peer.haveReceivedType) FUZZ_CHECK(SameType(held, peer.receivedType));
        ReleaseMediaTypeContents(held);
        connectedTo->Release();
    } else {
        FUZZ_CHECK(connectedStatus == VFW_E_NOT_CONNECTED && connectedTo == nullptr);
        FUZZ_CHECK(typeStatus == VFW_E_NOT_CONNECTED);
        // The caller's record gets the default state, not garbage.
        FUZZ_CHECK(held.cbFormat == 0 && held.pbFormat == nullptr && held.pUnk == nullptr);
    }
}

IPin* OutputPinOf(IBaseFilter* filter) {
    IEnumPins* pins = nullptr;
    FUZZ_CHECK(filter->EnumPins(&pins) == S_OK);
    IPin* pin = nullptr;
    ULONG fetched = 0;
    FUZZ_CHECK(pins->Next(1, &pin, &fetched) == S_OK && fetched == 1);
    pins->Release();
    return pin;
}


// One filter serves many inputs: creating one costs a 1 MB frame image, and with it most of a
// run. Between inputs its pin is disconnected and its connection type replaced by a plain one;
// an input may instead ask for the filter to be destroyed (connected or not) and made anew.
IBaseFilter* filter = nullptr;
IPin* pin = nullptr;

void MakeFilter() {
    HRESULT status = S_OK;
    ObjectBase* object = ColorBarFilter::Create(nullptr, &status);
    FUZZ_CHECK(object != nullptr && SUCCEEDED(status));
    FUZZ_CHECK(object->InnerQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)) ==
               S_OK);
    pin = OutputPinOf(filter);
}

void DestroyFilter() {
    pin->Release();
    filter->Release();
    pin = nullptr;
    filter = nullptr;
}

// Leaves the (unconnected) pin holding the offered type, which names no object: a connection
// attempt stores its type before the allocator is negotiated, and this connector's allocator
// negotiation always fails.
void ResetConnectionType() {
    FuzzedDataProvider nothing(nullptr, 0);
    PeerSettings settings(nothing);
    settings.direction = PINDIR_INPUT;
    settings.directionStatus = S_OK;
    settings.hasInputSide = true;
    settings.offersAllocator = false;
    settings.notifyStatus = E_FAIL;
    const auto connector = ComPtr<FuzzedPeer>::Adopt(NewPeer(settings, nothing));
    MediaTypeRecord plain;
    FUZZ_CHECK(static_cast<ColorBarStream*>(pin)->GetOfferedType(0, &plain) == S_OK);
    FUZZ_CHECK(FAILED(pin->ReceiveConnection(connector.Get(), &plain)));
    connector->CheckAllBalanced();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The pin falls back to the platform's Memory Allocator when the peer offers none.
    CoInitialize(nullptr);
    formatObject = new FormatObject;
    MakeFilter();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    IPin* connectedBefore = nullptr;
    FUZZ_CHECK(pin->ConnectedTo(&connectedBefore) == VFW_E_NOT_CONNECTED);
    const bool destroyAfter = input.ConsumeIntegralInRange<int>(0, 15) == 0;

    const PeerSettings settings(input);
    auto ownedPeer = ComPtr<FuzzedPeer>::Adopt(NewPeer(settings, input));
    FuzzedPeer& peer = *ownedPeer.Get();

    // A few operations in an order the input chooses; the pin must stay consistent through all.
    const int steps = input.ConsumeIntegralInRange<int>(1, 4);
    for (int step = 0; step < steps && input.remaining_bytes() > 0; ++step) {
        const int operation = input.ConsumeIntegralInRange<int>(0, 4);
        AM_MEDIA_TYPE type;
        void* unowned = nullptr;
        if (operation != 3) ConsumeMediaType(input, &type, &unowned);
        HRESULT result = S_OK;
        bool connectionChanged = false;
        IPin* before = nullptr;
        const bool wasConnected = pin->ConnectedTo(&before) == S_OK;
        if (before != nullptr) before->Release();
        switch (operation) {
            case 0:  // QueryAccept: S_OK exactly for the acceptable shape, otherwise S_FALSE
                result = pin->QueryAccept(&type);
                FUZZ_CHECK(result == (Acceptable(type) ? S_OK : S_FALSE));
                break;
            case 1:  // ReceiveConnection from the fuzzed peer
                result = pin->ReceiveConnection(&peer, &type);
                if (wasConnected) FUZZ_CHECK(result == VFW_E_ALREADY_CONNECTED);
                else connectionChanged = true;
                if (SUCCEEDED(result)) FUZZ_CHECK(Acceptable(type));
                break;
            case 2:  // Connect with a proposed type, full or partial
                result = pin->Connect(&peer, &type);
                if (wasConnected) FUZZ_CHECK(result == VFW_E_ALREADY_CONNECTED);
                else connectionChanged = true;
                break;
            case 3:  // Connect with no type: both lists are walked
                result = pin->Connect(&peer, nullptr);
                if (wasConnected) FUZZ_CHECK(result == VFW_E_ALREADY_CONNECTED);
                else connectionChanged = true;
                break;
            case 4:  // Disconnect, both sides
                result = pin->Disconnect();
                FUZZ_CHECK(result == (wasConnected ? S_OK : S_FALSE));
                peer.Disconnect();
                connectionChanged = true;
                result = E_FAIL;  // now unconnected
                break;
        }
        if (connectionChanged) {
            // A direct ReceiveConnection makes the fuzzed peer the connector; it never saw a
            // ReceiveConnection of its own, so the type comparison uses what the pin was given.
            if (operation == 1 && SUCCEEDED(result)) {
                if (peer.haveReceivedType) ReleaseMediaTypeContents(peer.receivedType);
                DuplicateMediaType(peer.receivedType, type);
                peer.haveReceivedType = true;
            }
            CheckConnectionState(pin, peer, result);
        }
        if (operation != 3) {
            ReleaseMediaTypeContents(type);
            if (unowned != nullptr) CoTaskMemFree(unowned);
        }
    }

    if (destroyAfter) {
        // Destroying the filter, connected or not, gives back whatever the pin held.
        DestroyFilter();
        peer.CheckAllBalanced();
        MakeFilter();
    } else {
        const HRESULT disconnected = pin->Disconnect();
        FUZZ_CHECK(disconnected == S_OK || disconnected == S_FALSE);
        peer.CheckAllBalanced();
        ResetConnectionType();
    }
    ownedPeer.Reset();
    CheckBalanced(formatObject, "format object (pUnk)");
    return 0;
}
