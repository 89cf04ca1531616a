#include "base_pin_enumerator.h"

#include <new>

#include "base_filter.h"
#include "base_pin.h"
#include "dv_classes.h"

namespace dv {

PinEnumerator* PinEnumerator::Create(BaseFilter* filter, int position) {
    return new (std::nothrow) PinEnumerator(filter, position);
}

PinEnumerator::PinEnumerator(BaseFilter* filter, int position) : filter(filter), position(position) {
    filter->AddRef();
    ModuleObjectCreated();
}

PinEnumerator::~PinEnumerator() {
    filter->Release();
    ModuleObjectDestroyed();
}

HRESULT PinEnumerator::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumPins) {
        *out = static_cast<IEnumPins*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG PinEnumerator::AddRef() { return ++refCount; }

ULONG PinEnumerator::Release() {
    const ULONG count = --refCount;
    if (count == 0) delete this;
    return count;
}

HRESULT PinEnumerator::Next(ULONG count, IPin** pins, ULONG* fetched) {
    if (pins == nullptr) return E_POINTER;
    if (fetched == nullptr && count > 1) return E_INVALIDARG;
    ULONG got = 0;
    while (got < count && position < filter->PinCount()) {
        BasePin* pin = filter->PinAt(position++);
        pins[got] = static_cast<IPin*>(pin);
        pin->AddRef();
        ++got;
    }
    if (fetched != nullptr) *fetched = got;
    return got == count ? S_OK : S_FALSE;
}

HRESULT PinEnumerator::Skip(ULONG count) {
    const ULONG left = static_cast<ULONG>(filter->PinCount() - position);
    if (count > left) {
        position = filter->PinCount();
        return S_FALSE;
    }
    position += static_cast<int>(count);
    return S_OK;
}

HRESULT PinEnumerator::Reset() {
    position = 0;
    return S_OK;
}

HRESULT PinEnumerator::Clone(IEnumPins** out) {
    if (out == nullptr) return E_POINTER;
    *out = Create(filter, position);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace dv
