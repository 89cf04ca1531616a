// Test filters around the DV server's filters: a source that pushes given bytes from its output
// pin "Output" and records quality messages, and a sink whose input pin "In" hands every sample to
// a callback (and can block in Receive until the pin is stopped). Both are built on the server's
// own base classes, as the device filter is.
#pragma once

#include <dshow.h>
#include <platform/platform.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "filterkit/kit_filter.h"
#include "filterkit/kit_input_pin.h"
#include "filterkit/kit_output_pin.h"

namespace dvtest {

constexpr int kWidth = 720;
constexpr int kHeight = 480;
constexpr int kPictureBytes = kWidth * kHeight * 3;
constexpr int kDvFrameBytes = 120000;

// RGB24 720 x height (480 bottom-up, -480 top-down) in a VIDEOINFO block, as the colour-bar
// source offers it.
inline void MakeRgbType(platform::MediaType* mt, LONG height = kHeight) {
    mt->Clear();
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt->AllocFormat(sizeof(VIDEOINFO)));
    vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih->bmiHeader.biWidth = kWidth;
    vih->bmiHeader.biHeight = height;
    vih->bmiHeader.biPlanes = 1;
    vih->bmiHeader.biBitCount = 24;
    vih->bmiHeader.biCompression = BI_RGB;
    vih->bmiHeader.biSizeImage = kPictureBytes;
    filterkit::SetFrameType(mt, MEDIATYPE_Video, MEDIASUBTYPE_RGB24, FORMAT_VideoInfo, kPictureBytes);
}

class TestSource;

class TestSourcePin final : public filterkit::KitOutputPin {
public:
    TestSourcePin(filterkit::KitFilter* owner, const platform::MediaType& type, LONG bufferBytes)
        : KitOutputPin(owner, u"Output"), type(type), bufferBytes(bufferBytes) {}

    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override {
        return mt->majortype == type->majortype && mt->subtype == type->subtype ? S_OK
                                                                                : E_INVALIDARG;
    }
    HRESULT GetMediaType(int position, platform::MediaType* mt) override {
        if (position != 0) return VFW_S_NO_MORE_ITEMS;
        *mt = type;
        return S_OK;
    }
    HRESULT Notify(IBaseFilter* /*sender*/, Quality q) override {
        std::lock_guard<std::mutex> lock(mutex);
        qualityMessages.push_back(q);
        return S_OK;
    }
    std::vector<Quality> QualityMessages() {
        std::lock_guard<std::mutex> lock(mutex);
        return qualityMessages;
    }

protected:
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override {
        props->cBuffers = 1;
        props->cbBuffer = bufferBytes;
        ALLOCATOR_PROPERTIES actual{};
        const HRESULT hr = allocator->SetProperties(props, &actual);
        if (FAILED(hr)) return hr;
        return actual.cbBuffer < bufferBytes ? E_FAIL : S_OK;
    }

private:
    platform::MediaType type;
    const LONG bufferBytes;
    std::mutex mutex;
    std::vector<Quality> qualityMessages;  // mutex
};

// What a pushed sample may say besides its times: its media times (frame n: [n, n + 1)), a
// discontinuity, the rows that changed from the sample before (ISampleChangedRows).
struct PushExtras {
    std::optional<LONGLONG> frame;
    bool discontinuity = false;
    std::optional<std::pair<LONG, LONG>> changedRows;
};

class TestSource final : public filterkit::KitFilter {
public:
    // Offers `type`, with buffers of bufferBytes.
    TestSource(const platform::MediaType& type, LONG bufferBytes)
        : KitFilter(GUID_NULL), pin(this, type, bufferBytes) {
        AddPin(&pin);
    }

    TestSourcePin& Output() { return pin; }

    // Copies length bytes into a sample (actual length = length) stamped [start, stop), or not
    // stamped at all when timed is false, with the extras, and delivers it; the downstream
    // Receive's status.
    HRESULT Push(const uint8_t* data, LONG length, REFERENCE_TIME start, REFERENCE_TIME stop,
                 bool timed = true, const PushExtras& extras = {}) {
        IMediaSample* sample = nullptr;
        HRESULT hr = pin.GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
        if (FAILED(hr)) return hr;
        BYTE* buffer = nullptr;
        sample->GetPointer(&buffer);
        std::memcpy(buffer, data, static_cast<size_t>(length));
        sample->SetActualDataLength(length);
        if (timed)
            sample->SetTime(&start, &stop);
        else
            sample->SetTime(nullptr, nullptr);
        if (extras.frame) {
            LONGLONG first = *extras.frame, next = *extras.frame + 1;
            sample->SetMediaTime(&first, &next);
        }
        sample->SetDiscontinuity(extras.discontinuity ? TRUE : FALSE);
        if (extras.changedRows) {
            // E_NOINTERFACE from a sample that cannot say them.
            ISampleChangedRows* rows = nullptr;
            hr = sample->QueryInterface(IID_ISampleChangedRows, reinterpret_cast<void**>(&rows));
            if (FAILED(hr)) {
                sample->Release();
                return hr;
            }
            rows->SetChangedRows(extras.changedRows->first, extras.changedRows->second);
            rows->Release();
        }
        hr = pin.Deliver(sample);
        sample->Release();
        return hr;
    }

private:
    TestSourcePin pin;
};

