// The device's quality messages against a source that reacts to them as the colour-bar stream
// does, with frames already on their way through the encoder and the muxer.
#include <gtest/gtest.h>

#include <deque>

#include "dv/filters/device_rate_control.h"

namespace {

// The colour-bar stream's side: whole-millisecond periods, period * 1000 / Proportion clamped to
// 10..1000, and a positive Late added to the next start.
struct Source {
    int periodMs = 20;
    REFERENCE_TIME next = 0;
    int messages = 0;

    std::pair<REFERENCE_TIME, REFERENCE_TIME> Fill() {
        const REFERENCE_TIME start = next;
        next += REFERENCE_TIME(periodMs) * 10000;
        return {start, next};
    }
    void Notify(const Quality& q) {
        ++messages;
        periodMs = q.Proportion > 0 ? periodMs * 1000 / q.Proportion : 1000;
        if (periodMs > 1000) periodMs = 1000;
        if (periodMs < 10) periodMs = 10;
        if (q.Late > 0) next += q.Late;
    }
};

struct StreamRun {
    std::vector<REFERENCE_TIME> starts;
    int messages = 0;
    int finalPeriodMs = 0;
};

// Streams `frames` frames with `inFlight` of them between the source and the device.
StreamRun Stream(int frames, int inFlight, int initialPeriodMs, bool sourceListens = true) {
    Source source;
    source.periodMs = initialPeriodMs;
    dv::DeviceRateControl control;
    std::deque<std::pair<REFERENCE_TIME, REFERENCE_TIME>> pipeline;
    StreamRun run;
    for (int i = 0; i < frames; ++i) {
        pipeline.push_back(source.Fill());
        if (int(pipeline.size()) <= inFlight) continue;
        const auto [start, stop] = pipeline.front();
        pipeline.pop_front();
        run.starts.push_back(start);
        Quality q {};
        if (control.OnSample(start, stop, &q)) {
            ++run.messages;
            if (sourceListens) source.Notify(q);
        }
    }
    run.finalPeriodMs = source.periodMs;
    return run;
}

// Average distance between starts over the last `window` frames.
double AverageStep(const StreamRun& run, size_t window) {
    const size_t last = run.starts.size() - 1;
    return double(run.starts[last] - run.starts[last - window]) / double(window);
}

TEST(DeviceRateControl, SettlesTheSourceAtTheDvFramePeriodWhateverIsInFlight) {
    for (int inFlight : {0, 1, 3, 6}) {
        for (int periodMs : {20, 10, 40, 1000}) {
            const StreamRun run = Stream(900, inFlight, periodMs);
            SCOPED_TRACE(testing::Message() << "in flight " << inFlight << ", from " << periodMs << " ms");
            EXPECT_EQ(33, run.finalPeriodMs);
            // 1001/30000 s = 333666.7 units a frame, over any stretch once settled.
            EXPECT_NEAR(333667.0, AverageStep(run, 300), 60.0);
            EXPECT_NEAR(333667.0, AverageStep(run, 90), 200.0);
            // Never more than one message per frame that can answer it.
            EXPECT_LE(run.messages, 900 / (inFlight + 1) + 2);
        }
    }
}

TEST(DeviceRateControl, UpstreamThatIgnoresMessagesIsNotFlooded) {
    const StreamRun run = Stream(300, 0, 20, /*sourceListens=*/false);
    EXPECT_LE(run.messages, 300 / dv::DeviceRateControl::kMaxWaitFrames + 1);
    EXPECT_GE(run.messages, 2);
}

TEST(DeviceRateControl, ResetStartsANewRun) {
    dv::DeviceRateControl control;
    Quality q {};
    ASSERT_TRUE(control.OnSample(0, 200000, &q));  // 20 ms frames: a period message at once
    EXPECT_EQ(606, q.Proportion);
    EXPECT_EQ(0, q.Late);
    control.Reset();
    // A fresh run of 33 ms frames starting anywhere needs nothing at first.
    EXPECT_FALSE(control.OnSample(5000000, 5330000, &q));
}

}  // namespace
