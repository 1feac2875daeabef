#pragma once

#include <cstdint>

#include "common/types.h"
#include "platform/platform.h"

namespace kyt {

// What became of the installer: whether it started, whether its end and exit code could be
// read, and that exit code.
struct InstallerOutcome {
    bool started = false;
    bool exitCodeKnown = false;
    std::uint32_t exitCode = 1;
};

// Returns the application path: the staging directory's dpinst.exe.
WideString InstallerPath(const WideString& stagingPath);

// Returns the installer's command line: its application path in double quotes, nothing else.
WideString InstallerCommandLine(const WideString& applicationPath);

// Starts the staging directory's dpinst.exe there and waits for its end without a time-out.
// When it returns, the installer has ended (or was never started) and no handle is open.
InstallerOutcome LaunchDriverInstaller(Platform& platform, const WideString& stagingPath);

}  // namespace kyt
