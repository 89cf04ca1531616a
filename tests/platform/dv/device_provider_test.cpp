// The DV device provider: running decks are devices, killed or absent ones are not.
#include <gtest/gtest.h>

#include "tests/support/dv/deck_test_process.h"
#include "dv/filters/device_provider.h"
#include "dv/filters/device_text.h"
#include "dv/filters/dv_classes.h"

using decktest::DeckProcess;
using decktest::TempDir;

namespace {

struct Device {
    std::string name;
    CLSID clsid;
    std::string path;
};

std::vector<Device> List(IDeviceProvider* provider, REFCLSID category) {
    ULONG count = 0;
    EXPECT_EQ(S_OK, provider->Snapshot(category, &count));
    std::vector<Device> devices;
    for (ULONG i = 0; i < count; ++i) {
        BSTR name = nullptr, path = nullptr;
        CLSID clsid {};
        EXPECT_EQ(S_OK, provider->GetDevice(i, &name, &clsid, &path));
        devices.push_back({dv::Utf8FromWide(name), clsid, dv::Utf8FromWide(path)});
        SysFreeString(name);
        SysFreeString(path);
    }
    return devices;
}

class DeviceProviderTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, dv::CreateDeviceProvider(nullptr, IID_IDeviceProvider,
                                                 reinterpret_cast<void**>(&provider)));
    }
    void TearDown() override {
        if (provider != nullptr) provider->Release();
    }
    IDeviceProvider* provider = nullptr;
};

TEST_F(DeviceProviderTest, ListsNothingWithoutDecksOrAdapters) {
    if (access("/dev/fw0", F_OK) == 0) GTEST_SKIP() << "a 1394 adapter is present";
    EXPECT_TRUE(List(provider, CLSID_VideoInputDeviceCategory).empty());
    BSTR name = nullptr, path = nullptr;
    CLSID clsid {};
    EXPECT_EQ(E_INVALIDARG, provider->GetDevice(0, &name, &clsid, &path));
    EXPECT_EQ(nullptr, name);
}

TEST_F(DeviceProviderTest, ListsRunningDecksOldestFirstAndForgetsKilledOnes) {
    TempDir dir;
    DeckProcess first(dir.path()), second(dir.path());
    ASSERT_TRUE(first.StartListening(dir.path() + "/a.dv", "first"));
    usleep(20000);
    ASSERT_TRUE(second.StartListening(dir.path() + "/b.dv", "second"));

    auto devices = List(provider, CLSID_VideoInputDeviceCategory);
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ("deck:" + first.SocketPath(), devices[0].path);
    EXPECT_EQ("deck:" + second.SocketPath(), devices[1].path);
    for (const Device& d : devices) {
        EXPECT_EQ("Microsoft DV Camera and VCR", d.name);
        EXPECT_TRUE(d.clsid == CLSID_DVDeviceFilter);
    }
    // Other categories have no DV devices.
    EXPECT_TRUE(List(provider, CLSID_LegacyAmFilterCategory).empty());

    // A deck killed outright leaves its socket file; it is no device and the file goes.
    const std::string stale = second.SocketPath();
    second.Signal(SIGKILL);
    second.Wait();
    ASSERT_EQ(0, access(stale.c_str(), F_OK));
    devices = List(provider, CLSID_VideoInputDeviceCategory);
    ASSERT_EQ(1u, devices.size());
    EXPECT_EQ("deck:" + first.SocketPath(), devices[0].path);
    EXPECT_NE(0, access(stale.c_str(), F_OK));

    // Probing did not disturb the deck that lives: it still records.
    first.Signal(SIGTERM);
    EXPECT_EQ(0, first.Wait());
}

}  // namespace
