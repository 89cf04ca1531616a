// ComPtr, ComObject, ComOwned, ComPart and ComExtend: who holds which reference, and what
// QueryInterface answers.
#include <gtest/gtest.h>

#include <dshow.h>

#include <atomic>

#include "support/class_factory.h"
#include "support/com_object.h"
#include "support/com_ptr.h"

namespace {

using platform::ComExtend;
using platform::ComObject;
using platform::ComOwned;
using platform::ComPart;
using platform::ComPtr;
using platform::Implements;

int g_deleted = 0;

// A reference clock that counts its deletion in g_deleted; GetTime is left to the tests' clocks.
class CountedClock : public ComObject<Implements<IReferenceClock, IID_IReferenceClock>> {
public:
    HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE,
                                             DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR) override { return E_NOTIMPL; }

protected:
    ~CountedClock() override { ++g_deleted; }
};

class Clock final : public CountedClock {
public:
    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* time) override {
        *time = 42;
        return S_OK;
    }

private:
    ~Clock() override = default;
};

// An object answering two unrelated interfaces, the first one under its base's identifier too.
class Persisting : public ComObject<Implements<IPersistStream, IID_IPersistStream, IID_IPersist>,
                                    Implements<IQualityControl, IID_IQualityControl>> {
public:
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        *clsid = CLSID_NULL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(IStream*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Save(IStream*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter*, Quality) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSink(IQualityControl*) override { return S_OK; }

protected:
    ~Persisting() override { ++g_deleted; }
};

class Extended final : public ComExtend<Persisting, Implements<IMediaEventSink, IID_IMediaEventSink>> {
public:
    HRESULT STDMETHODCALLTYPE Notify(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }
    using Persisting::Notify;
};

// A part living inside a Clock-like owner: its references are the owner's.
class Part final : public ComPart<Implements<IQualityControl, IID_IQualityControl>> {
public:
    explicit Part(IUnknown* owner) : ComPart(owner) {}
    ~Part() override = default;
    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter*, Quality) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSink(IQualityControl*) override { return S_OK; }
};

ULONG Count(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

TEST(ComPtrTest, CountsOneReferenceAndReleasesItOnce) {
    g_deleted = 0;
    auto* clock = new Clock();  // born with the creator's reference
    {
        ComPtr<IReferenceClock> held(clock);  // AddRef
        EXPECT_EQ(Count(clock), 2u);
        ComPtr<IReferenceClock> moved(std::move(held));
        EXPECT_FALSE(held);
        EXPECT_EQ(Count(clock), 2u);
        IReferenceClock* out = nullptr;
        EXPECT_EQ(moved.CopyTo(&out), S_OK);
        EXPECT_EQ(Count(clock), 3u);
        out->Release();
        EXPECT_EQ(moved.CopyTo(static_cast<IReferenceClock**>(nullptr)), E_POINTER);
    }
    EXPECT_EQ(Count(clock), 1u);
    EXPECT_EQ(g_deleted, 0);

    ComPtr<IReferenceClock> owner = ComPtr<IReferenceClock>::Adopt(clock);  // takes it over
    IReferenceClock* detached = owner.Detach();
    EXPECT_FALSE(owner);
    owner.Attach(detached);
    EXPECT_EQ(Count(clock), 1u);
    owner.Reset();
    EXPECT_EQ(g_deleted, 1);
}

TEST(ComPtrTest, PutReleasesTheOldReferenceAndAsQueries) {
    g_deleted = 0;
    auto first = ComPtr<IReferenceClock>::Adopt(new Clock());
    IReferenceClock** slot = first.Put();
    EXPECT_EQ(g_deleted, 1);  // Put let go of the old object before the call refills it
    EXPECT_EQ(*slot, nullptr);
    *slot = new Clock();

    ComPtr<IUnknown> unknown;
    EXPECT_EQ(first.As(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(Count(unknown.Get()), 2u);
    ComPtr<IPin> pin;
    EXPECT_EQ(first.As(IID_IPin, &pin), E_NOINTERFACE);
    EXPECT_FALSE(pin);
    ComPtr<IReferenceClock> empty;
    EXPECT_EQ(empty.As(IID_IUnknown, &unknown), E_POINTER);
    EXPECT_FALSE(unknown);
    first.Reset();
    EXPECT_EQ(g_deleted, 2);
}

TEST(ComObjectTest, AnswersItsTableWithOneIdentity) {
    g_deleted = 0;
    auto object = ComPtr<Persisting>::Adopt(new Extended());
    void* unknown = nullptr;
    void* persist = nullptr;
    void* stream = nullptr;
    void* quality = nullptr;
    void* seeking = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, &unknown), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IPersist, &persist), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IPersistStream, &stream), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IQualityControl, &quality), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IMediaEventSink, &seeking), S_OK);
    EXPECT_EQ(persist, stream);
    EXPECT_EQ(quality, static_cast<IQualityControl*>(object.Get()));
    EXPECT_EQ(seeking, static_cast<IMediaEventSink*>(static_cast<Extended*>(object.Get())));
    // Whatever interface it is asked through, IUnknown is the same pointer.
    void* again = nullptr;
    ASSERT_EQ(static_cast<IMediaEventSink*>(seeking)->QueryInterface(IID_IUnknown, &again), S_OK);
    EXPECT_EQ(again, unknown);
    EXPECT_EQ(Count(static_cast<IPersistStream*>(object.Get())), 7u);
    for (void* p : {unknown, persist, stream, quality, seeking, again})
        static_cast<IUnknown*>(p)->Release();

    void* none = &none;
    EXPECT_EQ(object->QueryInterface(IID_IPin, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(object->QueryInterface(IID_IPin, nullptr), E_POINTER);
    EXPECT_EQ(Count(static_cast<IPersistStream*>(object.Get())), 1u);
    object.Reset();
    EXPECT_EQ(g_deleted, 1);
}

TEST(ComObjectTest, PartCountsOnItsOwner) {
    g_deleted = 0;
    auto owner = ComPtr<IReferenceClock>::Adopt(new Clock());
    Part part(owner.Get());
    void* quality = nullptr;
    ASSERT_EQ(part.QueryInterface(IID_IQualityControl, &quality), S_OK);
    EXPECT_EQ(Count(owner.Get()), 2u);
    static_cast<IUnknown*>(quality)->Release();
    EXPECT_EQ(Count(owner.Get()), 1u);
    EXPECT_EQ(part.QueryInterface(IID_IReferenceClock, &quality), E_NOINTERFACE);
    EXPECT_EQ(g_deleted, 0);
}

// Releases a reference to itself from its destructor, as an object whose parts hold it does.
class SelfReleasing final : public ComObject<Implements<IQualityControl, IID_IQualityControl>> {
public:
    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter*, Quality) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSink(IQualityControl*) override { return S_OK; }

private:
    ~SelfReleasing() override {
        void* self = nullptr;
        if (QueryInterface(IID_IQualityControl, &self) == S_OK)
            static_cast<IUnknown*>(self)->Release();
        ++g_deleted;
    }
};

