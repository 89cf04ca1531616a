// The worker thread's single-slot command channel.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "framework/worker_thread.h"

namespace {

constexpr DWORD kQuit = 999;

// Answers every command with ten times its value after first seeing it with PeekCommand, and
// ends on kQuit.
class EchoWorker : public WorkerThread {
public:
    DWORD WorkerMain() override {
        DWORD untouched = 12345;
        idlePeekSawCommand = PeekCommand(&untouched);
        idlePeekPlace = untouched;
        started = true;
        for (;;) {
            DWORD peeked = 0;
            while (!PeekCommand(&peeked)) {
                Sleep(0);
            }
            // Peeking leaves the command posted: the wait sees the same one at once.
            const DWORD waited = WaitCommand();
            if (waited != peeked) {
                ++mismatches;
            }
            Answer(static_cast<HRESULT>(waited * 10));
            if (waited == kQuit) {
                return 0;
            }
        }
    }

    std::atomic<bool> started{false};
    std::atomic<bool> idlePeekSawCommand{true};
    std::atomic<DWORD> idlePeekPlace{0};
    std::atomic<int> mismatches{0};
};

TEST(WorkerThread, LaunchSendAndJoin) {
    EchoWorker worker;
    EXPECT_EQ(worker.SendCommand(1), E_FAIL);  // no thread yet: nothing posted
    EXPECT_FALSE(worker.HasThread());
    worker.Join();  // nothing to join

    ASSERT_TRUE(worker.Launch());
    EXPECT_FALSE(worker.Launch());  // one thread at a time
    while (!worker.started) {
        Sleep(0);
    }
    // Before the first command was posted the worker's peek found nothing and left its place.
    EXPECT_FALSE(worker.idlePeekSawCommand);
    EXPECT_EQ(worker.idlePeekPlace, 12345u);

    EXPECT_EQ(worker.SendCommand(CmdPause), 10);
    EXPECT_EQ(worker.SendCommand(CmdStop), 30);
    EXPECT_EQ(worker.SendCommand(kQuit), static_cast<HRESULT>(kQuit * 10));

    // The ended thread stays recorded until joined.
    EXPECT_TRUE(worker.HasThread());
    EXPECT_FALSE(worker.Launch());
    worker.Join();
    EXPECT_FALSE(worker.HasThread());
    worker.Join();

    ASSERT_TRUE(worker.Launch());
    EXPECT_EQ(worker.SendCommand(kQuit), static_cast<HRESULT>(kQuit * 10));
    worker.Join();
    EXPECT_EQ(worker.mismatches, 0);
}

TEST(WorkerThread, EachAnswerReachesItsOwnSender) {
    EchoWorker worker;
    ASSERT_TRUE(worker.Launch());
    constexpr int kSenders = 4;
    constexpr DWORD kCommands = 200;
    std::atomic<int> wrongAnswers{0};
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kSenders; ++sender) {
        senders.emplace_back([&worker, &wrongAnswers, sender] {
            for (DWORD index = 0; index < kCommands; ++index) {
                const DWORD command = 1000 + static_cast<DWORD>(sender) * kCommands + index;
                if (worker.SendCommand(command) != static_cast<HRESULT>(command * 10)) {
                    ++wrongAnswers;
                }
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(wrongAnswers, 0);
    EXPECT_EQ(worker.SendCommand(kQuit), static_cast<HRESULT>(kQuit * 10));
    worker.Join();
    EXPECT_EQ(worker.mismatches, 0);
}

// Takes one command and ends without answering it.
class DeserterWorker : public WorkerThread {
public:
    DWORD WorkerMain() override {
        WaitCommand();
        return 0;
    }
};

TEST(WorkerThread, SenderIsReleasedWhenTheWorkerEndsUnanswered) {
    DeserterWorker worker;
    ASSERT_TRUE(worker.Launch());
    EXPECT_EQ(worker.SendCommand(CmdStop), E_FAIL);
    EXPECT_EQ(worker.SendCommand(CmdExit), E_FAIL);  // the thread is gone; no waiting
    worker.Join();
}

// Runs until released, then finishes a little later; its flags live outside the object because
// the object is destroyed while the thread still runs.
class SlowWorker final : public WorkerThread {
public:
    SlowWorker(std::atomic<bool>* entered, std::atomic<bool>* release, std::atomic<bool>* finished)
        : entered(entered), release(release), finished(finished) {}
    DWORD WorkerMain() override {
        std::atomic<bool>* releaseFlag = release;
        std::atomic<bool>* finishedFlag = finished;
        *entered = true;
        while (!*releaseFlag) {
            Sleep(1);
        }
        Sleep(20);
        *finishedFlag = true;
        return 0;
    }

private:
    std::atomic<bool>* entered;
    std::atomic<bool>* release;
    std::atomic<bool>* finished;
};

TEST(WorkerThread, DestructionWaitsForARunningThread) {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    SlowWorker* worker = new SlowWorker(&entered, &release, &finished);
    ASSERT_TRUE(worker->Launch());
    // Destroy only once the body runs, so the thread never meets a half-destroyed object.
    while (!entered) {
        Sleep(0);
    }
    std::thread releaser([&release] { release = true; });
    delete worker;
    EXPECT_TRUE(finished);
    releaser.join();
}

}  // namespace
