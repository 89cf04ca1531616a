// Shared helpers for the test programs.
#pragma once

#include <string>

namespace testsupport {

// The build directory holding libplatform.so, dvfilters.so, tamsel.ax and the tools.
inline std::string BuildDir() { return TAMSEL_BUILD_DIR; }

// This test program's private platform state directory (fresh for each program run).
std::string StateDir();

}  // namespace testsupport
