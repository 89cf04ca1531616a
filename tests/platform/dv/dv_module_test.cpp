// dvfilters.so as an in-process server: its class factories, its registration in a fresh state
// directory, and creation of the filters through the registry.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <utility>

#include <dshow.h>
#include <platform/platform.h>

#include "dv/filters/dv_classes.h"
#include "tests/support/test_support.h"

namespace {

std::string ServerPath() {
    char resolved[PATH_MAX];
    const std::string path = testsupport::BuildDir() + "/dvfilters.so";
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

std::string GuidText(const GUID& g) {
    OLECHAR wide[CHARS_IN_GUID];
    StringFromGUID2(g, wide, CHARS_IN_GUID);
    std::string text;
    for (int i = 0; i < CHARS_IN_GUID - 1; ++i) text += static_cast<char>(wide[i]);
    return text;
}

std::string DefaultValue(const std::string& key, const char* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return "<no key>";
    char buffer[1024] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    const LONG status =
        RegQueryValueExA(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(handle);
    return status == ERROR_SUCCESS ? std::string(buffer) : "<no value>";
}

class DvModule : public testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryA(ServerPath().c_str());
        ASSERT_NE(module, nullptr);
        getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
        registerServer = reinterpret_cast<LPFNREGISTERSERVER>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
        unregisterServer = reinterpret_cast<LPFNREGISTERSERVER>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
        ASSERT_TRUE(getClassObject && canUnloadNow && registerServer && unregisterServer);
    }
    void TearDown() override {
        if (module != nullptr) FreeLibrary(module);
    }

    HMODULE module = nullptr;
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    LPFNCANUNLOADNOW canUnloadNow = nullptr;
    LPFNREGISTERSERVER registerServer = nullptr;
    LPFNREGISTERSERVER unregisterServer = nullptr;
};

}  // namespace

TEST_F(DvModule, ServesAFactoryForEachClassAndCountsItsObjects) {
    for (const CLSID* clsid : {&CLSID_DVVideoEnc, &CLSID_DVMux, &CLSID_ReferenceTone, &CLSID_DVDeviceFilter,
                               &CLSID_DVDeviceProvider}) {
        IClassFactory* factory = nullptr;
        ASSERT_EQ(getClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK)
            << GuidText(*clsid);
        IUnknown* outer = reinterpret_cast<IUnknown*>(factory);
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(object, nullptr);
        factory->Release();
    }
    void* none = nullptr;
    EXPECT_EQ(getClassObject(IID_IPin, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(CLSID_DVMux, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IBaseFilter* muxer = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&muxer)), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // a filter lives
    IEnumPins* pins = nullptr;
    ASSERT_EQ(muxer->EnumPins(&pins), S_OK);
    muxer->Release();
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // its enumerator still runs the module's code
    pins->Release();
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(DvModule, RegistrationMakesTheFiltersCreatableByClass) {
    ASSERT_EQ(registerServer(), S_OK);
    const std::string encoderKey = "CLSID\\" + GuidText(CLSID_DVVideoEnc);
    EXPECT_EQ(DefaultValue(encoderKey, nullptr), "DV Video Encoder");
    EXPECT_EQ(DefaultValue(encoderKey + "\\InprocServer32", nullptr), ServerPath());
    EXPECT_EQ(DefaultValue(encoderKey + "\\InprocServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(DefaultValue("CLSID\\" + GuidText(CLSID_DVMux), nullptr), "DV Muxer");
    HKEY provider = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT,
                            ("DeviceProviders\\" + GuidText(CLSID_VideoInputDeviceCategory) + "\\" +
                             GuidText(CLSID_DVDeviceProvider)).c_str(),
                            0, KEY_READ, &provider),
              ERROR_SUCCESS);
    if (provider != nullptr) RegCloseKey(provider);

    // The filter mappers list both filters by name at the merit the control program searches with.
    IFilterMapper* mapper = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                               reinterpret_cast<void**>(&mapper)), S_OK);
    IEnumRegFilters* found = nullptr;
    ASSERT_EQ(mapper->EnumMatchingFilters(&found, MERIT_DO_NOT_USE, FALSE, GUID_NULL, GUID_NULL, FALSE,
                                          FALSE, GUID_NULL, GUID_NULL), S_OK);
    bool encoderListed = false;
    bool muxerListed = false;
    bool toneListed = false;
    bool barsListed = false;
    REGFILTER* entry = nullptr;
    ULONG fetched = 0;
    while (found->Next(1, &entry, &fetched) == S_OK && fetched == 1) {
        const std::u16string name = entry->Name != nullptr ? entry->Name : u"";
        if (name == u"DV Video Encoder" && entry->Clsid == CLSID_DVVideoEnc) encoderListed = true;
        if (name == u"DV Muxer" && entry->Clsid == CLSID_DVMux) muxerListed = true;
        if (name == u"Reference Tone" && entry->Clsid == CLSID_ReferenceTone) toneListed = true;
        if (name == u"Reference Bars" && entry->Clsid == CLSID_ReferenceBars) barsListed = true;
        CoTaskMemFree(entry);
    }
    found->Release();
    mapper->Release();
    EXPECT_TRUE(encoderListed);
    EXPECT_TRUE(muxerListed);
    EXPECT_TRUE(toneListed);
    EXPECT_TRUE(barsListed);

    const std::pair<const CLSID*, const char16_t*> pins[] = {
        {&CLSID_DVVideoEnc, u"XForm In"}, {&CLSID_DVMux, u"Stream 0"}, {&CLSID_DVMux, u"Stream 1"},
        {&CLSID_ReferenceTone, u"Output"}, {&CLSID_ReferenceBars, u"Output"}};
    for (const auto& [clsid, pinName] : pins) {
        IBaseFilter* filter = nullptr;
        ASSERT_EQ(CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void**>(&filter)), S_OK);
        CLSID reported{};
        EXPECT_EQ(filter->GetClassID(&reported), S_OK);
        EXPECT_EQ(reported, *clsid);
        IPin* pin = nullptr;
        EXPECT_EQ(filter->FindPin(pinName, &pin), S_OK);
        if (pin != nullptr) pin->Release();
        filter->Release();
    }

    ASSERT_EQ(unregisterServer(), S_OK);
    HKEY gone = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CLASSES_ROOT, encoderKey.c_str(), 0, KEY_READ, &gone), ERROR_SUCCESS);
    // Registering again restores everything.
    EXPECT_EQ(registerServer(), S_OK);
    EXPECT_EQ(DefaultValue(encoderKey, nullptr), "DV Video Encoder");
}
