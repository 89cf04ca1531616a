#include "output_pin_base.h"

OutputPinBase::OutputPinBase(const char* objectName, FilterBase* owner, CRITICAL_SECTION* pinLock,
                             HRESULT* status, const WCHAR* pinName)
    : PinBase(objectName, owner, pinLock, status, pinName, PINDIR_OUTPUT),
      allocator(nullptr),
      inputPin(nullptr) {}

OutputPinBase::~OutputPinBase() {
    // Normally already released by Disconnect; a pin destroyed while connected must not leak.
    if (allocator != nullptr) {
        allocator->Release();
        allocator = nullptr;
    }
    if (inputPin != nullptr) {
        inputPin->Release();
        inputPin = nullptr;
    }
}

HRESULT OutputPinBase::Activate() {
    if (allocator == nullptr) {
        return VFW_E_NO_ALLOCATOR;
    }
    return allocator->Commit();
}

HRESULT OutputPinBase::Deactivate() {
    if (allocator == nullptr) {
        return VFW_E_NO_ALLOCATOR;
    }
    return allocator->Decommit();
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
    if (allocator == nullptr) {
        return E_NOINTERFACE;
    }
    return allocator->GetBuffer(sample, start, stop, flags);
}

HRESULT OutputPinBase::DeliverSample(IMediaSample* sample) {
    if (inputPin == nullptr) {
        return VFW_E_NOT_CONNECTED;
    }
    return inputPin->Receive(sample);
}

HRESULT OutputPinBase::CreateAllocator(IMemAllocator** allocatorOut) {
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(allocatorOut));
}

HRESULT OutputPinBase::SignalEndOfStream() {
    if (peer == nullptr) {
        return VFW_E_NOT_CONNECTED;
    }
    return peer->EndOfStream();
}

HRESULT OutputPinBase::SignalBeginFlush() {
    if (peer == nullptr) {
        return VFW_E_NOT_CONNECTED;
    }
    return peer->BeginFlush();
}

HRESULT OutputPinBase::SignalEndFlush() {
    if (peer == nullptr) {
        return VFW_E_NOT_CONNECTED;
    }
    return peer->EndFlush();
}

HRESULT OutputPinBase::SignalNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    if (peer == nullptr) {
        return VFW_E_NOT_CONNECTED;
    }
    return peer->NewSegment(start, stop, rate);
}

HRESULT STDMETHODCALLTYPE OutputPinBase::EndOfStream() { return E_UNEXPECTED; }

HRESULT STDMETHODCALLTYPE OutputPinBase::BeginFlush() { return E_UNEXPECTED; }

HRESULT STDMETHODCALLTYPE OutputPinBase::EndFlush() { return E_UNEXPECTED; }
