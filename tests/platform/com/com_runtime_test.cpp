#include <gtest/gtest.h>
#include <platform/platform.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/com_fake.h"

namespace {

using testsupport::CountedUnknown;

TEST(ComInitTest, CountedPerThreadAndToleratesExtraUninitialize) {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    HRESULT other = E_FAIL;
    std::thread([&] {
        other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoUninitialize();
    }).join();
    EXPECT_EQ(other, S_OK);  // another thread has its own count
    CoUninitialize();
    CoUninitialize();
    CoUninitialize();  // one too many: ignored
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
}

TEST(TaskAllocatorTest, AllocReallocFree) {
    void* empty1 = CoTaskMemAlloc(0);
    void* empty2 = CoTaskMemAlloc(0);
    ASSERT_NE(empty1, nullptr);
    EXPECT_NE(empty1, empty2);
    CoTaskMemFree(empty1);
    CoTaskMemFree(empty2);
    CoTaskMemFree(nullptr);

    auto* block = static_cast<char*>(CoTaskMemAlloc(4));
    std::memcpy(block, "abc", 4);
    block = static_cast<char*>(CoTaskMemRealloc(block, 100000));
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(block, "abc");
    CoTaskMemFree(block);
    void* fresh = CoTaskMemRealloc(nullptr, 8);
    EXPECT_NE(fresh, nullptr);
    CoTaskMemFree(fresh);
}

DEFINE_GUID(kSampleGuid, 0x56B794AD, 0x9850, 0x4F6F, 0xA6, 0x95, 0x4E, 0x55, 0x38, 0x6F, 0x73, 0x28);

TEST(GuidTextTest, RoundTripAndBadText) {
    OLECHAR text[CHARS_IN_GUID];
    ASSERT_EQ(StringFromGUID2(kSampleGuid, text, CHARS_IN_GUID), 39);
    EXPECT_EQ(std::u16string(text), u"{56B794AD-9850-4F6F-A695-4E55386F7328}");
    EXPECT_EQ(StringFromGUID2(kSampleGuid, text, 38), 0);

    CLSID parsed{};
    ASSERT_EQ(CLSIDFromString(text, &parsed), S_OK);
    EXPECT_EQ(parsed, kSampleGuid);
    ASSERT_EQ(CLSIDFromString(u"{56b794ad-9850-4f6f-a695-4e55386f7328}", &parsed), S_OK);
    EXPECT_EQ(parsed, kSampleGuid);

    const char16_t* bad[] = {
        u"56B794AD-9850-4F6F-A695-4E55386F7328",    // no braces
        u"{56B794AD-9850-4F6F-A695-4E55386F7328",   // no closing brace
        u"{56B794AD-9850-4F6F-A695-4E55386F7328}x", // trailing text
        u"{56B794AD-9850-4F6F-A6954E55386F7328}",   // missing dash
        u"{56B794AG-9850-4F6F-A695-4E55386F7328}",  // not hex
        u"{56B794AD-9850-4F6F-A695-4E55386F73}",    // short
        u"",
    };
    for (const char16_t* text : bad) {
        EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING);
    }
    EXPECT_EQ(CLSIDFromString(nullptr, &parsed), CO_E_CLASSSTRING);
}

TEST(BstrTest, LengthPrefixAndTerminator) {
    BSTR text = SysAllocString(u"DV A/V In");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 9u);
    uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<char*>(text) - 4, 4);
    EXPECT_EQ(bytes, 18u);
    EXPECT_EQ(text[9], 0);
    SysFreeString(text);

    BSTR withNull = SysAllocStringLen(u"a\0b", 3);  // embedded terminators are kept
    EXPECT_EQ(SysStringLen(withNull), 3u);
    EXPECT_EQ(withNull[2], u'b');
    SysFreeString(withNull);
    BSTR blank = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(blank[0], 0);
    SysFreeString(blank);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(VariantTest, CopyAndClearOwnTheirValues) {
    VARIANT source;
    VariantInit(&source);
    EXPECT_EQ(source.vt, VT_EMPTY);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(u"Microsoft DV Camera and VCR");

    VARIANT copy;
    VariantInit(&copy);
    copy.vt = VT_I4;
    copy.lVal = 5;
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, source.bstrVal);  // a copy, not a share
    EXPECT_EQ(std::u16string(copy.bstrVal), u"Microsoft DV Camera and VCR");
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&source), S_OK);

    CountedUnknown object;  // counts its references, so VARIANT handling can be checked
    VARIANT unknown;
    VariantInit(&unknown);
    unknown.vt = VT_UNKNOWN;
    unknown.punkVal = &object;
    object.AddRef();
    ASSERT_EQ(VariantCopy(&copy, &unknown), S_OK);
    EXPECT_EQ(object.ReferenceCount(), 3u);
    VariantClear(&copy);
    VariantClear(&unknown);
    EXPECT_EQ(object.ReferenceCount(), 1u);

    VARIANT odd;
    VariantInit(&odd);
    odd.vt = 0x2008;  // an array of strings: not supported, refused untouched
    EXPECT_EQ(VariantCopy(&copy, &odd), E_INVALIDARG);
    EXPECT_EQ(VariantClear(&odd), E_INVALIDARG);
    EXPECT_EQ(odd.vt, 0x2008);
}

