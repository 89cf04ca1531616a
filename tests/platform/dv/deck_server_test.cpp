// The virtual deck as a process: what reaches its tape, at what pace, and how it ends.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include "dv/deck/deck_protocol.h"
#include "tests/support/dv/deck_test_process.h"
#include "dv/deck/transport_deck.h"

using namespace decktest;

namespace {

using DeckServer = DeckTest;

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
    HRESULT opened = E_FAIL;
    for (int attempt = 0; attempt < 200 && opened != S_OK; ++attempt) {
        opened = transport.Open();  // Busy until the deck has finished with the first sender
        if (opened != S_OK) usleep(20000);
    }
    ASSERT_EQ(S_OK, opened) << transport.LastError();
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
