// UTF-8 <-> wide text for the device side (device paths and names cross the COM boundary as
// BSTRs): the platform's helpers (support/text.h).
#pragma once

#include "support/text.h"

namespace dv {

using platform::NewBstrFromUtf8;
using platform::Utf8FromWide;

}  // namespace dv
