#include "setup/run_setup.h"

#include "launch/launch_driver_installer.h"
#include "package/manifest.h"
#include "package/resource_reader.h"
#include "setup/messages.h"
#include "setup/record_run.h"
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

// Returns the ending of a failed extraction.
RunEnding ExtractionEnding(ExtractResult result) {
    switch (result) {
    case ExtractResult::FolderFailed: return RunEnding::NoPackageFolder;
    case ExtractResult::ResourceMissing: return RunEnding::MissingFile;
    default: return RunEnding::CannotWrite;
    }
}

// Shows one error box with this text under the setup's caption; returns once it is dismissed.
void ShowSetupError(Platform& platform, const char16_t* text) {
    platform.ShowErrorBox(text, kSetupCaption);
}

// Ends the run after its cleanup: writes its record, then shows its box, if it has one and
// someone can see it, and returns its exit code. The record comes first, so that it is there
// also while a box waits for someone who never comes.
SetupExitCode EndRun(Platform& platform, RunSummary& run, RunEnding ending) {
    run.ending = ending;
    const char16_t* message = EndingOf(ending).message;
    // A run that nobody watches (a deployment tool's, as SYSTEM in session 0) would wait in a
    // box that no one can dismiss and never report its exit code.
    run.boxCanBeSeen = message != nullptr && platform.BoxCanBeSeen();
    run.endTick = platform.TickCount();
    platform.ReportRun(kEventSource, ComposeRunRecord(run));
    if (run.boxCanBeSeen) {
        ShowSetupError(platform, message);
    }
    return EndingOf(ending).exitCode;
}

}  // namespace

SetupExitCode RunSetup(Platform& platform) {
    RunSummary run;
    run.startTick = platform.TickCount();

    PackageManifest manifest;
    if (!ReadPackageManifest(platform, manifest)) {
        return EndRun(platform, run, RunEnding::InvalidPackage);
    }

    std::optional<StagingArea> area = AllocateStagingDirectory(platform);
    if (!area) {
        return EndRun(platform, run, RunEnding::NoStagingDirectory);
    }
    run.stagingPath = area->rootPath;

    const ExtractResult extracted = ExtractPackage(platform, manifest, *area);
    if (extracted != ExtractResult::Success) {
        run.leftovers = CleanupStaging(platform, *area);
        return EndRun(platform, run, ExtractionEnding(extracted));
    }

    const InstallerOutcome installer = LaunchDriverInstaller(platform, run.stagingPath);
    run.leftovers = CleanupStaging(platform, *area);
    if (!installer.started) {
        return EndRun(platform, run, RunEnding::CannotStartInstaller);
    }
    if (!installer.exitCodeKnown) {
        return EndRun(platform, run, RunEnding::InstallerResultUnknown);
    }
    run.installerExitCode = installer.exitCode;
    return EndRun(platform, run, MapInstallerExitCode(installer.exitCode));
}

}  // namespace kyt
