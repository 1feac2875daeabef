#include "launch/launch_driver_installer.h"

#include "platform/owned_handle.h"
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
    const std::optional<ProcessHandles> started =
        platform.StartProcess(applicationPath, InstallerCommandLine(applicationPath), stagingPath);
    if (!started) {
        return {};
    }
    // Declared process first, so that leaving this scope would close the thread before it too.
    OwnedHandle process(platform, started->process);
    OwnedHandle thread(platform, started->thread);

    InstallerOutcome outcome;
    outcome.started = true;
    // A wait that did not see the end, or an exit code that could not be read, leaves the
    // outcome unknown, which the caller reports as failure rather than as the preset code.
    if (platform.WaitForExit(process.value())) {
        outcome.exitCodeKnown = platform.ReadExitCode(process.value(), outcome.exitCode);
    }
    thread.Close();
    process.Close();
    return outcome;
}

}  // namespace kyt
