// Device enumeration through providers: in-process and registered ones, order, failures, the
// property bag of each device and binding a device to a working filter.
#include <gtest/gtest.h>

#include <dshow.h>
#include <platform/platform.h>

#include <string>
#include <vector>

#include "support/com_object.h"
#include "test_filters.h"

namespace {

using streamtest::TestFilter;

// Categories of our own, so devices of the platform's real providers never mix in.
// {3E1F6B0C-2A77-4D59-9B8E-5C40D1A2F601}
constexpr CLSID kCategory = {0x3e1f6b0c, 0x2a77, 0x4d59, {0x9b, 0x8e, 0x5c, 0x40, 0xd1, 0xa2, 0xf6, 0x01}};
// {3E1F6B0C-2A77-4D59-9B8E-5C40D1A2F602}
constexpr CLSID kEmptyCategory = {0x3e1f6b0c, 0x2a77, 0x4d59, {0x9b, 0x8e, 0x5c, 0x40, 0xd1, 0xa2, 0xf6, 0x02}};
// {3E1F6B0C-2A77-4D59-9B8E-5C40D1A2F603}
constexpr CLSID kRegistryCategory = {0x3e1f6b0c, 0x2a77, 0x4d59, {0x9b, 0x8e, 0x5c, 0x40, 0xd1, 0xa2, 0xf6, 0x03}};
// The device filter class: {3E1F6B0C-2A77-4D59-9B8E-5C40D1A2F610}
constexpr CLSID kDeviceFilterClsid = {0x3e1f6b0c, 0x2a77, 0x4d59, {0x9b, 0x8e, 0x5c, 0x40, 0xd1, 0xa2, 0xf6, 0x10}};
// A provider class listed in the registry: {3E1F6B0C-2A77-4D59-9B8E-5C40D1A2F620}
constexpr CLSID kProviderClsid = {0x3e1f6b0c, 0x2a77, 0x4d59, {0x9b, 0x8e, 0x5c, 0x40, 0xd1, 0xa2, 0xf6, 0x20}};

struct Device {
    std::u16string name;
    std::u16string path;
};

class TestProvider final
    : public platform::ComObject<platform::Implements<IDeviceProvider, IID_IDeviceProvider>> {
public:
    TestProvider(REFCLSID category, std::vector<Device> devices, bool fail = false)
        : category(category), devices(std::move(devices)), fail(fail) {}

    HRESULT STDMETHODCALLTYPE Snapshot(REFCLSID wanted, ULONG* count) override {
        if (count == nullptr) return E_POINTER;
        if (fail) return E_FAIL;
        *count = wanted == category ? static_cast<ULONG>(devices.size()) : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(ULONG index, BSTR* friendlyName, CLSID* filterClsid,
                                        BSTR* devicePath) override {
        if (index >= devices.size()) return E_INVALIDARG;
        *friendlyName = SysAllocString(devices[index].name.c_str());
        *filterClsid = kDeviceFilterClsid;
        *devicePath = SysAllocString(devices[index].path.c_str());
        return S_OK;
    }

private:
    ~TestProvider() override = default;
    const CLSID category;
    const std::vector<Device> devices;
    const bool fail;
};

// The registered provider class, created by CoCreateInstance.
HRESULT CreateRegisteredProvider(IUnknown* outer, REFIID iid, void** out) {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* provider = new TestProvider(kRegistryCategory, {{u"Registered Deck", u"reg-0"}});
    const HRESULT hr = provider->QueryInterface(iid, out);
    provider->Release();
    return hr;
}

std::u16string ReadString(IMoniker* moniker, const char16_t* property) {
    IBindCtx* context = nullptr;
    EXPECT_EQ(S_OK, CreateBindCtx(0, &context));
    IPropertyBag* bag = nullptr;
    std::u16string text = u"<unreadable>";
    if (SUCCEEDED(moniker->BindToStorage(context, nullptr, IID_IPropertyBag,
                                         reinterpret_cast<void**>(&bag)))) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        if (SUCCEEDED(bag->Read(property, &value, nullptr)) && value.vt == VT_BSTR) {
            text = value.bstrVal;
        }
        VariantClear(&value);
        bag->Release();
    }
    if (context != nullptr) context->Release();
    return text;
}

std::vector<IMoniker*> Enumerate(REFCLSID category, HRESULT* status) {
    std::vector<IMoniker*> monikers;
    ICreateDevEnum* devices = nullptr;
    EXPECT_EQ(S_OK, streamtest::CreateInstance(CLSID_SystemDeviceEnum, IID_ICreateDevEnum, &devices));
    if (devices == nullptr) return monikers;
    IEnumMoniker* enumerator = reinterpret_cast<IEnumMoniker*>(1);
    *status = devices->CreateClassEnumerator(category, &enumerator, 0);
    devices->Release();
    if (*status != S_OK) {
        EXPECT_EQ(nullptr, enumerator);
        return monikers;
    }
    IMoniker* moniker = nullptr;
    while (enumerator->Next(1, &moniker, nullptr) == S_OK) monikers.push_back(moniker);
    enumerator->Release();
    return monikers;
}

class DeviceEnumTest : public testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        platform::RegisterBuiltinClass(kDeviceFilterClsid, &TestFilter::CreateRenderer);
        failing = new TestProvider(kCategory, {}, true);
        first = new TestProvider(kCategory, {{u"DV Deck", u"deck-a"}, {u"Camera", u"cam-1"}});
        second = new TestProvider(kCategory, {{u"DV Deck", u"deck-b"}});
        platform::RegisterDeviceProvider(kCategory, failing);
        platform::RegisterDeviceProvider(kCategory, first);
        platform::RegisterDeviceProvider(kCategory, second);
    }
    void TearDown() override {
        for (TestProvider* provider : {failing, first, second}) {
            platform::UnregisterDeviceProvider(kCategory, provider);
            provider->Release();
        }
        platform::RegisterBuiltinClass(kDeviceFilterClsid, nullptr);
        CoUninitialize();
    }
    static void ReleaseAll(std::vector<IMoniker*>& monikers) {
        for (IMoniker* moniker : monikers) moniker->Release();
        monikers.clear();
    }

    TestProvider* failing = nullptr;
    TestProvider* first = nullptr;
    TestProvider* second = nullptr;
};

