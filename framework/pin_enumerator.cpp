#include "pin_enumerator.h"

#include <new>

#include "filter_base.h"
#include "pin_base.h"
#include "standalone_unknown.h"

PinEnumerator::PinEnumerator(FilterBase* enumerated, const PinEnumerator* source)
    : position(0),
      pinCount(0),
      filter(enumerated),
      version(0),
      referenceCount(1),
      handedOut(nullptr),
      handedOutCount(0),
      handedOutCapacity(0),
      complete(true) {
    filter->AddRef();
    if (source == nullptr) {
        version = filter->PinSetVersion();
        pinCount = filter->PinCount();
        return;
    }
    position = source->position;
    pinCount = source->pinCount;
    version = source->version;
    if (source->handedOutCount > 0) {
        handedOut = new (std::nothrow) PinBase*[source->handedOutCount];
        if (handedOut == nullptr) {
            complete = false;
            return;
        }
        handedOutCapacity = source->handedOutCount;
        for (int index = 0; index < source->handedOutCount; ++index) {
            handedOut[index] = source->handedOut[index];
        }
        handedOutCount = source->handedOutCount;
    }
}

PinEnumerator::~PinEnumerator() {
    delete[] handedOut;
    handedOut = nullptr;
    handedOutCount = 0;
    filter->Release();
}

HRESULT STDMETHODCALLTYPE PinEnumerator::QueryInterface(REFIID iid, void** result) {
    return QueryStandaloneInterface(static_cast<IEnumPins*>(this), IID_IEnumPins, iid, result);
}

ULONG STDMETHODCALLTYPE PinEnumerator::AddRef() { return AddStandaloneReference(&referenceCount); }

ULONG STDMETHODCALLTYPE PinEnumerator::Release() {
    return ReleaseStandaloneReference(this, &referenceCount);
}

bool PinEnumerator::IsStale() { return filter->PinSetVersion() != version; }

void PinEnumerator::Resynchronise() {
    version = filter->PinSetVersion();
    pinCount = filter->PinCount();
    position = 0;
}

bool PinEnumerator::WasHandedOut(const PinBase* pin) const {
    for (int index = 0; index < handedOutCount; ++index) {
        if (handedOut[index] == pin) {
            return true;
        }
    }
    return false;
}

bool PinEnumerator::RememberHandedOut(PinBase* pin) {
    if (handedOutCount == handedOutCapacity) {
        const int capacity = handedOutCapacity == 0 ? 4 : handedOutCapacity * 2;
        PinBase** grown = new (std::nothrow) PinBase*[capacity];
        if (grown == nullptr) {
            return false;
        }
        for (int index = 0; index < handedOutCount; ++index) {
            grown[index] = handedOut[index];
        }
        delete[] handedOut;
        handedOut = grown;
        handedOutCapacity = capacity;
    }
    handedOut[handedOutCount++] = pin;
    return true;
}

HRESULT STDMETHODCALLTYPE PinEnumerator::Next(ULONG count, IPin** pins, ULONG* fetched) {
    if (pins == nullptr) {
        return E_POINTER;
    }
    if (fetched != nullptr) {
        *fetched = 0;
    } else if (count > 1) {
        return E_INVALIDARG;
    }
    if (IsStale()) {
        Resynchronise();
    }
    // Compared as signed values: a count above the largest LONG fetches nothing.
    const LONG left = pinCount - position;
    const LONG asked = static_cast<LONG>(count);
    LONG wanted = left < asked ? left : asked;
    if (wanted <= 0) {
        return S_FALSE;
    }
    ULONG written = 0;
    while (position < pinCount) {
        PinBase* pin = filter->PinAt(position);
        ++position;
        if (pin == nullptr) {
            return VFW_E_ENUM_OUT_OF_SYNC;
        }
        if (WasHandedOut(pin)) {
            continue;
        }
        if (!RememberHandedOut(pin)) {
            // Without a record of it the pin could be returned twice later; stop here.
            break;
        }
        pins[written] = static_cast<IPin*>(pin);
        pins[written]->AddRef();
        ++written;
        if (--wanted == 0) {
            break;
        }
    }
    if (fetched != nullptr) {
        *fetched = written;
    }
    return written == count ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE PinEnumerator::Skip(ULONG count) {
    if (IsStale()) {
        return VFW_E_ENUM_OUT_OF_SYNC;
    }
    const ULONG left = static_cast<ULONG>(pinCount - position);
    if (count > left) {
        return S_FALSE;
    }
    position += static_cast<int>(count);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinEnumerator::Reset() {
    version = filter->PinSetVersion();
    pinCount = filter->PinCount();
    position = 0;
    delete[] handedOut;
    handedOut = nullptr;
    handedOutCount = 0;
    handedOutCapacity = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinEnumerator::Clone(IEnumPins** enumerator) {
    if (enumerator == nullptr) {
        return E_POINTER;
    }
    if (IsStale()) {
        *enumerator = nullptr;
        return VFW_E_ENUM_OUT_OF_SYNC;
    }
    PinEnumerator* clone = new (std::nothrow) PinEnumerator(filter, this);
    if (clone != nullptr && !clone->IsComplete()) {
        clone->Release();
        clone = nullptr;
    }
    *enumerator = clone;
    return clone == nullptr ? E_OUTOFMEMORY : S_OK;
}
