// The virtual deck against callers and conditions that try to hold it, stall it or trick it: what
// it refuses, how it stays stoppable and free for a real sender, and what the sender is told.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <filesystem>

#include "dv/deck/deck_directory.h"
#include "dv/deck/deck_recorder.h"
#include "dv/deck/deck_server.h"
#include "tests/support/dv/deck_test_process.h"
#include "dv/deck/transport_deck.h"

using namespace decktest;

namespace {

constexpr auto npos = std::string::npos;
constexpr uid_t kNobody = 65534;

// Waits, within a bound meant only for a deck that never gets there, until `text` shows in what
// `read` returns.
template <typename Read>
bool WaitForText(Read read, const std::string& text, int boundMs = 60000) {
    const int64_t end = NowMs() + boundMs;
    while (read().find(text) == npos) {
        if (NowMs() > end) return false;
        usleep(20000);
    }
    return true;
}

// Drops to user nobody keeping the right to pass directory permissions, as a process of another
// user that could reach the deck's socket would; false where this process may not do that.
bool BecomeAnotherUserThatCanReachEverything() {
    if (prctl(PR_SET_KEEPCAPS, 1) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
        return false;
    }
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    const uint32_t reach = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    data[0].permitted = data[0].effective = reach;
    return syscall(SYS_capset, &header, data) == 0;
}

// The cases that want a fresh deck each make their own.
class DeckRobustness : public DeckTest {
protected:
    // Frames 0..count-1 through `sender` (open), then the sender hangs up and the deck is ended:
    // cleanly, with exactly those frames on its tape.
    void SendThenEnd(dv::DeckTransport& sender, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(S_OK, sender.SendFrame(MakeFrame(i).data(), kFrameBytes));
        sender.Close();
        ASSERT_TRUE(deck.Finish());
        ExpectTapeHolds(tape, count);
    }
};

TEST_F(DeckRobustness, RefusesAFifoTapeAndADeckDirectoryThatIsNotPrivate) {
    const std::string fifo = dir.path() + "/fifo.dv";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    for (const bool withReader : {false, true}) {
        SCOPED_TRACE(withReader ? "a FIFO someone reads" : "a FIFO nobody reads");
        // Opening a FIFO for writing waits for a reader, and the deck's stop signals are blocked.
        const int reader = withReader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.Start(fifo));
        EXPECT_EQ(1, deck.Wait()) << "the deck did not give up on the FIFO";
        EXPECT_NE(npos, deck.Errors().find("cannot open tape '" + fifo + "': it is a FIFO, not a regular file"))
            << deck.Errors();
        if (reader >= 0) {
            char byte = 0;
            EXPECT_LE(read(reader, &byte, 1), 0) << "something was written into the FIFO";
            close(reader);
        }
    }