TEST(ComObjectTest, HeldAtOneWhileItsDestructorRuns) {
    g_deleted = 0;
    (new SelfReleasing())->Release();
    EXPECT_EQ(g_deleted, 1);  // deleted once, not again from inside its destructor
}

// A pooled object: nobody holds it until it is handed out with one reference, and its last
// Release records the return instead of deleting it.
class Pooled final : public ComOwned<Implements<IQualityControl, IID_IQualityControl>,
                                     Implements<IPersist, IID_IPersist>> {
public:
    Pooled() : ComOwned(0) {}
    void HandOut() { SetReferenceCount(1); }
    using ComOwned::ReferenceCount;

    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter*, Quality) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSink(IQualityControl*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        *clsid = CLSID_NULL;
        return S_OK;
    }

    int returned = 0;

private:
    void LastReleased() override { ++returned; }
};

TEST(ComOwnedTest, LastReleaseCallsTheHookOnceInsteadOfDeleting) {
    Pooled pooled;  // on the stack: a delete would be caught
    EXPECT_EQ(pooled.ReferenceCount(), 0u);
    pooled.HandOut();
    void* unknown = nullptr;
    void* persist = nullptr;
    ASSERT_EQ(pooled.QueryInterface(IID_IUnknown, &unknown), S_OK);
    ASSERT_EQ(pooled.QueryInterface(IID_IPersist, &persist), S_OK);
    EXPECT_EQ(unknown, static_cast<IQualityControl*>(&pooled));
    EXPECT_EQ(persist, static_cast<IPersist*>(&pooled));
    void* none = &none;
    EXPECT_EQ(pooled.QueryInterface(IID_IPin, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(pooled.QueryInterface(IID_IPin, nullptr), E_POINTER);
    EXPECT_EQ(pooled.ReferenceCount(), 3u);
    static_cast<IUnknown*>(unknown)->Release();
    static_cast<IUnknown*>(persist)->Release();
    EXPECT_EQ(pooled.returned, 0);
    EXPECT_EQ(pooled.Release(), 0u);
    EXPECT_EQ(pooled.returned, 1);

    pooled.HandOut();  // out again: counts afresh and comes back once more
    EXPECT_EQ(Count(static_cast<IPersist*>(&pooled)), 1u);
    EXPECT_EQ(pooled.returned, 1);
    pooled.Release();
    EXPECT_EQ(pooled.returned, 2);
}

// A class with a default constructor, for CreateInstance and the class factory.
class Made final : public CountedClock {
public:
    Made() = default;
    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME*) override { return E_NOTIMPL; }

private:
    ~Made() override = default;
};

// Counts the factories alive, as a module's object count does.
struct FactoryCounter {
    static inline int live = 0;
    FactoryCounter() { ++live; }
    ~FactoryCounter() { --live; }
};

TEST(ClassFactoryTest, CreatesLocksAndLetsGo) {
    g_deleted = 0;
    std::atomic<long> locks{0};
    using Factory = platform::ClassFactory<FactoryCounter>;
    void* none = &none;
    EXPECT_EQ(Factory::Make(&platform::CreateInstance<Made>, &locks, IID_IPin, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(FactoryCounter::live, 0);  // the refused factory is gone

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(Factory::Make(&platform::CreateInstance<Made>, &locks, IID_IClassFactory,
                            factory.PutVoid()),
              S_OK);
    EXPECT_EQ(FactoryCounter::live, 1);
    ComPtr<IReferenceClock> made;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IReferenceClock, made.PutVoid()), S_OK);
    EXPECT_EQ(Count(made.Get()), 1u);  // the creator's reference went to the caller alone
    void* refused = &refused;
    EXPECT_EQ(factory->CreateInstance(made.Get(), IID_IUnknown, &refused), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPin, &refused), E_NOINTERFACE);
    EXPECT_EQ(g_deleted, 1);  // the object nobody could hold was deleted

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(locks.load(), 1);
    factory->LockServer(FALSE);
    factory->LockServer(FALSE);  // one unlock too many does not go below zero
    EXPECT_EQ(locks.load(), 0);
    factory.Reset();
    EXPECT_EQ(FactoryCounter::live, 0);
}

}  // namespace
