#pragma once

#include "common/types.h"
#include "platform/platform.h"

namespace kyt {

// Runs the whole setup once and returns the process exit code: 0, 1 or 3010. Every run ends in
// one record in the Application event log, written after the staged files are gone; every
// failure of its own then shows exactly one error box, when someone can see it.
SetupExitCode RunSetup(Platform& platform);

}  // namespace kyt
