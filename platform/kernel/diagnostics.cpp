// libplatform.so is in every process of the platform, so its copy of the log is the one that
// warns about PLATFORM_DEBUG and PLATFORM_DEBUG_FILE themselves: once per process, not once per
// module.
#include "support/log.h"

namespace {

[[maybe_unused]] const bool g_reportsSwitchProblems = (platform::log::ReportSwitchProblems(), true);

}  // namespace
