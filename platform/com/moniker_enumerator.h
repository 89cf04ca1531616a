// Enumerates a fixed list of monikers (device enumeration and filter-mapper search results).
// Next with a count above one and nowhere to say how many came answers E_INVALIDARG.
#pragma once

#include <objbase.h>

#include <vector>

#include "support/list_enumerator.h"

namespace platform {

using MonikerEnumerator =
    ListEnumerator<IEnumMoniker, IID_IEnumMoniker, InterfaceItems<IMoniker, E_INVALIDARG>>;

// A new enumerator over monikers (each AddRef'd, the caller keeps its own; nulls left out), or
// null when out of memory.
inline IEnumMoniker* NewMonikerEnumerator(const std::vector<IMoniker*>& monikers) {
    try {
        return MonikerEnumerator::Create(CountedList(monikers));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace platform
