// Deck control of a DV camcorder or deck on the IEEE 1394 bus: the AV/C tape recorder subunit's
// commands (RECORD, RECORD PAUSE, WIND STOP, WIND REWIND, WIND FAST FORWARD, PLAY; the TRANSPORT
// STATE, MEDIUM INFO, TIME CODE and INPUT SIGNAL MODE status), written with libavc1394's command
// codes and sent through it over FCP. A refusal is
// told by its cause: no tape or a protected one (MEDIUM INFO), local mode (a unit in stop that
// refuses even WIND STOP), no tape recorder (SUBUNIT INFO lists none: a camcorder in camera mode).
//
// The answer is awaited here rather than in avc1394_transaction, which waits 200 ms per INTERIM
// and then sends the command again (a deck's mechanism may take seconds to go into record), takes
// any node's answer (every listening handle of the host sees every FCP response) and, when
// another event wakes its poll, reads a frame it never received. Here: the unit's first answer
// within kFirstAnswerMs, its final one after an INTERIM within kFinalAnswerMs, only the answer of
// the asked unit to the same subunit and opcode; a command is never sent twice.
//
// Every call opens a raw1394 handle of its own and finds the unit by its unique id
// (Ieee1394Connection::OpenOnUnit), so deck control never shares the streaming transport's
// handle, and node numbers changed by a bus reset do not matter.
//
// Interrupt ends every wait (finding the unit, an answer, the final answer after INTERIM)
// promptly with kTransportInterrupted, and every later call ends so at once without sending
// anything, except SetMode(DeckMode::Stop): it is still sent and awaited with its normal bounds,
// so a unit put into record can be stopped.
//
// Threads: any; callLock serializes the calls; Interrupt needs no lock (it may come while a call
// waits); lastFault has a leaf lock of its own.
#pragma once

#include <libraw1394/raw1394.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "dv/ieee1394/ieee1394_wait.h"
#include "dv/transport_interface.h"
#include "support/fault.h"

namespace dv {

class AvcDeckControl {
public:
    // The unit must answer a command within this (the AV/C rule is 100 ms, with room for a
    // loaded machine), and give its final answer within kFinalAnswerMs of an INTERIM.
    static constexpr int kFirstAnswerMs = 1000;
    static constexpr int kFinalAnswerMs = 10000;

    // `finalAnswerMs`: the bound after an INTERIM (tests shorten it).
    explicit AvcDeckControl(uint64_t guid, int finalAnswerMs = kFinalAnswerMs);

    // Stop, Play, Record, RecordPause, Rewind or FastForward: S_OK once the unit accepted the command. Refused:
    // kTransportNoMedia or kTransportWriteProtected when its medium says why, kTransportLocalMode
    // when it takes no command from the bus, else kTransportRejected; E_NOTIMPL when the unit
    // does not implement it, kTransportNoTapeRecorder when it has no tape recorder now; kTransportTimeout when it did not answer in time;
    // kTransportDeviceGone when the unit is not on the bus; kTransportInterrupted after Interrupt
    // (but for Stop).
    HRESULT SetMode(DeckMode mode);

    // The transport state, the medium (a unit that does not say counts as having a writable
    // tape: its answer to RECORD tells) and the time code where the tape is. The unit keeps no
    // frame counts (countsKnown stays false).
    HRESULT GetState(DeckState* state);

    // The system the unit's tape recorder takes in: its INPUT SIGNAL MODE status, whose operand
    // holds the DVCR signal mode (SD 525-60 0x00, SD 625-50 0x80, the 50/60 flag in bit 7, as the
    // AV/C tape recorder subunit lists them). The failures of GetState; no tape is no failure.
    HRESULT GetInputSignalMode(DvStandard* standard);

    // The program is stopping: see the class comment. Any thread; not undone.
    void Interrupt();

    // What the last failed call found, for messages and tests.
    std::string LastError() const;

    // An AV/C answer: its response code and frame (the first eight bytes, zeros beyond).
    struct Answer {
        uint8_t response = 0;
        uint8_t frame[8] = {};
    };

private:
    struct Session;
    // `interruptible`: the session's waits end on Interrupt (all but STOP's).
    HRESULT OpenSession(Session* session, bool interruptible);
    // One command (host-order quadlets) and its final answer. `anyOpcode`: the answer may carry
    // another opcode (TRANSPORT STATE answers with the transport's mode).
    HRESULT Transact(Session& session, const char* name, uint32_t q0, uint32_t q1, bool anyOpcode, Answer* answer);
    HRESULT Fail(HRESULT status, const std::string& text);
    // A status call: refused at once after Interrupt; else `ask` under callLock, on a session
    // whose waits end on Interrupt.
    HRESULT Query(const std::function<HRESULT(Session&)>& ask);
    // The STATUS command `name` (no second quadlet) and its answer, which must be STABLE (or,
    // with `inTransition`, IN TRANSITION); else the failure, NOT IMPLEMENTED as NotImplemented says.
    // GetState's questions, on the session Query opened.
    HRESULT ReadState(Session& session, DeckState* state);
    HRESULT AskStatus(Session& session, const char* name, uint32_t command, bool anyOpcode, bool inTransition,
                      Answer* answer);
    // Whether SUBUNIT INFO lists a tape recorder (true when the unit does not say).
    bool HasTapeRecorder(Session& session);
    // The failure of command `name` that the unit answered NOT IMPLEMENTED: a camcorder in camera
    // mode has no tape recorder (everything sent to it is NOT IMPLEMENTED); otherwise the unit
    // lacks the command (E_NOTIMPL).
    HRESULT NotImplemented(Session& session, const std::string& name);
    // Why a CONTROL command for `mode` was REJECTED: kTransportNoMedia, kTransportWriteProtected,
    // kTransportLocalMode, or S_OK when the unit does not show why.
    HRESULT WhyRejected(Session& session, DeckMode mode);
    static const char* RefusalText(HRESULT why);

    const uint64_t guid;
    const int finalAnswerMs;
    Ieee1394Interrupt interrupt;
    std::mutex callLock;
    int lastPort = 0;  // callLock: where the unit was found last
    platform::FaultRecord lastFault;  // the text LastError reports (its own leaf lock)
};

}  // namespace dv
