// Small helpers for test doubles built on the COM base (support/com_object.h).
//
// A double the test keeps on its stack or as a member (a TestOwned one) is born holding the
// test's reference and the test never gives that one back, so the base never deletes it; the
// count is read with References. A count that falls to zero there is a fault in the code under
// test (it released a reference it did not hold).
#pragma once

#include <objbase.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <map>
#include <string>

#include "support/com_object.h"
#include "support/text.h"

namespace testsupport {

// Base of a double the test owns outright, never made with new. Should the code under test give
// back the test's own reference, the base's delete ends here: the program stops with a message
// instead of freeing memory it does not own.
class TestOwned {
public:
    static void* operator new(std::size_t) = delete;
    static void operator delete(void*) {
        std::fputs("a test-owned COM double lost its last reference\n", stderr);
        std::abort();
    }
};

// The references an object holds now (the test's own among them): one AddRef and the count its
// Release leaves.
template <typename Object>
ULONG References(Object& object) {
    object.AddRef();
    return object.Release();
}

// The answer of an object that does not offer the interface asked for (now).
inline HRESULT NoInterface(void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return E_NOINTERFACE;
}

// A double on the COM base whose table answers an interface only while the double offers it:
// Base is its ComObject (or a class on one), Offers says, for each query but IUnknown's, whether
// the interface is there now (a graph without IMediaControl, a pin without IMemInputPin).
template <typename Base>
class Withholding : public Base {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && !Offers(iid)) return NoInterface(out);
        return Base::QueryInterface(iid, out);
    }

protected:
    using Base::Base;
    virtual bool Offers(REFIID iid) = 0;
};

// An aggregating outer object: answers IUnknown itself and hands every other query on to the
// inner object's non-delegating QueryInterface (Inner::InnerQueryInterface). Test-owned.
template <typename Inner>
class Aggregating : public platform::ComObject<platform::Implements<IUnknown, IID_IUnknown>>,
                    public TestOwned {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || inner == nullptr) return ComObject::QueryInterface(iid, out);
        return inner->InnerQueryInterface(iid, out);
    }
    Inner* inner = nullptr;
};

// A bare IUnknown for tests that check who holds it: it counts its references and never deletes
// itself, so it may live on a test's stack (an outer object, a value a VARIANT holds) or be
// deleted by the test that made it. The count is atomic.
class CountedUnknown final : public platform::ComOwned<platform::Implements<IUnknown>> {
public:
    using ComOwned::ReferenceCount;

private:
    // Stays: whoever made it ends it.
    void LastReleased() override {}
};

// A property bag of text values, as a device's moniker hands one to its filter's Load: Read
// answers a name it holds as a new BSTR, any other with E_INVALIDARG; Write is refused.
// Test-owned.
class TextBag : public platform::ComObject<platform::Implements<IPropertyBag, IID_IPropertyBag>>,
                public TestOwned {
public:
    std::map<std::u16string, std::string> values;

    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        if (name == nullptr || value == nullptr) return E_POINTER;
        const auto found = values.find(std::u16string(name));
        if (found == values.end()) return E_INVALIDARG;
        VariantInit(value);
        value->vt = VT_BSTR;
        value->bstrVal = platform::NewBstrFromUtf8(found->second);
        return value->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
};

}  // namespace testsupport
