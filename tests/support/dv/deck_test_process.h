// Test helpers around the virtual deck: runs dvdeck as a child process with its output captured,
// and makes recognisable DIF frames that carry a timecode.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dv/deck/deck_protocol.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"
#include <platform/platform.h>

namespace decktest {

inline constexpr size_t kFrameBytes = 120000;

inline int64_t NowMs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline uint8_t Bcd(int v) { return uint8_t(((v / 10) << 4) | (v % 10)); }

// Frame `index`: every byte outside the subcode tells the index, and the subcode carries the
// non-drop timecode of that index in sequence 0.
inline std::vector<uint8_t> MakeFrame(uint32_t index) {
    std::vector<uint8_t> frame(kFrameBytes, uint8_t(index * 7 + 1));
    std::memcpy(frame.data() + 4 * 80, &index, sizeof index);  // a VAUX block of sequence 0
    uint8_t* pack = frame.data() + 80 + 3 + 3;                 // block 1, first sync block
    const uint32_t f = index % 30, s = (index / 30) % 60, m = (index / 1800) % 60;
    pack[0] = 0x13;
    pack[1] = Bcd(int(f));
    pack[2] = Bcd(int(s));
    pack[3] = Bcd(int(m));
    pack[4] = 0;
    return frame;
}

using testsupport::ReadFile;

// Checks that the tape holds exactly frames 0..count-1 as MakeFrame made them, whole.
inline void ExpectTapeHolds(const std::string& tape, uint32_t count) {
    const std::string bytes = ReadFile(tape);
    ASSERT_EQ(bytes.size(), size_t(count) * kFrameBytes) << "the tape must hold whole frames";
    for (uint32_t i = 0; i < count; ++i) {
        const auto expected = MakeFrame(i);
        ASSERT_EQ(0, std::memcmp(bytes.data() + size_t(i) * kFrameBytes, expected.data(), kFrameBytes))
            << "frame " << i << " differs";
    }
}

// Waits for whatever still writes for a dead deck: it holds the tape's lock until it is done.
inline void WaitForTapeLock(const std::string& tape) {
    const int fd = open(tape.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, flock(fd, LOCK_EX));
    close(fd);
}

// The processes a single-threaded process started (a deck's tape writer).
inline std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    std::vector<pid_t> children;
    for (pid_t child = 0; in >> child;) children.push_back(child);
    return children;
}

// Reads one reply from the deck, waiting at most 30 s (a bound for a broken deck, not a speed
// check); false if none came whole.
inline bool ReadReply(int fd, dv::deck::StatusBody* body) {
    struct {
        dv::deck::MessageHeader header;
        dv::deck::StatusBody body;
    } reply {};
    const timeval bound {30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    if (recv(fd, &reply, sizeof reply, MSG_WAITALL) != ssize_t(sizeof reply)) return false;
    *body = reply.body;
    return reply.header.type == uint32_t(dv::deck::MessageType::Reply);
}

inline bool SendHello(int fd) {
    struct {
        dv::deck::MessageHeader header;
        dv::deck::HelloBody body;
    } hello {{uint32_t(dv::deck::MessageType::Hello), sizeof(dv::deck::HelloBody)},
             {dv::deck::kMagic, dv::deck::kVersion, uint32_t(kFrameBytes), 0}};
    return send(fd, &hello, sizeof hello, MSG_NOSIGNAL) == ssize_t(sizeof hello);
}

// Connects by hand, for senders that misbehave on purpose; -1 on failure. With `hello`, says
// Hello and waits for the deck's answer (its code in *code).
inline int RawConnect(const std::string& path, bool hello = true, uint32_t* code = nullptr) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    if (!hello) return fd;
    dv::deck::StatusBody reply {};
    if (!SendHello(fd) || !ReadReply(fd, &reply)) {
        close(fd);
        return -1;
    }
    if (code != nullptr) *code = reply.code;
    return fd;
}

// A temporary directory for a deck, removed with its files when the object goes.
struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("tamsel-deck") {}
};

// One dvdeck process. Its stdout and stderr go to files in `dir`; it is killed with the object.
class DeckProcess {
public:
    // stateDir: the platform state directory the deck runs with (the test program's by default).
    explicit DeckProcess(std::string dir, std::string stateDir = testsupport::StateDir())
        : dir_(std::move(dir)), stateDir_(std::move(stateDir)) {}
    ~DeckProcess() { testsupport::KillProcess(pid_); }

