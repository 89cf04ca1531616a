#include "filters/device_filter.h"

#include <new>

#include "filters/device_text.h"
#include "filters/dv_classes.h"
#include "log.h"
#include "ntsc_dv.h"

namespace dv {
namespace {

constexpr LONG kFrameBytes = ntsc::kFrameBytes;

}  // namespace

DeviceFilter::DeviceFilter() : ComExtend(CLSID_DVDeviceFilter), input(this) { AddPin(&input); }

HRESULT DeviceFilter::GetClassID(CLSID* clsid) { return BaseFilter::GetClassID(clsid); }

HRESULT DeviceFilter::InitNew() { return S_OK; }

HRESULT DeviceFilter::Load(IPropertyBag* bag, IErrorLog* log) {
    if (bag == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_WRONG_STATE;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    HRESULT hr = bag->Read(u"DevicePath", &value, log);
    if (FAILED(hr)) return hr;
    if (value.vt != VT_BSTR || value.bstrVal == nullptr) {
        VariantClear(&value);
        return E_INVALIDARG;
    }
    devicePath = Utf8FromWide(value.bstrVal);
    VariantClear(&value);
    return S_OK;
}

HRESULT DeviceFilter::Save(IPropertyBag* bag, BOOL /*clearDirty*/, BOOL /*saveAll*/) {
    if (bag == nullptr) return E_POINTER;
    return E_NOTIMPL;
}

std::string DeviceFilter::DevicePath() {
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    return devicePath;
}

HRESULT DeviceFilter::OnActivate() {
    if (devicePath.empty()) return VFW_E_NOT_FOUND;  // never told which device it drives
    std::unique_ptr<Transport> opened = Transport::Create(devicePath);
    if (opened == nullptr) return kTransportBadPath;
    const HRESULT hr = opened->Open();
    if (FAILED(hr)) return hr;
    transport = std::move(opened);
    rateControl.Reset();
    failure = S_OK;
    std::lock_guard<std::mutex> stats(statsLock);
    framesSent = 0;
    qualityMessages = 0;
    recentStarts.clear();
    return S_OK;
}

void DeviceFilter::OnStop() {
    if (transport == nullptr) return;
    transport->Cancel();
    transport->Close();
    // Frames lost just before the stop (a device that had stalled, a tape that could not take the
    // last ones) are a failure like one while streaming, posted the same way and once.
    const HRESULT lost = transport->CloseStatus();
    if (FAILED(lost) && SUCCEEDED(failure)) {
        PLATFORM_LOG("dv", Warning, "the device failed at the stop: %s", transport->LastError().c_str());
        failure = lost;
        NotifyEvent(EC_ERRORABORT, lost, 0);
    }
    transport.reset();
}

void DeviceFilter::CancelTransport() {
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    if (transport != nullptr) transport->Cancel();
}

HRESULT DeviceFilter::SendSample(IMediaSample* sample) {
    if (FAILED(failure)) return failure;  // already reported once
    if (transport == nullptr) return VFW_E_WRONG_STATE;
    BYTE* data = nullptr;
    HRESULT hr = sample->GetPointer(&data);
    const LONG length = sample->GetActualDataLength();
    if (FAILED(hr) || data == nullptr || length != kFrameBytes) {
        // Anything but one whole frame would put a broken frame on the tape.
        failure = FAILED(hr) ? hr : E_INVALIDARG;
        NotifyEvent(EC_ERRORABORT, failure, 0);
        return failure;
    }
    hr = transport->SendFrame(data, size_t(length));
    if (hr == kTransportCancelled) return VFW_E_WRONG_STATE;  // stopping: not a failure
    if (FAILED(hr)) {
        failure = hr;
        NotifyEvent(EC_ERRORABORT, hr, 0);
        return hr;
    }
    REFERENCE_TIME start = 0, stop = 0;
    // Both times are needed: a sample without a stop time says nothing about the period.
    const bool timed = sample->GetTime(&start, &stop) == S_OK;
    Quality q {};
    const bool message = timed && rateControl.OnSample(start, stop, &q);
    {
        std::lock_guard<std::mutex> stats(statsLock);
        ++framesSent;
        if (message) ++qualityMessages;
        if (timed) {
            recentStarts.push_back(start);
            if (recentStarts.size() > kAveragedFrames) recentStarts.pop_front();
        }
    }
    if (message) input.SendQualityUpstream(q);  // an upstream without quality control is no error
    return S_OK;
}

HRESULT DeviceFilter::GetStatistics(DVDeviceStatistics* statistics) {
    if (statistics == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> stats(statsLock);
    *statistics = {};
    statistics->framesSent = framesSent;
    statistics->qualityMessages = qualityMessages;
    if (!recentStarts.empty()) statistics->lastStart = recentStarts.back();
    if (recentStarts.size() >= 2) {
        const LONG steps = LONG(recentStarts.size() - 1);
        statistics->averageStep = (recentStarts.back() - recentStarts.front()) / steps;
        statistics->averagedFrames = steps;
    }
    return S_OK;
}

HRESULT CreateDeviceFilter(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<DeviceFilter>(outer, iid, out);
}

}  // namespace dv
