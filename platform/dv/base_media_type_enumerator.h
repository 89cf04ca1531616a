// IEnumMediaTypes over a pin's offered types. It takes a snapshot of the types at creation (the
// DV server's pins offer a fixed list) and holds a reference on the pin's filter through the pin.
// Threads: one caller at a time; no lock of its own.
#pragma once

#include <dshow.h>

#include <atomic>
#include <memory>
#include <vector>

#include "base_media_type.h"

namespace dv {

class BasePin;

class MediaTypeEnumerator final : public IEnumMediaTypes {
public:
    // A new enumerator with one reference over pin's offered types, or null when out of memory.
    static MediaTypeEnumerator* Create(BasePin* pin);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** out) override;

private:
    MediaTypeEnumerator(BasePin* pin, std::shared_ptr<const std::vector<MediaType>> types,
                        size_t position);
    ~MediaTypeEnumerator();

    std::atomic<ULONG> refCount{1};
    BasePin* const pin;  // counted through the pin (that is, on its filter)
    const std::shared_ptr<const std::vector<MediaType>> types;  // shared with clones
    size_t position;
};

}  // namespace dv
