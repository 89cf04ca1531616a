// IEnumRegFilters over a fixed list of filters found by IFilterMapper::EnumMatchingFilters.
// Next hands out each REGFILTER in one task-memory block with its Name text inside it, so one
// CoTaskMemFree frees both.
#pragma once

#include <dshow.h>

#include <string>

#include "support/list_enumerator.h"

namespace platform {

struct RegFilterItems {
    struct Stored {
        CLSID clsid;
        std::u16string name;
    };
    using Handed = REGFILTER*;
    static constexpr HRESULT kNoCountStatus = E_POINTER;
    static HRESULT Hand(const Stored& entry, REGFILTER** out);
    static void Take(REGFILTER* record) { CoTaskMemFree(record); }
};

using RegFilterEnumerator = ListEnumerator<IEnumRegFilters, IID_IEnumRegFilters, RegFilterItems>;

}  // namespace platform
