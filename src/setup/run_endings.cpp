#include "setup/run_endings.h"

#include <iterator>

#include "setup/messages.h"

namespace kyt {
namespace {

constexpr EndingRow kEndings[] = {
    {RunEnding::Installed, RecordType::Information, 1000, kExitSuccess, nullptr,
     u"The driver installer reported success"},
    {RunEnding::RestartNeeded, RecordType::Warning, 1001, kExitRestartRequired, nullptr,
     u"The driver installer reported success, and that Windows needs a restart"},
    {RunEnding::InstallerFailed, RecordType::Error, 1002, kExitFailure, nullptr,
     u"The driver installer reported failure"},
    {RunEnding::InstallerResultUnknown, RecordType::Error, 1003, kExitFailure, nullptr,
     u"The driver installer ran, but its result could not be read"},
    {RunEnding::InvalidPackage, RecordType::Error, 1101, kExitFailure, kMessageInvalidPackage,
     u"The setup's package is invalid: its manifest is missing, empty or malformed"},
    {RunEnding::NoStagingDirectory, RecordType::Error, 1102, kExitFailure, kMessageNoStagingDirectory,
     u"The setup could not make a staging directory of its own under the temporary folder"},
    {RunEnding::NoPackageFolder, RecordType::Error, 1103, kExitFailure, kMessageNoPackageFolder,
     u"The setup could not create a folder of its package in the staging directory"},
    {RunEnding::MissingFile, RecordType::Error, 1104, kExitFailure, kMessageMissingFile,
     u"A file of the setup's package is missing from the setup executable"},
    {RunEnding::CannotWrite, RecordType::Error, 1105, kExitFailure, kMessageCannotWrite,
     u"The setup could not write a file of its package into the staging directory"},
    {RunEnding::CannotStartInstaller, RecordType::Error, 1106, kExitFailure, kMessageCannotStartInstaller,
     u"The setup could not start the driver installer dpinst.exe"},
};

// Each row stands at the place of the ending it names, so that EndingOf can index the table.
constexpr bool EachRowAtItsEnding() {
    for (std::size_t i = 0; i < std::size(kEndings); ++i) {
        if (static_cast<std::size_t>(kEndings[i].ending) != i) {
            return false;
        }
    }
    return true;
}
static_assert(EachRowAtItsEnding());

}  // namespace

const EndingRow& EndingOf(RunEnding ending) {
    return kEndings[static_cast<std::size_t>(ending)];
}

RunEnding MapInstallerExitCode(std::uint32_t exitCode) {
    if ((exitCode & 0x80000000u) != 0) {
        return RunEnding::InstallerFailed;
    }
    return (exitCode & 0x40000000u) != 0 ? RunEnding::RestartNeeded : RunEnding::Installed;
}

}  // namespace kyt
