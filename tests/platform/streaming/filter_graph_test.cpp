// The Filter Graph Manager driving the test filters: membership and names, connections, state
// changes with samples flowing, order of state changes, back-pressure, events, teardown, and
// concurrent state changes.
#include <gtest/gtest.h>

#include <dshow.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "test_filters.h"

namespace {

using streamtest::CallLog;
using streamtest::TestFilter;
using Kind = streamtest::TestFilter::Kind;

class GraphTest : public testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        baselineFilters = TestFilter::LiveCount();
        ASSERT_EQ(S_OK, streamtest::CreateInstance(CLSID_FilterGraph, IID_IGraphBuilder, &graph));
        ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control)));
        ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&events)));
        CallLog::Take();
    }
    void TearDown() override {
        ReleaseGraph();
        for (TestFilter* filter : owned) filter->Release();
        owned.clear();
        EXPECT_EQ(baselineFilters, TestFilter::LiveCount());  // nothing leaked a filter
        CoUninitialize();
    }
    void ReleaseGraph() {
        if (events != nullptr) events->Release();
        if (control != nullptr) control->Release();
        if (graph != nullptr) graph->Release();
        events = nullptr;
        control = nullptr;
        graph = nullptr;
    }
    TestFilter* Add(Kind kind, const std::string& label, const char16_t* name) {
        TestFilter* filter = TestFilter::Create(kind, label);
        owned.push_back(filter);
        EXPECT_TRUE(SUCCEEDED(graph->AddFilter(filter, name)));
        return filter;
    }
    // source -> renderer, connected.
    void BuildChain() {
        source = Add(Kind::Source, "source", u"Source");
        renderer = Add(Kind::Renderer, "renderer", u"Renderer");
        ASSERT_EQ(S_OK, graph->ConnectDirect(source->OutputPin(), renderer->InputPin(), nullptr));
    }
    OAFilterState GraphState() {
        OAFilterState state = -1;
        EXPECT_EQ(S_OK, control->GetState(0, &state));
        return state;
    }

    int baselineFilters = 0;
    IGraphBuilder* graph = nullptr;
    IMediaControl* control = nullptr;
    IMediaEvent* events = nullptr;
    std::vector<TestFilter*> owned;
    TestFilter* source = nullptr;
    TestFilter* renderer = nullptr;
};

TEST_F(GraphTest, AddFilterJoinsWithUniqueNames) {
    TestFilter* first = Add(Kind::Renderer, "a", u"Render");
    TestFilter* second = TestFilter::Create(Kind::Renderer, "b");
    owned.push_back(second);
    EXPECT_EQ(VFW_S_DUPLICATE_NAME, graph->AddFilter(second, u"Render"));
    TestFilter* third = Add(Kind::Renderer, "c", nullptr);
    TestFilter* fourth = Add(Kind::Renderer, "d", std::u16string(200, u'x').c_str());

    EXPECT_EQ(u"Render", first->Name());
    EXPECT_EQ(u"Render 0001", second->Name());
    EXPECT_EQ(u"0001", third->Name());
    EXPECT_EQ(std::u16string(127, u'x'), fourth->Name());  // fits FILTER_INFO

    IFilterGraph* asFilterGraph = nullptr;
    ASSERT_EQ(S_OK, graph->QueryInterface(IID_IFilterGraph, reinterpret_cast<void**>(&asFilterGraph)));
    EXPECT_EQ(asFilterGraph, first->Graph());
    IMediaEventSink* sink = nullptr;
    EXPECT_EQ(S_OK, asFilterGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)));
    ASSERT_NE(nullptr, sink);
    sink->Release();
    asFilterGraph->Release();

    EXPECT_EQ(E_INVALIDARG, graph->AddFilter(first, u"Again"));  // already a member
    EXPECT_EQ(E_POINTER, graph->AddFilter(nullptr, u"None"));

    IBaseFilter* found = nullptr;
    ASSERT_EQ(S_OK, graph->FindFilterByName(u"Render 0001", &found));
    EXPECT_EQ(static_cast<IBaseFilter*>(second), found);
    found->Release();
    EXPECT_EQ(VFW_E_NOT_FOUND, graph->FindFilterByName(u"render", &found));
    EXPECT_EQ(nullptr, found);

    IEnumFilters* enumerator = nullptr;
    ASSERT_EQ(S_OK, graph->EnumFilters(&enumerator));
    std::vector<IBaseFilter*> listed;
    IBaseFilter* filter = nullptr;
    while (enumerator->Next(1, &filter, nullptr) == S_OK) listed.push_back(filter);
    enumerator->Release();
    ASSERT_EQ(4u, listed.size());
    EXPECT_EQ(static_cast<IBaseFilter*>(first), listed[0]);
    EXPECT_EQ(static_cast<IBaseFilter*>(fourth), listed[3]);
    for (IBaseFilter* each : listed) each->Release();
}

