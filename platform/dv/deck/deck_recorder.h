// The deck's tape: a file of raw DIF frames that only ever grows by whole frames.
//
// A write() of a frame that is interrupted by SIGKILL stops at a page boundary and leaves part of
// the frame on the tape, which no later deck could record after. So the frames are written by a
// small writer process that Open forks. The deck receives each frame straight into a ring of
// frame slots in memory shared with the writer (NextFrame), takes it (CommitFrame: a count in
// the shared memory says how many frames are whole there), and asks the writer every few frames
// to write what has been taken. Killing the deck (by its process id, as unplugging does) loses
// nothing it took: the writer sees the deck's end of their socket close, writes every frame the
// count covers, and exits; a frame the deck was still receiving is not counted and never written.
// The writer keeps the tape's lock until it is done.
//
// Asking in batches keeps a recording cheap: the deck is woken once a frame, the writer once a
// batch, and nobody waits for a write while frames keep coming. A write that fails (no space,
// file size limit, I/O error) makes the writer cut the tape back to its last whole frame and
// write nothing more; the deck learns of it at its next frame, or at Flush.
//
// The deck can be told to stop while it waits for the writer (a disk that hangs, a writer that is
// stopped): waits give up when the interrupt fd becomes readable, and the writer is then left to
// finish the tape on its own, as when the deck is killed.
//
// A failure's status is the errno the tape last failed with (lastErrno()), 0 when none did; its
// text names the tape and says why.
//
// Threads: used by the deck's single thread only; no locks. The writer process does nothing but
// read requests, write the tape and answer. The only memory both touch is the shared ring: the
// deck writes a slot, then publishes it with a release store of the count; the writer reads a
// slot only below the count it loaded with acquire, and the deck reuses a slot only after the
// writer has answered that its frame is written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "dv/dif/timecode.h"
#include "dv/dv_system.h"
#include "support/fault.h"

namespace dv {

class DeckRecorder {
public:
    static constexpr size_t kSlots = 8;        // frames the ring holds
    static constexpr uint64_t kBatchFrames = 4;  // frames taken before the writer is asked

    DeckRecorder() = default;
    ~DeckRecorder();
    DeckRecorder(const DeckRecorder&) = delete;
    DeckRecorder& operator=(const DeckRecorder&) = delete;

    // Opens the tape for appending, creating it if needed, and locks it against other decks. A
    // directory, a file that cannot be written, a tape another deck records on, or a tape that
    // is not a whole number of frames (of frameBytes each) is refused.
    std::optional<platform::Fault> Open(const std::string& tapePath, size_t frameBytes = k525_60.frameBytes);

    // Waits for the writer end early when `fd` is readable (the deck's stop request); -1 for none.
    void SetInterruptFd(int fd) { interruptFd = fd; }
    // A wait for the writer was cut short: the writer finishes the tape on its own and this
    // recorder takes nothing more.
    bool interrupted() const { return abandoned; }

    // The slot to receive the next frame into (frameBytes bytes), waiting for the writer when
    // the ring is full. Null, with *fault, once the tape has failed or a wait was interrupted.
    // Asking again before CommitFrame gives the same slot.
    uint8_t* NextFrame(platform::Fault* fault);
    // Takes the frame received into NextFrame's slot. The failure when the tape has failed; then
    // the errno is kept and the tape ends on its last whole frame.
    std::optional<platform::Fault> CommitFrame();
    // Copies one frame of frameBytes into the next slot and takes it.
    std::optional<platform::Fault> Append(const uint8_t* frame, size_t frameBytes);

    // Waits until every frame taken is on the tape, and flushes the tape to the disk. The
    // failure when the tape failed or the wait was interrupted.
    std::optional<platform::Fault> Flush();
    void Close();

    // Frames this deck run has taken, less any the tape could not take after it failed. Exact
    // (every one of them on the tape) after Flush.
    uint64_t framesRecorded() const;
    uint64_t framesOnTape() const { return initialFrames + writtenCount; }
    int lastErrno() const { return savedErrno; }
    // What the timecode of the frames written so far says.
    bool hasTimecode() const { return timecodeSeen; }
    const Timecode& firstTimecode() const { return firstCode; }
    const Timecode& lastTimecode() const { return lastCode; }
    // Frames whose timecode did not follow the previous timecode by one frame.
    uint64_t timecodeBreaks() const { return breakCount; }
    uint64_t framesWithoutTimecode() const { return untimedCount; }

private:
    struct Shared;

    // Maps the ring and forks the writer; false (with savedErrno) when that cannot be done.
    bool StartWriter();
    void StopWriter();
    // Asks the writer to write every frame taken so far.
    bool RequestWrite();
    // Reads the writer's answers: one at least when `wait`, else those already there. False
    // when the writer is gone.
    bool ReadAnswers(bool wait);
    // Waits until the writer has answered; false (and abandoned) when interrupted first.
    bool AwaitWriter();
    // Frames [writtenCount, written) reached the tape: reads their timecode.
    void NoteWritten(uint64_t written);
    uint8_t* Slot(uint64_t frame) const;
    // The tape's failure, once it has failed.
    std::optional<platform::Fault> Failure() const;
    // The tape has failed with errno `err`: it takes nothing more.
    void Fail(int err);
    // A failure saying `text`, with the errno the tape last failed with.
    platform::Fault WithErrno(std::string text) const { return {savedErrno, std::move(text)}; }

    int fd = -1;
    pid_t writerPid = -1;
    int writerSocket = -1;     // this end of the socket pair to the writer
    Shared* shared = nullptr;  // the count and the ring, mapped shared with the writer
    size_t sharedBytes = 0;
    std::string path;
    size_t frameSize = k525_60.frameBytes;
    uint64_t initialFrames = 0;  // whole frames on the tape when it was opened
    uint64_t takenCount = 0;     // frames committed to the ring by this run
    uint64_t requestedCount = 0; // frames the writer has been asked to write
    uint64_t writtenCount = 0;   // frames the writer answered are on the tape
    int savedErrno = 0;
    int interruptFd = -1;
    bool abandoned = false;      // a wait for the writer was interrupted
    std::string failure;         // the message once the tape has failed
    bool timecodeSeen = false;
    Timecode firstCode;
    Timecode lastCode;
    uint64_t breakCount = 0;
    uint64_t untimedCount = 0;
};

}  // namespace dv
