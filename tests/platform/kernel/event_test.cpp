#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(EventTest, AutomaticResetIsConsumedByOneWait) {
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);  // initially signalled
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    SetEvent(event);
    SetEvent(event);  // signals do not accumulate
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

// Each SetEvent on an automatic-reset event lets exactly one of the blocked waiters through.
TEST(EventTest, AutomaticResetReleasesOneWaiterPerSet) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    constexpr int kWaiters = 4;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
            ++released;
            SetEvent(done);
        });
    }
    for (int round = 1; round <= kWaiters; ++round) {
        SetEvent(event);
        ASSERT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
        // Give a wrongly released second waiter the chance to show up.
        Sleep(20);
        EXPECT_EQ(released.load(), round);
    }
    for (auto& waiter : waiters) waiter.join();
    CloseHandle(event);
    CloseHandle(done);
}

TEST(EventTest, WaitForMultipleObjectsAnyAndAll) {
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[] = {first, second};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(second);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(second);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    // A wait-all that fails takes nothing: the automatic event is still signalled.
    SetEvent(first);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);

    std::thread setter([&] {
        Sleep(10);
        SetEvent(second);
    });
    ResetEvent(first);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
    CloseHandle(first);
    CloseHandle(second);
}

TEST(EventTest, InvalidHandlesFailCleanly) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(event));
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    int notAHandle = 0;
    EXPECT_EQ(WaitForSingleObject(&notAHandle, INFINITE), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, nullptr, FALSE, 0), WAIT_FAILED);
}

}  // namespace
