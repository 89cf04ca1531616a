// The kit's transform filter base (under "DV Video Encoder" and "DV Muxer"): one input pin, one
// output pin offering one type, and each input sample made into one output frame of a size fixed
// while connected that keeps the input's times.
//
// Derived is the filter itself (the pins and the frame path call it directly, so a frame costs no
// more calls than a hand-written filter). It supplies:
//   LONG FrameBytes() const;                                 // every output frame (it may follow
//                                                            // the input's type)
//   static constexpr const char* kFilterName;                // in the log
//   static constexpr const platform::log::Category& kLogCategory;  // the log it writes to
//   HRESULT CheckInputType(const AM_MEDIA_TYPE* mt);         // as KitPin::CheckMediaType
//   HRESULT CheckOutputType(const AM_MEDIA_TYPE* mt);
//   HRESULT OfferedOutputType(MediaType* mt);                // the one offered output type
//   HRESULT PrepareInput(IMediaSample* in, const BYTE** data);  // checks in, points at its data
//   HRESULT Transform(IMediaSample* in, const BYTE* data, BYTE* frame, IMediaSample* out);
// and may hide InputConnected (after the input connected, filterLock held) and OnDelivered
// (after a frame was taken downstream).
//
// Threads and locks: the base classes' (kit_filter.h). The frame path runs on the upstream's
// streaming thread under the input pin's receive lock.
#pragma once

#include "filterkit/kit_filter.h"
#include "filterkit/kit_input_pin.h"
#include "filterkit/kit_output_pin.h"
#include "support/com_ptr.h"
#include "support/log.h"

namespace filterkit {

template <typename Derived>
class KitTransformFilter;

// What both pins share: the filter that owns them. The pins are made while the filter's base is
// being built, so they keep the base and see the derived filter only when called (by then it is
// whole).
template <typename Derived, typename Pin>
class KitTransformPin : public Pin {
public:
    KitTransformPin(KitTransformFilter<Derived>* owner, const char16_t* name) : Pin(owner, name), owner(owner) {}

protected:
    Derived* Owner() const { return static_cast<Derived*>(owner); }

    KitTransformFilter<Derived>* const owner;  // not owned; the filter owns its pins
};

template <typename Derived>
class KitTransformInputPin final : public KitTransformPin<Derived, KitInputPin> {
public:
    using KitTransformPin<Derived, KitInputPin>::KitTransformPin;

    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override {
        if (mt == nullptr) return E_POINTER;
        return this->Owner()->CheckInputType(mt);
    }

protected:
    HRESULT CompleteConnect(IPin* /*peer*/) override {
        return this->Owner()->InputConnected(this->connectionType);
    }
    HRESULT OnReceive(IMediaSample* sample) override { return this->owner->TransformAndDeliver(sample); }
    HRESULT OnEndOfStream() override { return this->owner->output.DeliverEndOfStream(); }
    HRESULT OnBeginFlush() override { return this->owner->output.DeliverBeginFlush(); }
    HRESULT OnEndFlush() override { return this->owner->output.DeliverEndFlush(); }
};

template <typename Derived>
class KitTransformOutputPin final : public KitTransformPin<Derived, KitOutputPin> {
public:
    using KitTransformPin<Derived, KitOutputPin>::KitTransformPin;

    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override {
        if (mt == nullptr) return E_POINTER;
        return this->Owner()->CheckOutputType(mt);
    }
    HRESULT GetMediaType(int position, MediaType* mt) override {
        if (mt == nullptr) return E_POINTER;
        if (position < 0) return E_INVALIDARG;
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        return this->Owner()->OfferedOutputType(mt);
    }

protected:
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override {
        return this->SizeForFrames(allocator, props, this->Owner()->FrameBytes());
    }
};

template <typename Derived>
class KitTransformFilter : public KitFilter {
public:
    using InputPin = KitTransformInputPin<Derived>;
    using OutputPin = KitTransformOutputPin<Derived>;

    InputPin& Input() { return input; }
    OutputPin& Output() { return output; }

protected:
    KitTransformFilter(const CLSID& clsid, const char16_t* inputName, const char16_t* outputName)
        : KitFilter(clsid), input(this, inputName), output(this, outputName) {
        AddPin(&input);
        AddPin(&output);
        output.SetQualityRoute(&input);
    }

    // Defaults of the hooks a filter may hide.
    HRESULT InputConnected(const MediaType& /*type*/) { return S_OK; }
    void OnDelivered() {}

    // For PrepareInput: points *data at the sample's bytes when it holds at least `bytes` of
    // them; otherwise logs why not (`unit` names what `bytes` make up) and fails. Streaming
    // thread.
    static HRESULT SampleData(IMediaSample* sample, LONG bytes, const char* unit,
                              const BYTE** data) {
        BYTE* held = nullptr;
        const HRESULT hr = sample->GetPointer(&held);
        if (FAILED(hr)) {
            PLATFORM_LOG(Derived::kLogCategory, Error, "%s: a sample without data (status 0x%08X)",
                         Derived::kFilterName, unsigned(hr));
            return hr;
        }
        if (held == nullptr || sample->GetActualDataLength() < bytes) {
            PLATFORM_LOG(Derived::kLogCategory, Error,
                         "%s: a sample of %ld bytes, less than a %s of %ld", Derived::kFilterName,
                         long(held == nullptr ? 0 : sample->GetActualDataLength()), unit,
                         long(bytes));
            return E_INVALIDARG;
        }
        *data = held;
        return S_OK;
    }

    InputPin input;
    OutputPin output;

private:
    friend InputPin;

    Derived* Self() { return static_cast<Derived*>(this); }

    // One input sample to one delivered frame. Streaming thread.
    HRESULT TransformAndDeliver(IMediaSample* sample) {
        const BYTE* data = nullptr;
        HRESULT hr = Self()->PrepareInput(sample, &data);
        if (FAILED(hr)) return hr;  // PrepareInput said why

        platform::ComPtr<IMediaSample> out;
        hr = output.GetDeliveryBuffer(out.Put(), nullptr, nullptr, 0);
        if (FAILED(hr)) {
            // Also how a stop shows up (the allocator is decommitted): not an error.
            PLATFORM_LOG(Derived::kLogCategory, Info, "%s: no output buffer (status 0x%08X)",
                         Derived::kFilterName, unsigned(hr));
            return hr;
        }
        BYTE* frame = nullptr;
        hr = out->GetPointer(&frame);
        const LONG frameBytes = Self()->FrameBytes();
        if (SUCCEEDED(hr) && (frame == nullptr || out->GetSize() < frameBytes))
            hr = VFW_E_BUFFER_OVERFLOW;
        if (SUCCEEDED(hr)) hr = Self()->Transform(sample, data, frame, out.Get());
        if (SUCCEEDED(hr)) hr = out->SetActualDataLength(frameBytes);
        if (FAILED(hr)) {
            PLATFORM_LOG(Derived::kLogCategory, Error, "%s: the frame was not made (status 0x%08X)",
                         Derived::kFilterName, unsigned(hr));
            return hr;
        }
        KitOutputPin::PassFrameTimes(sample, out.Get());  // every frame stands alone
        hr = output.Deliver(out.Get());
        if (SUCCEEDED(hr))
            Self()->OnDelivered();
        else
            PLATFORM_LOG(Derived::kLogCategory, Info,
                         "%s: downstream refused a frame (status 0x%08X)", Derived::kFilterName,
                         unsigned(hr));
        return hr;
    }
};

}  // namespace filterkit
