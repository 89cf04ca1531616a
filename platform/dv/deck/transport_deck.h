// The transport to a virtual deck (dvdeck) listening on a Unix-domain socket; the protocol is in
// deck_protocol.h.
//
// Threads: see Transport. sendLock is held by SendFrame for its whole run and by Close (and
// CloseStatus), so Close waits for a SendFrame that Cancel has woken. The cancel eventfd is written by Cancel without a
// lock and is what SendFrame's waits watch.
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

    HRESULT Open() override;
    HRESULT SendFrame(const uint8_t* frame, size_t size) override;
    void Cancel() override;
    void Close() override;
    HRESULT CloseStatus() const override;
    std::string LastError() const override;

    // Asks the deck how much it has recorded. Not while SendFrame runs (sendLock).
    HRESULT QueryStatus(deck::StatusBody* status);

    // Over the sender's connection while it is open (the deck answers nobody else then), else
    // over a control call of their own.
    HRESULT SetDeckMode(DeckMode mode) override;
    HRESULT GetDeckState(DeckState* state) override;

private:
    enum class WaitResult { Ready, Cancelled, Reply, Hangup, Timeout };

    // Sends all of buffer; `sent` counts bytes across partial sends. Under sendLock.
    HRESULT SendAll(const void* buffer, size_t size);
    // Reads one Reply within timeoutMs; Cancel cuts the wait short if watchCancel. Under sendLock.
    HRESULT ReadReply(deck::StatusBody* status, int timeoutMs, bool watchCancel = true);
    struct ReplyMessage;
    // A reply read whole: its status, once it is known to be a reply (strings terminated).
    HRESULT TakeReply(ReplyMessage& reply, deck::StatusBody* status);
    // Turns a deck reply that is not Ok into a status and an error text.
    HRESULT FailFromReply(const deck::StatusBody& status);
    HRESULT Fail(HRESULT status, const std::string& text);
    // A connection to the deck, vetted (a deck of our own user); the send buffer set when
    // sendBufferBytes > 0. *fd is the open socket on S_OK.
    HRESULT Connect(int sendBufferBytes, int* fd);
    // One control call: connects, says a Hello with `request`, takes the Reply and hangs up.
    HRESULT ControlCall(deck::HelloRequest request, deck::StatusBody* reply);
    // Over the open connection: a Command or Status message and its Reply; S_FALSE when the
    // connection is not usable (not open, cancelled or failed). Under sendLock.
    HRESULT SessionCall(const deck::CommandBody* command, deck::StatusBody* reply);
    HRESULT DeckCall(deck::HelloRequest request, deck::StatusBody* reply);

    const std::string socketPath;
    mutable std::mutex sendLock;
    int socketFd = -1;                  // sendLock (Open/Close/SendFrame)
    int cancelFd = -1;                  // eventfd; written by Cancel
    std::atomic<bool> cancelled{false};
    bool midMessage = false;            // sendLock: a message was cut short (by Cancel or a failure)
    HRESULT failure = S_OK;             // sendLock: once set, every SendFrame returns it
    int64_t stalledAtCancelMs = 0;      // sendLock: how long the deck had taken nothing of the
                                        // message Cancel cut short
    HRESULT closeStatus = S_OK;         // sendLock: see CloseStatus
    platform::FaultRecord lastFault;    // the text LastError reports (its own leaf lock)
};

}  // namespace dv