TEST_F(DeviceEnumTest, EmptyCategoryGivesNoEnumerator) {
    HRESULT status = E_FAIL;
    std::vector<IMoniker*> monikers = Enumerate(kEmptyCategory, &status);
    EXPECT_EQ(S_FALSE, status);
    EXPECT_TRUE(monikers.empty());

    ICreateDevEnum* devices = nullptr;
    ASSERT_EQ(S_OK, streamtest::CreateInstance(CLSID_SystemDeviceEnum, IID_ICreateDevEnum, &devices));
    EXPECT_EQ(E_POINTER, devices->CreateClassEnumerator(kCategory, nullptr, 0));
    devices->Release();
}

TEST_F(DeviceEnumTest, DevicesKeepProviderAndDeviceOrderAndSkipFailures) {
    HRESULT status = E_FAIL;
    std::vector<IMoniker*> monikers = Enumerate(kCategory, &status);
    ASSERT_EQ(S_OK, status);
    ASSERT_EQ(3u, monikers.size());
    // Same friendly name twice: both listed, told apart by their paths, in a stable order.
    EXPECT_EQ(u"DV Deck", ReadString(monikers[0], u"FriendlyName"));
    EXPECT_EQ(u"deck-a", ReadString(monikers[0], u"DevicePath"));
    EXPECT_EQ(u"Camera", ReadString(monikers[1], u"FriendlyName"));
    EXPECT_EQ(u"DV Deck", ReadString(monikers[2], u"FriendlyName"));
    EXPECT_EQ(u"deck-b", ReadString(monikers[2], u"DevicePath"));
    OLECHAR clsidText[CHARS_IN_GUID];
    ASSERT_NE(0, StringFromGUID2(kDeviceFilterClsid, clsidText, CHARS_IN_GUID));
    EXPECT_EQ(std::u16string(clsidText), ReadString(monikers[1], u"CLSID"));
    ReleaseAll(monikers);

    // The next enumeration asks again: a provider that went away takes its devices along.
    platform::UnregisterDeviceProvider(kCategory, first);
    monikers = Enumerate(kCategory, &status);
    ASSERT_EQ(1u, monikers.size());
    EXPECT_EQ(u"deck-b", ReadString(monikers[0], u"DevicePath"));
    ReleaseAll(monikers);
}

