// The push-stream worker: activation, the delivery loop and its endings, commands while
// streaming, and many start/stop cycles against a consuming downstream pin.
#include <gtest/gtest.h>

#include <functional>

#include "fakes.h"
#include "source_fixture.h"

using testsupport::FakeAllocator;
using fakes::FakeGraph;
using fakes::FakeInputPin;
using fakes::TestSource;
using fakes::TestStream;
using fakes::VideoType;

namespace {

// Polls without a time limit; a hang here is a failure the test runner's timeout reports.
void WaitUntil(const std::function<bool()>& condition) {
    while (!condition()) {
        Sleep(1);
    }
}

class PushStream : public fakes::SourceFixture {
protected:
    void SetUp() override {
        SourceFixture::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(filter->JoinFilterGraph(&graph, u"source"), S_OK);
    }

    void Connect(bool peersAllocator = true) {
        peer.ownAllocator = peersAllocator ? &allocator : nullptr;
        ASSERT_EQ(pin->Connect(&peer, nullptr), S_OK);
    }

    void TearDown() override {
        EXPECT_TRUE(SUCCEEDED(filter->Stop()));
        filter->JoinFilterGraph(nullptr, nullptr);
        SourceFixture::TearDown();
        EXPECT_EQ(allocator.samplesOut, 0);
    }

    FakeGraph graph;
};

TEST_F(PushStream, UnconnectedPinStartsNoThread) {
    EXPECT_EQ(pin->Activate(), S_OK);
    EXPECT_FALSE(pin->HasThread());
    EXPECT_EQ(pin->Deactivate(), S_OK);
    EXPECT_EQ(filter->Run(0), S_OK);
    EXPECT_FALSE(pin->HasThread());
    EXPECT_EQ(pin->Activate(), S_FALSE);  // the filter is already started
}

TEST_F(PushStream, EndOfStreamIsSignalledOnce) {
    Connect();
    pin->fillAnswer = S_FALSE;
    ASSERT_EQ(filter->Pause(), S_OK);
    EXPECT_TRUE(allocator.committed);
    WaitUntil([&] { return peer.endOfStreamCount == 1; });
    // The idle worker answers the stop and exit at once.
    ASSERT_EQ(filter->Stop(), S_OK);
    EXPECT_FALSE(pin->HasThread());
    EXPECT_FALSE(allocator.committed);
    EXPECT_EQ(peer.endOfStreamCount, 1);
    EXPECT_EQ(pin->fills, 1);
    EXPECT_EQ(peer.received, 0);
    EXPECT_TRUE(graph.Events().empty());
}

TEST_F(PushStream, FillFailureAbortsWithAnEvent) {
    Connect();
    int round = 0;
    for (HRESULT failure : {E_FAIL, static_cast<HRESULT>(2)}) {
        ++round;
        pin->fillAnswer = failure;
        ASSERT_EQ(filter->Run(0), S_OK);
        WaitUntil([&] { return graph.Events().size() == static_cast<size_t>(round); });
        ASSERT_EQ(filter->Stop(), S_OK);
        EXPECT_EQ(peer.endOfStreamCount, round);
        const FakeGraph::Event event = graph.Events().back();
        EXPECT_EQ(event.code, EC_ERRORABORT);
        EXPECT_EQ(static_cast<HRESULT>(event.param1), failure);
        EXPECT_EQ(event.param2, 0);
    }
    EXPECT_EQ(peer.received, 0);
}

TEST_F(PushStream, RefusedDeliveryStopsSilentlyUntilRestarted) {
    Connect();
    peer.receiveAnswer = S_FALSE;
    ASSERT_EQ(filter->Pause(), S_OK);
    WaitUntil([&] { return peer.received == 1; });
    // Once a stop is answered the worker is certainly idle: nothing more was delivered.
    EXPECT_EQ(pin->SendCommand(CmdStop), S_OK);
    EXPECT_EQ(peer.received, 1);
    EXPECT_EQ(peer.endOfStreamCount, 0);
    EXPECT_TRUE(graph.Events().empty());
    ASSERT_EQ(filter->Stop(), S_OK);

    peer.receiveAnswer = S_OK;
    ASSERT_EQ(filter->Pause(), S_OK);
    WaitUntil([&] { return peer.received > 3; });
    ASSERT_EQ(filter->Stop(), S_OK);
}

TEST_F(PushStream, CommandsWhileStreaming) {
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    WaitUntil([&] { return peer.received > 0; });
    EXPECT_EQ(pin->SendCommand(CmdExit), E_UNEXPECTED);
    EXPECT_EQ(pin->SendCommand(CmdInit), E_UNEXPECTED);
    EXPECT_EQ(pin->SendCommand(CmdRun), S_OK);
    const int seen = peer.received;
    WaitUntil([&] { return peer.received > seen + 2; });  // streaming went on
    ASSERT_EQ(filter->Stop(), S_OK);
    EXPECT_FALSE(pin->HasThread());
    EXPECT_EQ(peer.endOfStreamCount, 0);
}

TEST_F(PushStream, FailedWorkerStartKeepsTheFilterStoppedAndUndoesItself) {
    Connect();
    pin->workerStartAnswer = E_ABORT;
    EXPECT_EQ(filter->Pause(), E_ABORT);
    FILTER_STATE state = State_Running;
    filter->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
    // Nothing of the failed attempt is left: no thread, no committed allocator, no frames.
    EXPECT_FALSE(pin->HasThread());
    EXPECT_FALSE(allocator.committed);
    EXPECT_EQ(peer.received, 0);
    // So the next start is a clean one.
    pin->workerStartAnswer = S_OK;
    ASSERT_EQ(filter->Pause(), S_OK);
    WaitUntil([&] { return peer.received > 0; });
    ASSERT_EQ(filter->Stop(), S_OK);
}

TEST_F(PushStream, StopEndsTheWorkerEvenWhenTheAllocatorWillNotDecommit) {
    Connect();
    allocator.decommitAnswer = E_ABORT;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(filter->Pause(), S_OK);
        WaitUntil([&] { return peer.received > 0; });
        EXPECT_EQ(filter->Stop(), E_ABORT);
        FILTER_STATE state = State_Running;
        filter->GetState(0, &state);
        EXPECT_EQ(state, State_Stopped);
        // The worker was joined: nothing can be delivered once Stop has returned.
        EXPECT_FALSE(pin->HasThread());
        const int delivered = peer.received;
        Sleep(20);
        EXPECT_EQ(peer.received, delivered);
        peer.received = 0;
    }
    allocator.decommitAnswer = S_OK;
}

TEST_F(PushStream, ManyPauseStopCyclesWithAMemoryAllocator) {
    Connect(false);
    ASSERT_NE(pin->ConnectionAllocator(), nullptr);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        const int before = peer.received;
        ASSERT_EQ(cycle % 2 == 0 ? filter->Pause() : filter->Run(0), S_OK);
        WaitUntil([&] { return peer.received > before; });
        ASSERT_EQ(filter->Stop(), S_OK);
        ASSERT_FALSE(pin->HasThread());
    }
    EXPECT_EQ(peer.endOfStreamCount, 0);
    EXPECT_TRUE(graph.Events().empty());
}

}  // namespace
