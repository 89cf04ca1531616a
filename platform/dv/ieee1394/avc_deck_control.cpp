#include "dv/ieee1394/avc_deck_control.h"
#include "support/monotonic_clock.h"

#include <libavc1394/avc1394.h>
#include <errno.h>

#include <algorithm>
#include <cstring>

#include "support/log.h"

#include "dv/dif/packs.h"
#include "dv/ieee1394/ieee1394_connection.h"
#include "dv/ieee1394/ieee1394_discovery.h"

namespace dv {
namespace {

// The tape recorder subunit 0, as a command's first quadlet has it and as byte 1 of a frame.
constexpr quadlet_t kTapeRecorder = AVC1394_SUBUNIT_TYPE_TAPE_RECORDER | AVC1394_SUBUNIT_ID_0;

// The AV/C command each deck mode is set by, and its name in failures and the log. PlayPause has
// none.
struct ModeCommand {
    DeckMode mode;
    const char* name;
    quadlet_t command;
};
constexpr ModeCommand kModeCommands[] = {
    {DeckMode::Stop, "WIND STOP", AVC1394_VCR_COMMAND_WIND | AVC1394_VCR_OPERAND_WIND_STOP},
    {DeckMode::Record, "RECORD", AVC1394_VCR_COMMAND_RECORD | AVC1394_VCR_OPERAND_RECORD_RECORD},
    {DeckMode::RecordPause, "RECORD PAUSE", AVC1394_VCR_COMMAND_RECORD | AVC1394_VCR_OPERAND_RECORD_PAUSE},
    {DeckMode::Play, "PLAY", AVC1394_VCR_COMMAND_PLAY | AVC1394_VCR_OPERAND_PLAY_FORWARD},
    {DeckMode::Rewind, "WIND REWIND", AVC1394_VCR_COMMAND_WIND | AVC1394_VCR_OPERAND_WIND_REWIND},
    {DeckMode::FastForward, "WIND FAST FORWARD", AVC1394_VCR_COMMAND_WIND | AVC1394_VCR_OPERAND_WIND_FAST_FORWARD},
};

// The answer one command waits for (see the class comment), filled by OnFcp.
struct FcpWait {
    int node;
    uint8_t subunit;  // byte 1 of the command: the answer comes from the same subunit
    uint8_t opcode;
    bool anyTransportOpcode;  // TRANSPORT STATE: the answer carries the mode's opcode (C1-C4)
    bool interim = false;
    bool done = false;
    AvcDeckControl::Answer answer;
};

int OnFcp(raw1394handle_t h, nodeid_t from, int response, size_t length, unsigned char* data) {
    auto* wait = static_cast<FcpWait*>(raw1394_get_userdata(h));
    if (wait == nullptr || wait->done || response == 0 || length < 4 || (from & 0x3f) != wait->node) return 0;
    if (data[1] != wait->subunit) return 0;
    if (data[2] != wait->opcode && !(wait->anyTransportOpcode && data[2] >= 0xC1 && data[2] <= 0xC4)) return 0;
    const uint8_t code = data[0] & 0x0f;
    if (code < AVC1394_RESP_NOT_IMPLEMENTED) return 0;  // a command, not an answer
    if (code == AVC1394_RESP_INTERIM) {
        wait->interim = true;
        return 0;
    }
    wait->answer.response = code;
    std::memcpy(wait->answer.frame, data, std::min<size_t>(length, sizeof wait->answer.frame));
    wait->done = true;
    return 0;
}

const char* ResponseName(uint8_t code) {
    switch (code) {
        case AVC1394_RESP_NOT_IMPLEMENTED: return "NOT IMPLEMENTED";
        case AVC1394_RESP_ACCEPTED: return "ACCEPTED";
        case AVC1394_RESP_REJECTED: return "REJECTED";
        case AVC1394_RESP_IN_TRANSITION: return "IN TRANSITION";
        case AVC1394_RESP_STABLE: return "STABLE";
        case AVC1394_RESP_CHANGED: return "CHANGED";
        default: return "an unknown response";
    }
}

}  // namespace

struct AvcDeckControl::Session {
    raw1394handle_t handle = nullptr;
    int node = -1;
    const Ieee1394Interrupt* interrupt = nullptr;  // what ends its waits; null: only their bounds
    ~Session() {
        if (handle != nullptr) raw1394_destroy_handle(handle);
    }
};

AvcDeckControl::AvcDeckControl(uint64_t guid, int finalAnswerMs) : guid(guid), finalAnswerMs(finalAnswerMs) {}

void AvcDeckControl::Interrupt() { interrupt.Set(); }

HRESULT AvcDeckControl::Fail(HRESULT status, const std::string& text) {
    PLATFORM_LOG(platform::log::kIeee1394, Warning, "DV unit %s: deck control: %s", Ieee1394Discovery::DevicePath(guid).c_str(),
                 text.c_str());
    return lastFault.Keep(status, text);
}

std::string AvcDeckControl::LastError() const { return lastFault.Text(); }

HRESULT AvcDeckControl::OpenSession(Session* session, bool interruptible) {
    session->interrupt = interruptible ? &interrupt : nullptr;
    int port = 0;
    if (const auto fault = Ieee1394Connection::OpenOnUnit(guid, lastPort, session->interrupt, &session->handle, &port,
                                                          &session->node)) {
        return Fail(HRESULT(fault->status), fault->text);
    }
    lastPort = port;
    return S_OK;
}

HRESULT AvcDeckControl::Transact(Session& session, const char* name, uint32_t q0, uint32_t q1, bool anyOpcode,
                                 Answer* answer) {
    raw1394handle_t h = session.handle;
    FcpWait wait {session.node, uint8_t(q0 >> 16), uint8_t(AVC1394_GET_OPCODE(q0)), anyOpcode, false, false, {}};
    raw1394_set_userdata(h, &wait);
    raw1394_set_fcp_handler(h, &OnFcp);
    // Listening before the command goes out: the answer may come while the write is acknowledged.
    if (raw1394_start_fcp_listen(h) != 0) {
        raw1394_set_userdata(h, nullptr);
        return Fail(E_FAIL, std::string(name) + ": cannot listen for AV/C answers");
    }
    auto finish = [&](HRESULT hr, const std::string& text) {
        raw1394_stop_fcp_listen(h);
        raw1394_set_fcp_handler(h, nullptr);
        raw1394_set_userdata(h, nullptr);
        return FAILED(hr) ? Fail(hr, text) : hr;
    };
    quadlet_t command[2] = {q0, q1};
    const int quadlets = q1 != 0 ? 2 : 1;
    // A node that has not seen a bus reset yet answers EAGAIN until its own event came.
    const int64_t sendBy = platform::MonotonicMs() + Ieee1394Connection::kNodeWaitMs;
    while (avc1394_send_command_block(h, nodeid_t(session.node), command, quadlets) != 0) {
        const int error = errno;
        const BusWait waited = error == EAGAIN && platform::MonotonicMs() < sendBy
                                   ? WaitOnBus(h, 20, session.interrupt)
                                   : BusWait::Failed;
        if (waited == BusWait::Interrupted) return finish(kTransportInterrupted, std::string(name) + ": the program is stopping");
        if (waited != BusWait::Done) {
            return finish(kTransportDeviceGone, std::string(name) + ": the DV unit takes no AV/C command (" +
                                                    strerror(error) + ")");
        }
    }
    int64_t deadline = platform::MonotonicMs() + kFirstAnswerMs;
    bool extended = false;
    while (!wait.done) {
        if (wait.interim && !extended) {
            // The unit took the command and works on it: its final answer comes later.
            extended = true;
            deadline = platform::MonotonicMs() + finalAnswerMs;
        }
        const int64_t left = deadline - platform::MonotonicMs();
        if (left <= 0) break;
        const BusWait waited = WaitOnBus(h, int(std::min<int64_t>(left, 50)), session.interrupt);
        if (waited == BusWait::Interrupted) {
            return finish(kTransportInterrupted, std::string(name) + ": the program is stopping; the DV unit's answer "
                                                                     "was not awaited");
        }
        if (waited == BusWait::Failed) {
            return finish(kTransportDeviceGone, std::string(name) + ": the IEEE 1394 handle failed");
        }
    }
    if (!wait.done) {
        return finish(kTransportTimeout,
                      wait.interim ? std::string(name) + ": the DV unit answered INTERIM but gave no final answer within " +
                                         std::to_string(finalAnswerMs) + " ms"
                                   : std::string(name) + ": the DV unit did not answer within " +
                                         std::to_string(kFirstAnswerMs) + " ms");
    }
    *answer = wait.answer;
    return finish(S_OK, "");
}

HRESULT AvcDeckControl::SetMode(DeckMode mode) {
    // After Interrupt only STOP goes out: checked before the lock and again after it, as a call
    // may have waited for it past the interrupt.
    const bool stop = mode == DeckMode::Stop;
    if (!stop && interrupt.IsSet()) return Fail(kTransportInterrupted, "the program is stopping: no command but STOP");
    std::lock_guard<std::mutex> lock(callLock);
    if (!stop && interrupt.IsSet()) return Fail(kTransportInterrupted, "the program is stopping: no command but STOP");
    const auto found = std::find_if(std::begin(kModeCommands), std::end(kModeCommands),
                                    [&](const ModeCommand& c) { return c.mode == mode; });
    if (found == std::end(kModeCommands)) return Fail(E_NOTIMPL, "deck control sets no such mode");
    const char* name = found->name;
    const quadlet_t command = found->command | AVC1394_CTYPE_CONTROL | kTapeRecorder;
    Session session;
    if (const HRESULT hr = OpenSession(&session, !stop); FAILED(hr)) return hr;
    Answer answer;
    if (const HRESULT hr = Transact(session, name, command, 0, false, &answer); FAILED(hr)) return hr;
    if (answer.response == AVC1394_RESP_ACCEPTED) return S_OK;
    if (answer.response == AVC1394_RESP_NOT_IMPLEMENTED) return NotImplemented(session, name);
    if (answer.response == AVC1394_RESP_REJECTED) {
        if (const HRESULT why = WhyRejected(session, mode); FAILED(why)) {
            return Fail(why, std::string(name) + " rejected: " + RefusalText(why));
        }
    }
    return Fail(kTransportRejected, std::string(name) + ": the DV unit answered " + ResponseName(answer.response));
}

bool AvcDeckControl::HasTapeRecorder(Session& session) {
    // SUBUNIT INFO, page 0: four entries of type << 3 | max id, 0xFF where none.
    Answer info;
    const quadlet_t command = AVC1394_CTYPE_STATUS | AVC1394_SUBUNIT_TYPE_UNIT | AVC1394_SUBUNIT_ID_IGNORE |
                              AVC1394_COMMAND_SUBUNIT_INFO | 0x07;
    if (FAILED(Transact(session, "SUBUNIT INFO", command, 0xFFFFFFFFu, false, &info)) ||
        info.response != AVC1394_RESP_STABLE) {
        return true;  // it does not say: take it at its word that the command is not implemented
    }
    for (int i = 4; i < 8; ++i) {
        if (info.frame[i] != 0xFF && (info.frame[i] >> 3) == (AVC1394_SUBUNIT_TYPE_TAPE_RECORDER >> 19)) return true;
    }
    return false;
}

HRESULT AvcDeckControl::NotImplemented(Session& session, const std::string& name) {
    if (!HasTapeRecorder(session)) {
        return Fail(kTransportNoTapeRecorder, name + ": the DV unit has no tape recorder now (a camcorder in camera mode)");
    }
    return Fail(E_NOTIMPL, name + ": the DV unit does not implement it");
}

HRESULT AvcDeckControl::WhyRejected(Session& session, DeckMode mode) {
    // A unit refuses to record without a tape or onto a protected one.
    if (mode == DeckMode::Record || mode == DeckMode::RecordPause) {
        Answer medium;
        const quadlet_t info = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_MEDIUM_INFO | 0x7F;
        if (SUCCEEDED(Transact(session, "MEDIUM INFO", info, 0x7F000000u, false, &medium)) &&
            medium.response == AVC1394_RESP_STABLE) {
            if (medium.frame[3] == AVC1394_VCR_OPERAND_MEDIUM_INFO_NONE) return kTransportNoMedia;
            if ((medium.frame[4] & 0x01) != 0) return kTransportWriteProtected;
        }
    }
    // A unit under its own buttons refuses even WIND STOP. Asked only of a unit in stop, where
    // WIND STOP changes nothing on a unit that takes it.
    if (mode == DeckMode::Stop) return kTransportLocalMode;
    Answer state;
    const quadlet_t transport = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_TRANSPORT_STATE |
                                AVC1394_VCR_OPERAND_TRANSPORT_STATE;
    if (FAILED(Transact(session, "TRANSPORT STATE", transport, 0, true, &state)) ||
        state.response != AVC1394_RESP_STABLE || state.frame[2] != AVC1394_VCR_CMD_WIND ||
        state.frame[3] != AVC1394_VCR_OPERAND_WIND_STOP) {
        return S_OK;
    }
    Answer stopped;
    const quadlet_t windStop =
        AVC1394_CTYPE_CONTROL | kTapeRecorder | AVC1394_VCR_COMMAND_WIND | AVC1394_VCR_OPERAND_WIND_STOP;
    if (SUCCEEDED(Transact(session, "WIND STOP", windStop, 0, false, &stopped)) &&
        stopped.response == AVC1394_RESP_REJECTED) {
        return kTransportLocalMode;
    }
    return S_OK;
}

const char* AvcDeckControl::RefusalText(HRESULT why) {
    if (why == kTransportNoMedia) return "there is no tape in the DV unit";
    if (why == kTransportWriteProtected) return "the tape in the DV unit is write-protected";
    if (why == kTransportLocalMode) return "the DV unit takes no command from the bus (local mode)";
    return "the DV unit refused it";
}

namespace {

// The transport's mode from TRANSPORT STATE's answer: the mode's opcode and its state operand.
DeckMode ModeOfState(uint8_t opcode, uint8_t operand) {
    if (opcode == AVC1394_VCR_CMD_RECORD) {
        return operand == AVC1394_VCR_OPERAND_RECORD_RECORD ? DeckMode::Record : DeckMode::RecordPause;
    }
    if (opcode == AVC1394_VCR_CMD_PLAY) {
        return operand == AVC1394_VCR_OPERAND_PLAY_FORWARD_PAUSE || operand == AVC1394_VCR_OPERAND_PLAY_REVERSE_PAUSE
                   ? DeckMode::PlayPause
                   : DeckMode::Play;
    }
    if (opcode == AVC1394_VCR_CMD_WIND) {
        if (operand == AVC1394_VCR_OPERAND_WIND_REWIND || operand == AVC1394_VCR_OPERAND_WIND_HIGH_SPEED_REWIND) {
            return DeckMode::Rewind;
        }
        if (operand == AVC1394_VCR_OPERAND_WIND_FAST_FORWARD) return DeckMode::FastForward;
    }
    return DeckMode::Stop;  // WIND STOP, LOAD MEDIUM and what else a unit may say: not moving
}

}  // namespace

HRESULT AvcDeckControl::Query(const std::function<HRESULT(Session&)>& ask) {
    if (interrupt.IsSet()) return Fail(kTransportInterrupted, "the program is stopping: the DV unit was not asked");
    std::lock_guard<std::mutex> lock(callLock);
    Session session;
    if (const HRESULT hr = OpenSession(&session, true); FAILED(hr)) return hr;
    return ask(session);
}

HRESULT AvcDeckControl::AskStatus(Session& session, const char* name, uint32_t command, bool anyOpcode,
                                  bool inTransition, Answer* answer) {
    if (const HRESULT hr = Transact(session, name, command, 0, anyOpcode, answer); FAILED(hr)) return hr;
    if (answer->response == AVC1394_RESP_NOT_IMPLEMENTED) return NotImplemented(session, name);
    if (answer->response != AVC1394_RESP_STABLE && !(inTransition && answer->response == AVC1394_RESP_IN_TRANSITION)) {
        return Fail(kTransportRejected, std::string(name) + ": the DV unit answered " + ResponseName(answer->response));
    }
    return S_OK;
}

HRESULT AvcDeckControl::GetInputSignalMode(DvStandard* standard) {
    if (standard == nullptr) return E_POINTER;
    return Query([&](Session& session) {
        Answer answer;
        // The operand 0xFF asks; the answer puts the mode there.
        const quadlet_t command = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_INPUT_SIGNAL_MODE | 0xFF;
        if (const HRESULT hr = AskStatus(session, "INPUT SIGNAL MODE", command, false, false, &answer); FAILED(hr))
            return hr;
        *standard = (answer.frame[3] & 0x80) != 0 ? DvStandard::Pal625_50 : DvStandard::Ntsc525_60;
        return S_OK;
    });
}

HRESULT AvcDeckControl::GetState(DeckState* state) {
    if (state == nullptr) return E_POINTER;
    return Query([&](Session& session) { return ReadState(session, state); });
}

HRESULT AvcDeckControl::ReadState(Session& session, DeckState* state) {
    DeckState result;
    Answer answer;
    const quadlet_t transport = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_TRANSPORT_STATE |
                                AVC1394_VCR_OPERAND_TRANSPORT_STATE;
    if (const HRESULT hr = AskStatus(session, "TRANSPORT STATE", transport, true, true, &answer); FAILED(hr)) return hr;
    result.mode = ModeOfState(answer.frame[2], answer.frame[3]);

    result.mediaPresent = true;
    const quadlet_t info = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_MEDIUM_INFO | 0x7F;
    if (const HRESULT hr = Transact(session, "MEDIUM INFO", info, 0x7F000000u, false, &answer); FAILED(hr)) return hr;
    if (answer.response == AVC1394_RESP_STABLE) {
        result.mediaPresent = answer.frame[3] != AVC1394_VCR_OPERAND_MEDIUM_INFO_NONE;
        result.writeProtected = result.mediaPresent && (answer.frame[4] & 0x01) != 0;
    }

    // Where the tape is: frames, seconds, minutes, hours as the subcode's time code pack has them
    // (all ones when the tape has none there); read as that pack.
    const quadlet_t timecode = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_TIME_CODE |
                               AVC1394_VCR_OPERAND_TIME_CODE_STATUS;
    if (const HRESULT hr = Transact(session, "TIME CODE", timecode, 0xFFFFFFFFu, false, &answer); FAILED(hr)) return hr;
    if (answer.response == AVC1394_RESP_STABLE) {
        const uint8_t pack[5] = {uint8_t(dif::PackType::Timecode), answer.frame[4], answer.frame[5], answer.frame[6],
                                 answer.frame[7]};
        if (const auto read = dif::ReadTimecodePack(pack)) {
            result.positionKnown = true;
            result.dropFrame = read->label.dropFrame;
            result.positionBcd = read->label.Bcd();
        }
    }
    *state = result;
    return S_OK;
}

}  // namespace dv
