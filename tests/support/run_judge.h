#pragma once
// The one judge of a finished run, whatever a test or sweep varied: it reads only what the
// simulated system saw, and which of its calls were made to fail.

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "setup/run_endings.h"
#include "support/simulated_platform.h"

namespace kyt::testing {

// Returns the ending that the run's one record tells, or nothing when it wrote none.
std::optional<RunEnding> RecordedEnding(const SimulatedPlatform& platform);

// Returns one line for each rule the finished run broke, none when it kept them all:
// - the exit code is the one of the ending its record tells;
// - exactly one record, written after cleanup's last removal and before any box (none only
//   when writing it was made to fail);
// - a box exactly when the ending has one and someone can see it, with the ending's text;
// - no unsafe write, start or delete, and no handle left open;
// - nothing that was on the disk before went (unless someone else acted), and what the run
//   made and left, besides its base folder, is what its record says cleanup left behind: nothing,
//   unless a removal was made to fail or another program's open refused one.
std::vector<std::string> JudgeRun(const SimulatedPlatform& platform, SetupExitCode result,
                                  const std::set<WideString>* diskBefore);

}  // namespace kyt::testing
