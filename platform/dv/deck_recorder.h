// The deck's tape: a file of raw DIF frames that only ever grows by whole frames.
//
// A write() of a frame that is interrupted by SIGKILL stops at a page boundary and leaves part of
// the frame on the tape, which no later deck could record after. So the frames are written by a
// small writer process that Open forks: Append copies the frame into memory shared with it and
// asks it to write; killing the deck (by its process id, as unplugging does) no longer cuts a
// write short, because the writer finishes the frame it was asked for and then sees the deck's
// end of their socket close and exits. The writer keeps the tape's lock until then.
//
// Threads: used by the deck's single thread only; no locks. The writer process does nothing but
// read requests, write the tape and answer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "deck_timecode.h"

namespace dv {

class DeckRecorder {
public:
    DeckRecorder() = default;
    ~DeckRecorder();
    DeckRecorder(const DeckRecorder&) = delete;
    DeckRecorder& operator=(const DeckRecorder&) = delete;

    // Opens the tape for appending, creating it if needed, and locks it against other decks. A
    // directory, a file that cannot be written, a tape another deck records on, or a tape that
    // is not a whole number of frames is refused with a message.
    bool Open(const std::string& tapePath, std::string* error);

    // Appends one frame of frameBytes. When the write fails (no space, file size limit, I/O
    // error) the tape is cut back to its last whole frame and flushed, and the errno is kept.
    bool Append(const uint8_t* frame, size_t frameBytes, std::string* error);

    // Flushes what was written to the disk.
    bool Flush(std::string* error);
    void Close();

    uint64_t framesRecorded() const { return recordedCount; }     // by this deck run
    uint64_t framesOnTape() const { return tapeBytes / frameSize; }
    int lastErrno() const { return savedErrno; }
    bool hasTimecode() const { return timecodeSeen; }
    const DeckTimecode& firstTimecode() const { return firstCode; }
    const DeckTimecode& lastTimecode() const { return lastCode; }
    // Frames whose timecode did not follow the previous timecode by one frame.
    uint64_t timecodeBreaks() const { return breakCount; }
    uint64_t framesWithoutTimecode() const { return untimedCount; }

private:
    // Forks the writer; false (with savedErrno) when it cannot be started.
    bool StartWriter();
    // Has the writer write `size` bytes from the shared buffer; the bytes written, or -1 with
    // savedErrno set when nothing could be asked or answered.
    ssize_t WriteThroughWriter(size_t size, int* writeErrno);
    void StopWriter();

    int fd = -1;
    pid_t writerPid = -1;
    int writerSocket = -1;            // this end of the socket pair to the writer
    uint8_t* sharedFrame = nullptr;   // frameSize bytes mapped shared with the writer
    std::string path;
    size_t frameSize = 120000;
    uint64_t tapeBytes = 0;  // length of the tape up to its last whole frame
    uint64_t recordedCount = 0;
    int savedErrno = 0;
    bool timecodeSeen = false;
    DeckTimecode firstCode;
    DeckTimecode lastCode;
    uint64_t breakCount = 0;
    uint64_t untimedCount = 0;
};

}  // namespace dv