struct ReceivedSample {
    std::vector<uint8_t> data;
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    HRESULT timeStatus = E_FAIL;
    std::optional<std::pair<LONG, LONG>> changedRows;  // what the sample said (ISampleChangedRows)
};

class TestSinkPin final : public filterkit::KitInputPin {
public:
    TestSinkPin(filterkit::KitFilter* owner, const GUID& major, const GUID& subtype)
        : KitInputPin(owner, u"In"), major(major), subtype(subtype) {}

    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override {
        return mt->majortype == major && mt->subtype == subtype ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }

    // Called for every sample on the streaming thread; by default the sample is kept. onData,
    // when set, sees the sample's bytes in place instead (no copy, for the benchmark).
    std::function<void(const ReceivedSample&)> onSample;
    std::function<void(const uint8_t* data, long length)> onData;
    std::vector<ReceivedSample> received;
    // When set, Receive waits until the pin is stopped or flushed, then fails.
    bool blockInReceive = false;
    // When set, the pin offers no allocator of its own (the upstream must bring one).
    bool refuseAllocator = false;

    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** out) override {
        if (refuseAllocator) {
            if (out != nullptr) *out = nullptr;
            return VFW_E_NO_ALLOCATOR;
        }
        return KitInputPin::GetAllocator(out);
    }
    bool enteredReceive = false;  // mutex
    std::mutex mutex;
    std::condition_variable changed;

protected:
    HRESULT OnReceive(IMediaSample* sample) override {
        if (blockInReceive) {
            std::unique_lock<std::mutex> lock(mutex);
            enteredReceive = true;
            changed.notify_all();
            changed.wait(lock, [this] { return IsStopped() || IsFlushing(); });
            return VFW_E_WRONG_STATE;
        }
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        if (onData) {
            onData(data, sample->GetActualDataLength());
            return S_OK;
        }
        ReceivedSample copy;
        copy.data.assign(data, data + sample->GetActualDataLength());
        copy.timeStatus = sample->GetTime(&copy.start, &copy.stop);
        ISampleChangedRows* rows = nullptr;
        if (SUCCEEDED(sample->QueryInterface(IID_ISampleChangedRows, reinterpret_cast<void**>(&rows)))) {
            LONG first = 0, end = 0;
            if (rows->GetChangedRows(&first, &end) == S_OK) copy.changedRows = std::make_pair(first, end);
            rows->Release();
        }
        if (onSample)
            onSample(copy);
        else
            received.push_back(std::move(copy));
        return S_OK;
    }
    void UnblockReceive() override {
        std::lock_guard<std::mutex> lock(mutex);
        changed.notify_all();
    }

private:
    const GUID major;
    const GUID subtype;
};

class TestSink final : public filterkit::KitFilter {
public:
    TestSink(const GUID& major, const GUID& subtype)
        : KitFilter(GUID_NULL), pin(this, major, subtype) {
        AddPin(&pin);
    }
    TestSinkPin& Input() { return pin; }

private:
    TestSinkPin pin;
};

// A source offering RGB24 pictures of the given height (negative: top-down), one picture a buffer.
inline TestSource* NewRgbSource(LONG height = kHeight) {
    platform::MediaType type;
    MakeRgbType(&type, height);
    return new TestSource(type, kPictureBytes);
}

// Stops the filters (in the order given: downstream first) and disconnects all their pins, as the
// graph does when it lets them go: connected pins hold references on each other.
// Pauses the filters in the order given (downstream first); S_OK, or the first failure.
inline HRESULT PauseAll(std::initializer_list<filterkit::KitFilter*> filters) {
    for (filterkit::KitFilter* f : filters) {
        const HRESULT hr = f->Pause();
        if (hr != S_OK) return hr;
    }
    return S_OK;
}

inline void StopAll(std::initializer_list<filterkit::KitFilter*> filters) {
    for (filterkit::KitFilter* f : filters) f->Stop();
}

inline void StopAndUnlink(std::initializer_list<filterkit::KitFilter*> filters) {
    StopAll(filters);
    for (filterkit::KitFilter* f : filters)
        for (int i = 0; i < f->PinCount(); ++i) f->PinAt(i)->Disconnect();
}

// Releases a filter created with `new` (one reference) at scope end.
template <typename T>
struct Ref {
    T* p;
    explicit Ref(T* p) : p(p) {}
    ~Ref() { p->Release(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* operator->() const { return p; }
    T& operator*() const { return *p; }
};

}  // namespace dvtest
