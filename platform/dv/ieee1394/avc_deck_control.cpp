#include "dv/ieee1394/avc_deck_control.h"
#include "support/monotonic_clock.h"

#include <libavc1394/avc1394.h>
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstring>

#include "support/log.h"

#include "dv/ieee1394/ieee1394_discovery.h"

namespace dv {
namespace {

// How long a node may answer EAGAIN (it has not seen the latest bus reset yet) before it counts
// as not there: remote nodes answer up to about half a second after the local reset event.
constexpr int64_t kNodeWaitMs = 1000;
constexpr nodeaddr_t kRomBase = 0xFFFFF0000400ULL;

// The tape recorder subunit 0, as a command's first quadlet has it and as byte 1 of a frame.
constexpr quadlet_t kTapeRecorder = AVC1394_SUBUNIT_TYPE_TAPE_RECORDER | AVC1394_SUBUNIT_ID_0;
constexpr uint8_t kTapeRecorderByte = uint8_t(kTapeRecorder >> 16);

// Takes the handle's pending events (bus resets, FCP frames) for up to `ms`; false when the
// handle failed.
bool Iterate(raw1394handle_t h, int ms) {
    pollfd pfd {raw1394_get_fd(h), POLLIN, 0};
    if (::poll(&pfd, 1, ms) > 0) return raw1394_loop_iterate(h) >= 0;
    return true;
}

// The node of the unit with this unique id on the handle's port, -1 when none is there.
int FindNode(raw1394handle_t h, uint64_t guid) {
    const int64_t end = platform::MonotonicMs() + kNodeWaitMs;
    for (;;) {
        const int nodes = raw1394_get_nodecount(h);
        const int local = raw1394_get_local_id(h) & 0x3f;
        bool unanswered = false;
        for (int n = 0; n < nodes; ++n) {
            if (n == local) continue;
            quadlet_t hi = 0, lo = 0;
            const nodeid_t node = nodeid_t(0xffc0 | n);
            if (raw1394_read(h, node, kRomBase + 12, 4, &hi) != 0 || raw1394_read(h, node, kRomBase + 16, 4, &lo) != 0) {
                unanswered |= errno == EAGAIN;
                continue;
            }
            if ((uint64_t(ntohl(hi)) << 32 | ntohl(lo)) == guid) return n;
        }
        if (!unanswered || platform::MonotonicMs() >= end || !Iterate(h, 20)) return -1;
    }
}

// The answer one command waits for (see the class comment), filled by OnFcp.
struct FcpWait {
    int node;
    uint8_t opcode;
    bool anyTransportOpcode;  // TRANSPORT STATE: the answer carries the mode's opcode (C1-C4)
    bool interim = false;
    bool done = false;
    AvcDeckControl::Answer answer;
};

int OnFcp(raw1394handle_t h, nodeid_t from, int response, size_t length, unsigned char* data) {
    auto* wait = static_cast<FcpWait*>(raw1394_get_userdata(h));
    if (wait == nullptr || wait->done || response == 0 || length < 4 || (from & 0x3f) != wait->node) return 0;
    if (data[1] != kTapeRecorderByte) return 0;
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
    ~Session() {
        if (handle != nullptr) raw1394_destroy_handle(handle);
    }
};

AvcDeckControl::AvcDeckControl(uint64_t guid) : guid(guid) {}

HRESULT AvcDeckControl::Fail(HRESULT status, const std::string& text) {
    PLATFORM_LOG(platform::log::kIeee1394, Warning, "DV unit %s: deck control: %s", Ieee1394Discovery::DevicePath(guid).c_str(),
                 text.c_str());
    return lastFault.Keep(status, text);
}

std::string AvcDeckControl::LastError() const { return lastFault.Text(); }

HRESULT AvcDeckControl::OpenSession(Session* session) {
    raw1394handle_t probe = raw1394_new_handle();
    const int ports = probe != nullptr ? raw1394_get_port_info(probe, nullptr, 0) : 0;
    if (probe != nullptr) raw1394_destroy_handle(probe);
    if (ports <= 0) return Fail(kTransportDeviceGone, "no IEEE 1394 adapter is accessible");
    for (int i = 0; i < ports; ++i) {
        const int port = i == 0 ? std::min(lastPort, ports - 1) : (i <= lastPort ? i - 1 : i);
        raw1394handle_t h = raw1394_new_handle_on_port(port);
        if (h == nullptr) continue;
        const int node = FindNode(h, guid);
        if (node >= 0) {
            session->handle = h;
            session->node = node;
            lastPort = port;
            return S_OK;
        }
        raw1394_destroy_handle(h);
    }
    return Fail(kTransportDeviceGone, "the DV unit " + Ieee1394Discovery::DevicePath(guid) + " is not on the bus");
}

HRESULT AvcDeckControl::Transact(Session& session, const char* name, uint32_t q0, uint32_t q1, bool anyOpcode,
                                 Answer* answer) {
    raw1394handle_t h = session.handle;
    FcpWait wait {session.node, uint8_t(AVC1394_GET_OPCODE(q0)), anyOpcode, false, false, {}};
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
    const int64_t sendBy = platform::MonotonicMs() + kNodeWaitMs;
    while (avc1394_send_command_block(h, nodeid_t(session.node), command, quadlets) != 0) {
        if (errno != EAGAIN || platform::MonotonicMs() >= sendBy || !Iterate(h, 20)) {
            return finish(kTransportDeviceGone, std::string(name) + ": the DV unit takes no AV/C command (" +
                                                    strerror(errno) + ")");
        }
    }
    int64_t deadline = platform::MonotonicMs() + kFirstAnswerMs;
    bool extended = false;
    while (!wait.done) {
        if (wait.interim && !extended) {
            // The unit took the command and works on it: its final answer comes later.
            extended = true;
            deadline = platform::MonotonicMs() + kFinalAnswerMs;
        }
        const int64_t left = deadline - platform::MonotonicMs();
        if (left <= 0) break;
        if (!Iterate(h, int(std::min<int64_t>(left, 50)))) {
            return finish(kTransportDeviceGone, std::string(name) + ": the IEEE 1394 handle failed");
        }
    }
    if (!wait.done) {
        return finish(kTransportTimeout,
                      wait.interim ? std::string(name) + ": the DV unit answered INTERIM but gave no final answer within " +
                                         std::to_string(kFinalAnswerMs / 1000) + " s"
                                   : std::string(name) + ": the DV unit did not answer within " +
                                         std::to_string(kFirstAnswerMs) + " ms");
    }
    *answer = wait.answer;
    return finish(S_OK, "");
}

HRESULT AvcDeckControl::SetMode(DeckMode mode) {
    std::lock_guard<std::mutex> lock(callLock);
    Session session;
    if (const HRESULT hr = OpenSession(&session); FAILED(hr)) return hr;
    const char* name = "WIND STOP";
    quadlet_t command = AVC1394_CTYPE_CONTROL | kTapeRecorder | AVC1394_VCR_COMMAND_WIND | AVC1394_VCR_OPERAND_WIND_STOP;
    if (mode == DeckMode::Record) {
        name = "RECORD";
        command = AVC1394_CTYPE_CONTROL | kTapeRecorder | AVC1394_VCR_COMMAND_RECORD | AVC1394_VCR_OPERAND_RECORD_RECORD;
    } else if (mode == DeckMode::Play) {
        name = "PLAY";
        command = AVC1394_CTYPE_CONTROL | kTapeRecorder | AVC1394_VCR_COMMAND_PLAY | AVC1394_VCR_OPERAND_PLAY_FORWARD;
    }
    Answer answer;
    if (const HRESULT hr = Transact(session, name, command, 0, false, &answer); FAILED(hr)) return hr;
    if (answer.response == AVC1394_RESP_ACCEPTED) return S_OK;
    if (answer.response == AVC1394_RESP_NOT_IMPLEMENTED) {
        return Fail(E_NOTIMPL, std::string(name) + ": the DV unit does not implement it");
    }
    if (answer.response == AVC1394_RESP_REJECTED && mode == DeckMode::Record) {
        // Why: a unit refuses to record without a tape or onto a protected one.
        Answer medium;
        const quadlet_t info = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_MEDIUM_INFO | 0x7F;
        if (SUCCEEDED(Transact(session, "MEDIUM INFO", info, 0x7F000000u, false, &medium)) &&
            medium.response == AVC1394_RESP_STABLE) {
            if (medium.frame[3] == AVC1394_VCR_OPERAND_MEDIUM_INFO_NONE) {
                return Fail(kTransportNoMedia, "RECORD rejected: there is no tape in the DV unit");
            }
            if ((medium.frame[4] & 0x01) != 0) {
                return Fail(kTransportWriteProtected, "RECORD rejected: the tape in the DV unit is write-protected");
            }
        }
    }
    return Fail(kTransportRejected, std::string(name) + ": the DV unit answered " + ResponseName(answer.response));
}

HRESULT AvcDeckControl::GetState(DeckState* state) {
    if (state == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(callLock);
    Session session;
    if (const HRESULT hr = OpenSession(&session); FAILED(hr)) return hr;
    DeckState result;
    Answer answer;
    const quadlet_t transport = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_TRANSPORT_STATE |
                                AVC1394_VCR_OPERAND_TRANSPORT_STATE;
    if (const HRESULT hr = Transact(session, "TRANSPORT STATE", transport, 0, true, &answer); FAILED(hr)) return hr;
    if (answer.response == AVC1394_RESP_NOT_IMPLEMENTED) {
        return Fail(E_NOTIMPL, "TRANSPORT STATE: the DV unit does not implement it");
    }
    if (answer.response != AVC1394_RESP_STABLE && answer.response != AVC1394_RESP_IN_TRANSITION) {
        return Fail(kTransportRejected, std::string("TRANSPORT STATE: the DV unit answered ") +
                                            ResponseName(answer.response));
    }
    // The mode's opcode and operand; a pause records or plays nothing.
    const uint8_t opcode = answer.frame[2], operand = answer.frame[3];
    if (opcode == AVC1394_VCR_CMD_RECORD && operand == AVC1394_VCR_OPERAND_RECORD_RECORD) {
        result.mode = DeckMode::Record;
    } else if (opcode == AVC1394_VCR_CMD_PLAY && operand != AVC1394_VCR_OPERAND_PLAY_FORWARD_PAUSE &&
               operand != AVC1394_VCR_OPERAND_PLAY_REVERSE_PAUSE) {
        result.mode = DeckMode::Play;
    }

    result.mediaPresent = true;
    const quadlet_t info = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_MEDIUM_INFO | 0x7F;
    if (const HRESULT hr = Transact(session, "MEDIUM INFO", info, 0x7F000000u, false, &answer); FAILED(hr)) return hr;
    if (answer.response == AVC1394_RESP_STABLE) {
        result.mediaPresent = answer.frame[3] != AVC1394_VCR_OPERAND_MEDIUM_INFO_NONE;
        result.writeProtected = result.mediaPresent && (answer.frame[4] & 0x01) != 0;
    }

    // Where the tape is: frames, seconds, minutes, hours as the subcode's time code pack has them
    // (BCD, with its flags in the high bits); all ones when the tape has none there.
    const quadlet_t timecode = AVC1394_CTYPE_STATUS | kTapeRecorder | AVC1394_VCR_COMMAND_TIME_CODE |
                               AVC1394_VCR_OPERAND_TIME_CODE_STATUS;
    if (const HRESULT hr = Transact(session, "TIME CODE", timecode, 0xFFFFFFFFu, false, &answer); FAILED(hr)) return hr;
    const uint8_t* tc = answer.frame + 4;
    if (answer.response == AVC1394_RESP_STABLE && !(tc[0] == 0xFF && tc[1] == 0xFF && tc[2] == 0xFF && tc[3] == 0xFF)) {
        result.positionKnown = true;
        result.dropFrame = (tc[0] & 0x40) != 0;
        result.positionBcd = uint32_t(tc[3] & 0x3f) << 24 | uint32_t(tc[2] & 0x7f) << 16 | uint32_t(tc[1] & 0x7f) << 8 |
                             uint32_t(tc[0] & 0x3f);
    }
    *state = result;
    return S_OK;
}

}  // namespace dv