DEFINE_GUID(CLSID_BuiltinSample, 0x1d0c6a52, 0x8e0b, 0x4a3e, 0x94, 0x7f, 0x11, 0x22, 0x33, 0x44, 0x55, 0x01);

std::atomic<int> g_firstCreates{0};
std::atomic<int> g_secondCreates{0};

HRESULT CreateCounted(std::atomic<int>& creates, IUnknown* outer, REFIID riid, void** out) {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    ++creates;
    auto* object = new CountedUnknown();
    if (riid != IID_IUnknown) {
        delete object;
        return E_NOINTERFACE;
    }
    *out = object;
    return S_OK;
}
HRESULT CreateFirst(IUnknown* outer, REFIID riid, void** out) {
    return CreateCounted(g_firstCreates, outer, riid, out);
}
HRESULT CreateSecond(IUnknown* outer, REFIID riid, void** out) {
    return CreateCounted(g_secondCreates, outer, riid, out);
}

TEST(BuiltinClassTest, CreatedWithoutRegistryAndReplaceable) {
    g_firstCreates = 0;
    g_secondCreates = 0;
    platform::RegisterBuiltinClass(CLSID_BuiltinSample, CreateFirst);
    IUnknown* object = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_BuiltinSample, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    ASSERT_NE(object, nullptr);
    delete static_cast<CountedUnknown*>(object);
    EXPECT_EQ(g_firstCreates.load(), 1);

    IUnknown* outer = reinterpret_cast<IUnknown*>(&object);
    EXPECT_EQ(CoCreateInstance(CLSID_BuiltinSample, outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_BuiltinSample, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               nullptr),
              E_POINTER);

    platform::RegisterBuiltinClass(CLSID_BuiltinSample, CreateSecond);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_BuiltinSample, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
    delete static_cast<CountedUnknown*>(object);
    factory->Release();
    EXPECT_EQ(g_firstCreates.load(), 1);
    EXPECT_EQ(g_secondCreates.load(), 1);
}

TEST(BindContextTest, KeepsOptionsAndObjectParameters) {
    IBindCtx* context = nullptr;
    ASSERT_EQ(CreateBindCtx(0, &context), S_OK);
    BIND_OPTS options{sizeof(BIND_OPTS), 1, 2, 3};
    EXPECT_EQ(context->SetBindOptions(&options), S_OK);
    BIND_OPTS read{sizeof(BIND_OPTS), 0, 0, 0};
    EXPECT_EQ(context->GetBindOptions(&read), S_OK);
    EXPECT_EQ(read.grfFlags, 1u);
    EXPECT_EQ(read.dwTickCountDeadline, 3u);

    CountedUnknown object;
    char16_t key[] = u"key";
    EXPECT_EQ(context->RegisterObjectParam(key, &object), S_OK);
    IUnknown* found = nullptr;
    ASSERT_EQ(context->GetObjectParam(key, &found), S_OK);
    EXPECT_EQ(found, &object);
    found->Release();
    char16_t other[] = u"other";
    EXPECT_EQ(context->GetObjectParam(other, &found), E_FAIL);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(object.ReferenceCount(), 2u);
    context->Release();  // drops the parameter's reference
    EXPECT_EQ(object.ReferenceCount(), 1u);
}

}  // namespace
