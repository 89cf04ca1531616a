// IEnumMediaTypes over a PinBase. Keeps the pin (and so its filter) alive. The list ends at the
// first position at which the pin's GetOfferedType does not return S_OK; a changed type list
// makes Next, Skip and Clone fail with VFW_E_ENUM_OUT_OF_SYNC until Reset.
//
// Threads: one caller at a time; no lock of its own (the pin's GetOfferedType may take the
// filter lock). The reference count is atomic.
#pragma once

#include <dshow.h>

class PinBase;

class MediaTypeEnumerator : public IEnumMediaTypes {
public:
    // Takes a reference on the pin through IPin; with a source (Clone) copies its position and
    // snapshot.
    MediaTypeEnumerator(PinBase* pin, const MediaTypeEnumerator* source);
    virtual ~MediaTypeEnumerator();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // Each record returned lives in task memory; the caller frees it with DisposeMediaType.
    HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** enumerator) override;

    MediaTypeEnumerator(const MediaTypeEnumerator&) = delete;
    MediaTypeEnumerator& operator=(const MediaTypeEnumerator&) = delete;

private:
    bool IsStale();

    int position;                  // index of the next type to ask for
    PinBase* pin;                  // one reference through IPin
    LONG version;                  // the pin's TypeListVersion at the last synchronisation
    volatile LONG referenceCount;  // atomic; 1 at construction
};