TEST_F(GraphTest, ConnectDirectChecksMembershipAndState) {
    source = Add(Kind::Source, "source", u"Source");
    TestFilter* outsider = TestFilter::Create(Kind::Renderer, "outsider");
    owned.push_back(outsider);
    EXPECT_EQ(VFW_E_NOT_IN_GRAPH, graph->ConnectDirect(source->OutputPin(), outsider->InputPin(), nullptr));
    EXPECT_EQ(E_POINTER, graph->ConnectDirect(nullptr, outsider->InputPin(), nullptr));

    renderer = Add(Kind::Renderer, "renderer", u"Renderer");
    EXPECT_EQ(VFW_E_INVALID_DIRECTION, graph->ConnectDirect(renderer->InputPin(), source->OutputPin(), nullptr));
    ASSERT_EQ(S_OK, graph->ConnectDirect(source->OutputPin(), renderer->InputPin(), nullptr));
    IPin* peer = nullptr;
    ASSERT_EQ(S_OK, source->OutputPin()->ConnectedTo(&peer));
    EXPECT_EQ(renderer->InputPin(), peer);
    peer->Release();

    ASSERT_EQ(S_OK, control->Pause());
    TestFilter* late = TestFilter::Create(Kind::Renderer, "late");
    owned.push_back(late);
    EXPECT_EQ(VFW_E_NOT_STOPPED, graph->AddFilter(late, u"Late"));
    EXPECT_EQ(VFW_E_NOT_STOPPED, graph->Disconnect(source->OutputPin()));
    EXPECT_EQ(VFW_E_NOT_STOPPED, graph->ConnectDirect(source->OutputPin(), renderer->InputPin(), nullptr));
    EXPECT_EQ(VFW_E_NOT_STOPPED, graph->RemoveFilter(renderer));
    ASSERT_EQ(S_OK, control->Stop());

    EXPECT_EQ(S_OK, graph->Disconnect(source->OutputPin()));
    EXPECT_EQ(S_OK, graph->Disconnect(renderer->InputPin()));
    EXPECT_EQ(VFW_E_NOT_CONNECTED, source->OutputPin()->ConnectedTo(&peer));
}

TEST_F(GraphTest, SamplesFlowWhilePausedAndRunningAndStopWithTheGraph) {
    BuildChain();
    EXPECT_EQ(State_Stopped, GraphState());
    ASSERT_EQ(S_OK, control->Pause());
    EXPECT_EQ(State_Paused, GraphState());
    ASSERT_TRUE(renderer->WaitForReceived(3));

    // Both filters got the graph's clock, and it runs forward.
    ASSERT_NE(nullptr, source->Clock());
    EXPECT_EQ(source->Clock(), renderer->Clock());
    REFERENCE_TIME before = 0, after = 0;
    EXPECT_EQ(S_OK, source->Clock()->GetTime(&before));
    EXPECT_EQ(S_OK, source->Clock()->GetTime(&after));
    EXPECT_LE(before, after);

    ASSERT_EQ(S_OK, control->Run());
    EXPECT_EQ(State_Running, GraphState());
    const int atRun = renderer->Received();
    ASSERT_TRUE(renderer->WaitForReceived(atRun + 3));
    EXPECT_EQ(4096, renderer->LastSampleLength());
    EXPECT_EQ(0, renderer->LastSampleStart() % 200000);

    CallLog::Take();
    ASSERT_EQ(S_OK, control->Run());  // running already: only the start time changes
    const std::vector<std::string> log = CallLog::Take();
    EXPECT_EQ((std::vector<std::string>{"renderer", "source"}), CallLog::Labels(log, "Run"));
    EXPECT_TRUE(CallLog::Labels(log, "Pause").empty());
    EXPECT_TRUE(CallLog::Labels(log, "Stop").empty());
    const int atSecondRun = renderer->Received();
    ASSERT_TRUE(renderer->WaitForReceived(atSecondRun + 2));

    ASSERT_EQ(S_OK, control->Stop());
    EXPECT_EQ(State_Stopped, GraphState());
    FILTER_STATE sourceState = State_Running;
    EXPECT_EQ(S_OK, source->GetState(0, &sourceState));
    EXPECT_EQ(State_Stopped, sourceState);
    const int atStop = renderer->Received();
    std::this_thread::yield();
    EXPECT_EQ(atStop, renderer->Received());  // the source's worker has ended

    // And it starts again from stopped.
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_TRUE(renderer->WaitForReceived(atStop + 2));
    ASSERT_EQ(S_OK, control->Stop());
}

