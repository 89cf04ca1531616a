// The owning COM reference releases exactly the one reference it holds: when reset, reused for
// another call's result, moved from or destroyed, and not when it hands the reference on.
#include <gtest/gtest.h>

#include <utility>

#include "graph/com_ref.h"
#include "tests/support/com_fake.h"

namespace {

using testsupport::CountedUnknown;

TEST(ComRef, ReleasesTheOneReferenceItHoldsOnceAndNoMore) {
    CountedUnknown a, b;
    {
        a.AddRef();
        CComRef<IUnknown> held(&a);
        EXPECT_EQ(a.ReferenceCount(), 2);
        // Reused for an out-parameter: the old reference goes first.
        IUnknown** slot = held.out();
        EXPECT_EQ(a.ReferenceCount(), 1);
        b.AddRef();
        *slot = &b;
        CComRef<IUnknown> moved(std::move(held));
        EXPECT_FALSE(held);
        EXPECT_EQ(moved.get(), &b);
        EXPECT_EQ(b.ReferenceCount(), 2);
        held = std::move(moved);
        EXPECT_EQ(b.ReferenceCount(), 2);
    }
    EXPECT_EQ(b.ReferenceCount(), 1);

    a.AddRef();
    CComRef<IUnknown> handed(&a);
    IUnknown* owned = handed.Detach();
    handed.Reset();
    EXPECT_EQ(a.ReferenceCount(), 2) << "a detached reference is the caller's";
    owned->Release();
    EXPECT_EQ(a.ReferenceCount(), 1);
}

}  // namespace
