// The set-up the pin tests share: a test source with one RGB24 output pin and a fake downstream
// pin that accepts RGB24. Tearing down checks that every reference taken on the fakes came back
// and every framework object is gone.
#pragma once

#include <gtest/gtest.h>

#include "fakes.h"
#include "framework/module_state.h"

namespace fakes {

class SourceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        objectsBefore = liveObjectCount;
        source = new TestSource();
        filter = AsFilter(source);
        pin = source->AddStream(u"Output");
        ASSERT_NE(pin, nullptr);
        pin->singleType = VideoType(MEDIASUBTYPE_RGB24);
        peer.acceptedSubtypes = {MEDIASUBTYPE_RGB24};
    }

    void TearDown() override {
        peer.Disconnect();
        pin->Disconnect();
        filter->Release();
        EXPECT_EQ(testsupport::References(peer), 1u);
        EXPECT_EQ(testsupport::References(allocator), 1u);
        EXPECT_EQ(liveObjectCount, objectsBefore);
        CoUninitialize();
    }

    LONG objectsBefore = 0;
    TestSource* source = nullptr;
    IBaseFilter* filter = nullptr;
    TestStream* pin = nullptr;
    FakeInputPin peer;
    testsupport::FakeAllocator allocator;
};

}  // namespace fakes
