// Media type records for the DV server's filters: the platform's owned MediaType and its
// task-memory copies (support/media_type.h).
#pragma once

#include "media_type.h"

namespace dv {

using platform::CopyMediaTypeContents;
using platform::CreateTaskMediaType;
using platform::FreeTaskMediaType;
using platform::MatchesPartialType;
using platform::MediaType;

}  // namespace dv
