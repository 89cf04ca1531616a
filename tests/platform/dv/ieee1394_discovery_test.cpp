// Which IEEE 1394 nodes count as DV devices, tried on a made-up bus.
#include <gtest/gtest.h>

#include <libavc1394/avc1394.h>

#include <unistd.h>

#include "dv/ieee1394/ieee1394_discovery.h"
#include "dv/filters/transport_factory.h"

namespace {

struct FakeNode {
    bool avc = true;
    bool vcr = false;
    bool camera = false;
    bool otherSubunit = false;
    uint64_t guid = 0;
};

class FakeBus : public dv::Ieee1394Bus {
public:
    std::vector<std::vector<FakeNode>> ports;
    std::vector<int> localNode;
    std::vector<bool> usable;

    int PortCount() override { return int(ports.size()); }
    bool SelectPort(int port) override {
        selected = port;
        return usable.empty() || usable[size_t(port)];
    }
    int NodeCount() override { return int(ports[size_t(selected)].size()); }
    int LocalNode() override { return localNode[size_t(selected)]; }
    bool IsAvcUnit(int node) override { return Node(node).avc; }
    bool HasSubunit(int node, int type) override {
        if (type == AVC1394_SUBUNIT_TYPE_VCR) return Node(node).vcr;
        if (type == AVC1394_SUBUNIT_TYPE_VIDEO_CAMERA) return Node(node).camera;
        return Node(node).otherSubunit;
    }
    uint64_t Guid(int node) override { return Node(node).guid; }

private:
    const FakeNode& Node(int node) { return ports[size_t(selected)][size_t(node)]; }
    int selected = 0;
};

TEST(Ieee1394Discovery, KeepsAvcTapeAndCameraUnitsOnly) {
    FakeBus bus;
    bus.ports = {{
        {.avc = true, .vcr = true, .guid = 0x1111},                        // 0: our adapter
        {.avc = true, .vcr = true, .guid = 0x0080880000a1b2c3},           // 1: a deck
        {.avc = false, .vcr = true, .guid = 0x2222},                       // 2: not AV/C (a disk)
        {.avc = true, .otherSubunit = true, .guid = 0x3333},               // 3: a tuner
        {.avc = true, .camera = true, .guid = 0x0080880000d4e5f6},        // 4: a camera
        {.avc = true, .vcr = true, .camera = true, .guid = 0},             // 5: unnamed
    }};
    bus.localNode = {0};
    const auto units = dv::Ieee1394Discovery::FindUnits(bus);
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(0x0080880000a1b2c3u, units[0].guid);
    EXPECT_TRUE(units[0].vcr);
    EXPECT_EQ(1, units[0].node);
    EXPECT_EQ(0x0080880000d4e5f6u, units[1].guid);
    EXPECT_TRUE(units[1].camera);
    EXPECT_EQ(4, units[1].node);
}

TEST(Ieee1394Discovery, ListsAUnitSeenThroughTwoAdaptersOnceAndSkipsUnusablePorts) {
    FakeBus bus;
    const FakeNode deck {.avc = true, .vcr = true, .guid = 0xabc};
    const FakeNode camera {.avc = true, .camera = true, .guid = 0xdef};
    bus.ports = {{deck, {}}, {{}, {}}, {{}, deck, camera}};
    bus.localNode = {1, 0, 0};
    bus.usable = {true, false, true};
    const auto units = dv::Ieee1394Discovery::FindUnits(bus);
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(0xabcu, units[0].guid);
    EXPECT_EQ(0, units[0].port);
    EXPECT_EQ(0xdefu, units[1].guid);
    EXPECT_EQ(2, units[1].port);
    EXPECT_EQ(2, units[1].node);

    dv::Ieee1394Unit found;
    EXPECT_TRUE(dv::Ieee1394Discovery::FindUnit(bus, 0xdef, &found));
    EXPECT_EQ(2, found.node);
    EXPECT_FALSE(dv::Ieee1394Discovery::FindUnit(bus, 0x999, &found));
}

TEST(Ieee1394Discovery, DevicePathsNameTheUniqueId) {
    EXPECT_EQ("1394:0080880000a1b2c3", dv::Ieee1394Discovery::DevicePath(0x0080880000a1b2c3));
    uint64_t guid = 0;
    ASSERT_TRUE(dv::Ieee1394Discovery::ParseDevicePath("1394:0080880000A1B2C3", &guid));
    EXPECT_EQ(0x0080880000a1b2c3u, guid);
    for (const char* bad : {"1394:", "1394:0080880000a1b2c", "1394:0080880000a1b2c3f",
                            "1394:00808800zza1b2c3", "1394:0000000000000000", "deck:/tmp/x.sock"}) {
        EXPECT_FALSE(dv::Ieee1394Discovery::ParseDevicePath(bad, &guid)) << bad;
    }
}

TEST(Ieee1394Discovery, AUnitThatIsNotThereFailsAtOnceWithoutHanging) {
    if (access("/dev/fw0", F_OK) == 0) GTEST_SKIP() << "a 1394 adapter is present";
    EXPECT_TRUE(dv::Ieee1394Discovery::ScanSystem().empty());
    EXPECT_EQ(nullptr, dv::CreateTransport("1394:zz"));
    EXPECT_EQ(nullptr, dv::CreateTransport("deck:"));
    auto transport = dv::CreateTransport("1394:0080880000a1b2c3");
    ASSERT_NE(nullptr, transport);
    EXPECT_EQ(dv::kTransportDeviceGone, transport->Open());
    const std::vector<uint8_t> frame(120000);
    EXPECT_EQ(dv::kTransportDeviceGone, transport->SendFrame(frame.data(), frame.size()));
    transport->Close();
}

}  // namespace
