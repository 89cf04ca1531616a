// Queries from one thread while another changes what they read: the filter's name and graph
// (JoinFilterGraph frees the old name) and the pin's peer (Disconnect releases it). Run under
// the tsan preset, where an unlocked read shows as a data race.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "fakes.h"

using namespace fakes;
using testsupport::FakeAllocator;

namespace {

constexpr int kRounds = 2000;

TEST(ConcurrentQueries, FilterInfoWhileTheFilterIsRenamed) {
    TestSource* source = new TestSource();
    IBaseFilter* filter = fakes::AsFilter(source);
    FakeGraph graph;
    // Names of different lengths, so a read of a freed or half-replaced one would show.
    const std::u16string names[] = {std::u16string(3, u'a'), std::u16string(60, u'b'),
                                    std::u16string(127, u'c')};
    std::atomic<bool> done{false};
    std::thread renamer([&] {
        for (int round = 0; round < kRounds; ++round) {
            filter->JoinFilterGraph(&graph, names[round % 3].c_str());
            if (round % 5 == 0) filter->JoinFilterGraph(nullptr, nullptr);
        }
        done = true;
    });
    int reads = 0;
    while (!done || reads == 0) {
        FILTER_INFO info;
        EXPECT_EQ(filter->QueryFilterInfo(&info), S_OK);
        const std::u16string name(info.achName);
        if (info.pGraph == nullptr) {
            EXPECT_TRUE(name.empty());
        } else {
            EXPECT_TRUE(name == names[0] || name == names[1] || name == names[2]);
            info.pGraph->Release();
        }
        ++reads;
    }
    renamer.join();
    filter->JoinFilterGraph(nullptr, nullptr);
    filter->Release();
    EXPECT_EQ(testsupport::References(graph), 1u);
}

TEST(ConcurrentQueries, ConnectedToWhileThePinConnectsAndDisconnects) {
    CoInitialize(nullptr);
    TestSource* source = new TestSource();
    IBaseFilter* filter = fakes::AsFilter(source);
    TestStream* pin = source->AddStream(u"Output");
    ASSERT_NE(pin, nullptr);
    pin->singleType = VideoType(MEDIASUBTYPE_RGB24);
    FakeInputPin peer;
    FakeAllocator allocator;
    peer.acceptedSubtypes = {MEDIASUBTYPE_RGB24};
    peer.ownAllocator = &allocator;

    std::atomic<bool> done{false};
    std::thread connector([&] {
        for (int round = 0; round < kRounds; ++round) {
            EXPECT_EQ(pin->Connect(&peer, nullptr), S_OK);
            EXPECT_EQ(pin->Disconnect(), S_OK);
            peer.Disconnect();
        }
        done = true;
    });
    int reads = 0;
    while (!done || reads == 0) {
        IPin* connected = nullptr;
        const HRESULT status = pin->ConnectedTo(&connected);
        if (status == S_OK) {
            EXPECT_EQ(connected, static_cast<IPin*>(&peer));
            connected->Release();
        } else {
            EXPECT_EQ(status, VFW_E_NOT_CONNECTED);
            EXPECT_EQ(connected, nullptr);
        }
        ++reads;
    }
    connector.join();
    filter->Release();
    EXPECT_EQ(testsupport::References(peer), 1u);
    EXPECT_EQ(testsupport::References(allocator), 1u);
    CoUninitialize();
}

}  // namespace
