// The virtual deck: listens on a Unix-domain socket, takes DIF frames from one sender at a time
// at the 525/60 frame rate (one frame per tick of 1001/30000 s at most) and records them on its
// tape. The protocol is described in deck_protocol.h. A tick at which no frame has come is a gap
// in the sender's stream; but when the deck's own thread runs late (over half a tick) and the
// sender's next frame is waiting, its clock pauses there instead of counting the ticks it slept
// through against the sender.
//
// Nothing a caller does can hold the deck or keep it busy: connections that have not said Hello
// wait in a lobby read as their bytes arrive (deck_lobby.h); a sender that sends no frame for
// kSenderIdleTimeoutNs, or takes longer than kMessageTimeoutNs over one message, is hung up on;
// messages other than frames are taken at kOtherMessagesPerTick a tick at most; accepting that
// fails backs off (deck_listener.h); and every wait watches stopFd. Every connection the deck
// turns away or hangs up on is told why first (a Reply), as far as its socket takes it.
// A stop is taken in order (the tape is flushed); a second stop request while the tape writer is
// still behind leaves the writer to finish on its own.
//
// Threads: everything runs on the thread that calls Run; no locks. Stopping is asked for by
// making `stopFd` readable (the dvdeck program passes a non-blocking signalfd for SIGINT and
// SIGTERM); the deck reads what made it readable once it has begun to stop.
#pragma once

#include <poll.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dv/deck/deck_gaps.h"
#include "dv/deck/deck_listener.h"
#include "dv/deck/deck_lobby.h"
#include "dv/deck/deck_protocol.h"
#include "dv/deck/deck_recorder.h"

namespace dv {

class DeckServer {
public:
    // A sender that sends no frame for this long is taken for gone. A sending graph sends a frame
    // a tick, paused or running.
    static constexpr int64_t kSenderIdleTimeoutNs = 10000000000;  // 10 s
    // Longest time from a message's first byte to its last; a sender writes each message whole.
    static constexpr int64_t kMessageTimeoutNs = 5000000000;  // 5 s
    // Messages other than frames (Status) taken in one tick; more wait for the next tick.
    static constexpr int kOtherMessagesPerTick = 4;
    // Ticks without a frame whose positions the final report lists; the rest are only counted.
    static constexpr size_t kMissedTicksListed = 20;

    struct Options {
        std::string tapePath;  // may be empty when !tapeIn
        bool tapeIn = true;           // false: no tape in the deck; it records nothing
        bool writeProtected = false;  // the tape is write-protected: left as it is, never written
        bool startRecording = true;   // start in record mode (else stop: REC not pressed yet)
        std::string name = "dvdeck";
        const DvSystem* system = &k525_60;  // what the deck records: frames of this size, at this pace
        std::string socketPath;
        int stopFd = -1;
        FILE* report = stdout;  // what was recorded
        FILE* errors = stderr;  // what went wrong
    };

    explicit DeckServer(Options settings);
    ~DeckServer() = default;
    DeckServer(const DeckServer&) = delete;
    DeckServer& operator=(const DeckServer&) = delete;

    // Opens the tape and the socket, records until stopped, then flushes the tape, prints the
    // report and removes the socket. Returns the process exit status: 0 after a clean stop,
    // 1 when the tape could not be opened or written or the socket could not be made.
    int Run();

private:
    enum class WaitEnd { Sender, Stop, Failed };
    enum class SessionEnd { SenderDone, Stop, TapeFailed };
    enum class ReadResult { NeedMore, FrameReady, Ended, Failed, TapeFailed, Stopped };

    // Carries out a record, stop or play command: Ok, or Refused with the reason in *message.
    deck::ReplyCode Execute(deck::DeckCommand command, std::string* message);
    // Answers a control call (a Hello asking for something other than to send) and closes it.
    void AnswerControlCall(int conn, deck::HelloRequest request);
    ReadResult ReadCommandBody(int conn);
    std::string ModeText() const;
    bool CanRecord() const { return options.tapeIn && !options.writeProtected; }

    // Waits for a sender's Hello, answering it; the sender's connection in *conn.
    WaitEnd WaitForSender(int* conn);
    // A connection just accepted while no sender records; false when it was refused.
    bool Admit(int conn);
    SessionEnd RunSession(int conn);
    // Reads what is available of the current message without going past it; a frame goes
    // straight into the tape's next slot.
    ReadResult ReadSome(int conn);
    ReadResult ReadFrameBody(int conn);
    // Waits until the absolute monotonic time `deadlineNs`, answering newcomers Busy;
    // false when asked to stop.
    bool WaitUntil(int64_t deadlineNs);
    // Answers a newcomer Busy, unless the current sender has hung up (see senderHungUp).
    void RefuseNewcomer(int64_t nowNs);
    // The listening socket's poll events during a session: none once the sender has hung up,
    // nor while accepting backs off.
    short NewcomerEvents(int64_t nowNs) const {
        return senderHungUp ? short(0) : listener.Events(nowNs);
    }
    bool StopRequested();
    // Reads the stop request that was seen, so that only a further one interrupts the flush.
    void TakeStopRequest();
    // A tick at which a frame came: a run of ticks without one that it ends joins the account.
    void NoteFrame();
    // The sender is done: a run of ticks without a frame still going is no gap on the tape.
    void EndGapAccount();
    void SendReply(int conn, deck::ReplyCode code, int error, const std::string& message);
    void PrintSessionReport(uint64_t framesBefore, uint64_t missedBefore);
    void PrintFinalReport();

    Options options;
    DeckRecorder tape;
    DeckListener listener;
    DeckLobby lobby{*options.system};

    // The message being received in the current session.
    deck::MessageHeader messageHeader {};
    size_t headerBytes = 0;
    uint8_t* frameSlot = nullptr;  // where the tape takes the frame being received
    size_t frameBytes = 0;
    bool frameComplete = false;
    bool endRequested = false;  // the sender said End (rather than just closing)
    bool frameToTape = false;   // the frame being received goes on the tape (else only shown)
    bool commandPending = false;   // the message being received is a Command
    size_t commandBytes = 0;       // of its body received
    deck::CommandBody commandBody {};
    std::vector<uint8_t> shownFrame;  // where frames go that are shown but not recorded
    int64_t messageStartNs = 0;  // when the message being received began; 0 between messages
    int otherMessages = 0;       // messages other than frames taken in the current tick
    int sessionFd = -1;         // the current sender's connection; -1 between sessions
    // The current sender closed its end (a graph stopping mid-frame does) while the rest of its
    // stream is still unread. It is no longer connected, so whoever calls now is its successor:
    // the call waits in the listen backlog until the session has drained instead of being
    // refused, and the listening socket is left out of the polls until then.
    bool senderHungUp = false;

    deck::DeckMode mode = deck::DeckMode::Record;
    uint64_t framesShown = 0;        // frames taken outside record mode
    uint32_t lastTimecode = 0;       // BCD of the last frame recorded; see timecodeFlags
    uint32_t timecodeFlags = 0;      // deck::kTimecode* bits
    DeckGaps gaps;                   // the current sender's (the last one's between senders)
    uint64_t ticksBefore = 0;        // ticks of the earlier senders, each from its first frame to
                                     // its last
    uint64_t missedTicks = 0;        // those among all senders' at which no frame had arrived
    std::vector<uint64_t> firstMissedTicks;  // the first kMissedTicksListed of them
    platform::Fault tapeFault;       // why the tape failed, once it has
};

}  // namespace dv