    // Sockets in a directory others can enter or that is not ours could be reached or planted.
    struct Case {
        const char* what;
        const char* says;
        bool needsRoot;
        void (*make)(const std::string& decks, const std::string& elsewhere);
    };
    const Case cases[] = {
        {"open to others", "has mode 0755; it must be 0700",
         false, [](const std::string& decks, const std::string&) { ASSERT_EQ(0, mkdir(decks.c_str(), 0755)); chmod(decks.c_str(), 0755); }},
        {"a symbolic link", "is not a directory (a symbolic link)",
         false, [](const std::string& decks, const std::string& elsewhere) { ASSERT_EQ(0, symlink(elsewhere.c_str(), decks.c_str())); }},
        {"another user's", "belongs to user 65534",
         true, [](const std::string& decks, const std::string&) {
             ASSERT_EQ(0, mkdir(decks.c_str(), 0700));
             ASSERT_EQ(0, chown(decks.c_str(), kNobody, kNobody));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && geteuid() != 0) continue;  // only root can give a directory away
        TempDir state, elsewhere;
        c.make(state.path() + "/dvdeck", elsewhere.path());
        DeckProcess deck(dir.path(), state.path());
        ASSERT_TRUE(deck.Start(dir.path() + "/tape.dv"));
        EXPECT_EQ(1, deck.Wait());
        EXPECT_NE(npos, deck.Errors().find("refusing the deck directory")) << deck.Errors();
        EXPECT_NE(npos, deck.Errors().find(c.says)) << deck.Errors();
    }

    // Nor does the device listing offer a deck from such a directory.
    TempDir state;
    DeckProcess deck(dir.path(), state.path());
    ASSERT_TRUE(deck.StartListening(dir.path() + "/tape.dv"));
    const std::string decks = state.path() + "/dvdeck";
    EXPECT_EQ(1u, dv::DeckDirectory::ListLive(decks).size());
    chmod(decks.c_str(), 0777);
    EXPECT_TRUE(dv::DeckDirectory::ListLive(decks).empty());
    chmod(decks.c_str(), 0700);
    EXPECT_EQ(1u, dv::DeckDirectory::ListLive(decks).size());
    EXPECT_TRUE(deck.Finish());
}

// Connections that say nothing (probes that hang, a client that is stuck, someone holding the
// deck on purpose) must not keep a real sender from being answered within its reply limit.
TEST_F(DeckRobustness, IdleConnectionsDoNotHoldUpARealSender) {
    ASSERT_TRUE(deck.StartListening(tape));
    std::vector<int> idle;
    for (int i = 0; i < 40; ++i) {
        idle.push_back(RawConnect(deck.SocketPath(), /*hello=*/false));
        ASSERT_GE(idle.back(), 0);
    }
    const dv::deck::MessageHeader halfHello {uint32_t(dv::deck::MessageType::Hello), 16};
    ASSERT_EQ(4, send(idle.back(), &halfHello, 4, MSG_NOSIGNAL));

    dv::DeckTransport transport(deck.SocketPath());
    ASSERT_EQ(S_OK, transport.Open()) << transport.LastError();
    for (uint32_t i = 0; i < 5; ++i) {
        ASSERT_EQ(S_OK, transport.SendFrame(MakeFrame(i).data(), kFrameBytes)) << transport.LastError();
    }
    transport.Close();
    // Every idle connection was let go: turned away or timed out (closed, or reset where the
    // deck left part of a Hello unread).
    for (const int fd : idle) {
        char buffer[512];
        ssize_t n = 1;
        pollfd pfd {fd, POLLIN, 0};
        while (n > 0 && poll(&pfd, 1, 30000) > 0) n = recv(fd, buffer, sizeof buffer, 0);
        EXPECT_LE(n, 0) << "an idle connection is still held";
        close(fd);
    }
    // Hellos that are not the deck's are answered at once, whatever waits beside them.
    struct {
        dv::deck::MessageHeader header;
        dv::deck::HelloBody body;
    } helloOddSize {{uint32_t(dv::deck::MessageType::Hello), sizeof(dv::deck::HelloBody)},
                    {dv::deck::kMagic, dv::deck::kVersion, 100000, 0}};
    const dv::deck::MessageHeader frameFirst {uint32_t(dv::deck::MessageType::Frame), uint32_t(kFrameBytes)};
    const std::pair<const void*, size_t> wrong[] = {{&helloOddSize, sizeof helloOddSize}, {&frameFirst, sizeof frameFirst}};
    const char* says[] = {"frames of 120000 or 144000 bytes", "expected a dvdeck hello"};
    const int waiting = RawConnect(deck.SocketPath(), /*hello=*/false);
    for (int i = 0; i < 2; ++i) {
        const int fd = RawConnect(deck.SocketPath(), /*hello=*/false);
        ASSERT_EQ(ssize_t(wrong[i].second), send(fd, wrong[i].first, wrong[i].second, MSG_NOSIGNAL));
        dv::deck::StatusBody reply {};
        ASSERT_TRUE(decktest::ReadReply(fd, &reply));
        EXPECT_EQ(uint32_t(dv::deck::ReplyCode::ProtocolError), reply.code);
        EXPECT_NE(npos, std::string(reply.message).find(says[i])) << reply.message;
        close(fd);
    }
    close(waiting);

    // With no sender to make way for, one that says nothing is timed out, and told so.
    const int lone = RawConnect(deck.SocketPath(), /*hello=*/false);
    ASSERT_GE(lone, 0);
    dv::deck::StatusBody told {};
    ASSERT_TRUE(decktest::ReadReply(lone, &told)) << "a silent connection is held, or let go without a word";
    EXPECT_EQ(uint32_t(dv::deck::ReplyCode::Idle), told.code);
    EXPECT_NE(npos, std::string(told.message).find("no hello came within 2 s")) << told.message;
    char byte = 0;
    EXPECT_EQ(0, recv(lone, &byte, 1, 0)) << "the deck kept the connection after telling it";
    close(lone);
    ASSERT_TRUE(deck.Finish());
    ExpectTapeHolds(tape, 5);
}

// A sender that says Hello and then nothing would hold the deck for ever.
TEST_F(DeckRobustness, HangsUpOnASilentSenderAndTellsItWhy) {
    ASSERT_TRUE(deck.StartListening(tape));
    dv::DeckTransport quiet(deck.SocketPath()), next(deck.SocketPath());
    ASSERT_EQ(S_OK, quiet.Open()) << quiet.LastError();
    EXPECT_EQ(dv::kTransportBusy, next.Open());

    ASSERT_TRUE(WaitForText([&] { return deck.Output(); }, "no frame came from the sender"))
        << "the deck kept a silent sender: " << deck.Output();
    EXPECT_EQ(dv::kTransportTimeout, quiet.SendFrame(MakeFrame(0).data(), kFrameBytes));
    EXPECT_NE(npos, quiet.LastError().find("no frame came from the sender for 10 s")) << quiet.LastError();

    ASSERT_EQ(S_OK, next.Open()) << next.LastError();
    SendThenEnd(next, 3);
}

// Many callers at once, none of them recording yet: the lobby holds only so many, and whoever it
// turns away (to make room, or because another sender got in first) is told why before it is let
// go, never just closed.
TEST_F(DeckRobustness, EveryCallerOfACrowdIsAnsweredBeforeItIsLetGo) {
    constexpr int kCallers = 200;
    ASSERT_TRUE(deck.StartListening(tape));
    std::vector<int> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.push_back(RawConnect(deck.SocketPath(), /*hello=*/false));
        ASSERT_GE(callers.back(), 0) << "caller " << i;
    }
    // Everyone says Hello only now: the lobby has long been full.
    for (const int fd : callers) (void)decktest::SendHello(fd);
    int ok = 0, busy = 0, silent = 0, other = 0;
    std::string firstOther;
    for (const int fd : callers) {
        dv::deck::StatusBody reply {};
        if (!decktest::ReadReply(fd, &reply)) {
            ++silent;
        } else if (reply.code == uint32_t(dv::deck::ReplyCode::Ok)) {
            ++ok;
        } else if (reply.code == uint32_t(dv::deck::ReplyCode::Busy)) {
            ++busy;
        } else if (other++ == 0) {
            firstOther = reply.message;
        }
    }
    EXPECT_EQ(0, silent) << "callers let go without a word";
    EXPECT_EQ(0, other) << firstOther;
    EXPECT_EQ(1, ok);
    EXPECT_EQ(kCallers - 1, busy);
    for (const int fd : callers) close(fd);

