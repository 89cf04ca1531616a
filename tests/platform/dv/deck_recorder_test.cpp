// The deck's tape and the timecode it reads back from what it records (reading a timecode pack
// out of a frame is the DV room's, tested in dif_test.cpp).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <thread>

#include "dv/deck/deck_recorder.h"
#include "tests/support/dv/deck_test_process.h"

using decktest::ExpectTapeHolds;
using decktest::kFrameBytes;
using decktest::MakeFrame;
using decktest::WaitForTapeLock;

namespace {

// A folder of the test's own, a tape there, and a recorder for it (opened by the test). The
// cases that run the recorder in a child process make theirs there.
class DeckRecorder : public testing::Test {
protected:
    decktest::TempDir dir;
    const std::string tape = dir.path() + "/tape.dv";
    dv::DeckRecorder recorder;
};

TEST_F(DeckRecorder, AppendsWholeFramesCountsTimecodeBreaksAndRefusesOddTapes) {
    std::optional<platform::Fault> fault = recorder.Open(tape);
    ASSERT_FALSE(fault) << fault->text;
    for (uint32_t i : {0u, 1u, 2u, 4u, 5u}) {  // frame 3 never arrives
        const auto frame = MakeFrame(i);
        fault = recorder.Append(frame.data(), frame.size());
        ASSERT_FALSE(fault) << fault->text;
    }
    const std::vector<uint8_t> blank(kFrameBytes, 0xFF);
    ASSERT_FALSE(recorder.Append(blank.data(), blank.size()));
    recorder.Close();
    EXPECT_EQ(1u, recorder.timecodeBreaks());
    EXPECT_EQ(1u, recorder.framesWithoutTimecode());
    EXPECT_EQ("00:00:00:05", recorder.lastTimecode().Text());
    fault = recorder.Open(tape);
    ASSERT_FALSE(fault) << fault->text;
    EXPECT_EQ(6u, recorder.framesOnTape()) << "reopening appends after what is there";

    // A tape that ends inside a frame would put every later frame out of step.
    const int fd = open(tape.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(1000, write(fd, blank.data(), 1000));
    close(fd);
    fault = recorder.Open(tape);
    ASSERT_TRUE(fault);
    EXPECT_NE(std::string::npos, fault->text.find("whole")) << fault->text;

    // A refusal that a system call gave carries its errno, as the deck's reply to the sender does.
    fault = recorder.Open(dir.path() + "/no such folder/tape.dv");
    ASSERT_TRUE(fault);
    EXPECT_EQ(ENOENT, fault->status);
    EXPECT_EQ(ENOENT, recorder.lastErrno());
    EXPECT_EQ(0u, fault->text.find("cannot open tape '" + dir.path() + "/no such folder/tape.dv': "))
        << fault->text;
}

TEST_F(DeckRecorder, KeepsOrderAcrossManyTripsRoundTheRing) {
    std::optional<platform::Fault> fault = recorder.Open(tape);
    ASSERT_FALSE(fault) << fault->text;
    const uint32_t frames = 3 * dv::DeckRecorder::kSlots + 3;
    for (uint32_t i = 0; i < frames; ++i) {
        platform::Fault slotFault;
        uint8_t* slot = recorder.NextFrame(&slotFault);
        ASSERT_NE(nullptr, slot) << slotFault.text;
        ASSERT_EQ(slot, recorder.NextFrame(&slotFault)) << "asking again gives the same slot";
        std::memcpy(slot, MakeFrame(i).data(), kFrameBytes);
        fault = recorder.CommitFrame();
        ASSERT_FALSE(fault) << fault->text;
    }
    EXPECT_EQ(frames, recorder.framesRecorded());
    fault = recorder.Flush();
    ASSERT_FALSE(fault) << fault->text;
    EXPECT_EQ(frames, recorder.framesOnTape());
    EXPECT_EQ(0u, recorder.timecodeBreaks());
    ExpectTapeHolds(tape, frames);
    recorder.Close();
}

// Frames the deck took reach the tape even when the deck dies before it asked for them to be
// written (they wait for a batch): killed after 3 frames (none asked for) and after 6 (one batch
// asked for, two not).
TEST_F(DeckRecorder, KilledBetweenBatchesLosesNoFrameItTook) {
    for (uint32_t taken : {3u, 6u}) {
        SCOPED_TRACE(taken);
        decktest::TempDir dir;
        const std::string tape = dir.path() + "/tape.dv";
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (recorder.Open(tape)) _exit(3);
            for (uint32_t i = 0; i < taken; ++i) {
                if (recorder.Append(MakeFrame(i).data(), kFrameBytes)) _exit(3);
            }
            raise(SIGKILL);
            _exit(4);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the deck did not get as far as its kill: " << status;
        WaitForTapeLock(tape);
        ExpectTapeHolds(tape, taken);
    }
}

// A deck killed while it appends a frame (SIGKILL, as unplugging a stuck deck would) must leave a
// tape of whole frames that the next deck records after. The kill is made to land inside the
// append: the second frame's memory past its first 16 pages is held back by a userfaultfd, so
// whatever reads it blocks there until the process is killed.
TEST_F(DeckRecorder, KilledInTheMiddleOfAnAppendLeavesWholeFrames) {
    int ready[2] = {-1, -1};
    ASSERT_EQ(0, pipe(ready));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit status 2: no userfaultfd here; 3: the set-up failed; 4: the append did not block.
        close(ready[0]);
        const auto first = MakeFrame(0);
        if (recorder.Open(tape) || recorder.Append(first.data(), first.size())) _exit(3);
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t span = (kFrameBytes + page - 1) / page * page;
        const size_t present = 16 * page;
        void* memory = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) _exit(3);
        auto* frame = static_cast<uint8_t*>(memory);
        std::memcpy(frame, MakeFrame(1).data(), present);
        const int uffd = int(syscall(SYS_userfaultfd, O_CLOEXEC));
        uffdio_api api {};
        api.api = UFFD_API;
        if (uffd < 0 || ioctl(uffd, UFFDIO_API, &api) != 0) _exit(2);
        uffdio_register held {};
        held.range.start = reinterpret_cast<uintptr_t>(frame + present);
        held.range.len = span - present;
        held.mode = UFFDIO_REGISTER_MODE_MISSING;
        if (ioctl(uffd, UFFDIO_REGISTER, &held) != 0) _exit(2);
        std::thread watcher([&] {
            uffd_msg message {};
            if (read(uffd, &message, sizeof message) == ssize_t(sizeof message)) {
                const char blocked = 'b';
                (void)!write(ready[1], &blocked, 1);
            }
        });
        recorder.Append(frame, kFrameBytes);
        _exit(4);
    }
    close(ready[1]);
    char blocked = 0;
    const bool reached = read(ready[0], &blocked, 1) == 1;
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(ready[0]);
    if (!reached && WIFEXITED(status) && WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "userfaultfd is not available to this process";
    }
    ASSERT_TRUE(reached) << "the append never reached the held-back memory; wait status " << status;

    WaitForTapeLock(tape);
    const std::string bytes = decktest::ReadFile(tape);
    EXPECT_EQ(0u, bytes.size() % kFrameBytes) << "a tape of " << bytes.size() << " bytes";
    ASSERT_GE(bytes.size(), kFrameBytes);
    EXPECT_EQ(0, std::memcmp(bytes.data(), MakeFrame(0).data(), kFrameBytes));
    dv::DeckRecorder next;
    const std::optional<platform::Fault> fault = next.Open(tape);
    EXPECT_FALSE(fault) << fault->text;
}

}  // namespace
