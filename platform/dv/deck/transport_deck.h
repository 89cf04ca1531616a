// The transport to a virtual deck (dvdeck) listening on a Unix-domain socket; the protocol is in
// deck_protocol.h.
//
// Threads: see Transport. sendLock is held by SendFrame for its whole run, by the calls over the
// sender's connection (QueryStatus, deck control while streaming; a Status asked for while
// streaming holds it only to ask, and awaits the answer under readLock, so frames go on meanwhile)
// and by Close (and CloseStatus),
// so Close waits for a SendFrame that Cancel has woken. Two eventfds end waits without a lock:
// the cancel one, written by Cancel, which SendFrame's waits watch; and the interrupt one,
// written by Interrupt (any thread, also while another is blocked here holding sendLock), which
// every wait watches (connecting, the Hello's answer, sending, every reply) except those of the
// STOP command, which is still sent after it. gapsLock is a leaf lock for the gap account.
//
// Interrupt: Open, SendFrame, QueryStatus, GetDeckState and SetDeckMode but Stop then fail at
// once with kTransportInterrupted. A STOP that finds the sender's connection unable to carry it
// (a frame cut short, a failure) hangs that connection up first: the deck answers nobody else
// while its sender is connected, and drops the frame cut short.
//
// GetGaps: the account the deck gave for this connection's stream in its last reply on it (the
// Hello's, each Status's, End's at Close; see deck::StatusBody), so it is as fresh as the last
// GetDeckState or QueryStatus while streaming, and final after Close. Only ticks between the
// stream's first frame and its last count.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "dv/deck/deck_protocol.h"
#include "dv/transport_interface.h"
#include "support/fault.h"

namespace dv {

class DeckTransport : public Transport {
public:
    explicit DeckTransport(std::string socketPath);
    ~DeckTransport() override;

    void SetSystem(const DvSystem& system) override;
    HRESULT Open() override;
    HRESULT SendFrame(const uint8_t* frame, size_t size) override;
    void Cancel() override;
    void Close() override;
    HRESULT CloseStatus() const override;
    std::string LastError() const override;
    bool GetGaps(GapAccount* gaps) const override;
    void Interrupt() override;

    // Asks the deck how much it has recorded. Not while SendFrame runs (sendLock).
    HRESULT QueryStatus(deck::StatusBody* status);

    // Over the sender's connection while it is open (the deck answers nobody else then), else
    // over a control call of their own.
    HRESULT SetDeckMode(DeckMode mode) override;
    HRESULT GetDeckState(DeckState* state) override;
    // The deck's system, from its status.
    HRESULT GetUnitSystem(DvStandard* standard) override;

private:
    // Which of the two eventfds a wait watches.
    struct Waits {
        bool cancel;
        bool interrupt;
    };
    static constexpr Waits kAllWaits {true, true};
    static constexpr Waits kStopWaits {false, false};  // the STOP command: bounded only

    // Close's End: sent once the socket has room for it, waiting at most timeoutMs (ended by the
    // interrupt). Whether it went. Under sendLock.
    bool SendEnd(const deck::MessageHeader& header, int timeoutMs);
    // Sends all of buffer; `sent` counts bytes across partial sends. Under sendLock.
    HRESULT SendAll(const void* buffer, size_t size, Waits waits = kAllWaits);
    // Reads one Reply within timeoutMs, keeping its gap account. Takes readLock.
    HRESULT ReadReply(deck::StatusBody* status, int timeoutMs, Waits waits = kAllWaits);
    // The failure of a wait or call that Interrupt ended.
    HRESULT Interrupted();
    struct ReplyMessage;
    // A reply read whole: its status, once it is known to be a reply (strings terminated).
    HRESULT TakeReply(ReplyMessage& reply, deck::StatusBody* status);
    // Turns a deck reply that is not Ok into a status and an error text.
    HRESULT FailFromReply(const deck::StatusBody& status);
    HRESULT Fail(HRESULT status, const std::string& text);
    // A connection to the deck, vetted (a deck of our own user); the send buffer set when
    // sendBufferBytes > 0. *fd is the open socket on S_OK.
    HRESULT Connect(int sendBufferBytes, Waits waits, int* fd);
    // One control call: connects, says a Hello with `request`, takes the Reply and hangs up.
    HRESULT ControlCall(deck::HelloRequest request, deck::StatusBody* reply, Waits waits);
    // Over the open connection: a Command or Status message and its Reply; S_FALSE when the
    // connection is not usable (not open, failed, a message cut short, or cancelled while the
    // waits watch that). Under sendLock.
    HRESULT SessionCall(const deck::CommandBody* command, deck::StatusBody* reply, Waits waits);
    HRESULT DeckCall(deck::HelloRequest request, deck::StatusBody* reply);
    // The deck's status by a DeckCall; a reply that is not Ok as its failure.
    HRESULT AskStatus(deck::StatusBody* reply);
    // A Status over the open connection while it streams: asked under sendLock, answered
    // without it; S_FALSE when the connection is not usable.
    HRESULT SessionStatus(deck::StatusBody* reply);

    const std::string socketPath;
    std::atomic<const DvSystem*> system{&k525_60};  // the stream's; set before Open, read by any call
    mutable std::mutex sendLock;
    // Reading replies, and closing the socket, also take readLock (after sendLock where both are
    // held): a status asked for while streaming is awaited under readLock alone.
    std::mutex readLock;
    std::atomic<int> repliesAwaited{0};  // replies a status caller waits for (SendAll leaves them)
    int socketFd = -1;                  // set under sendLock (and readLock when closed)
    int cancelFd = -1;                  // eventfd; written by Cancel
    std::atomic<bool> cancelled{false};
    int interruptFd = -1;               // eventfd; written by Interrupt
    std::atomic<bool> interrupted{false};
    bool midMessage = false;            // sendLock: a message was cut short (by Cancel or a failure)
    HRESULT failure = S_OK;             // sendLock: once set, every SendFrame returns it
    int64_t stalledAtCancelMs = 0;      // sendLock: how long the deck had taken nothing of the
                                        // message Cancel cut short
    HRESULT closeStatus = S_OK;         // sendLock: see CloseStatus
    platform::FaultRecord lastFault;    // the text LastError reports (its own leaf lock)
    mutable std::mutex gapsLock;
    GapAccount gaps;                    // gapsLock: from the last reply on the sender's connection
    bool gapsKnown = false;             // gapsLock: Open succeeded once
};

}  // namespace dv
