#include <gtest/gtest.h>
#include <objbase.h>

#include <string>

#include "com/moniker_enumerator.h"
#include "com/object_moniker.h"
#include "com/property_bag.h"
#include "test_server_interface.h"

namespace {

using platform::ObjectMoniker;
using platform::PropertyBag;

std::u16string ClsidText(REFCLSID clsid) {
    OLECHAR text[CHARS_IN_GUID];
    StringFromGUID2(clsid, text, CHARS_IN_GUID);
    return text;
}

void RegisterTestServer() {
    OLECHAR wide[CHARS_IN_GUID];
    StringFromGUID2(CLSID_TestServerObject, wide, CHARS_IN_GUID);
    std::string key = "CLSID\\";
    for (int i = 0; wide[i] != 0; ++i) key += static_cast<char>(wide[i]);
    key += "\\InprocServer32";
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, key.c_str(), &handle), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueA(handle, nullptr, REG_SZ, COM_TEST_SERVER_PATH, 0), ERROR_SUCCESS);
    RegCloseKey(handle);
}

TEST(PropertyBagTest, ReadGivesCopiesAndChecksNamesAndTypes) {
    auto* bag = new PropertyBag();
    bag->SetString(u"FriendlyName", u"Microsoft DV Camera and VCR");

    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    ASSERT_EQ(bag->Read(u"FriendlyName", &value, nullptr), S_OK);
    EXPECT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(value.bstrVal), u"Microsoft DV Camera and VCR");
    VariantClear(&value);  // the caller's copy; the bag keeps its own
    ASSERT_EQ(bag->Read(u"FriendlyName", &value, nullptr), S_OK);  // VT_EMPTY: any type
    VariantClear(&value);

    EXPECT_EQ(bag->Read(u"Missing", &value, nullptr), E_INVALIDARG);
    value.vt = VT_I4;
    EXPECT_EQ(bag->Read(u"FriendlyName", &value, nullptr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(bag->Read(nullptr, &value, nullptr), E_POINTER);

    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = 0x200000;
    ASSERT_EQ(bag->Write(u"FriendlyName", &number), S_OK);  // replaces the string
    VariantInit(&value);
    ASSERT_EQ(bag->Read(u"FriendlyName", &value, nullptr), S_OK);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 0x200000);
    bag->Release();
}

TEST(ObjectMonikerTest, BindToObjectCreatesAndLoadsTheClass) {
    RegisterTestServer();
    auto* bag = new PropertyBag();
    bag->SetString(u"CLSID", ClsidText(CLSID_TestServerObject).c_str());
    bag->SetString(u"DevicePath", u"virtual-deck-0");
    auto* moniker = new ObjectMoniker(bag);
    bag->Release();  // the moniker keeps it

    IPropertyBag* storage = nullptr;
    ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                     reinterpret_cast<void**>(&storage)),
              S_OK);
    EXPECT_EQ(storage, static_cast<IPropertyBag*>(bag));
    storage->Release();

    ITestObject* object = nullptr;
    ASSERT_EQ(moniker->BindToObject(nullptr, nullptr, IID_ITestObject,
                                    reinterpret_cast<void**>(&object)),
              S_OK);
    BSTR path = nullptr;
    object->DevicePath(&path);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::u16string(path), u"virtual-deck-0");
    SysFreeString(path);
    object->Release();

    LPOLESTR name = nullptr;
    ASSERT_EQ(moniker->GetDisplayName(nullptr, nullptr, &name), S_OK);
    EXPECT_EQ(std::u16string(name), u"@device:pnp:virtual-deck-0");
    CoTaskMemFree(name);

    // A failing Load fails the bind with its own status and leaks no object.
    bag->SetString(u"FailLoad", u"yes");
    object = reinterpret_cast<ITestObject*>(&object);
    EXPECT_EQ(moniker->BindToObject(nullptr, nullptr, IID_ITestObject,
                                    reinterpret_cast<void**>(&object)),
              E_ACCESSDENIED);
    EXPECT_EQ(object, nullptr);
    moniker->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(GetModuleHandleA("com-test-server.so"), nullptr);
}

TEST(ObjectMonikerTest, BadClassTextFailsTheBind) {
    auto* bag = new PropertyBag();
    auto* moniker = new ObjectMoniker(bag);
    IUnknown* object = nullptr;
    EXPECT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
    bag->SetString(u"CLSID", u"not a class");
    EXPECT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
              CO_E_CLASSSTRING);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IUnknown, nullptr), E_POINTER);
    moniker->Release();
    bag->Release();
}

TEST(MonikerEnumeratorTest, NextSkipResetClone) {
    PropertyBag* bags[3];
    IMoniker* monikers[3];
    for (int i = 0; i < 3; ++i) {
        bags[i] = new PropertyBag();
        monikers[i] = new ObjectMoniker(bags[i]);
        bags[i]->Release();
    }
    IEnumMoniker* enumerator = platform::NewMonikerEnumerator({monikers[0], monikers[1], monikers[2]});

    IMoniker* got[3] = {};
    ULONG fetched = 99;
    ASSERT_EQ(enumerator->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(got[0], monikers[0]);
    got[0]->Release();
    EXPECT_EQ(enumerator->Next(2, got, nullptr), E_INVALIDARG);  // count needs somewhere to go

    IEnumMoniker* clone = nullptr;
    ASSERT_EQ(enumerator->Clone(&clone), S_OK);
    EXPECT_EQ(enumerator->Next(3, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(got[0], monikers[1]);
    EXPECT_EQ(got[1], monikers[2]);
    got[0]->Release();
    got[1]->Release();
    EXPECT_EQ(enumerator->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    // The clone kept its own position.
    ASSERT_EQ(clone->Next(1, got, &fetched), S_OK);
    EXPECT_EQ(got[0], monikers[1]);
    got[0]->Release();
    EXPECT_EQ(clone->Skip(5), S_FALSE);
    EXPECT_EQ(clone->Reset(), S_OK);
    EXPECT_EQ(clone->Skip(2), S_OK);
    ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(got[0], monikers[2]);
    got[0]->Release();

    enumerator->Release();
    clone->Release();
    // The enumerators gave back their references: ours are the last.
    for (IMoniker* moniker : monikers) EXPECT_EQ(moniker->Release(), 0u);
}

}  // namespace
