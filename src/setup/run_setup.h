#pragma once

#include "common/types.h"
#include "platform/platform.h"

namespace kyt {

// Runs the whole setup once and returns the process exit code: 0, 1 or 3010. Every failure of
// its own ends in exactly one error box, shown after the staged files are gone.
SetupExitCode RunSetup(Platform& platform);

}  // namespace kyt
