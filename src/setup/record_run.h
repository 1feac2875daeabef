#pragma once
// The one record a run leaves in the Application event log, where administrators and
// deployment tools look for a run nobody watched.

#include <cstdint>
#include <optional>

#include "common/types.h"
#include "platform/platform.h"
#include "setup/run_endings.h"
#include "staging/cleanup_staging.h"

namespace kyt {

// What the record of a run tells, gathered as the run goes.
struct RunSummary {
    RunEnding ending = RunEnding::Installed;
    std::optional<std::uint32_t> installerExitCode;  // when the installer ran and its code was read
    bool boxCanBeSeen = false;                       // someone could see the ending's box
    WideString stagingPath;                          // empty when none was made
    std::optional<CleanupLeftovers> leftovers;       // when cleanup ran
    std::uint64_t startTick = 0;
    std::uint64_t endTick = 0;
};

// Returns the run's record: its type and event ID by ending, and six strings that each read on
// their own: the outcome, the box, the installer's exit code decoded, the staging directory,
// what cleanup left behind, and the run's duration.
RunRecord ComposeRunRecord(const RunSummary& run);

}  // namespace kyt
