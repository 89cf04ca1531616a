#include "output_pin_base.h"

namespace {

// Calls the method on the object the pin holds, or answers `missing` while it holds none.
template <class Target, class... Parameters, class... Arguments>
HRESULT CallIfHeld(Target* target, HRESULT missing,
                   HRESULT (STDMETHODCALLTYPE Target::*method)(Parameters...),
                   Arguments... arguments) {
    if (target == nullptr) {
        return missing;
    }
    return (target->*method)(arguments...);
}

}  // namespace

OutputPinBase::OutputPinBase(const char* objectName, FilterBase* owner, CRITICAL_SECTION* pinLock,
                             HRESULT* status, const WCHAR* pinName)
    : PinBase(objectName, owner, pinLock, status, pinName, PINDIR_OUTPUT),
      allocator(nullptr),
      inputPin(nullptr) {}

OutputPinBase::~OutputPinBase() {
    // Normally already released by Disconnect; a pin destroyed while connected must not leak.
    OutputPinBase::TearDownConnection();
}

HRESULT OutputPinBase::Activate() {
    return CallIfHeld(allocator, VFW_E_NO_ALLOCATOR, &IMemAllocator::Commit);
}

HRESULT OutputPinBase::Deactivate() {
    return CallIfHeld(allocator, VFW_E_NO_ALLOCATOR, &IMemAllocator::Decommit);
}

HRESULT OutputPinBase::ValidatePeer(IPin* peerPin) {
    HRESULT status = PinBase::ValidatePeer(peerPin);
    if (FAILED(status)) {
        return status;
    }
    // A failed attempt before this one has already torn down; never overwrite a held reference.
    if (inputPin != nullptr) {
        inputPin->Release();
        inputPin = nullptr;
    }
    status = peerPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&inputPin));
    if (FAILED(status)) {
        inputPin = nullptr;
        return status;
    }
    return S_OK;
}

HRESULT OutputPinBase::TearDownConnection() {
    if (allocator != nullptr) {
        allocator->Release();
        allocator = nullptr;
    }
    if (inputPin != nullptr) {
        inputPin->Release();
        inputPin = nullptr;
    }
    return S_OK;
}

HRESULT OutputPinBase::FinishConnection(IPin* /*peerPin*/) {
    return NegotiateAllocator(inputPin, &allocator);
}

HRESULT OutputPinBase::NegotiateAllocator(IMemInputPin* input, IMemAllocator** allocatorOut) {
    if (allocatorOut == nullptr) {
        return E_POINTER;
    }
    ALLOCATOR_PROPERTIES request = {};
    *allocatorOut = nullptr;
    if (input == nullptr) {
        return VFW_E_NOT_CONNECTED;
    }
    // A pin with no wishes leaves the zeros.
    input->GetAllocatorRequirements(&request);
    if (request.cbAlign == 0) {
        request.cbAlign = 1;
    }

    // First choice: the downstream pin's own allocator.
    HRESULT status = input->GetAllocator(allocatorOut);
    if (SUCCEEDED(status) && *allocatorOut != nullptr) {
        status = ChooseBufferSize(*allocatorOut, &request);
        if (SUCCEEDED(status)) {
            status = input->NotifyAllocator(*allocatorOut, FALSE);
            if (SUCCEEDED(status)) {
                return S_OK;
            }
        }
    }
    if (*allocatorOut != nullptr) {
        (*allocatorOut)->Release();
        *allocatorOut = nullptr;
    }

    // Second choice: a Memory Allocator of our own, sized with the same request record.
    status = CreateAllocator(allocatorOut);
    if (SUCCEEDED(status) && *allocatorOut == nullptr) {
        status = E_NOINTERFACE;
    }
    if (SUCCEEDED(status)) {
        status = ChooseBufferSize(*allocatorOut, &request);
    }
    if (SUCCEEDED(status)) {
        status = input->NotifyAllocator(*allocatorOut, FALSE);
    }
    if (FAILED(status)) {
        if (*allocatorOut != nullptr) {
            (*allocatorOut)->Release();
            *allocatorOut = nullptr;
        }
        return status;
    }
    return S_OK;
}

HRESULT OutputPinBase::GetOutputSample(IMediaSample** sample, REFERENCE_TIME* start,
                                       REFERENCE_TIME* stop, DWORD flags) {
    return CallIfHeld(allocator, E_NOINTERFACE, &IMemAllocator::GetBuffer, sample, start, stop,
                      flags);
}

HRESULT OutputPinBase::DeliverSample(IMediaSample* sample) {
    return CallIfHeld(inputPin, VFW_E_NOT_CONNECTED, &IMemInputPin::Receive, sample);
}

HRESULT OutputPinBase::CreateAllocator(IMemAllocator** allocatorOut) {
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(allocatorOut));
}

HRESULT OutputPinBase::SignalEndOfStream() {
    return CallIfHeld(peer, VFW_E_NOT_CONNECTED, &IPin::EndOfStream);
}

HRESULT OutputPinBase::SignalBeginFlush() {
    return CallIfHeld(peer, VFW_E_NOT_CONNECTED, &IPin::BeginFlush);
}

HRESULT OutputPinBase::SignalEndFlush() {
    return CallIfHeld(peer, VFW_E_NOT_CONNECTED, &IPin::EndFlush);
}

HRESULT OutputPinBase::SignalNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    return CallIfHeld(peer, VFW_E_NOT_CONNECTED, &IPin::NewSegment, start, stop, rate);
}

HRESULT STDMETHODCALLTYPE OutputPinBase::EndOfStream() { return E_UNEXPECTED; }

HRESULT STDMETHODCALLTYPE OutputPinBase::BeginFlush() { return E_UNEXPECTED; }

HRESULT STDMETHODCALLTYPE OutputPinBase::EndFlush() { return E_UNEXPECTED; }