    // And the deck is free for the next sender.
    dv::DeckTransport transport(deck.SocketPath());
    ASSERT_EQ(S_OK, transport.Open()) << transport.LastError();
    SendThenEnd(transport, 3);
}

// A message that trickles in a byte at a time, each well inside the idle limit, must not hold the
// deck: a message is due whole within a bound of its first byte.
TEST_F(DeckRobustness, HangsUpOnASenderThatTricklesAMessage) {
    ASSERT_TRUE(deck.StartListening(tape));
    uint32_t code = 0;
    const int slow = RawConnect(deck.SocketPath(), /*hello=*/true, &code);
    ASSERT_GE(slow, 0);
    ASSERT_EQ(uint32_t(dv::deck::ReplyCode::Ok), code);
    const dv::deck::MessageHeader frame {uint32_t(dv::deck::MessageType::Frame), uint32_t(kFrameBytes)};
    ASSERT_EQ(ssize_t(sizeof frame), send(slow, &frame, sizeof frame, MSG_NOSIGNAL));
    // A byte a second, for at most three times the deck's bound (a deck that never hangs up).
    const int64_t giveUp = NowMs() + 3 * dv::DeckServer::kMessageTimeoutNs / 1000000;
    bool answered = false;
    while (!answered && NowMs() < giveUp) {
        const char byte = 0;
        if (send(slow, &byte, 1, MSG_NOSIGNAL) != 1) break;
        pollfd pfd {slow, POLLIN, 0};
        answered = poll(&pfd, 1, 1000) == 1;
    }
    ASSERT_TRUE(answered) << "the deck kept a sender that trickles";
    dv::deck::StatusBody reply {};
    ASSERT_TRUE(decktest::ReadReply(slow, &reply));
    EXPECT_EQ(uint32_t(dv::deck::ReplyCode::Idle), reply.code);
    EXPECT_NE(npos, std::string(reply.message).find("a message took the sender over 5 s")) << reply.message;
    close(slow);

    dv::DeckTransport next(deck.SocketPath());
    ASSERT_EQ(S_OK, next.Open()) << next.LastError();
    SendThenEnd(next, 3);  // the trickled frame was never whole: dropped
}

