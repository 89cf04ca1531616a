#include "deck_session.h"

#include <cstdio>

#include "device_access.h"
#include "messages/stream_failure.h"
#include "dv/dif/timecode.h"

namespace {

constexpr LONG kErrorWriteProtect = 19;           // ERROR_WRITE_PROTECT
constexpr LONG kErrorNotReady = 21;               // ERROR_NOT_READY: no tape
constexpr LONG kErrorDeviceNotConnected = 1167;   // ERROR_DEVICE_NOT_CONNECTED

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(hr));
    return text;
}

// Why the unit cannot be told anything: a cause the user can mend, "" for any other failure.
std::string Cause(HRESULT hr) {
    if (hr == HRESULT_FROM_WIN32(kErrorNotReady)) return "there is no tape in the device";
    if (hr == HRESULT_FROM_WIN32(kErrorWriteProtect)) return "the tape in the device is write-protected";
    if (hr == DV_E_LOCAL_MODE) {
        return "the device takes no command from the bus: it is in local mode (set it to remote or VCR control "
               "on the unit)";
    }
    if (hr == DV_E_NO_TAPE_RECORDER) {
        return "the camcorder is in camera mode: its tape recorder is not available (switch it to VCR or play "
               "mode)";
    }
    if (hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) {
        return CDeviceAccess::NoPermission();
    }
    if (hr == HRESULT_FROM_WIN32(kErrorDeviceNotConnected)) {
        return CStreamFailure::Describe(CStreamFailure::kStarting, 0, hr);
    }
    return "";
}

// The reason put_Mode(ED_MODE_RECORD) or put_Mode(ED_MODE_RECORD_FREEZE) was refused, for the user.
std::string RecordRefusal(HRESULT hr) {
    if (const std::string cause = Cause(hr); !cause.empty()) {
        return hr == HRESULT_FROM_WIN32(kErrorDeviceNotConnected) ? cause : cause + "; nothing was sent";
    }
    if (hr == E_NOTIMPL) {
        return "the device does not take a record command; nothing was sent (press REC on it and run without "
               "--record)";
    }
    if (hr == HRESULT_FROM_WIN32(ERROR_TIMEOUT)) return "the device did not answer the record command; nothing was sent";
    return "the device refused to record (" + Hex(hr) + "); nothing was sent";
}

// A record command that was not clearly refused may have been taken by the unit.
bool MayRecord(HRESULT hr) { return hr == HRESULT_FROM_WIN32(ERROR_TIMEOUT) || hr == E_ABORT; }

}  // namespace

CDeckSession::CDeckSession(IAMExtTransport* transport, IAMTimecodeReader* reader, CStopSignals& signals)
    : transport_(transport), reader_(reader), signals_(signals) {}

std::string CDeckSession::ModeName(LONG mode) {
    switch (mode) {
        case ED_MODE_RECORD: return "record";
        case ED_MODE_RECORD_FREEZE: return "record-pause";
        case ED_MODE_PLAY: return "play";
        case ED_MODE_STOP: return "stop";
        case ED_MODE_FREEZE: return "pause";
        case ED_MODE_FF: return "fast forward";
        case ED_MODE_REW: return "rewind";
        default: return "mode " + std::to_string(mode);
    }
}

std::string CDeckSession::CheckTape() {
    if (transport_ == nullptr || Stopping()) return "";
    LONG present = OATRUE, inhibit = OAFALSE;
    HRESULT hr = transport_->GetStatus(ED_MEDIA_PRESENT, &present);
    if (Stopping()) return "";
    if (SUCCEEDED(hr)) hr = transport_->GetStatus(ED_RECORD_INHIBIT, &inhibit);
    if (Stopping()) return "";
    if (FAILED(hr)) {
        const std::string cause = Cause(hr);
        return cause.empty() || hr == HRESULT_FROM_WIN32(kErrorDeviceNotConnected) ? cause : cause + "; nothing was sent";
    }
    if (present == OAFALSE) return "there is no tape in the device; nothing was sent";
    if (inhibit == OATRUE) return "the tape in the device is write-protected; nothing was sent";
    return "";
}

std::string CDeckSession::CheckNotRecording() {
    if (Stopping()) return "";
    if (transport_ == nullptr) return RecordRefusal(E_NOTIMPL);
    LONG mode = 0;
    if (transport_->get_Mode(&mode) == S_OK && mode == ED_MODE_RECORD) {
        return "the device is already recording (someone else's recording, or a run that was cut off); "
               "nothing was sent. If it is yours to stop: tamsel-stripe --stop";
    }
    return "";
}

