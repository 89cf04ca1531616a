#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Gate {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD seenId = 0;
    ~Gate() { CloseHandle(go); }
};

DWORD WINAPI WaitThenExit(LPVOID parameter) {
    auto* gate = static_cast<Gate*>(parameter);
    gate->seenId = GetCurrentThreadId();
    WaitForSingleObject(gate->go, INFINITE);
    return 7;
}

TEST(ThreadTest, HandleIsWaitableAndGivesExitCode) {
    Gate gate;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitThenExit, &gate, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);

    SetEvent(gate.go);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(gate.seenId, id);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
}

struct Relay {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Relay() {
        CloseHandle(go);
        CloseHandle(finished);
    }
};

DWORD WINAPI WaitThenSignal(LPVOID parameter) {
    auto* relay = static_cast<Relay*>(parameter);
    WaitForSingleObject(relay->go, INFINITE);
    SetEvent(relay->finished);
    return 0;
}

// Closing the handle neither stops the thread nor frees what it still needs.
TEST(ThreadTest, ClosingHandleLeavesThreadRunning) {
    Relay relay;
    HANDLE thread = CreateThread(nullptr, 0, WaitThenSignal, &relay, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(CloseHandle(thread));
    SetEvent(relay.go);
    EXPECT_EQ(WaitForSingleObject(relay.finished, INFINITE), WAIT_OBJECT_0);
}

TEST(CriticalSectionTest, IsRecursiveAndExcludesOthers) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));

    BOOL otherGotIt = TRUE;
    std::thread([&] { otherGotIt = TryEnterCriticalSection(&section); }).join();
    EXPECT_FALSE(otherGotIt);

    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    std::thread([&] { otherGotIt = TryEnterCriticalSection(&section); }).join();
    EXPECT_FALSE(otherGotIt);  // still held once
    LeaveCriticalSection(&section);
    std::thread([&] {
        otherGotIt = TryEnterCriticalSection(&section);
        if (otherGotIt) LeaveCriticalSection(&section);
    }).join();
    EXPECT_TRUE(otherGotIt);
    DeleteCriticalSection(&section);
}

TEST(CriticalSectionTest, SerialisesIncrements) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long counter = 0;  // deliberately not atomic: the section must protect it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                EnterCriticalSection(&section);
                EnterCriticalSection(&section);
                ++counter;
                LeaveCriticalSection(&section);
                LeaveCriticalSection(&section);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&section);
}

// A zero-filled record in static storage works without InitializeCriticalSection.
TEST(CriticalSectionTest, ZeroFilledRecordWorks) {
    static CRITICAL_SECTION section;
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

}  // namespace