TEST_F(GraphTest, StateChangesGoDownstreamFirst) {
    // Added upstream first, so the order cannot come from the order of addition.
    source = Add(Kind::Source, "source", u"Source");
    TestFilter* middle = Add(Kind::PassThrough, "middle", u"Middle");
    renderer = Add(Kind::Renderer, "renderer", u"Renderer");
    ASSERT_EQ(S_OK, graph->ConnectDirect(source->OutputPin(), middle->InputPin(), nullptr));
    ASSERT_EQ(S_OK, graph->ConnectDirect(middle->OutputPin(), renderer->InputPin(), nullptr));
    CallLog::Take();

    ASSERT_EQ(S_OK, control->Run());
    std::vector<std::string> log = CallLog::Take();
    const std::vector<std::string> downstreamFirst{"renderer", "middle", "source"};
    EXPECT_EQ(downstreamFirst, CallLog::Labels(log, "Pause"));
    EXPECT_EQ(downstreamFirst, CallLog::Labels(log, "Run"));
    // Every filter has the clock before the first one leaves stopped.
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(3u, CallLog::Labels(log, "SetSyncSource").size());
    for (size_t i = 0; i < 3; ++i) EXPECT_NE(std::string::npos, log[i].find(":SetSyncSource"));
    ASSERT_TRUE(renderer->WaitForReceived(2));  // through the pass-through

    ASSERT_EQ(S_OK, control->Stop());
    log = CallLog::Take();
    EXPECT_EQ(downstreamFirst, CallLog::Labels(log, "Stop"));
}

TEST_F(GraphTest, StopReleasesRendererHoldingItsUpstream) {
    BuildChain();
    renderer->HoldReceive();
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_TRUE(renderer->WaitUntilHolding());  // the source's worker is stuck in Receive

    auto stopped = std::async(std::launch::async, [this] { return control->Stop(); });
    const bool returned = stopped.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!returned) renderer->Stop();  // let the stuck worker go so the test can end
    ASSERT_TRUE(returned);
    EXPECT_EQ(S_OK, stopped.get());
    EXPECT_EQ(State_Stopped, GraphState());
}

TEST_F(GraphTest, ErrorAbortFromFilterThreadReachesApplication) {
    BuildChain();
    source->FailAfter(2);
    OAEVENT handle = 0;
    ASSERT_EQ(S_OK, events->GetEventHandle(&handle));
    ASSERT_NE(0, handle);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 0));

    ASSERT_EQ(S_OK, control->Pause());
    LONG code = 0;
    LONG_PTR param1 = 0, param2 = 0;
    ASSERT_EQ(S_OK, events->GetEvent(&code, &param1, &param2, 30000));
    EXPECT_EQ(EC_ERRORABORT, code);
    EXPECT_EQ(E_FAIL, static_cast<HRESULT>(param1));
    EXPECT_EQ(0, param2);
    EXPECT_EQ(S_OK, events->FreeEventParams(code, param1, param2));
    EXPECT_EQ(2, renderer->Received());

    // The queue is empty now: the handle is reset and GetEvent gives up at once.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 0));
    EXPECT_EQ(E_ABORT, events->GetEvent(&code, &param1, &param2, 0));
    LONG completion = 0;
    EXPECT_EQ(S_OK, events->WaitForCompletion(0, &completion));
    EXPECT_EQ(EC_ERRORABORT, completion);
    ASSERT_EQ(S_OK, control->Stop());
}

