// A bare IUnknown for tests that check who holds it: it counts its references and never deletes
// itself, so it may live on a test's stack (an outer object, a value a VARIANT holds) or be deleted
// by the test that made it.
//
// Threads: any; the count is atomic.
#pragma once

#include <objbase.h>

#include "support/com_object.h"

namespace testsupport {

class CountedUnknown final : public platform::ComOwned<platform::Implements<IUnknown>> {
public:
    using ComOwned::ReferenceCount;

private:
    // Stays: whoever made it ends it.
    void LastReleased() override {}
};

}  // namespace testsupport
