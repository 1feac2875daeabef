#include "setup/run_endings.h"

#include <iterator>

#include "launch/launch_driver_installer.h"
#include "setup/messages.h"

namespace kyt {
namespace {

// In the order of RunEnding.
constexpr EndingRow kEndings[] = {
    {RecordType::Information, 1000, kExitSuccess, nullptr, u"The driver installer reported success"},
    {RecordType::Warning, 1001, kExitRestartRequired, nullptr,
     u"The driver installer reported success, and that Windows needs a restart"},
    {RecordType::Error, 1002, kExitFailure, nullptr, u"The driver installer reported failure"},
    {RecordType::Error, 1003, kExitFailure, nullptr, u"The driver installer ran, but its result could not be read"},
    {RecordType::Error, 1101, kExitFailure, kMessageInvalidPackage,
     u"The setup's package is invalid: its manifest is missing, empty or malformed"},
    {RecordType::Error, 1102, kExitFailure, kMessageNoStagingDirectory,
     u"The setup could not make a staging directory of its own under the temporary folder"},
    {RecordType::Error, 1103, kExitFailure, kMessageNoPackageFolder,
     u"The setup could not create a folder of its package in the staging directory"},
    {RecordType::Error, 1104, kExitFailure, kMessageMissingFile,
     u"A file of the setup's package is missing from the setup executable"},
    {RecordType::Error, 1105, kExitFailure, kMessageCannotWrite,
     u"The setup could not write a file of its package into the staging directory"},
    {RecordType::Error, 1106, kExitFailure, kMessageCannotStartInstaller,
     u"The setup could not start the driver installer dpinst.exe"},
};
static_assert(std::size(kEndings) == static_cast<std::size_t>(RunEnding::CannotStartInstaller) + 1);

}  // namespace

const EndingRow& EndingOf(RunEnding ending) {
    return kEndings[static_cast<std::size_t>(ending)];
}

RunEnding InstallerEnding(std::uint32_t exitCode) {
    switch (MapInstallerExitCode(exitCode)) {
    case kExitSuccess: return RunEnding::Installed;
    case kExitRestartRequired: return RunEnding::RestartNeeded;
    default: return RunEnding::InstallerFailed;
    }
}

}  // namespace kyt
