#include "source_filter_base.h"

#include <new>

#include "lock_holder.h"
#include "push_stream_pin.h"

SourceFilterBase::SourceFilterBase(const char* objectName, IUnknown* outer, const CLSID& classId)
    : FilterBase(objectName, outer, &filterLock, classId), pinCount(0), pinTable(nullptr) {
    InitializeCriticalSection(&filterLock);
}

SourceFilterBase::~SourceFilterBase() {
    // Last attached, first destroyed; each pin detaches itself as it goes.
    while (pinCount != 0) {
        const int before = pinCount;
        delete pinTable[pinCount - 1];
        if (pinCount == before) {
            // A pin that did not detach itself must not be destroyed twice.
            DetachStream(pinTable[pinCount - 1]);
        }
    }
    delete[] pinTable;
    pinTable = nullptr;
    DeleteCriticalSection(&filterLock);
}

int SourceFilterBase::PinCount() {
    LockHolder hold(&filterLock);
    return pinCount;
}

PinBase* SourceFilterBase::PinAt(int index) {
    LockHolder hold(&filterLock);
    if (index < 0 || index >= pinCount) {
        return nullptr;
    }
    return pinTable[index];
}

HRESULT SourceFilterBase::AttachStream(PushStreamPin* pin) {
    LockHolder hold(&filterLock);
    PushStreamPin** table = new (std::nothrow) PushStreamPin*[pinCount + 1];
    if (table == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (pinTable != nullptr) {
        for (int index = 0; index < pinCount; ++index) {
            table[index] = pinTable[index];
        }
        delete[] pinTable;
    }
    table[pinCount] = pin;
    pinTable = table;
    ++pinCount;
    return S_OK;
}

HRESULT SourceFilterBase::DetachStream(PushStreamPin* pin) {
    int found = -1;
    for (int index = 0; index < pinCount; ++index) {
        if (pinTable[index] == pin) {
            found = index;
            break;
        }
    }
    if (found < 0) {
        return S_FALSE;
    }
    if (pinCount == 1) {
        delete[] pinTable;
        pinTable = nullptr;
    } else {
        for (int index = found; index + 1 < pinCount; ++index) {
            pinTable[index] = pinTable[index + 1];
        }
    }
    --pinCount;
    return S_OK;
}

int SourceFilterBase::IndexOfPin(IPin* pin) {
    for (int index = 0; index < pinCount; ++index) {
        if (static_cast<IPin*>(pinTable[index]) == pin) {
            return index;
        }
    }
    return -1;
}

HRESULT SourceFilterBase::ReservePinTable(int entries) {
    LockHolder hold(&filterLock);
    if (pinCount != 0 || entries < 0) {
        return E_UNEXPECTED;
    }
    PushStreamPin** table = new (std::nothrow) PushStreamPin*[entries > 0 ? entries : 1];
    if (table == nullptr) {
        return E_OUTOFMEMORY;
    }
    delete[] pinTable;
    pinTable = table;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SourceFilterBase::FindPin(LPCWSTR id, IPin** pin) {
    if (pin == nullptr) {
        return E_POINTER;
    }
    // Leading decimal digits, 32-bit arithmetic (wrapping, as the identifier is untrusted).
    uint32_t value = 0;
    if (id != nullptr) {
        for (const WCHAR* cursor = id; *cursor >= u'0' && *cursor <= u'9'; ++cursor) {
            value = value * 10u + static_cast<uint32_t>(*cursor - u'0');
        }
    }
    // Identifier 0 (or no digits) wraps to index -1, which finds nothing.
    PinBase* found = PinAt(static_cast<int>(value - 1u));
    if (found == nullptr) {
        *pin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    *pin = static_cast<IPin*>(found);
    (*pin)->AddRef();
    return S_OK;
}
