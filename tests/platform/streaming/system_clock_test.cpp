// The system reference clock: monotonic time and advise requests.
#include <gtest/gtest.h>

#include <dshow.h>

#include <thread>
#include <vector>

#include "test_filters.h"

namespace {

class ClockTest : public testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        ASSERT_EQ(S_OK, streamtest::CreateInstance(CLSID_SystemClock, IID_IReferenceClock, &clock));
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(nullptr, event);
    }
    void TearDown() override {
        if (clock != nullptr) clock->Release();
        if (event != nullptr) CloseHandle(event);
        CoUninitialize();
    }
    REFERENCE_TIME Now() {
        REFERENCE_TIME now = 0;
        EXPECT_EQ(S_OK, clock->GetTime(&now));
        return now;
    }

    IReferenceClock* clock = nullptr;
    HANDLE event = nullptr;
};

TEST_F(ClockTest, TimeNeverGoesBackwardsOnAnyThread) {
    EXPECT_EQ(E_POINTER, clock->GetTime(nullptr));
    std::vector<std::thread> readers;
    std::vector<bool> monotonic(4, true);
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            REFERENCE_TIME last = 0;
            for (int i = 0; i < 20000; ++i) {
                REFERENCE_TIME now = 0;
                clock->GetTime(&now);
                if (now < last) monotonic[t] = false;
                last = now;
            }
        });
    }
    for (auto& reader : readers) reader.join();
    for (bool ok : monotonic) EXPECT_TRUE(ok);

    // Two clocks share one time base.
    IReferenceClock* other = nullptr;
    ASSERT_EQ(S_OK, streamtest::CreateInstance(CLSID_SystemClock, IID_IReferenceClock, &other));
    const REFERENCE_TIME mine = Now();
    REFERENCE_TIME theirs = 0;
    other->GetTime(&theirs);
    EXPECT_LE(mine, theirs);
    other->Release();
}

TEST_F(ClockTest, AdviseTimeSignalsOnceItIsDue) {
    DWORD_PTR cookie = 0;
    ASSERT_EQ(S_OK, clock->AdviseTime(Now(), 20000, event, &cookie));  // 2 ms from now
    EXPECT_NE(0u, cookie);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 30000));
    EXPECT_EQ(S_FALSE, clock->Unadvise(cookie));  // a one-shot advice is gone once fired

    // An advice that lies in the past fires at once.
    ASSERT_EQ(S_OK, clock->AdviseTime(1, 0, event, &cookie));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 30000));

    EXPECT_EQ(E_POINTER, clock->AdviseTime(Now(), 0, event, nullptr));
    EXPECT_EQ(E_INVALIDARG, clock->AdviseTime(Now(), 0, nullptr, &cookie));
    EXPECT_EQ(E_INVALIDARG, clock->AdviseTime(INT64_MAX, 1, event, &cookie));  // overflow
}

TEST_F(ClockTest, AdvisePeriodicKeepsTickingUntilUnadvised) {
    DWORD_PTR cookie = 0;
    ASSERT_EQ(S_OK, clock->AdvisePeriodic(Now(), 10000, event, &cookie));  // every 1 ms
    for (int tick = 0; tick < 3; ++tick) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 30000));
    }
    EXPECT_EQ(S_OK, clock->Unadvise(cookie));
    EXPECT_EQ(S_FALSE, clock->Unadvise(cookie));
    EXPECT_EQ(E_INVALIDARG, clock->AdvisePeriodic(Now(), 0, event, &cookie));
    EXPECT_EQ(E_INVALIDARG, clock->AdvisePeriodic(-1, 10000, event, &cookie));

    // A clock released with advices pending shuts its thread down cleanly.
    ASSERT_EQ(S_OK, clock->AdvisePeriodic(Now(), 10000, event, &cookie));
    ASSERT_EQ(S_OK, clock->AdviseTime(Now(), 10000000, event, &cookie));
    clock->Release();
    clock = nullptr;
}

}  // namespace
