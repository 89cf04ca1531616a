#include "pin_base.h"

#include <initializer_list>
#include <new>

#include "filter_base.h"
#include "lock_holder.h"
#include "media_type_enumerator.h"
#include "wide_name.h"

namespace {

// Refusals that say nothing beyond "not this type"; negotiation keeps looking past them and does
// not report them.
bool IsUninformativeRefusal(HRESULT status) {
    return status == E_FAIL || status == E_INVALIDARG || status == VFW_E_TYPE_NOT_ACCEPTED;
}

// What TestMediaType's answer means for a connection attempt: S_OK accepts; a success code,
// E_FAIL or E_INVALIDARG is a plain refusal; any other failure is passed on.
HRESULT RefusalStatus(HRESULT testStatus) {
    if (SUCCEEDED(testStatus) || testStatus == E_FAIL || testStatus == E_INVALIDARG) {
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    return testStatus;
}

// Why a pin cannot take a new connection now, or S_OK. Called with the pin lock held.
HRESULT ConnectionRefusal(const IPin* peer, FilterBase* filter) {
    if (peer != nullptr) {
        return VFW_E_ALREADY_CONNECTED;
    }
    if (filter->IsStarted()) {
        return VFW_E_NOT_STOPPED;
    }
    return S_OK;
}

}  // namespace

PinBase::PinBase(const char* objectName, FilterBase* owner, CRITICAL_SECTION* pinLock,
                 HRESULT* /*status*/, const WCHAR* pinName, PIN_DIRECTION pinDirection)
    : ObjectBase(objectName, nullptr),
      name(nullptr),
      peer(nullptr),
      connectionType(),
      direction(pinDirection),
      lock(pinLock),
      filter(owner),
      qualitySink(nullptr),
      typeListVersion(1),
      segmentStart(0),
      segmentStop(0x7FFFFFFFFFFFFFFFLL),
      segmentRate(1.0) {
    // A copy that cannot be allocated leaves the pin unnamed.
    name = DuplicateWideName(pinName);
}

PinBase::~PinBase() {
    delete[] name;
    name = nullptr;
    // A pin destroyed while still connected gives its peer reference back.
    if (peer != nullptr) {
        peer->Release();
        peer = nullptr;
    }
}

HRESULT PinBase::InnerQueryInterface(REFIID iid, void** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IPin) {
        return HandOutInterface(static_cast<IPin*>(this), result);
    }
    if (iid == IID_IQualityControl) {
        return HandOutInterface(static_cast<IQualityControl*>(this), result);
    }
    return ObjectBase::InnerQueryInterface(iid, result);
}

ULONG PinBase::InnerAddRef() { return filter->AddRef(); }

ULONG PinBase::InnerRelease() { return filter->Release(); }

LONG PinBase::TypeListVersion() { return typeListVersion; }

HRESULT PinBase::Activate() { return S_OK; }

HRESULT PinBase::Deactivate() { return S_OK; }

HRESULT PinBase::StartRunning(REFERENCE_TIME /*start*/) { return S_OK; }

HRESULT PinBase::ApplyMediaType(const MediaTypeRecord* type) {
    connectionType = *type;
    return S_OK;
}

HRESULT PinBase::ValidatePeer(IPin* peerPin) {
    // A peer that cannot tell its direction is taken to share ours and is refused.
    PIN_DIRECTION peerDirection = direction;
    peerPin->QueryDirection(&peerDirection);
    return peerDirection == direction ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT PinBase::TearDownConnection() { return S_OK; }

HRESULT PinBase::FinishConnection(IPin* /*peerPin*/) { return S_OK; }

HRESULT STDMETHODCALLTYPE PinBase::QueryInterface(REFIID iid, void** result) {
    return OuterUnknown()->QueryInterface(iid, result);
}

ULONG STDMETHODCALLTYPE PinBase::AddRef() { return OuterUnknown()->AddRef(); }

ULONG STDMETHODCALLTYPE PinBase::Release() { return OuterUnknown()->Release(); }

HRESULT STDMETHODCALLTYPE PinBase::Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) {
    if (receivePin == nullptr) {
        return E_POINTER;
    }
    LockHolder hold(lock);
    HRESULT status = ConnectionRefusal(peer, filter);
    if (FAILED(status)) {
        return status;
    }
    status = NegotiateMediaType(receivePin, static_cast<const MediaTypeRecord*>(type));
    if (FAILED(status)) {
        TearDownConnection();
        return status;
    }
    return S_OK;
}

HRESULT PinBase::NegotiateMediaType(IPin* receivePin, const MediaTypeRecord* type) {
    if (type != nullptr && !type->IsWildcarded()) {
        return TryConnectWith(receivePin, type);
    }
    HRESULT result = VFW_E_NO_ACCEPTABLE_TYPES;
    // The peer's own list first, then ours. A list that cannot be had is passed over.
    for (IPin* lister : {receivePin, static_cast<IPin*>(this)}) {
        IEnumMediaTypes* enumerator = nullptr;
        if (FAILED(lister->EnumMediaTypes(&enumerator)) || enumerator == nullptr) {
            continue;
        }
        const HRESULT status = TryTypeList(receivePin, type, enumerator);
        enumerator->Release();
        if (SUCCEEDED(status)) {
            return S_OK;
        }
        if (!IsUninformativeRefusal(status)) {
            result = status;
        }
    }
    return result;
}

