#pragma once
// The catalogue of a run's endings: for each, its exit code, its box's text, and its record's
// type, event ID and outcome.

#include <cstdint>

#include "common/types.h"
#include "platform/platform.h"

namespace kyt {

// The endings of a run: the installer's four answers, then the setup's own six failures in
// the order of the run.
enum class RunEnding {
    Installed, RestartNeeded, InstallerFailed, InstallerResultUnknown,
    InvalidPackage, NoStagingDirectory, NoPackageFolder, MissingFile, CannotWrite, CannotStartInstaller,
};

// One ending: the ending it describes, its record's type and event ID, the exit code, the text
// of its box (null: it has none) and the words that tell the outcome.
struct EndingRow {
    RunEnding ending;
    RecordType type;
    std::uint32_t eventId;
    SetupExitCode exitCode;
    const char16_t* message;
    const char16_t* outcome;
};

// Returns the ending's row of the catalogue.
const EndingRow& EndingOf(RunEnding ending);

// Maps the installer's exit code to the run's ending, whose row gives the exit code 0, 1 or
// 3010: a failure when bit 31 says so, else a restart needed when bit 30 asks for one, else
// installed.
RunEnding MapInstallerExitCode(std::uint32_t exitCode);

}  // namespace kyt