    // Starts `dvdeck --tape tape --name name`; fileSizeLimit > 0 caps the tape's size the way a
    // full disk would.
    // `extra`: more options (--stopped, --protected); with --no-tape, `tape` is left out.
    bool Start(const std::string& tape, const std::string& name = "test deck",
               long fileSizeLimit = 0, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {testsupport::BuildDir() + "/dvdeck", "--name", name};
        bool tapeIn = true;
        for (const std::string& option : extra) {
            args.push_back(option);
            if (option == "--no-tape") tapeIn = false;
        }
        if (tapeIn) {
            args.push_back("--tape");
            args.push_back(tape);
        }
        testsupport::ProcessOptions options;
        options.out = testsupport::Sink::ToFile(dir_ + "/deck.out");
        options.err = testsupport::Sink::ToFile(dir_ + "/deck.err");
        options.env = {std::string(PLATFORM_STATE_DIR_ENV) + "=" + stateDir_};
        options.fileSizeLimit = fileSizeLimit;
        pid_ = testsupport::StartProcess(args, options).pid;
        return pid_ > 0;
    }

    // Start, then WaitUntilListening: the deck ready for a sender, or why not.
    testing::AssertionResult StartListening(const std::string& tape, const std::string& name = "test deck",
                                            long fileSizeLimit = 0, const std::vector<std::string>& extra = {}) {
        if (!Start(tape, name, fileSizeLimit, extra)) return testing::AssertionFailure() << "dvdeck could not be started";
        if (!WaitUntilListening()) return testing::AssertionFailure() << "dvdeck never listened: " << Errors();
        return testing::AssertionSuccess();
    }

    std::string SocketPath() const {
        return stateDir_ + "/dvdeck/" + std::to_string(pid_) + ".sock";
    }

    // Waits until the deck listens (its socket file exists), or it ended.
    bool WaitUntilListening(int timeoutMs = 10000) {
        const int64_t end = NowMs() + timeoutMs;
        while (NowMs() < end) {
            struct stat st {};
            if (stat(SocketPath().c_str(), &st) == 0) return true;
            if (Exited()) return false;
            usleep(10000);
        }
        return false;
    }

    bool Exited() {
        if (pid_ <= 0) return true;
        if (!testsupport::ProcessEnded(pid_, &exitStatus_)) return false;
        pid_ = -1;
        return true;
    }

    void Signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }

    // The exit status once the deck ended within timeoutMs; -1 if it did not (it is then killed).
    int Wait(int timeoutMs = 10000) {
        if (pid_ <= 0) return exitStatus_;
        exitStatus_ = testsupport::WaitProcess(pid_, timeoutMs);
        pid_ = -1;
        return exitStatus_;
    }

    // SIGTERM, then the deck's end within timeoutMs: success when it exited with 0, else how it
    // ended and what it said.
    testing::AssertionResult Finish(int timeoutMs = 10000) {
        Signal(SIGTERM);
        const int status = Wait(timeoutMs);
        if (status == 0) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "dvdeck ended with " << status << ": " << Errors();
    }

    int pid() const { return pid_; }
    std::string Output() const { return ReadFile(dir_ + "/deck.out"); }
    std::string Errors() const { return ReadFile(dir_ + "/deck.err"); }

    // The value after "key: " in the deck's final report, or "" when missing.
    std::string ReportValue(const std::string& key) const {
        std::istringstream in(Output());
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
        }
        return "";
    }

private:
    std::string dir_;
    std::string stateDir_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

// A folder of its own, and a deck for it recording to a tape there (tape.dv unless named),
// started as its user needs (and killed with the object). A case that wants a fresh one each
// round takes its parts by name: auto& [dir, tape, deck] = fresh.
struct DeckOnTape {
    explicit DeckOnTape(const std::string& tapeName = "tape.dv") : tape(dir.path() + "/" + tapeName) {}

    TempDir dir;
    std::string tape;
    DeckProcess deck {dir.path()};
};

// A fixture: each test's own DeckOnTape.
class DeckTest : public testing::Test, protected DeckOnTape {};

}  // namespace decktest
