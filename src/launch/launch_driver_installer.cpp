#include "launch/launch_driver_installer.h"

#include "common/text.h"

namespace kyt {

WideString InstallerPath(const WideString& stagingPath) {
    return JoinPath(stagingPath, u"dpinst.exe");
}

WideString InstallerCommandLine(const WideString& applicationPath) {
    return u'"' + applicationPath + u'"';
}

InstallerOutcome LaunchDriverInstaller(Platform& platform, const WideString& stagingPath) {
    const WideString applicationPath = InstallerPath(stagingPath);
    std::optional<ProcessHandles> started =
        platform.StartProcess(applicationPath, InstallerCommandLine(applicationPath), stagingPath);
    if (!started) {
        return {};
    }
    InstallerOutcome outcome;
    outcome.started = true;
    // A wait that did not see the end, or an exit code that could not be read, leaves the
    // outcome unknown, which the caller reports as failure rather than as the preset code.
    if (platform.WaitForExit(started->process.value())) {
        outcome.exitCodeKnown = platform.ReadExitCode(started->process.value(), outcome.exitCode);
    }
    started->thread.Close();
    started->process.Close();
    return outcome;
}

}  // namespace kyt
