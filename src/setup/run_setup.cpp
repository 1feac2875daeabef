#include "setup/run_setup.h"

#include "launch/launch_driver_installer.h"
#include "package/manifest.h"
#include "package/resource_reader.h"
#include "setup/messages.h"
#include "setup/show_setup_error.h"
#include "staging/allocate_staging_directory.h"
#include "staging/cleanup_staging.h"
#include "staging/extract_package.h"

namespace kyt {
namespace {

// Returns true with the package's entries when its manifest can be read and is valid. The
// manifest's bytes live only inside this call.
bool ReadPackageManifest(Platform& platform, PackageManifest& manifest) {
    ByteBuffer text;
    return LoadResourceBytes(platform, u"KYT_MANIFEST", text) && ParseManifest(text, manifest);
}

// Returns the message for a failed extraction.
const char16_t* ExtractionMessage(ExtractResult result) {
    switch (result) {
    case ExtractResult::FolderFailed: return kMessageNoTempFolder;
    case ExtractResult::ResourceMissing: return kMessageMissingFile;
    default: return kMessageCannotWrite;
    }
}

// Shows the message and returns the failure exit code.
SetupExitCode FailWith(Platform& platform, const char16_t* message) {
    ShowSetupError(platform, message);
    return kExitFailure;
}

}  // namespace

SetupExitCode RunSetup(Platform& platform) {
    PackageManifest manifest;
    if (!ReadPackageManifest(platform, manifest)) {
        return FailWith(platform, kMessageInvalidPackage);
    }

    StagingHolds holds;
    const WideString stagingPath = AllocateStagingDirectory(platform, holds);
    if (stagingPath.empty()) {
        return FailWith(platform, kMessageNoTempDirectory);
    }
    StagingArea area = MakeStagingArea(stagingPath);

    const ExtractResult extracted = ExtractPackage(platform, manifest, area);
    if (extracted != ExtractResult::Success) {
        CleanupStaging(platform, area.files, area.directories, holds);
        return FailWith(platform, ExtractionMessage(extracted));
    }

    const InstallerOutcome installer = LaunchDriverInstaller(platform, stagingPath);
    CleanupStaging(platform, area.files, area.directories, holds);
    if (!installer.started) {
        return FailWith(platform, kMessageCannotStartInstaller);
    }
    if (!installer.exitCodeKnown) {
        return kExitFailure;
    }
    return MapInstallerExitCode(installer.exitCode);
}

}  // namespace kyt
