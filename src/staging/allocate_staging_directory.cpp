#include "staging/allocate_staging_directory.h"

#include "common/widen_ascii.h"

namespace kyt {
namespace {

// The temporary-path buffer holds 260 code units; a result that does not fit it with its NUL
// (260 or more) or a failed call (0) is refused.
constexpr std::uint32_t kTempPathBufferLength = 260;

// Returns the name for one attempt: process id, tick count and attempt number, read afresh.
WideString MakeCandidateName(Platform& platform, unsigned attempt) {
    const WideString attemptText = FormatDecimal(attempt);
    const WideString tickText = FormatDecimal(platform.TickCount());
    const WideString processText = FormatDecimal(platform.ProcessId());
    return processText + u'-' + tickText + u'-' + attemptText;
}

// Returns the final path of a staging directory that this call created in the held base folder
// and holds in `holds`, or an empty path. The directory is created relative to the base folder's
// handle, with its access list given at creation, and held by the handle that created it, so no
// name is looked up between making it and holding it. It only counts when it lies where its
// name says, directly in the base folder, and the base folder is still a real directory: a
// base folder turned into a mount point while it was empty would have sent the creation
// elsewhere. Once the directory is in it, the base folder is not empty and cannot be turned.
WideString CreateHeldCandidate(Platform& platform, const HeldFolder& base, StagingHolds& holds) {
    for (unsigned attempt = 0; attempt < kStagingAttempts; ++attempt) {
        const WideString name = MakeCandidateName(platform, attempt);
        // Only a directory this call created is ours: one found existing belongs to another run.
        const std::optional<HeldFolder> held = platform.CreateHeldFolder(base.handle, name, Creation::NewOnly);
        if (!held) {
            continue;
        }
        OwnedHandle candidateHold(platform, held->handle);
        if (!held->isRealDirectory || held->finalPath != JoinPath(base.finalPath, name) ||
            !platform.IsRealDirectory(base.handle)) {
            // Not usable after all: removed again through its own handle, wherever it lies.
            OwnedHandle reference;
            RemoveHeldFolder(platform, candidateHold, reference);
            return {};
        }
        holds.stagingDirectory = std::move(candidateHold);
        return held->finalPath;
    }
    return {};
}

}  // namespace

// The setup runs elevated but below the user's own temporary folder, which every program of
// the user may change, and whose path the user chooses: it may lead through junctions, onto a
// network drive, or to a folder that the user can re-permit or holds open with rights it got
// before. So the temporary folder is opened once, as the user named it, and held; the base
// folder is made or opened relative to that handle, in one call that opens no reparse point,
// and from then on held. Whether this call made it or found it, it is only held and read, never
// changed: it must be a real directory on a local volume that keeps access lists, reached by
// its drive letter. The staging directory is this run's own object from its creation on, and
// every later path starts at its final path, which nothing can redirect while the holds are open.
WideString AllocateStagingDirectory(Platform& platform, StagingHolds& holds) {
    const TempPathReading temp = platform.ReadTempPath();
    if (temp.length == 0 || temp.length >= kTempPathBufferLength) {
        return {};
    }
    const std::optional<HeldFolder> tempFolder = platform.HoldFolder(temp.path);
    if (!tempFolder) {
        return {};
    }
    // Held until the base folder is: its own hold then keeps every folder above it in place.
    const OwnedHandle tempHold(platform, tempFolder->handle);
    const std::optional<HeldFolder> base =
        platform.CreateHeldFolder(tempFolder->handle, kBaseFolderName, Creation::NewOrExisting);
    if (!base) {
        return {};
    }
    OwnedHandle baseHold(platform, base->handle);
    // It only counts where its name says, directly in the temporary folder: a link that an open
    // followed after all would have led elsewhere.
    WideString tempPath = tempFolder->finalPath;
    if (tempPath.ends_with(u'\\')) {
        tempPath.pop_back();
    }
    if (!base->isRealDirectory || NameKey(base->finalPath) != NameKey(JoinPath(tempPath, kBaseFolderName)) ||
        !platform.IsOnLocalVolumeWithAccessLists(base->handle)) {
        return {};
    }
    const WideString stagingPath = CreateHeldCandidate(platform, *base, holds);
    if (!stagingPath.empty()) {
        holds.baseFolder = std::move(baseHold);
    }
    return stagingPath;
}

}  // namespace kyt