HRESULT PinBase::TryTypeList(IPin* receivePin, const MediaTypeRecord* partialType,
                             IEnumMediaTypes* enumerator) {
    HRESULT status = enumerator->Reset();
    if (FAILED(status)) {
        return status;
    }
    HRESULT remembered = S_OK;  // S_OK: no informative failure seen yet
    for (;;) {
        AM_MEDIA_TYPE* candidate = nullptr;
        ULONG fetched = 0;
        if (enumerator->Next(1, &candidate, &fetched) != S_OK) {
            break;
        }
        if (candidate == nullptr) {
            // A list that claims a type but hands none over cannot be walked further.
            break;
        }
        const MediaTypeRecord* record = static_cast<const MediaTypeRecord*>(candidate);
        if (partialType == nullptr || record->MatchesPattern(*partialType)) {
            status = TryConnectWith(receivePin, record);
            if (FAILED(status) && remembered == S_OK && !IsUninformativeRefusal(status)) {
                remembered = status;
            }
        } else {
            status = VFW_E_NO_ACCEPTABLE_TYPES;
        }
        DisposeMediaType(candidate);
        // Any success means the pin is now connected; trying further types would reconnect it.
        if (SUCCEEDED(status)) {
            return S_OK;
        }
    }
    return FAILED(remembered) ? remembered : VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT PinBase::TryConnectWith(IPin* receivePin, const MediaTypeRecord* type) {
    HRESULT status = ValidatePeer(receivePin);
    if (FAILED(status)) {
        TearDownConnection();
        return status;
    }
    status = TestMediaType(type);
    if (status != S_OK) {
        status = RefusalStatus(status);
    } else {
        peer = receivePin;
        peer->AddRef();
        ApplyMediaType(type);
        status = receivePin->ReceiveConnection(static_cast<IPin*>(this), type);
        if (SUCCEEDED(status)) {
            status = FinishConnection(receivePin);
            if (SUCCEEDED(status)) {
                return status;
            }
            receivePin->Disconnect();
        }
    }
    TearDownConnection();
    if (peer != nullptr) {
        peer->Release();
        peer = nullptr;
    }
    return status;
}

HRESULT STDMETHODCALLTYPE PinBase::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
    if (connector == nullptr || type == nullptr) {
        return E_POINTER;
    }
    LockHolder hold(lock);
    HRESULT status = ConnectionRefusal(peer, filter);
    if (FAILED(status)) {
        return status;
    }
    status = ValidatePeer(connector);
    if (FAILED(status)) {
        TearDownConnection();
        return status;
    }
    const MediaTypeRecord* record = static_cast<const MediaTypeRecord*>(type);
    status = TestMediaType(record);
    if (status != S_OK) {
        TearDownConnection();
        return RefusalStatus(status);
    }
    peer = connector;
    peer->AddRef();
    ApplyMediaType(record);
    status = FinishConnection(connector);
    if (FAILED(status)) {
        peer->Release();
        peer = nullptr;
        TearDownConnection();
        return status;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::Disconnect() {
    LockHolder hold(lock);
    if (filter->IsStarted()) {
        return VFW_E_NOT_STOPPED;
    }
    if (peer == nullptr) {
        return S_FALSE;
    }
    TearDownConnection();
    peer->Release();
    peer = nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::ConnectedTo(IPin** pin) {
    if (pin == nullptr) {
        return E_POINTER;
    }
    // Disconnect releases the peer; take the reference under the lock.
    LockHolder hold(lock);
    IPin* connected = peer;
    *pin = connected;
    if (connected == nullptr) {
        return VFW_E_NOT_CONNECTED;
    }
    connected->AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::ConnectionMediaType(AM_MEDIA_TYPE* type) {
    if (type == nullptr) {
        return E_POINTER;
    }
    LockHolder hold(lock);
    if (peer == nullptr) {
        ResetMediaType(*type);
        return VFW_E_NOT_CONNECTED;
    }
    DuplicateMediaType(*type, connectionType);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::QueryPinInfo(PIN_INFO* info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    info->pFilter = static_cast<IBaseFilter*>(filter);
    info->pFilter->AddRef();
    info->dir = direction;
    CopyNameField(info->achName, MAX_PIN_NAME, name);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::QueryDirection(PIN_DIRECTION* directionOut) {
    if (directionOut == nullptr) {
        return E_POINTER;
    }
    *directionOut = direction;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::QueryAccept(const AM_MEDIA_TYPE* type) {
    if (type == nullptr) {
        return E_POINTER;
    }
    const HRESULT status = TestMediaType(static_cast<const MediaTypeRecord*>(type));
    return FAILED(status) ? S_FALSE : status;
}

HRESULT STDMETHODCALLTYPE PinBase::EnumMediaTypes(IEnumMediaTypes** enumerator) {
    if (enumerator == nullptr) {
        return E_POINTER;
    }
    *enumerator = new (std::nothrow) MediaTypeEnumerator(this, nullptr);
    return *enumerator == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::QueryInternalConnections(IPin** /*pins*/, ULONG* /*count*/) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE PinBase::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop,
                                              double rate) {
    segmentStart = start;
    segmentStop = stop;
    segmentRate = rate;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::Notify(IBaseFilter* /*sender*/, Quality /*quality*/) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE PinBase::SetSink(IQualityControl* sink) {
    LockHolder hold(lock);
    qualitySink = sink;
    return S_OK;
}
