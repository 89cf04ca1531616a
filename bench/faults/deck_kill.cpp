// deck_kill: the virtual deck killed with SIGKILL at random points while a sender streams frames to
// it, many times over; the tape must hold whole, unaltered frames only, every time.
//
//   deck_kill [--runs N] [--max-ms M] [--seed S] [--keep]
//
// The frames are 300 NTSC DV frames with audio made once by ffmpeg (bars with running timecode,
// so every frame differs). All runs record onto one tape, so each deck after the first opens a
// tape that a killed deck left behind. Each run starts `dvdeck --tape TAPE` (from the build
// directory this was built in), sends it frames 0, 1, 2, ... of the set through DeckTransport from
// a thread of this process, kills the deck after a random delay of up to M ms (default 1500) of
// streaming, and then checks:
//   - the tape's size is a multiple of 120000 bytes;
//   - every frame on it has the DIF block IDs of an NTSC frame (section type, sequence and block
//     number of all 1500 blocks, the 525/60 flag in each header block);
//   - what this run added is frames 0..k-1 of the set, byte for byte, with k no more than the
//     sender had handed to the socket.
// A run whose tape ends in a partial frame is reported and the tape is cut back to its last whole
// frame, so the following runs still test something. Prints one line per failure and a summary
// "runs R, frames recorded F, failures X". Exit 0 when X is 0.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dv/deck/transport_deck.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

constexpr size_t kFrameBytes = 120000;
constexpr int kSetFrames = 300;

// "" when the 1500 block IDs are those of an NTSC frame, else the first one that is not.
std::string CheckDifIds(const uint8_t* frame) {
    for (int seq = 0; seq < 10; ++seq) {
        int audio = 0, video = 0;
        for (int block = 0; block < 150; ++block) {
            const uint8_t* id = frame + (seq * 150 + block) * 80;
            int section, number;
            if (block == 0) section = 0, number = 0;
            else if (block <= 2) section = 1, number = block - 1;
            else if (block <= 5) section = 2, number = block - 3;
            else if ((block - 6) % 16 == 0) section = 3, number = audio++;
            else section = 4, number = video++;
            if ((id[0] >> 5) != section || (id[1] >> 4) != seq || id[2] != number) {
                char text[96];
                std::snprintf(text, sizeof text, "sequence %d block %d: ID %02x %02x %02x", seq, block,
                              id[0], id[1], id[2]);
                return text;
            }
            if (block == 0 && (id[3] & 0x80) != 0) return "sequence " + std::to_string(seq) + ": not 525/60";
        }
    }
    return "";
}

