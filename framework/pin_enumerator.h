// IEnumPins over a FilterBase. Keeps the filter alive; notices a changed pin set through the
// filter's pin-set version and then resynchronises silently in Next without returning a pin
// twice.
//
// Threads: one caller at a time; the enumerator takes no lock of its own (PinCount and PinAt
// take the filter lock). The reference count is atomic.
#pragma once

#include <dshow.h>

class FilterBase;
class PinBase;

class PinEnumerator : public IEnumPins {
public:
    // Takes a reference on the filter. With a source (Clone) copies its position, snapshot and
    // handed-out set; IsComplete() tells whether that copy could be allocated.
    PinEnumerator(FilterBase* filter, const PinEnumerator* source);
    virtual ~PinEnumerator();

    bool IsComplete() const { return complete; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumPins** enumerator) override;

    PinEnumerator(const PinEnumerator&) = delete;
    PinEnumerator& operator=(const PinEnumerator&) = delete;

private:
    bool IsStale();
    // Reset without forgetting the pins already handed out.
    void Resynchronise();
    bool WasHandedOut(const PinBase* pin) const;
    bool RememberHandedOut(PinBase* pin);

    int position;                  // index of the next pin to look at
    int pinCount;                  // the filter's PinCount at the last synchronisation
    FilterBase* filter;            // one reference through IBaseFilter
    LONG version;                  // the filter's PinSetVersion at the last synchronisation
    volatile LONG referenceCount;  // atomic; 1 at construction
    PinBase** handedOut;           // pins returned since the last Reset; identity only
    int handedOutCount;
    int handedOutCapacity;
    bool complete;  // false when a clone's handed-out set could not be copied
};