// Time the deck's process spent running or ready to run, from the scheduler's own accounts.
int64_t ScheduledNs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    int64_t running = 0, waiting = 0;
    in >> running >> waiting;
    return running + waiting;
}

// Out of descriptors, accept fails and the connection stays queued, so the socket stays readable:
// the deck must wait before trying again, say why, and answer the caller once it can.
TEST_F(DeckRobustness, BacksOffWhileItCannotAcceptAndAnswersOnceItCan) {
    if (access("/proc/self/schedstat", R_OK) != 0) GTEST_SKIP() << "no scheduler statistics here";
    ASSERT_TRUE(deck.StartListening(tape));
    // The limit at the lowest free descriptor leaves the deck none for a new connection.
    std::vector<int> open;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(deck.pid()) + "/fd")) {
        open.push_back(std::stoi(entry.path().filename().string()));
    }
    int lowestFree = 0;
    while (std::find(open.begin(), open.end(), lowestFree) != open.end()) ++lowestFree;
    rlimit saved {};
    ASSERT_EQ(0, prlimit(deck.pid(), RLIMIT_NOFILE, nullptr, &saved));
    const rlimit tight {rlim_t(lowestFree), saved.rlim_max};
    ASSERT_EQ(0, prlimit(deck.pid(), RLIMIT_NOFILE, &tight, nullptr));

    const int caller = RawConnect(deck.SocketPath(), /*hello=*/false);
    ASSERT_GE(caller, 0);
    ASSERT_TRUE(WaitForText([&] { return deck.Errors(); }, "cannot take a connection: Too many open files"))
        << deck.Errors();
    const int64_t scheduledBefore = ScheduledNs(deck.pid()), before = NowMs();
    usleep(1000000);
    const double busy = double(ScheduledNs(deck.pid()) - scheduledBefore) / 1e6 / double(NowMs() - before);
    EXPECT_LT(busy, 0.5) << "the deck kept a core busy retrying accept";

    ASSERT_EQ(0, prlimit(deck.pid(), RLIMIT_NOFILE, &saved, nullptr));
    ASSERT_TRUE(decktest::SendHello(caller));
    dv::deck::StatusBody reply {};
    ASSERT_TRUE(decktest::ReadReply(caller, &reply)) << "the queued caller was never answered";
    EXPECT_EQ(uint32_t(dv::deck::ReplyCode::Ok), reply.code) << reply.message;
    close(caller);
    EXPECT_TRUE(WaitForText([&] { return deck.Errors(); }, "taking connections again")) << deck.Errors();
    EXPECT_TRUE(deck.Finish());
}

