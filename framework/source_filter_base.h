// A FilterBase whose pins are push-stream pins kept in a table of its own. It owns the filter's
// one recursive lock, filterLock, handed to the FilterBase part and to every pin as their lock,
// so state changes, connections and the pin table are serialised together.
//
// Locks: AttachStream, PinCount and PinAt take filterLock. DetachStream, IndexOfPin and FindPin's
// digit reading take none: pins are attached only while the filter is being constructed and
// detached only while it is being destroyed, when no other thread uses it.
#pragma once

#include "filter_base.h"

class PushStreamPin;

class SourceFilterBase : public FilterBase {
public:
    SourceFilterBase(const char* objectName, IUnknown* outer, const CLSID& classId);
    // Destroys the pins from the last attached to the first, then the lock.
    ~SourceFilterBase() override;

    int PinCount() override;
    PinBase* PinAt(int index) override;

    // Appends a pin to the table (growing it by one entry); E_OUTOFMEMORY leaves it unchanged.
    HRESULT AttachStream(PushStreamPin* pin);
    // Removes the first entry holding the pin; S_FALSE when it is not in the table.
    HRESULT DetachStream(PushStreamPin* pin);
    // Index of the pin whose IPin interface is the given one, or -1.
    int IndexOfPin(IPin* pin);
    // Replaces the pin table by an empty one of the given size, so the table memory is known to
    // be available before the pins are built; E_OUTOFMEMORY when it cannot be allocated. Only
    // valid while no pin is attached.
    HRESULT ReservePinTable(int entries);

    // Finds a pin by its QueryId identifier (the leading decimal digits, 1-based).
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override;

    // The filter's lock, handed to each pin as its lock.
    CRITICAL_SECTION* FilterLock() { return &filterLock; }

protected:
    int pinCount;                 // guarded by filterLock (see above for detaching)
    PushStreamPin** pinTable;     // guarded by filterLock; owned, as are the pins; null if empty
    CRITICAL_SECTION filterLock;  // the filter's lock (recursive)
};
