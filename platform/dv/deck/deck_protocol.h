// The virtual deck's socket protocol, spoken over a Unix-domain stream socket between a sender
// (DeckTransport) and the dvdeck process. Both ends run on the same machine, so every field is in
// host byte order.
//
// Every message is a MessageHeader followed by `length` bytes of body.
//
//   sender -> deck   Hello   HelloBody                  first message of a connection
//                    Frame   one DIF frame of the deck's system (120000 bytes in 525/60, 144000
//                                                       in 625/50)
//                    Status  no body                    asks for a Reply
//                    Command CommandBody                record, stop or play; answered by a
//                                                       Reply, Refused when the deck cannot
//                    End     no body                    the sender is done; the deck flushes the
//                                                       tape and answers with a final Reply
//   deck -> sender   Reply   StatusBody                 answers Hello, Status, Command and End;
//                                                       sent unasked only to report an error,
//                                                       after which the deck closes the connection
//
// A Hello whose `request` is not HelloRequest::Send is a control call: the deck carries out the
// request (a status, or a command), answers with one Reply and closes the connection, so deck
// control needs no sender. While a sender records, every other caller is answered Busy, so the
// sender's own program controls the deck over its sender's connection (Status, Command).
//
// The deck records only in record mode (DeckMode::Record); in stop or play it takes the frames
// at the same pace and shows them, but they never reach the tape. A deck may have no tape in, or a
// write-protected one: then it refuses record.
//
// A deck records one system, 525/60 or 625/50, chosen when it starts; a sender's Hello names the
// frame size it will send, and a deck of the other system refuses it (WrongSystem), so it records
// nothing of it. A control call's Hello may name either size.
//
// The deck takes at most one Frame per tick (1001/30000 s in 525/60, 1/25 s in 625/50) and reads nothing more of the stream
// until the next tick, so a sender that writes frames as fast as it can is held back by the
// socket: that is the pacing. A Frame cut short by a disconnect is dropped; the tape only ever
// holds whole frames. While one sender is connected, any other connection is answered Busy; one
// made after the sender hung up waits until the deck has taken what was left of that stream.
//
// Status messages are taken at a few a tick at most, so asking faster holds the asker back the
// same way.
//
// The deck takes connections from its own user only (checked with SO_PEERCRED, and its socket
// lives in a directory private to that user). A connection must say Hello within 2 s; a sender
// that then sends no frame for 10 s, or takes more than 5 s over one message, is answered Idle
// and hung up on. A connection turned away is answered first: Busy while another sender records
// or when too many callers wait, Idle when it sent no Hello in time, ProtocolError for a Hello
// the deck does not take.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dv/dv_system.h"

namespace dv::deck {

inline constexpr uint32_t kMagic = 0x4B445644;  // "DVDK"
// 3: StatusBody carries the sender's gap account (gapTicks, longestGap, longestGapAfter).
// 4: decks of either system; StatusBody says the deck's (standard).
inline constexpr uint32_t kVersion = 4;
// 525/60's frame, the one a deck records unless started for 625/50.
inline constexpr size_t kFrameBytes = k525_60.frameBytes;

enum class MessageType : uint32_t {
    Hello = 1,
    Frame = 2,
    Status = 3,
    End = 4,
    Command = 5,
    Reply = 0x80,
};

struct MessageHeader {
    uint32_t type;
    uint32_t length;
};
static_assert(sizeof(MessageHeader) == 8);

struct HelloBody {
    uint32_t magic;       // kMagic
    uint32_t version;     // kVersion
    uint32_t frameBytes;  // the sender's system's frame size
    uint32_t request;     // HelloRequest
};
static_assert(sizeof(HelloBody) == 16);

// What a connection is for, said in its Hello.
enum class HelloRequest : uint32_t {
    Send = 0,    // a sender: frames follow
    Status = 1,  // a control call: the deck's state, then the deck hangs up
    Record = 2,  // a control call: the commands of DeckCommand, then the deck hangs up
    Stop = 3,
    Play = 4,
};

// The deck's transport mode.
enum class DeckMode : uint32_t {
    Stop = 0,
    Play = 1,
    Record = 2,
};

enum class DeckCommand : uint32_t {
    Record = 1,
    Stop = 2,
    Play = 3,
};

struct CommandBody {
    uint32_t command;  // DeckCommand
    uint32_t reserved;
};
static_assert(sizeof(CommandBody) == 8);

// StatusBody::media bits.
inline constexpr uint32_t kMediaPresent = 1;         // a tape is in
inline constexpr uint32_t kMediaWriteProtected = 2;  // and it is write-protected
// StatusBody::timecodeFlags bits.
inline constexpr uint32_t kTimecodeValid = 1;  // lastTimecode holds the last recorded frame's
inline constexpr uint32_t kTimecodeDrop = 2;   // it is drop-frame timecode

enum class ReplyCode : uint32_t {
    Ok = 0,
    Busy = 1,           // another sender is recording
    TapeError = 2,      // the tape cannot be written; the deck is shutting down
    ProtocolError = 3,  // the sender broke the protocol
    Stopping = 4,       // the deck was told to stop
    Idle = 5,           // the sender sent nothing for too long; the deck hung up
    Refused = 6,        // the command cannot be carried out (no tape, write-protected);
                        // the deck carries on as before
    WrongSystem = 7,    // the sender's frames are of the other system; the deck hung up
};

struct StatusBody {
    uint32_t code;            // ReplyCode
    int32_t error;            // errno behind a TapeError, else 0
    uint64_t framesRecorded;  // frames the deck took since it started (on the tape, or on their
                              // way there in a batch that survives the deck being killed)
    uint64_t missedTicks;     // ticks without a frame since the deck started, between each
                              // sender's first frame and its last (see gapTicks)
    char name[64];            // the deck's name, terminated
    char message[120];        // human-readable detail, terminated
    uint32_t mode;            // DeckMode
    uint32_t media;           // kMedia* bits
    uint32_t lastTimecode;    // BCD 0xhhmmssff of the last frame recorded, see timecodeFlags
    uint32_t timecodeFlags;   // kTimecode* bits
    // The gap account of the current sender's connection (of the last one between senders): ticks
    // at which the deck had no new frame and showed the last one again. Only ticks between the
    // sender's first frame and its last count: before the first the deck waits, and a run of them
    // still going on is counted when the next frame ends it (dropped when the sender ends).
    uint64_t gapTicks;         // every such tick
    uint64_t longestGap;       // ticks in the longest unbroken run of them
    uint64_t longestGapAfter;  // frames the deck had taken from the sender when that run began
    uint32_t standard;         // DvStandard: the system the deck records
    uint32_t reserved;
};
static_assert(sizeof(StatusBody) == 256);

}  // namespace dv::deck