// A sender that asks for the deck's status as fast as it can must not keep the deck busy (only
// frames used to be paced); and one that only talks, sending no frame, is hung up on like a
// silent one.
TEST_F(DeckRobustness, AFloodOfStatusRequestsIsPacedAndATalkerWithoutFramesIsHungUpOn) {
    ASSERT_TRUE(deck.StartListening(tape));
    uint32_t code = 0;
    const int talker = RawConnect(deck.SocketPath(), /*hello=*/true, &code);
    ASSERT_GE(talker, 0);
    ASSERT_EQ(uint32_t(dv::deck::ReplyCode::Ok), code);
    std::vector<dv::deck::MessageHeader> burst(512, {uint32_t(dv::deck::MessageType::Status), 0});
    const size_t burstBytes = burst.size() * sizeof burst[0];
    std::atomic<bool> flooding{true};
    std::atomic<uint64_t> repliesRead{0};
    // Replies are read as they come, so the deck is never held back by a full socket.
    std::thread reader([&] {
        std::vector<char> buffer(64 * 1024);
        while (flooding.load()) {
            pollfd pfd {talker, POLLIN, 0};
            if (poll(&pfd, 1, 100) == 1) {
                const ssize_t n = recv(talker, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n <= 0) break;
                repliesRead += uint64_t(n) / (sizeof(dv::deck::MessageHeader) + sizeof(dv::deck::StatusBody));
            }
        }
    });
    const int64_t scheduledBefore = ScheduledNs(deck.pid()), before = NowMs();
    while (NowMs() - before < 2000) {
        pollfd pfd {talker, POLLOUT, 0};
        if (poll(&pfd, 1, 100) == 1) (void)send(talker, burst.data(), burstBytes, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    const double busy = double(ScheduledNs(deck.pid()) - scheduledBefore) / 1e6 / double(NowMs() - before);
    flooding = false;
    reader.join();
    EXPECT_LT(busy, 0.5) << "the deck kept a core busy answering " << repliesRead.load() << " status requests";
    EXPECT_GT(repliesRead.load(), 0u) << "the deck answered no status request at all";

    // It goes on talking, a request now and then, but sends no frame.
    dv::deck::StatusBody reply {};
    bool hungUp = false;
    for (const int64_t end = NowMs() + 30000; !hungUp && NowMs() < end;) {
        const dv::deck::MessageHeader ask {uint32_t(dv::deck::MessageType::Status), 0};
        (void)send(talker, &ask, sizeof ask, MSG_NOSIGNAL | MSG_DONTWAIT);
        pollfd pfd {talker, POLLIN, 0};
        while (!hungUp && poll(&pfd, 1, 500) == 1) {
            if (!decktest::ReadReply(talker, &reply)) break;
            hungUp = reply.code != uint32_t(dv::deck::ReplyCode::Ok);
        }
    }
    ASSERT_TRUE(hungUp) << "the deck kept a sender that sends no frames";
    EXPECT_EQ(uint32_t(dv::deck::ReplyCode::Idle), reply.code);
    EXPECT_NE(npos, std::string(reply.message).find("no frame came from the sender for 10 s")) << reply.message;
    close(talker);
    EXPECT_TRUE(deck.Finish());
}

// Each end checks who is at the other: frames go from a user to that user's deck only.
TEST_F(DeckRobustness, SenderAndDeckOfDifferentUsersRefuseEachOther) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ASSERT_TRUE(deck.StartListening(tape));
    const pid_t sender = fork();
    ASSERT_GE(sender, 0);
    if (sender == 0) {
        if (!BecomeAnotherUserThatCanReachEverything()) _exit(77);
        // The deck may refuse before the Hello arrives: what counts is its answer.
        const int fd = RawConnect(deck.SocketPath(), /*hello=*/false);
        dv::deck::StatusBody reply {};
        (void)decktest::SendHello(fd);
        _exit(fd >= 0 && decktest::ReadReply(fd, &reply) ? int(reply.code) : 100);
    }
    int status = 0;
    waitpid(sender, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot act as another user here";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(int(dv::deck::ReplyCode::ProtocolError), WEXITSTATUS(status)) << "a foreign sender was taken";
    dv::DeckTransport own(deck.SocketPath());
    EXPECT_EQ(S_OK, own.Open()) << own.LastError();
    own.Close();

    // A "deck" another user listens with, where ours would be.
    chmod(dir.path().c_str(), 0777);
    const std::string foreign = dir.path() + "/foreign.sock";
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t impostor = fork();
    ASSERT_GE(impostor, 0);
    if (impostor == 0) {
        close(ready[0]);
        if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0) _exit(77);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", foreign.c_str());
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) _exit(3);
        (void)!write(ready[1], "r", 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(1, read(ready[0], &byte, 1)) << "the other user's listener did not start";
    close(ready[0]);
    dv::DeckTransport transport(foreign);
    EXPECT_EQ(dv::kTransportAccessDenied, transport.Open());
    EXPECT_NE(npos, transport.LastError().find("runs as another user")) << transport.LastError();
    kill(impostor, SIGKILL);
    waitpid(impostor, nullptr, 0);
    EXPECT_TRUE(deck.Finish());
}

// A tape writer that is stuck (a hung disk; here it is stopped) stalls the deck, and the sender
// must learn that; SIGTERM must still stop the deck, leaving the writer to finish the tape with
// every frame the deck reported.
TEST_F(DeckRobustness, StopsWhileItsTapeWriterIsStuckAndTheWriterFinishesTheTape) {
    for (const bool sayEnd : {false, true}) {
        SCOPED_TRACE(sayEnd ? "stuck in the flush at the sender's End" : "stuck with the ring full");
        DeckOnTape fresh;
        auto& [dir, tape, deck] = fresh;
        ASSERT_TRUE(deck.StartListening(tape));
        const std::vector<pid_t> writers = decktest::ChildrenOf(deck.pid());
        ASSERT_EQ(1u, writers.size());
        ASSERT_EQ(0, kill(writers[0], SIGSTOP));

        dv::DeckTransport transport(deck.SocketPath());
        ASSERT_EQ(S_OK, transport.Open()) << transport.LastError();
        if (sayEnd) {
            for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(S_OK, transport.SendFrame(MakeFrame(i).data(), kFrameBytes));
            transport.Close();
        } else {
            HRESULT hr = S_OK;
            for (uint32_t i = 0; i < 200 && hr == S_OK; ++i) hr = transport.SendFrame(MakeFrame(i).data(), kFrameBytes);
            EXPECT_EQ(dv::kTransportTimeout, hr) << transport.LastError();
            EXPECT_NE(npos, transport.LastError().find("the deck took nothing for")) << transport.LastError();
        }
        deck.Signal(SIGTERM);
        EXPECT_EQ(1, deck.Wait()) << "the deck did not stop (-1) or claimed a clean stop: " << deck.Errors();
        EXPECT_NE(npos, deck.Errors().find("it finishes them on its own")) << deck.Errors();
        const std::string reported = deck.ReportValue("frames");
        kill(writers[0], SIGCONT);
        ASSERT_FALSE(reported.empty()) << deck.Output();
        decktest::WaitForTapeLock(tape);
        const uint32_t frames = uint32_t(std::stoul(reported));
        EXPECT_EQ(sayEnd ? 3u : uint32_t(dv::DeckRecorder::kSlots), frames);
        ExpectTapeHolds(tape, frames);
    }
}

// What the sender is told when the deck dies, or its tape fills with the last frames, which the
// deck writes only when the sender ends.
TEST_F(DeckRobustness, SenderLearnsWhyTheDeckFailed) {
    {
        SCOPED_TRACE("killed");
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(dir.path() + "/killed.dv"));
        dv::DeckTransport transport(deck.SocketPath());
        ASSERT_EQ(S_OK, transport.Open()) << transport.LastError();
        ASSERT_EQ(S_OK, transport.SendFrame(MakeFrame(0).data(), kFrameBytes));
        deck.Signal(SIGKILL);
        deck.Wait();
        HRESULT hr = S_OK;
        for (uint32_t i = 1; i < 100 && hr == S_OK; ++i) hr = transport.SendFrame(MakeFrame(i).data(), kFrameBytes);
        EXPECT_EQ(dv::kTransportDeviceGone, hr);
        EXPECT_NE(npos, transport.LastError().find("killed or unplugged")) << transport.LastError();
    }
    {
        SCOPED_TRACE("disk full at the end");
        const std::string tape = dir.path() + "/full.dv";
        DeckProcess deck(dir.path());
        ASSERT_TRUE(deck.StartListening(tape, "full deck", long(kFrameBytes * 5 / 2)));
        dv::DeckTransport transport(deck.SocketPath());
        ASSERT_EQ(S_OK, transport.Open()) << transport.LastError();
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_EQ(S_OK, transport.SendFrame(MakeFrame(i).data(), kFrameBytes)) << transport.LastError();
        }
        transport.Close();
        EXPECT_EQ(dv::kTransportDiskFull, transport.CloseStatus()) << "found only in closing: the filter must learn it";
        EXPECT_NE(npos, transport.LastError().find("deck 'full deck': cannot write tape")) << transport.LastError();
        EXPECT_EQ(dv::kTransportDiskFull, transport.SendFrame(MakeFrame(3).data(), kFrameBytes))
            << "the failure found at the end must stay the transport's status";
        EXPECT_EQ(1, deck.Wait());
        ExpectTapeHolds(tape, 2);
    }
}

