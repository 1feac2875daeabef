#pragma once
// How a run ended, and the one record it leaves in the Application event log, where
// administrators and deployment tools look for a run nobody watched.

#include <cstdint>
#include <optional>

#include "common/types.h"
#include "platform/platform.h"
#include "staging/cleanup_staging.h"

namespace kyt {

// The endings of a run: the installer's four answers, then the setup's own six failures in
// the order of the run.
enum class RunEnding {
    Installed, RestartNeeded, InstallerFailed, InstallerResultUnknown,
    InvalidPackage, NoTempDirectory, NoTempFolder, MissingFile, CannotWrite, CannotStartInstaller,
};

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

// Returns the process exit code of the ending: 0, 3010 or 1.
SetupExitCode EndingExitCode(RunEnding ending);

// Returns the text of the ending's error box, or null when the ending has none.
const char16_t* EndingMessage(RunEnding ending);

// Returns the ending of a run whose installer's exit code was read.
RunEnding InstallerEnding(std::uint32_t exitCode);

// Returns the run's record: its type and event ID by ending, and six strings that each read on
// their own: the outcome, the box, the installer's exit code decoded, the staging directory,
// what cleanup left behind, and the run's duration.
RunRecord ComposeRunRecord(const RunSummary& run);

}  // namespace kyt