std::string CDeckSession::Arm(bool* armed) {
    *armed = false;
    if (Stopping()) return "";
    if (transport_ == nullptr) return RecordRefusal(E_NOTIMPL);
    // Arming records nothing, but leaves the tape threaded: STOP follows whatever comes.
    recordSent_ = true;
    const HRESULT hr = transport_->put_Mode(ED_MODE_RECORD_FREEZE);
    if (hr == E_NOTIMPL) {
        recordSent_ = false;
        return "";  // no record-pause: record is commanded at the start of the pre-roll
    }
    if (FAILED(hr)) {
        if (!MayRecord(hr)) recordSent_ = false;
        return Stopping() ? "" : RecordRefusal(hr);
    }
    *armed = true;
    return "";
}

std::string CDeckSession::CommandRecord() {
    if (Stopping()) return "";
    if (transport_ == nullptr) return RecordRefusal(E_NOTIMPL);
    const bool armedBefore = recordSent_;
    // The last look before the command that destroys what is on the tape.
    if (Stopping()) return "";
    recordSent_ = true;
    signals_.SetRecording(true);
    const HRESULT hr = transport_->put_Mode(ED_MODE_RECORD);
    if (FAILED(hr)) {
        if (MayRecord(hr) || armedBefore) {
            Stop();
        } else {
            recordSent_ = false;
            signals_.SetRecording(false);
        }
        return Stopping() ? "" : RecordRefusal(hr);
    }
    return "";
}

bool CDeckSession::Read(CDeckReading* reading) {
    *reading = {};
    if (transport_ == nullptr || Stopping()) return false;
    reading->modeKnown = transport_->get_Mode(&reading->mode) == S_OK;
    if (Stopping()) return false;
    TIMECODE_SAMPLE sample {};
    if (reader_ != nullptr && reader_->GetTimecode(&sample) == S_OK) {
        const bool dropFrame = rate_ == 30 && (sample.dwFlags & AM_TIMECODE_FLAG_DF) != 0;
        const auto label = dv::Timecode::FromBcd(sample.timecode.dwFrames, dropFrame, rate_);
        if (label) {
            if (const auto frame = label->Frame()) reading->label = int64_t(*frame);
            reading->dropFrame = label->dropFrame;
        }
    }
    return reading->modeKnown || reading->label.has_value();
}

std::string CDeckSession::Recording() {
    if (Stopping()) return "unknown";
    LONG mode = 0;
    const HRESULT hr = transport_ != nullptr ? transport_->get_Mode(&mode) : E_NOTIMPL;
    if (Stopping()) return "unknown";
    if (hr == S_OK && mode == ED_MODE_RECORD) {
        signals_.SetRecording(true);
        std::fprintf(stderr, "tamsel-stripe: the device is recording already (REC was pressed on it): the stripe "
                             "goes onto the tape\n");
        return "device";
    }
    if (hr == S_OK) {
        std::fprintf(stderr,
                     "tamsel-stripe: the device is not recording (it is in %s): the frames are sent but not recorded "
                     "(press REC on it, or use --record)\n",
                     ModeName(mode).c_str());
        return "not-recording";
    }
    std::fprintf(stderr, "tamsel-stripe: the device does not say whether it records; press REC on it\n");
    return "unknown";
}

void CDeckSession::Stop() {
    if (!recordSent_ || transport_ == nullptr) return;
    recordSent_ = false;
    const HRESULT hr = transport_->put_Mode(ED_MODE_STOP);
    signals_.SetRecording(false);
    if (FAILED(hr)) std::fprintf(stderr, "tamsel-stripe: could not stop the device (%s)\n", Hex(hr).c_str());
}

bool CDeckSession::Position(std::string* text) const {
    TIMECODE_SAMPLE sample {};
    if (reader_ == nullptr || reader_->GetTimecode(&sample) != S_OK) return false;
    const auto label = dv::Timecode::FromBcd(sample.timecode.dwFrames, (sample.dwFlags & AM_TIMECODE_FLAG_DF) != 0);
    if (!label) return false;
    *text = label->Text();
    return true;
}

CDeckState CDeckSession::State() {
    CDeckState state;
    if (transport_ == nullptr || Stopping()) return state;
    state.modeKnown = transport_->get_Mode(&state.mode) == S_OK;
    LONG present = OATRUE, inhibit = OAFALSE;
    if (!Stopping() && SUCCEEDED(transport_->GetStatus(ED_MEDIA_PRESENT, &present)) && !Stopping() &&
        SUCCEEDED(transport_->GetStatus(ED_RECORD_INHIBIT, &inhibit))) {
        state.tapeKnown = true;
        state.tapeIn = present != OAFALSE;
        state.writeProtected = inhibit == OATRUE;
    }
    if (!Stopping()) state.positionKnown = Position(&state.position);
    return state;
}

HRESULT CDeckSession::CommandStop() {
    if (transport_ == nullptr) return E_NOTIMPL;
    return transport_->put_Mode(ED_MODE_STOP);
}