// A deck that has stopped taking frames when the stop comes has lost what was sent meanwhile:
// Close finds that out, as SendFrame would have a moment later. A stop that only cuts into the
// deck's pace is no failure.
TEST_F(DeckRobustness, AStallCutShortByTheStopIsFoundInClosing) {
    for (const bool stall : {false, true}) {
        SCOPED_TRACE(stall ? "the deck had stalled" : "the deck kept pace");
        DeckOnTape fresh;
        auto& [dir, tape, deck] = fresh;
        ASSERT_TRUE(deck.StartListening(tape));
        dv::DeckTransport transport(deck.SocketPath());
        ASSERT_EQ(S_OK, transport.Open()) << transport.LastError();
        std::atomic<uint32_t> sent{0};
        std::atomic<HRESULT> last{S_OK};
        std::thread sender([&] {
            HRESULT hr = S_OK;
            for (uint32_t i = 0; hr == S_OK; ++i) {
                hr = transport.SendFrame(MakeFrame(i).data(), kFrameBytes);
                if (hr == S_OK) ++sent;
            }
            last = hr;
        });
        for (const int64_t end = NowMs() + 30000; sent.load() < 10 && NowMs() < end;) usleep(10000);
        ASSERT_GE(sent.load(), 10u) << transport.LastError();
        if (stall) {
            deck.Signal(SIGSTOP);
            usleep(2000 * dv::kTransportStallAtStopMs);  // well short of kTransportStallTimeoutMs
        }
        transport.Cancel();
        sender.join();
        transport.Close();
        EXPECT_EQ(dv::kTransportCancelled, last.load()) << transport.LastError();
        if (stall) {
            EXPECT_EQ(dv::kTransportTimeout, transport.CloseStatus());
            EXPECT_NE(npos, transport.LastError().find("the deck took nothing for the last")) << transport.LastError();
            deck.Signal(SIGCONT);
        } else {
            EXPECT_EQ(S_OK, transport.CloseStatus()) << transport.LastError();
        }
        ASSERT_TRUE(deck.Finish());
        const std::string frames = deck.ReportValue("frames");
        ASSERT_FALSE(frames.empty()) << deck.Output();
        ExpectTapeHolds(tape, uint32_t(std::stoul(frames)));
    }
}

}  // namespace
