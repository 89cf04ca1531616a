// DllGetClassObject, the class factory and the unload counters, through the exports of the built
// tamsel.ax as the platform uses them.
#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include "tests/filter/tamsel_library.h"
#include "tests/support/com_fake.h"

// While set, array allocations of exactly this many bytes fail, as the frame image's would when
// memory runs out. The program exports this replacement (ENABLE_EXPORTS) so that the loaded
// tamsel.ax's nothrow new[] binds to it.
static std::atomic<size_t> failingArrayBytes{0};

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (size != 0 && size == failingArrayBytes.load()) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

DEFINE_GUID(kOtherClassId, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55,
            0x55);

class ClassFactoryTest : public testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        ASSERT_TRUE(library.Loaded());
        ASSERT_EQ(library.CanUnloadNow(), S_OK);
    }
    void TearDown() override {
        EXPECT_EQ(library.CanUnloadNow(), S_OK);
        CoUninitialize();
    }

    IClassFactory* Factory() {
        IClassFactory* factory = nullptr;
        EXPECT_EQ(library.GetClassObject(kColorBarClassId, IID_IClassFactory,
                                         reinterpret_cast<void**>(&factory)),
                  S_OK);
        return factory;
    }

    TamselLibrary library{BuiltLibraryPath()};
};

// An aggregating object: counts its own references.
using OuterObject = testsupport::CountedUnknown;

void* const kUntouched = reinterpret_cast<void*>(0x1234);

TEST_F(ClassFactoryTest, GetClassObjectAnswersByInterfaceAndClass) {
    for (const IID* iid : {&IID_IClassFactory, &IID_IUnknown}) {
        IUnknown* object = nullptr;
        ASSERT_EQ(library.GetClassObject(kColorBarClassId, *iid,
                                         reinterpret_cast<void**>(&object)),
                  S_OK);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
        EXPECT_EQ(object->AddRef(), 2u);  // handed out with a count of 1
        EXPECT_EQ(object->Release(), 1u);
        IClassFactory* factory = nullptr;
        EXPECT_EQ(object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory)),
                  S_OK);
        EXPECT_EQ(factory->Release(), 1u);
        EXPECT_EQ(object->QueryInterface(IID_IBaseFilter, nullptr), E_POINTER);
        void* other = kUntouched;
        EXPECT_EQ(object->QueryInterface(IID_IBaseFilter, &other), E_NOINTERFACE);
        EXPECT_EQ(other, nullptr);
        EXPECT_EQ(object->Release(), 0u);
        EXPECT_EQ(library.CanUnloadNow(), S_OK);
    }

    void* result = kUntouched;
    EXPECT_EQ(library.GetClassObject(kColorBarClassId, IID_IBaseFilter, &result), E_NOINTERFACE);
    EXPECT_EQ(result, kUntouched);
    EXPECT_EQ(library.GetClassObject(kOtherClassId, IID_IClassFactory, &result),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(result, kUntouched);
    // A missing result place is refused instead of being written through, and no factory is
    // made; the interface and class refusals still come first, as they never write the place.
    EXPECT_EQ(library.GetClassObject(kColorBarClassId, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
    EXPECT_EQ(library.GetClassObject(kColorBarClassId, IID_IBaseFilter, nullptr), E_NOINTERFACE);
    EXPECT_EQ(library.GetClassObject(kOtherClassId, IID_IBaseFilter, nullptr), E_NOINTERFACE);
    EXPECT_EQ(library.GetClassObject(kOtherClassId, IID_IClassFactory, nullptr),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
}

TEST_F(ClassFactoryTest, FilterKeepsTheLibraryLoadedUntilReleased) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)),
              S_OK);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);

    CLSID classId = {};
    EXPECT_EQ(filter->GetClassID(&classId), S_OK);
    EXPECT_EQ(classId, kColorBarClassId);
    IPin* pin = OutputPinOf(filter);
    ASSERT_NE(pin, nullptr);
    LPWSTR id = nullptr;
    ASSERT_EQ(pin->QueryId(&id), S_OK);
    EXPECT_EQ(std::u16string(id), u"1");
    CoTaskMemFree(id);
    PIN_INFO info = {};
    ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(info.achName), u"Output");
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    info.pFilter->Release();
    IEnumPins* pins = nullptr;
    ASSERT_EQ(filter->EnumPins(&pins), S_OK);
    IPin* all[2] = {};
    ULONG fetched = 0;
    pins->Next(2, all, &fetched);
    EXPECT_EQ(fetched, 1u);
    for (ULONG i = 0; i < fetched; ++i) all[i]->Release();
    pins->Release();

    // A pin reference is a filter reference.
    EXPECT_EQ(filter->Release(), 1u);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(pin->Release(), 0u);
}

TEST_F(ClassFactoryTest, ServerLockHoldsTheLibraryWithoutObjects) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);  // the lock alone keeps it
    factory = Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    // An unmatched unlock takes the count below zero, which counts as no lock.
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);  // the factory itself is alive
    factory->Release();
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
    factory = Factory();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);  // back to 0: still no lock
    factory->Release();
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
}

TEST_F(ClassFactoryTest, CreateInstanceRefusals) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, nullptr), E_POINTER);

    OuterObject outer;
    void* result = kUntouched;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IBaseFilter, &result), E_NOINTERFACE);
    EXPECT_EQ(result, kUntouched);

    // An interface the filter lacks: the half-made filter is destroyed again.
    result = kUntouched;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &result), E_NOINTERFACE);
    EXPECT_EQ(result, nullptr);
    factory->Release();
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
}

TEST_F(ClassFactoryTest, ImageAllocationFailureIsOutOfMemoryAndLeavesNothingAlive) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    failingArrayBytes = 1036800;
    void* result = kUntouched;
    const HRESULT hr = factory->CreateInstance(nullptr, IID_IBaseFilter, &result);
    failingArrayBytes = 0;
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(result, kUntouched);
    factory->Release();
    EXPECT_EQ(library.CanUnloadNow(), S_OK);  // the half-built filter and its pin are gone

    IBaseFilter* filter = library.CreateFilter();  // and with memory back, creation works
    ASSERT_NE(filter, nullptr);
    filter->Release();
}

TEST_F(ClassFactoryTest, AggregatedFilterForwardsToItsOuterObject) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    OuterObject outer;
    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)),
              S_OK);
    factory->Release();
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(inner, static_cast<IUnknown*>(&outer));

    IBaseFilter* filter = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    EXPECT_EQ(outer.ReferenceCount(), 2u);  // the exposed interface counts on the outer object
    IUnknown* identity = nullptr;
    ASSERT_EQ(filter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    filter->Release();
    EXPECT_EQ(outer.ReferenceCount(), 1u);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(inner->Release(), 0u);
}

}  // namespace