pid_t StartDeck(const std::string& deck, const std::string& tape, const std::string& log) {
    testsupport::ProcessOptions options;
    options.out = testsupport::Sink::AppendTo(log);
    options.err = testsupport::Sink::ToOutput();
    return testsupport::StartProcess({deck, "--tape", tape, "--name", "doomed deck"}, options).pid;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 100;
    int maxMs = 1500;
    bool keep = false;
    unsigned seed = unsigned(time(nullptr));
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--max-ms") == 0 && i + 1 < argc) maxMs = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) seed = unsigned(std::atoll(argv[++i]));
        else if (std::strcmp(argv[i], "--keep") == 0) keep = true;
        else {
            std::fprintf(stderr, "usage: deck_kill [--runs N] [--max-ms M] [--seed S] [--keep]\n");
            return 2;
        }
    }
    const std::string deckProgram = std::string(TAMSEL_BUILD_DIR) + "/dvdeck";
    if (access(deckProgram.c_str(), X_OK) != 0 || runs <= 0 || maxMs <= 0) {
        std::fprintf(stderr, "deck_kill: build dvdeck in %s first\n", TAMSEL_BUILD_DIR);
        return 2;
    }
    char pattern[] = "/tmp/deck-kill-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    const std::string dir = pattern;
    setenv("PLATFORM_STATE_DIR", (dir + "/state").c_str(), 1);
    const std::string tape = dir + "/tape.dv";
    const std::string log = dir + "/deck.log";

    const std::string make = "ffmpeg -v error -f lavfi -i smptebars=size=720x480:rate=30000/1001 "
                             "-f lavfi -i anullsrc=r=48000:cl=stereo -t 10.5"
                             " -timecode 01:00:00:00 -pix_fmt yuv411p -c:v dvvideo -c:a pcm_s16le -f dv -y '" +
                             dir + "/set.dv'";
    std::string said;
    if (testsupport::Shell(make, &said) != 0) {
        std::fprintf(stderr, "deck_kill: ffmpeg could not make the frames: %s\n", said.c_str());
        return 2;
    }
    std::string set = testsupport::ReadFile(dir + "/set.dv");
    if (set.size() < kSetFrames * kFrameBytes) {
        std::fprintf(stderr, "deck_kill: ffmpeg made %zu bytes, not %d frames\n", set.size(), kSetFrames);
        return 2;
    }
    set.resize(kSetFrames * kFrameBytes);
    for (int i = 0; i < kSetFrames; ++i) {
        const std::string bad = CheckDifIds(reinterpret_cast<const uint8_t*>(set.data()) + i * kFrameBytes);
        if (!bad.empty()) {
            std::fprintf(stderr, "deck_kill: the judge rejects ffmpeg's frame %d: %s\n", i, bad.c_str());
            return 2;
        }
    }

    std::mt19937 rng(seed);
    std::printf("deck_kill: %d runs, kills within %d ms of streaming, seed %u, in %s\n", runs, maxMs, seed,
                dir.c_str());
    std::fflush(stdout);
    int failures = 0;
    uint64_t recorded = 0;
    size_t tapeBefore = 0;
    for (int run = 0; run < runs; ++run) {
        const pid_t deck = StartDeck(deckProgram, tape, log);
        const std::string socket = dir + "/state/dvdeck/" + std::to_string(deck) + ".sock";
        struct stat st {};
        int ended = -1;
        bool gone = false;  // reaped already: its id may be another process's now
        for (int i = 0; i < 1000 && stat(socket.c_str(), &st) != 0; ++i) {
            if ((gone = testsupport::ProcessEnded(deck, &ended))) break;
            usleep(5000);
        }
        // The socket file appears at bind, a moment before the deck listens: a refusal then is
        // no failure yet.
        dv::DeckTransport transport(socket);
        HRESULT opened = transport.Open();
        for (int i = 0; i < 200 && FAILED(opened) && !gone && !(gone = testsupport::ProcessEnded(deck, &ended)); ++i) {
            usleep(5000);
            opened = transport.Open();
        }
        if (FAILED(opened)) {
            std::printf("run %d: cannot connect: %s (deck log: %s)\n", run, transport.LastError().c_str(),
                        log.c_str());
            ++failures;
            if (!gone) testsupport::KillProcess(deck);
            keep = true;
            continue;
        }
        std::atomic<uint64_t> sent {0};
        std::thread sender([&] {
            for (uint64_t i = 0;; ++i) {
                const auto* frame = reinterpret_cast<const uint8_t*>(set.data()) + (i % kSetFrames) * kFrameBytes;
                if (FAILED(transport.SendFrame(frame, kFrameBytes))) return;
                sent.store(i + 1);
            }
        });
        usleep(useconds_t(rng() % (uint64_t(maxMs) * 1000)));
        kill(deck, SIGKILL);
        const int status = testsupport::WaitProcess(deck, 60000);
        sender.join();
        transport.Close();
        if (status != 128 + SIGKILL) {
            std::printf("run %d: the deck ended by itself (status %d) before the kill\n", run, status);
            ++failures;
        }

        const std::string bytes = testsupport::ReadFile(tape);
        std::string failed;
        if (bytes.size() < tapeBefore) {
            failed = "the tape shrank from " + std::to_string(tapeBefore) + " to " + std::to_string(bytes.size());
        } else if (bytes.size() % kFrameBytes != 0) {
            failed = "tape of " + std::to_string(bytes.size()) + " bytes: a partial frame of " +
                     std::to_string(bytes.size() % kFrameBytes) + " bytes at its end";
        }
        const size_t whole = bytes.size() / kFrameBytes * kFrameBytes;
        const size_t added = whole > tapeBefore ? (whole - tapeBefore) / kFrameBytes : 0;
        for (size_t k = 0; failed.empty() && k < added; ++k) {
            const auto* frame = reinterpret_cast<const uint8_t*>(bytes.data()) + tapeBefore + k * kFrameBytes;
            const std::string bad = CheckDifIds(frame);
            if (!bad.empty()) failed = "frame " + std::to_string(k) + " of this run: " + bad;
            else if (std::memcmp(frame, set.data() + (k % kSetFrames) * kFrameBytes, kFrameBytes) != 0)
                failed = "frame " + std::to_string(k) + " of this run differs from the frame sent";
        }
        if (failed.empty() && added > sent.load()) {
            failed = std::to_string(added) + " frames on the tape but only " + std::to_string(sent.load()) + " sent";
        }
        if (!failed.empty()) {
            std::printf("run %d: %s\n", run, failed.c_str());
            std::fflush(stdout);
            ++failures;
            if (bytes.size() != whole && truncate(tape.c_str(), off_t(whole)) != 0) {
                std::printf("cannot cut the tape back; stopping\n");
                break;
            }
        }
        recorded += added;
        tapeBefore = whole;
    }
    if (!keep) std::filesystem::remove_all(dir);
    std::printf("runs %d, frames recorded %llu (%.1f s of tape), failures %d\n", runs,
                static_cast<unsigned long long>(recorded), double(recorded) * 1001.0 / 30000.0, failures);
    return failures == 0 ? 0 : 1;
}
