#include "dv/filters/device_filter.h"

#include <new>
#include <string>

#include "dv/filters/device_text.h"
#include "dv/filters/dv_classes.h"
#include "dv/filters/transport_factory.h"
#include "support/log.h"

namespace dv {

DeviceFilter::DeviceFilter() : ComExtend(CLSID_DVDeviceFilter), input(this), output(this) {
    AddPin(&input);
    AddPin(&output);
}

HRESULT DeviceFilter::GetClassID(CLSID* clsid) { return KitFilter::GetClassID(clsid); }

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
    std::lock_guard<std::mutex> deck(controlLock);
    controlPath = devicePath;
    DropControl();
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

HRESULT DeviceFilter::StartCapture() {
    std::unique_ptr<Receiver> opened = CreateReceiver(devicePath);
    if (opened == nullptr) {
        PLATFORM_LOG(platform::log::kDv, Warning, "the device %s plays nothing back to this computer",
                     devicePath.c_str());
        return E_NOTIMPL;
    }
    if (const HRESULT hr = reach.Open(opened.get()); FAILED(hr)) return hr;
    receiver = std::move(opened);
    output.StartCapture(receiver.get());
    return S_OK;
}

HRESULT DeviceFilter::OnActivate() {
    if (devicePath.empty()) return VFW_E_NOT_FOUND;  // never told which device it drives
    if (output.IsConnected() && !input.IsConnected()) return StartCapture();
    std::unique_ptr<Transport> opened = CreateTransport(devicePath);
    if (opened == nullptr) return kTransportBadPath;
    // The stream's system is the connection's: the frames' size and pace.
    const DvSystem& system = input.ConnectedSystem();
    opened->SetSystem(system);
    // Open waits for the device under the filter's lock: Interrupt reaches it there.
    if (const HRESULT hr = reach.Open(opened.get()); FAILED(hr)) return hr;
    transport = std::move(opened);
    streamSystem = &system;
    rateControl.Reset(system);
    failure = S_OK;
    budgetSpent = false;
    {
        std::lock_guard<std::mutex> deck(controlLock);
        streaming = transport.get();
        // The counts the progress is measured from; a device that keeps none leaves them unknown.
        runStart = Measure(*streaming, /*askDevice=*/true);
        runEnded = false;
    }
    std::lock_guard<std::mutex> stats(statsLock);
    framesSent = 0;
    qualityMessages = 0;
    recentStarts.clear();
    return S_OK;
}

void DeviceFilter::OnStop() {
    if (receiver != nullptr) {
        // The output pin's worker ended when the pin was deactivated.
        receiver->Cancel();
        receiver->Close();
        reach.Remove(receiver.get());
        receiver.reset();
    }
    if (transport == nullptr) return;
    transport->Cancel();
    transport->Close();
    // Frames lost just before the stop (a device that had stalled, a tape that could not take the
    // last ones) are a failure like one while streaming, posted the same way and once.
    const HRESULT lost = transport->CloseStatus();
    if (FAILED(lost) && SUCCEEDED(failure)) {
        PLATFORM_LOG(platform::log::kDv, Warning, "the device failed at the stop: %s", transport->LastError().c_str());
        failure = lost;
        NotifyEvent(EC_ERRORABORT, lost, 0);
    }
    {
        std::lock_guard<std::mutex> deck(controlLock);
        streaming = nullptr;
        // The run's final counts, now that the device has taken (or refused) the last frame.
        runEnd = Measure(*transport, /*askDevice=*/runStart.stateKnown);
        runEnded = true;
    }
    reach.Remove(transport.get());
    transport.reset();
}

void DeviceFilter::CancelTransport() {
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    if (transport != nullptr) transport->Cancel();
}

HRESULT DeviceFilter::SendSample(IMediaSample* sample) {
    if (FAILED(failure)) return failure;  // already reported once
    if (transport == nullptr) return VFW_E_WRONG_STATE;
    if (budgetSpent) return S_FALSE;  // every frame asked for is out: the source stops
    BYTE* data = nullptr;
    HRESULT hr = sample->GetPointer(&data);
    const LONG length = sample->GetActualDataLength();
    if (FAILED(hr) || data == nullptr || length != streamSystem->frameBytes) {
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
    LONGLONG sent = 0;
    {
        std::lock_guard<std::mutex> stats(statsLock);
        sent = framesSent;
    }
    if (frameBudget > 0 && sent >= frameBudget) {
        // The last frame has left for the device: the run is complete, and nothing follows it.
        budgetSpent = true;
        NotifyEvent(EC_COMPLETE, S_OK, 0);
        return S_FALSE;
    }
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

// ---- deck control -------------------------------------------------------------------------------

namespace {

// The transport's modes as IAMExtTransport names them. A unit in play-pause says so, but only
// the modes marked may be asked for.
struct ModeName {
    DeckMode mode;
    LONG value;
    bool asked;
};
constexpr ModeName kModeNames[] = {{DeckMode::Stop, ED_MODE_STOP, true},
                                   {DeckMode::Record, ED_MODE_RECORD, true},
                                   {DeckMode::RecordPause, ED_MODE_RECORD_FREEZE, true},
                                   {DeckMode::Play, ED_MODE_PLAY, true},
                                   {DeckMode::PlayPause, ED_MODE_FREEZE, false},
                                   {DeckMode::Rewind, ED_MODE_REW, true},
                                   {DeckMode::FastForward, ED_MODE_FF, true}};

LONG ModeValue(DeckMode mode) {
    for (const ModeName& name : kModeNames) {
        if (name.mode == mode) return name.value;
    }
    return ED_MODE_STOP;
}

HRESULT CopyText(const std::string& text, LPOLESTR* out) {
    if (out == nullptr) return E_POINTER;
    const std::u16string wide = platform::Utf16FromUtf8(text);
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
    if (copy == nullptr) return E_OUTOFMEMORY;
    for (size_t i = 0; i < wide.size(); ++i) copy[i] = OLECHAR(wide[i]);
    copy[wide.size()] = 0;
    *out = copy;
    return S_OK;
}

}  // namespace

template <typename Call>
HRESULT DeviceFilter::WithDeck(Call call) {
    std::lock_guard<std::mutex> deck(controlLock);
    if (streaming != nullptr) return call(*streaming);
    if (control == nullptr) {
        if (controlPath.empty()) return VFW_E_NOT_FOUND;  // never told which device it drives
        control = CreateTransport(controlPath);
        if (control == nullptr) return kTransportBadPath;
        reach.Add(control.get());
    }
    return call(*control);
}

void DeviceFilter::DropControl() {
    if (control == nullptr) return;
    reach.Remove(control.get());
    control.reset();
}

HRESULT DeviceFilter::GetCapability(LONG capability, LONG* value, double* number) {
    if (value == nullptr) return E_POINTER;
    if (number != nullptr) *number = 0;
    switch (capability) {
        case ED_DEVCAP_DEVICE_TYPE:
            *value = ED_DEVTYPE_VCR;
            return S_OK;
        case ED_DEVCAP_CAN_RECORD:
        case ED_DEVCAP_TIMECODE_READ:
            *value = OATRUE;
            return S_OK;
        default:
            return E_NOTIMPL;
    }
}

HRESULT DeviceFilter::get_ExternalDeviceID(LPOLESTR* text) {
    const std::string path = DevicePath();
    if (path.empty()) return VFW_E_NOT_FOUND;
    const size_t colon = path.find(':');
    return CopyText(colon == std::string::npos ? path : path.substr(colon + 1), text);
}

HRESULT DeviceFilter::get_ExternalDeviceVersion(LPOLESTR* text) { return text == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::put_DevicePower(LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::get_DevicePower(LONG* mode) { return mode == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::Calibrate(HEVENT, LONG, LONG* status) { return status == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::put_DevicePort(LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::get_DevicePort(LONG* port) { return port == nullptr ? E_POINTER : E_NOTIMPL; }

HRESULT DeviceFilter::put_MediaState(LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::get_MediaState(LONG* state) { return state == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::put_LocalControl(LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::get_LocalControl(LONG* state) { return state == nullptr ? E_POINTER : E_NOTIMPL; }

HRESULT DeviceFilter::GetStatus(LONG item, LONG* value) {
    if (value == nullptr) return E_POINTER;
    if (item != ED_MODE && item != ED_MEDIA_PRESENT && item != ED_RECORD_INHIBIT && item != ED_MEDIA_TYPE) {
        return E_NOTIMPL;
    }
    if (reach.Interrupted()) return kTransportInterrupted;
    DeckState state;
    const HRESULT hr = WithDeck([&](Transport& t) { return t.GetDeckState(&state); });
    if (FAILED(hr)) return hr;
    switch (item) {
        case ED_MODE:
            *value = ModeValue(state.mode);
            break;
        case ED_MEDIA_PRESENT:
            *value = state.mediaPresent ? OATRUE : OAFALSE;
            break;
        case ED_RECORD_INHIBIT:
            *value = state.mediaPresent && state.writeProtected ? OATRUE : OAFALSE;
            break;
        default:
            *value = ED_MEDIA_DVC;
            break;
    }
    return S_OK;
}

HRESULT DeviceFilter::GetTransportBasicParameters(LONG, LONG* value, LPOLESTR*) { return value == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::SetTransportBasicParameters(LONG, LONG, LPCOLESTR) { return E_NOTIMPL; }
HRESULT DeviceFilter::GetTransportVideoParameters(LONG, LONG* value) { return value == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::SetTransportVideoParameters(LONG, LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::GetTransportAudioParameters(LONG, LONG* value) { return value == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::SetTransportAudioParameters(LONG, LONG) { return E_NOTIMPL; }

HRESULT DeviceFilter::put_Mode(LONG mode) {
    const ModeName* named = nullptr;
    for (const ModeName& name : kModeNames) {
        if (name.asked && name.value == mode) named = &name;
    }
    if (named == nullptr) return E_NOTIMPL;
    const DeckMode wanted = named->mode;
    // After Interrupt only STOP goes out: a unit put into record can still be stopped.
    if (wanted != DeckMode::Stop && reach.Interrupted()) return kTransportInterrupted;
    const HRESULT hr = WithDeck([&](Transport& t) { return t.SetDeckMode(wanted); });
    if (FAILED(hr) && hr != E_NOTIMPL) {
        PLATFORM_LOG(platform::log::kDv, Warning, "the device did not take mode %ld: 0x%08X", long(mode), unsigned(hr));
    }
    return hr;
}

HRESULT DeviceFilter::get_Mode(LONG* mode) {
    if (mode == nullptr) return E_POINTER;
    if (reach.Interrupted()) return kTransportInterrupted;
    DeckState state;
    const HRESULT hr = WithDeck([&](Transport& t) { return t.GetDeckState(&state); });
    if (SUCCEEDED(hr)) *mode = ModeValue(state.mode);
    return hr;
}

HRESULT DeviceFilter::put_Rate(double) { return E_NOTIMPL; }
HRESULT DeviceFilter::get_Rate(double* rate) { return rate == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::GetChase(LONG*, LONG*, HEVENT*) { return E_NOTIMPL; }
HRESULT DeviceFilter::SetChase(LONG, LONG, HEVENT) { return E_NOTIMPL; }
HRESULT DeviceFilter::GetBump(LONG*, LONG*) { return E_NOTIMPL; }
HRESULT DeviceFilter::SetBump(LONG, LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::get_AntiClogControl(LONG* enabled) { return enabled == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::put_AntiClogControl(LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::GetEditPropertySet(LONG, LONG*) { return E_NOTIMPL; }
HRESULT DeviceFilter::SetEditPropertySet(LONG*, LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::GetEditProperty(LONG, LONG, LONG*) { return E_NOTIMPL; }
HRESULT DeviceFilter::SetEditProperty(LONG, LONG, LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::get_EditStart(LONG* value) { return value == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::put_EditStart(LONG) { return E_NOTIMPL; }

HRESULT DeviceFilter::GetTCRMode(LONG, LONG* value) { return value == nullptr ? E_POINTER : E_NOTIMPL; }
HRESULT DeviceFilter::SetTCRMode(LONG, LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::put_VITCLine(LONG) { return E_NOTIMPL; }
HRESULT DeviceFilter::get_VITCLine(LONG* line) { return line == nullptr ? E_POINTER : E_NOTIMPL; }

HRESULT DeviceFilter::GetTimecode(PTIMECODE_SAMPLE sample) {
    if (sample == nullptr) return E_POINTER;
    if (reach.Interrupted()) return kTransportInterrupted;
    DeckState state;
    const HRESULT hr = WithDeck([&](Transport& t) { return t.GetDeckState(&state); });
    if (FAILED(hr)) return hr;
    *sample = {};
    sample->timecode.wFrameRate = WORD(state.dropFrame ? 2997 : 30);  // hundredths, for reports only
    if (!state.positionKnown) return S_FALSE;
    sample->timecode.dwFrames = state.positionBcd;
    sample->dwFlags = state.dropFrame ? AM_TIMECODE_FLAG_DF : 0;
    return S_OK;
}

HRESULT DeviceFilter::SetFrameBudget(LONGLONG frames) {
    if (frames < 0) return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_WRONG_STATE;
    frameBudget = frames;
    return S_OK;
}

HRESULT DeviceFilter::GetProgress(DVStreamProgress* progress) {
    if (progress == nullptr) return E_POINTER;
    {
        std::lock_guard<std::mutex> stats(statsLock);
        progress->framesSent = framesSent;
    }
    progress->framesRepeated = -1;
    progress->framesRecorded = -1;
    progress->longestGap = -1;
    progress->longestGapAfter = -1;
    std::lock_guard<std::mutex> deck(controlLock);
    RunCounts now;
    if (streaming != nullptr) {
        now = Measure(*streaming, /*askDevice=*/runStart.stateKnown);
    } else if (runEnded) {
        now = runEnd;
    } else {
        return S_OK;  // no run yet
    }
    if (runStart.stateKnown && now.stateKnown) {
        progress->framesRepeated = LONGLONG(now.state.framesRepeated - runStart.state.framesRepeated);
        progress->framesRecorded = LONGLONG(now.state.framesRecorded - runStart.state.framesRecorded);
    } else if (now.gapsKnown) {
        progress->framesRepeated = LONGLONG(now.gaps.ticks);  // the sender's count, since Open
    }
    if (now.gapsKnown) {
        progress->longestGap = LONGLONG(now.gaps.longest);
        progress->longestGapAfter = LONGLONG(now.gaps.longestAfter);
    }
    return S_OK;
}

DeviceFilter::RunCounts DeviceFilter::Measure(Transport& device, bool askDevice) {
    RunCounts counts;
    // The device's state first: asking it also brings the deck's latest gap account.
    counts.stateKnown = askDevice && !reach.Interrupted() && SUCCEEDED(device.GetDeckState(&counts.state)) &&
                        counts.state.countsKnown;
    counts.gapsKnown = device.GetGaps(&counts.gaps);
    return counts;
}

HRESULT DeviceFilter::GetDeviceStandard(LONG* standard) {
    if (standard == nullptr) return E_POINTER;
    DvStandard told = DvStandard::Ntsc525_60;
    const HRESULT hr = WithDeck([&](Transport& t) { return t.GetUnitSystem(&told); });
    if (FAILED(hr)) return hr;
    *standard = told == DvStandard::Pal625_50 ? DV_STANDARD_625_50 : DV_STANDARD_525_60;
    return S_OK;
}

HRESULT DeviceFilter::Interrupt() {
    PLATFORM_LOG(platform::log::kDv, Info, "interrupted: nothing but STOP goes to the device from now on");
    reach.Interrupt();
    return S_OK;
}

HRESULT CreateDeviceFilter(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<DeviceFilter>(outer, iid, out);
}

}  // namespace dv