TEST_F(GraphTest, CompletionWaitsForEveryRendererUnlessHandlingIsCancelled) {
    // Two chains: two renderers.
    BuildChain();
    TestFilter* source2 = Add(Kind::Source, "source2", u"Source 2");
    TestFilter* renderer2 = Add(Kind::Renderer, "renderer2", u"Renderer 2");
    ASSERT_EQ(S_OK, graph->ConnectDirect(source2->OutputPin(), renderer2->InputPin(), nullptr));
    IMediaEventSink* sink = nullptr;
    ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)));

    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    EXPECT_EQ(VFW_E_WRONG_STATE, events->WaitForCompletion(0, &code));  // stopped, nothing to wait for
    ASSERT_EQ(S_OK, control->Pause());
    EXPECT_EQ(E_ABORT, events->WaitForCompletion(0, &code));
    EXPECT_EQ(S_OK, sink->Notify(EC_COMPLETE, S_OK, 0));
    EXPECT_EQ(E_ABORT, events->GetEvent(&code, &p1, &p2, 0));  // one renderer still going
    EXPECT_EQ(S_OK, sink->Notify(EC_COMPLETE, S_OK, 0));
    ASSERT_EQ(S_OK, events->GetEvent(&code, &p1, &p2, 0));
    EXPECT_EQ(EC_COMPLETE, code);
    EXPECT_EQ(S_OK, events->WaitForCompletion(0, &code));
    EXPECT_EQ(EC_COMPLETE, code);
    EXPECT_EQ(S_OK, sink->Notify(EC_COMPLETE, S_OK, 0));  // a straggler is not passed on again
    EXPECT_EQ(E_ABORT, events->GetEvent(&code, &p1, &p2, 0));
    ASSERT_EQ(S_OK, control->Stop());

    EXPECT_EQ(S_OK, events->CancelDefaultHandling(EC_COMPLETE));
    ASSERT_EQ(S_OK, control->Pause());
    EXPECT_EQ(S_OK, sink->Notify(EC_COMPLETE, 7, 8));
    ASSERT_EQ(S_OK, events->GetEvent(&code, &p1, &p2, 0));
    EXPECT_EQ(EC_COMPLETE, code);
    EXPECT_EQ(7, p1);
    EXPECT_EQ(8, p2);
    EXPECT_EQ(S_OK, events->RestoreDefaultHandling(EC_COMPLETE));
    EXPECT_EQ(S_FALSE, events->CancelDefaultHandling(EC_ERRORABORT));  // nothing to cancel
    ASSERT_EQ(S_OK, control->Stop());
    sink->Release();
}

TEST_F(GraphTest, RemoveFilterDisconnectsBothSides) {
    BuildChain();
    EXPECT_EQ(S_OK, graph->RemoveFilter(renderer));
    IPin* peer = nullptr;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, source->OutputPin()->ConnectedTo(&peer));
    EXPECT_EQ(VFW_E_NOT_CONNECTED, renderer->InputPin()->ConnectedTo(&peer));
    EXPECT_EQ(nullptr, renderer->Graph());
    EXPECT_EQ(u"", renderer->Name());
    EXPECT_EQ(VFW_E_NOT_FOUND, graph->RemoveFilter(renderer));
    IBaseFilter* found = nullptr;
    EXPECT_EQ(VFW_E_NOT_FOUND, graph->FindFilterByName(u"Renderer", &found));
    // The source alone still runs and stops.
    EXPECT_EQ(S_OK, control->Run());
    EXPECT_EQ(S_OK, control->Stop());
}

TEST_F(GraphTest, ReleasingTheGraphStopsAndRemovesEveryFilter) {
    BuildChain();
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_TRUE(renderer->WaitForReceived(1));
    ReleaseGraph();
    FILTER_STATE state = State_Running;
    EXPECT_EQ(S_OK, source->GetState(0, &state));
    EXPECT_EQ(State_Stopped, state);
    EXPECT_EQ(nullptr, source->Graph());
    EXPECT_EQ(nullptr, renderer->Graph());
    IPin* peer = nullptr;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, source->OutputPin()->ConnectedTo(&peer));
    EXPECT_EQ(nullptr, source->Clock());  // the graph took its clock back
}

TEST_F(GraphTest, ConcurrentStateChangesNeitherDeadlockNorLeak) {
    BuildChain();
    auto cycle = [this](int seed) {
        for (int i = 0; i < 500; ++i) {
            switch ((i + seed) % 3) {
                case 0: EXPECT_EQ(S_OK, control->Run()); break;
                case 1: EXPECT_EQ(S_OK, control->Pause()); break;
                default: EXPECT_EQ(S_OK, control->Stop()); break;
            }
        }
    };
    std::thread first(cycle, 0);
    std::thread second(cycle, 1);
    first.join();
    second.join();
    ASSERT_EQ(S_OK, control->Stop());
    EXPECT_EQ(State_Stopped, GraphState());
    ASSERT_EQ(S_OK, control->Run());  // still healthy
    ASSERT_TRUE(renderer->WaitForReceived(renderer->Received() + 2));
    ASSERT_EQ(S_OK, control->Stop());
}

}  // namespace
