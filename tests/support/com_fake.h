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

}  // namespace testsupport