TEST_F(DeviceEnumTest, RegisteredProviderClassesAreAskedToo) {
    platform::RegisterBuiltinClass(kProviderClsid, &CreateRegisteredProvider);
    OLECHAR category[CHARS_IN_GUID], provider[CHARS_IN_GUID];
    StringFromGUID2(kRegistryCategory, category, CHARS_IN_GUID);
    StringFromGUID2(kProviderClsid, provider, CHARS_IN_GUID);
    std::string key = "DeviceProviders\\";
    for (const OLECHAR* c = category; *c != 0; ++c) key.push_back(static_cast<char>(*c));
    key += "\\";
    for (const OLECHAR* c = provider; *c != 0; ++c) key.push_back(static_cast<char>(*c));
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CLASSES_ROOT, key.c_str(), &created));
    RegCloseKey(created);

    TestProvider* inProcess = new TestProvider(kRegistryCategory, {{u"In-process", u"ip-0"}});
    platform::RegisterDeviceProvider(kRegistryCategory, inProcess);
    HRESULT status = E_FAIL;
    std::vector<IMoniker*> monikers = Enumerate(kRegistryCategory, &status);
    ASSERT_EQ(2u, monikers.size());
    EXPECT_EQ(u"In-process", ReadString(monikers[0], u"FriendlyName"));  // in-process first
    EXPECT_EQ(u"Registered Deck", ReadString(monikers[1], u"FriendlyName"));
    ReleaseAll(monikers);
    platform::UnregisterDeviceProvider(kRegistryCategory, inProcess);
    inProcess->Release();
    platform::RegisterBuiltinClass(kProviderClsid, nullptr);
}

TEST_F(DeviceEnumTest, BoundDeviceIsAWorkingFilter) {
    HRESULT status = E_FAIL;
    std::vector<IMoniker*> monikers = Enumerate(kCategory, &status);
    ASSERT_EQ(3u, monikers.size());
    IBaseFilter* device = nullptr;
    ASSERT_EQ(S_OK, monikers[2]->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                              reinterpret_cast<void**>(&device)));
    ReleaseAll(monikers);
    auto* deviceFilter = static_cast<TestFilter*>(device);
    EXPECT_EQ(u"deck-b", deviceFilter->DevicePath());  // it knows which device it drives

    IGraphBuilder* graph = nullptr;
    ASSERT_EQ(S_OK, streamtest::CreateInstance(CLSID_FilterGraph, IID_IGraphBuilder, &graph));
    TestFilter* source = TestFilter::Create(TestFilter::Kind::Source, "source");
    ASSERT_EQ(S_OK, graph->AddFilter(source, u"Source"));
    ASSERT_EQ(S_OK, graph->AddFilter(device, u"DV Deck"));
    ASSERT_EQ(S_OK, graph->ConnectDirect(source->OutputPin(), deviceFilter->InputPin(), nullptr));
    IMediaControl* control = nullptr;
    ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control)));
    ASSERT_EQ(S_OK, control->Run());
    EXPECT_TRUE(deviceFilter->WaitForReceived(3));
    EXPECT_EQ(S_OK, control->Stop());
    control->Release();
    graph->Release();
    source->Release();
    device->Release();
}

}  // namespace
