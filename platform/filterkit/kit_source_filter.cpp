#include "filterkit/kit_source_filter.h"

#include <chrono>
#include <system_error>

#include "support/com_ptr.h"

namespace filterkit {

KitSourceFilter::KitSourceFilter(const CLSID& clsid, const platform::log::Category& category, const char* name)
    : KitFilter(clsid), category(category), name(name) {}

KitSourceFilter::~KitSourceFilter() {
    if (worker.joinable()) worker.join();
}

HRESULT KitSourceFilter::OnActivate() {
    if (worker.joinable()) worker.join();  // one that ended on a failure
    {
        std::lock_guard<std::mutex> hold(stopLock);
        stopRequested = false;
    }
    try {
        worker = std::thread([this] { Stream(); });
    } catch (const std::system_error&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT KitSourceFilter::Stop() {
    {
        std::lock_guard<std::mutex> hold(stopLock);
        stopRequested = true;
    }
    stopSignal.notify_all();
    return KitFilter::Stop();
}

void KitSourceFilter::OnStop() {
    if (worker.joinable()) worker.join();
}

bool KitSourceFilter::Stopping() {
    std::lock_guard<std::mutex> hold(stopLock);
    return stopRequested;
}

bool KitSourceFilter::WaitForStop(int ms) {
    std::unique_lock<std::mutex> hold(stopLock);
    return stopSignal.wait_for(hold, std::chrono::milliseconds(ms), [this] { return stopRequested; });
}

HRESULT KitSourceFilter::BufferOf(IMediaSample* sample, LONG bytes, BYTE** data) {
    *data = nullptr;
    const HRESULT hr = sample->GetPointer(data);
    if (FAILED(hr)) return hr;
    return *data == nullptr || sample->GetSize() < bytes ? VFW_E_BUFFER_OVERFLOW : S_OK;
}

HRESULT KitSourceFilter::Stamp(IMediaSample* sample, REFERENCE_TIME start, REFERENCE_TIME stop, LONGLONG mediaStart,
                               LONGLONG mediaStop, LONG bytes, bool first) {
    sample->SetTime(&start, &stop);
    sample->SetMediaTime(&mediaStart, &mediaStop);
    sample->SetSyncPoint(TRUE);
    sample->SetDiscontinuity(first ? TRUE : FALSE);
    return sample->SetActualDataLength(bytes);
}

void KitSourceFilter::Stream() {
    OnStreamStart();
    KitOutputPin& output = SourcePin();
    uint64_t index = 0;
    while (!Stopping()) {
        platform::ComPtr<IMediaSample> sample;
        if (FAILED(output.GetDeliveryBuffer(sample.Put(), nullptr, nullptr, 0)) || !sample) {
            // No buffer: the allocator is being decommitted by a stop, or not committed yet.
            if (WaitForStop(10)) break;
            continue;
        }
        const HRESULT hr = FillSample(sample.Get(), index);
        if (FAILED(hr)) {
            PLATFORM_LOG(category, Error, "%s: cannot fill sample %llu (0x%08X)", name,
                         static_cast<unsigned long long>(index), static_cast<unsigned>(hr));
            NotifyEvent(EC_ERRORABORT, hr, 0);
            return;
        }
        // Downstream refused (stopping first, flushing, or failed and says so itself): stop
        // quietly until the next activation.
        if (output.Deliver(sample.Get()) != S_OK) return;
        ++index;
    }
}

}  // namespace filterkit
