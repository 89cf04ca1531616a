// IEnumFilters over a snapshot of the graph's filters, taken when the enumerator is made, so a
// graph that changes later cannot invalidate it.
#pragma once

#include <dshow.h>

#include <vector>

#include "support/list_enumerator.h"

namespace platform::streaming {

using FilterEnumerator = ListEnumerator<IEnumFilters, IID_IEnumFilters, InterfaceItems<IBaseFilter>>;

}  // namespace platform::streaming
