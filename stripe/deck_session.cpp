#include "deck_session.h"

#include <cstdio>

#include "messages/stream_failure.h"
#include "stripe_timecode.h"

namespace {

constexpr LONG kErrorWriteProtect = 19;           // ERROR_WRITE_PROTECT
constexpr LONG kErrorNotReady = 21;               // ERROR_NOT_READY: no tape
constexpr LONG kErrorDeviceNotConnected = 1167;   // ERROR_DEVICE_NOT_CONNECTED

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(hr));
    return text;
}

// The reason put_Mode(ED_MODE_RECORD) was refused, for the user.
std::string RecordRefusal(HRESULT hr) {
    if (hr == HRESULT_FROM_WIN32(kErrorNotReady)) return "there is no tape in the device; nothing was sent";
    if (hr == HRESULT_FROM_WIN32(kErrorWriteProtect)) return "the tape in the device is write-protected; nothing was sent";
    if (hr == E_NOTIMPL) {
        return "the device does not take a record command; nothing was sent (press REC on it and run without "
               "--record)";
    }
    if (hr == HRESULT_FROM_WIN32(kErrorDeviceNotConnected)) {
        return CStreamFailure::Describe(CStreamFailure::kStarting, 0, hr);
    }
    if (hr == HRESULT_FROM_WIN32(ERROR_TIMEOUT)) return "the device did not answer the record command; nothing was sent";
    return "the device refused to record (" + Hex(hr) + "); nothing was sent";
}

}  // namespace

CDeckSession::CDeckSession(IAMExtTransport* transport, IAMTimecodeReader* reader)
    : transport_(transport), reader_(reader) {}

std::string CDeckSession::CheckTape() {
    if (transport_ == nullptr) return "";
    LONG present = OATRUE, inhibit = OAFALSE;
    HRESULT hr = transport_->GetStatus(ED_MEDIA_PRESENT, &present);
    if (SUCCEEDED(hr)) hr = transport_->GetStatus(ED_RECORD_INHIBIT, &inhibit);
    if (hr == HRESULT_FROM_WIN32(kErrorDeviceNotConnected)) {
        return CStreamFailure::Describe(CStreamFailure::kStarting, 0, hr);
    }
    if (SUCCEEDED(hr) && present == OAFALSE) return "there is no tape in the device; nothing was sent";
    if (SUCCEEDED(hr) && inhibit == OATRUE) return "the tape in the device is write-protected; nothing was sent";
    return "";
}

std::string CDeckSession::Record() {
    const HRESULT hr = transport_ != nullptr ? transport_->put_Mode(ED_MODE_RECORD) : E_NOTIMPL;
    if (FAILED(hr)) return RecordRefusal(hr);
    weStartedRecording_ = true;
    LONG mode = 0;
    if (transport_->get_Mode(&mode) == S_OK && mode != ED_MODE_RECORD) {
        Stop();
        return "the device took the record command but is not recording; nothing was sent";
    }
    return "";
}

std::string CDeckSession::Recording() {
    LONG mode = 0;
    const HRESULT hr = transport_ != nullptr ? transport_->get_Mode(&mode) : E_NOTIMPL;
    if (hr == S_OK && mode == ED_MODE_RECORD) return "device";
    if (hr == S_OK) {
        std::fprintf(stderr,
                     "tamsel-stripe: the device is not recording: the frames are sent but not recorded "
                     "(press REC on it, or use --record)\n");
        return "not-recording";
    }
    std::fprintf(stderr, "tamsel-stripe: the device does not say whether it records; press REC on it\n");
    return "unknown";
}

void CDeckSession::Stop() {
    if (!weStartedRecording_ || transport_ == nullptr) return;
    weStartedRecording_ = false;
    const HRESULT hr = transport_->put_Mode(ED_MODE_STOP);
    if (FAILED(hr)) std::fprintf(stderr, "tamsel-stripe: could not stop the device (%s)\n", Hex(hr).c_str());
}

bool CDeckSession::Position(std::string* text) const {
    TIMECODE_SAMPLE sample {};
    if (reader_ == nullptr || reader_->GetTimecode(&sample) != S_OK) return false;
    std::string label = stripe::Text(stripe::FromBcd(sample.timecode.dwFrames));
    if (!(sample.dwFlags & AM_TIMECODE_FLAG_DF)) label[8] = ':';
    *text = label;
    return true;
}
