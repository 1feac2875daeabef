#pragma once
// Checks of a finished run that every sweep makes, whatever it varied.

#include <string>
#include <vector>

#include "support/simulated_platform.h"

namespace kyt::testing {

// Returns one line for each thing the run left on disk that it must not have: whatever it made
// and left besides its base folder must be exactly what its record says cleanup left behind (a
// run without a record is judged by the disk alone), and a run that had no failed removal
// leaves nothing but the base folder.
std::vector<std::string> JudgeLeftovers(const SimulatedPlatform& platform, bool removalsMayFail);

}  // namespace kyt::testing
