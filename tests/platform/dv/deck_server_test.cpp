// The virtual deck as a process: what reaches its tape, at what pace, and how it ends.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "dv/deck/deck_protocol.h"
#include "tests/support/dv/deck_test_process.h"
#include "dv/deck/transport_deck.h"

using namespace decktest;

namespace {

using DeckServer = DeckTest;

// Opens once the deck has finished with the sender before (Busy until then), trying for about four
// seconds; the last Open's answer.
HRESULT OpenOnceFree(dv::DeckTransport& transport) {
    HRESULT opened = E_FAIL;
    for (int attempt = 0; attempt < 200 && opened != S_OK; ++attempt) {
        opened = transport.Open();
        if (opened != S_OK) usleep(20000);
    }
    return opened;
}

TEST_F(DeckServer, RecordsWholeFramesInOrderNoFasterThanTheFrameRate) {
    ASSERT_TRUE(deck.StartListening(tape));

    dv::DeckTransport transport(deck.SocketPath());
    ASSERT_EQ(S_OK, transport.Open()) << transport.LastError();
    const uint32_t frames = 60;
    const int64_t start = NowMs();
    for (uint32_t i = 0; i < frames; ++i) {
        const auto frame = MakeFrame(i);
        ASSERT_EQ(S_OK, transport.SendFrame(frame.data(), frame.size())) << transport.LastError();
    }
    dv::deck::StatusBody status {};
    ASSERT_EQ(S_OK, transport.QueryStatus(&status)) << transport.LastError();
    EXPECT_EQ(uint32_t(dv::deck::ReplyCode::Ok), status.code);
    EXPECT_EQ(frames, status.framesRecorded) << "the deck answers after what was sent before";
    EXPECT_STREQ("test deck", status.name);
    transport.Close();
    const double elapsed = (NowMs() - start) / 1000.0;
    // The deck takes one frame a tick; a socket's worth of frames may be ahead of it. Only the
    // lower bound on time is checked: a slow machine takes longer, never shorter.
    EXPECT_LE(frames, elapsed * 30000.0 / 1001.0 + 4) << "the deck did not pace the sender";

    ASSERT_TRUE(deck.Finish());
    ExpectTapeHolds(tape, frames);
    EXPECT_EQ("60", deck.ReportValue("frames"));
    EXPECT_EQ("2.002 s", deck.ReportValue("duration"));
    EXPECT_EQ("00:00:00:00 - 00:00:01:29", deck.ReportValue("timecode"));
    EXPECT_EQ("0", deck.ReportValue("timecode breaks"));
    struct stat st {};
    EXPECT_NE(0, stat(deck.SocketPath().c_str(), &st)) << "the socket must be removed on exit";
}

TEST_F(DeckServer, DropsAFrameCutShortAndKeepsListeningForTheNextSender) {
    ASSERT_TRUE(deck.StartListening(tape));

    const int fd = RawConnect(deck.SocketPath());
    ASSERT_GE(fd, 0);
    for (uint32_t i = 0; i < 3; ++i) {
        const auto frame = MakeFrame(i);
        const dv::deck::MessageHeader header {uint32_t(dv::deck::MessageType::Frame), uint32_t(kFrameBytes)};
        ASSERT_EQ(ssize_t(sizeof header), send(fd, &header, sizeof header, MSG_NOSIGNAL));
        ASSERT_EQ(ssize_t(kFrameBytes), send(fd, frame.data(), kFrameBytes, MSG_NOSIGNAL));
    }
    const auto half = MakeFrame(99);
    const dv::deck::MessageHeader header {uint32_t(dv::deck::MessageType::Frame), uint32_t(kFrameBytes)};
    send(fd, &header, sizeof header, MSG_NOSIGNAL);
    send(fd, half.data(), kFrameBytes / 2, MSG_NOSIGNAL);
    close(fd);

    // A second sender records after the first, on the same tape.
    dv::DeckTransport transport(deck.SocketPath());
    ASSERT_EQ(S_OK, OpenOnceFree(transport)) << transport.LastError();
    for (uint32_t i = 3; i < 5; ++i) {
        const auto frame = MakeFrame(i);
        ASSERT_EQ(S_OK, transport.SendFrame(frame.data(), frame.size()));
    }
    transport.Close();
    deck.Signal(SIGINT);
    ASSERT_EQ(0, deck.Wait()) << deck.Errors();
    ExpectTapeHolds(tape, 5);
    EXPECT_EQ("5", deck.ReportValue("frames"));
}

TEST_F(DeckServer, RefusesASecondSenderWhileOneRecords) {
    ASSERT_TRUE(deck.StartListening(tape));
    dv::DeckTransport first(deck.SocketPath());
    ASSERT_EQ(S_OK, first.Open());
    dv::DeckTransport second(deck.SocketPath());
    EXPECT_EQ(dv::kTransportBusy, second.Open());
    EXPECT_NE(std::string::npos, second.LastError().find("another sender")) << second.LastError();
    first.Close();
}

TEST_F(DeckServer, ReportsTicksWithoutAFrame) {
    ASSERT_TRUE(deck.StartListening(tape));
    dv::DeckTransport transport(deck.SocketPath());
    ASSERT_EQ(S_OK, transport.Open());
    for (uint32_t i = 0; i < 20; ++i) {
        const auto frame = MakeFrame(i);
        ASSERT_EQ(S_OK, transport.SendFrame(frame.data(), frame.size()));
        if (i == 9) usleep(400000);  // about twelve ticks with nothing to record
    }
    transport.Close();
    ASSERT_TRUE(deck.Finish());
    const std::string missed = deck.ReportValue("ticks without a frame");
    ASSERT_FALSE(missed.empty()) << deck.Output();
    EXPECT_GE(std::stoi(missed), 5) << missed;
}

// Sends frames first..last-1 over the transport.
void SendFrames(dv::DeckTransport& transport, uint32_t first, uint32_t last) {
    for (uint32_t i = first; i < last; ++i) {
        const auto frame = MakeFrame(i);
        ASSERT_EQ(S_OK, transport.SendFrame(frame.data(), frame.size())) << transport.LastError();
    }
}

constexpr useconds_t kFramePeriodUs = 1001000 / 30;

// A sender that stops delivering for a while leaves a run of ticks without a frame, counted at
// the frame where it began; the account is each connection's own. Waiting for the first frame
// and for the end after the last is no gap: a steady sender has none.
TEST_F(DeckServer, KeepsEachSendersGapsBetweenItsFirstAndLastFrame) {
    ASSERT_TRUE(deck.StartListening(tape));
    constexpr uint32_t kBefore = 30, kPauseTicks = 20, kAfter = 30;
    {
        dv::DeckTransport pausing(deck.SocketPath());
        ASSERT_EQ(S_OK, pausing.Open()) << pausing.LastError();
        SendFrames(pausing, 0, kBefore);
        usleep(kPauseTicks * kFramePeriodUs);
        SendFrames(pausing, kBefore, kBefore + kAfter);
        dv::deck::StatusBody status {};
        ASSERT_EQ(S_OK, pausing.QueryStatus(&status)) << pausing.LastError();
        // The frames in the socket when the pause began fill its first ticks; a busy machine may
        // add a few.
        EXPECT_EQ(kBefore, status.longestGapAfter) << "the gap began once the deck had taken every frame sent before the pause";
        EXPECT_GE(status.longestGap, kPauseTicks - 3);
        EXPECT_LE(status.longestGap, 2 * kPauseTicks);
        EXPECT_GE(status.gapTicks, status.longestGap);
        EXPECT_EQ(status.gapTicks, status.missedTicks) << "the first sender's gaps are all the deck has";
        pausing.Close();
        dv::Transport::GapAccount final;
        ASSERT_TRUE(pausing.GetGaps(&final));
        EXPECT_EQ(status.longestGap, final.longest) << "the deck's last word repeats the account";
        EXPECT_EQ(status.longestGapAfter, final.longestAfter);
    }
    uint64_t firstSendersTicks = 0;
    {
        dv::DeckTransport steady(deck.SocketPath());
        ASSERT_EQ(S_OK, OpenOnceFree(steady)) << steady.LastError();
        dv::Transport::GapAccount gaps;
        ASSERT_TRUE(steady.GetGaps(&gaps));
        EXPECT_EQ(0u, gaps.longest) << "a new connection starts a new account";
        usleep(10 * kFramePeriodUs);  // the deck waits for the first frame
        SendFrames(steady, kBefore + kAfter, 2 * (kBefore + kAfter));
        dv::deck::StatusBody status {};
        ASSERT_EQ(S_OK, steady.QueryStatus(&status)) << steady.LastError();
        firstSendersTicks = status.missedTicks;
        usleep(10 * kFramePeriodUs);  // and for the end after the last
        steady.Close();
        ASSERT_TRUE(steady.GetGaps(&gaps));
        EXPECT_EQ(0u, gaps.ticks);
        EXPECT_EQ(0u, gaps.longest);
    }
    ASSERT_TRUE(deck.Finish());
    ExpectTapeHolds(tape, 2 * (kBefore + kAfter));
    EXPECT_EQ(firstSendersTicks, std::stoull(deck.ReportValue("ticks without a frame") + " ")) << deck.Output();
    EXPECT_NE(std::string::npos, deck.Output().find("after its frame " + std::to_string(kBefore))) << deck.Output();
}

// The deck's own lateness is no gap in the sender's stream: a deck not run for a while (a busy or
// virtual machine; here stopped by a signal), shorter than a tick or several ticks long, takes the
// frame waiting for it and counts nothing against a sender that kept pace.
TEST_F(DeckServer, ItsOwnLatenessIsNoGapInTheSendersStream) {
    ASSERT_TRUE(deck.StartListening(tape));
    dv::DeckTransport steady(deck.SocketPath());
    ASSERT_EQ(S_OK, steady.Open()) << steady.LastError();
    std::thread sender([&] { SendFrames(steady, 0, 120); });
    for (const useconds_t stopped : {kFramePeriodUs * 2 / 3, kFramePeriodUs * 3 / 2, kFramePeriodUs * 4}) {
        usleep(20 * kFramePeriodUs);
        kill(deck.pid(), SIGSTOP);
        usleep(stopped);
        kill(deck.pid(), SIGCONT);
    }
    sender.join();
    dv::deck::StatusBody status {};
    ASSERT_EQ(S_OK, steady.QueryStatus(&status)) << steady.LastError();
    EXPECT_EQ(0u, status.gapTicks) << status.missedTicks << " " << status.longestGap;
    steady.Close();
    ASSERT_TRUE(deck.Finish());
    ExpectTapeHolds(tape, 120);
}

// A write-protected tape: record is refused whether asked by a control call or over the sender's
// connection, the deck stays in stop, shows what it is sent without recording it, and the tape
// file is left exactly as it was.
TEST_F(DeckServer, RefusesRecordOnAWriteProtectedTapeAndLeavesItUntouched) {
    const std::string before = "a tape recorded earlier, to be kept";
    {
        std::ofstream(tape) << before;
    }
    struct stat was {};
    ASSERT_EQ(0, stat(tape.c_str(), &was));
    ASSERT_TRUE(deck.StartListening(tape, "test deck", 0, {"--protected"}));

    dv::DeckTransport control(deck.SocketPath());
    EXPECT_EQ(dv::kTransportWriteProtected, control.SetDeckMode(dv::DeckMode::Record)) << control.LastError();
    EXPECT_NE(std::string::npos, control.LastError().find("write-protected")) << control.LastError();
    dv::DeckState state;
    ASSERT_EQ(S_OK, control.GetDeckState(&state)) << control.LastError();
    EXPECT_EQ(dv::DeckMode::Stop, state.mode);
    EXPECT_TRUE(state.mediaPresent && state.writeProtected);

    dv::DeckTransport sender(deck.SocketPath());
    ASSERT_EQ(S_OK, sender.Open()) << sender.LastError();
    EXPECT_EQ(dv::kTransportWriteProtected, sender.SetDeckMode(dv::DeckMode::Record)) << sender.LastError();
    SendFrames(sender, 0, 5);
    ASSERT_EQ(S_OK, sender.GetDeckState(&state)) << sender.LastError();
    EXPECT_EQ(dv::DeckMode::Stop, state.mode);
    EXPECT_EQ(0u, state.framesRecorded);
    sender.Close();

    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ("stop", deck.ReportValue("mode"));
    EXPECT_EQ("0", deck.ReportValue("frames"));
    EXPECT_EQ("5", deck.ReportValue("frames shown, not recorded"));
    EXPECT_EQ(before, ReadFile(tape));
    struct stat now {};
    ASSERT_EQ(0, stat(tape.c_str(), &now));
    EXPECT_EQ(was.st_mtim.tv_sec, now.st_mtim.tv_sec);
    EXPECT_EQ(was.st_mtim.tv_nsec, now.st_mtim.tv_nsec) << "the write-protected tape was written";
}

// A send waiting on a deck that takes nothing (SIGSTOP) ends with kTransportInterrupted when
// another thread interrupts the transport; after it nothing but STOP goes out, and the STOP
// reaches the deck although a frame was cut short on the sender's connection.
TEST_F(DeckServer, InterruptEndsASendWaitingOnAFrozenDeckAndStopStillReachesIt) {
    ASSERT_TRUE(deck.StartListening(tape));
    dv::DeckTransport transport(deck.SocketPath());
    ASSERT_EQ(S_OK, transport.Open()) << transport.LastError();
    SendFrames(transport, 0, 10);
    deck.Signal(SIGSTOP);
    std::atomic<bool> interruptAsked {false};
    bool returnedAfterInterrupt = false;
    HRESULT sendStatus = S_OK;
    std::thread sender([&] {
        for (uint32_t i = 10; sendStatus == S_OK; ++i) {
            const auto frame = MakeFrame(i);
            sendStatus = transport.SendFrame(frame.data(), frame.size());
        }
        returnedAfterInterrupt = interruptAsked.load();
    });
    usleep(300000);  // the socket fills and the send waits (the stall limit is 5 s)
    interruptAsked = true;
    transport.Interrupt();
    sender.join();
    EXPECT_EQ(dv::kTransportInterrupted, sendStatus) << transport.LastError();
    EXPECT_TRUE(returnedAfterInterrupt) << "the send did not wait on the frozen deck";
    deck.Signal(SIGCONT);

    const auto frame = MakeFrame(99);
    EXPECT_EQ(dv::kTransportInterrupted, transport.SendFrame(frame.data(), frame.size()));
    dv::DeckState state;
    EXPECT_EQ(dv::kTransportInterrupted, transport.GetDeckState(&state));
    EXPECT_EQ(dv::kTransportInterrupted, transport.SetDeckMode(dv::DeckMode::Play));
    EXPECT_EQ(S_OK, transport.SetDeckMode(dv::DeckMode::Stop)) << transport.LastError();
    transport.Close();
    dv::DeckTransport probe(deck.SocketPath());
    ASSERT_EQ(S_OK, probe.GetDeckState(&state)) << probe.LastError();
    EXPECT_EQ(dv::DeckMode::Stop, state.mode);
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ(std::string::npos, deck.Output().find("mode play")) << deck.Output();
    ExpectTapeHolds(tape, uint32_t(state.framesRecorded));
}

// Names with control characters (a tape's, the deck's own, an argument) reach no terminal raw:
// every message shows them quoted as a shell would read them back.
TEST_F(DeckServer, ShowsNamesWithControlCharactersEscaped) {
    const std::string oddTape = dir.path() + "/ev\033[2Jil\ntape.dv";
    const std::string shown = "'" + dir.path() + "/ev'$'\\033''[2Jil'$'\\n''tape.dv'";
    ASSERT_TRUE(deck.StartListening(oddTape, "deck\033name"));
    ASSERT_TRUE(deck.Finish());
    EXPECT_NE(std::string::npos, deck.Output().find("dvdeck: 'deck'$'\\033''name' recording to " + shown))
        << deck.Output();
    EXPECT_EQ(shown, deck.ReportValue("tape"));
    EXPECT_EQ(std::string::npos, deck.Output().find('\033')) << deck.Output();

    // A tape that cannot be opened (a folder), and an argument the deck does not take.
    const std::string folder = dir.path() + "/fold\033er";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    DeckProcess refusing(dir.path());
    ASSERT_TRUE(refusing.Start(folder));
    EXPECT_EQ(1, refusing.Wait());
    EXPECT_NE(std::string::npos, refusing.Errors().find("cannot open tape '" + dir.path() + "/fold'$'\\033''er': "))
        << refusing.Errors();
    const testsupport::RunResult usage =
        testsupport::RunCaptured({testsupport::BuildDir() + "/dvdeck", "--tape", tape, "extra\033"});
    EXPECT_EQ(2, usage.status);
    EXPECT_NE(std::string::npos, usage.output.find("unexpected argument 'extra'$'\\033'\n")) << usage.output;
    EXPECT_EQ(std::string::npos, (refusing.Errors() + usage.output).find('\033'));
}

TEST_F(DeckServer, StopSignalMidStreamFlushesReportsAndUnplugsTheSender) {
    ASSERT_TRUE(deck.StartListening(tape));
    dv::DeckTransport transport(deck.SocketPath());
    ASSERT_EQ(S_OK, transport.Open());
    HRESULT hr = S_OK;
    uint32_t sent = 0;
    int64_t signalledAt = 0;
    while (hr == S_OK && sent < 2000) {
        if (sent == 15) {
            deck.Signal(SIGTERM);
            signalledAt = NowMs();
        }
        const auto frame = MakeFrame(sent);
        hr = transport.SendFrame(frame.data(), frame.size());
        if (hr == S_OK) ++sent;
    }
    EXPECT_EQ(dv::kTransportDeviceGone, hr) << transport.LastError();
    // Sooner than the stall timeout, which is how long a sender that was not told would wait.
    EXPECT_LT(NowMs() - signalledAt, dv::kTransportStallTimeoutMs) << "the sender must learn that the deck is gone";
    ASSERT_EQ(0, deck.Wait()) << deck.Errors();
    const std::string recorded = deck.ReportValue("frames");
    ASSERT_FALSE(recorded.empty()) << deck.Output();
    const uint32_t frames = uint32_t(std::stoul(recorded));
    EXPECT_GE(frames, 10u);
    EXPECT_LE(frames, sent);
    ExpectTapeHolds(tape, frames);
}

TEST_F(DeckServer, TapeThatCannotBeWrittenGivesAClearErrorAndKeepsWholeFrames) {
    {
        // A directory is no tape: the deck says so and never listens.
        ASSERT_TRUE(deck.Start(dir.path()));
        EXPECT_EQ(1, deck.Wait());
        EXPECT_NE(std::string::npos, deck.Errors().find("cannot open tape")) << deck.Errors();
    }
    {
        // One tape, one deck: a second deck on it would interleave frames.
        TempDir otherOutput;
        DeckProcess first(dir.path()), second(otherOutput.path());
        ASSERT_TRUE(first.StartListening(dir.path() + "/shared.dv"));
        ASSERT_TRUE(second.Start(dir.path() + "/shared.dv"));
        EXPECT_EQ(1, second.Wait());
        EXPECT_NE(std::string::npos, second.Errors().find("in use")) << second.Errors();
    }
    {
        // Room for five and a half frames, as on a nearly full disk.
        const std::string fullTape = dir.path() + "/full.dv";
        DeckProcess full(dir.path());
        ASSERT_TRUE(full.StartListening(fullTape, "full deck", long(kFrameBytes * 11 / 2)));
        dv::DeckTransport transport(full.SocketPath());
        ASSERT_EQ(S_OK, transport.Open());
        HRESULT hr = S_OK;
        for (uint32_t i = 0; i < 40 && hr == S_OK; ++i) {
            const auto frame = MakeFrame(i);
            hr = transport.SendFrame(frame.data(), frame.size());
        }
        EXPECT_EQ(dv::kTransportDiskFull, hr) << transport.LastError();
        EXPECT_NE(std::string::npos, transport.LastError().find("cannot write tape"))
            << transport.LastError();
        EXPECT_EQ(1, full.Wait());
        EXPECT_NE(std::string::npos, full.Errors().find("keeps 5 whole frames")) << full.Errors();
        ExpectTapeHolds(fullTape, 5);
    }
}

}  // namespace
