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

// Returns the final path of a held staging directory newly created in the base folder, or an
// empty path. The base folder is held and protected by now, so nobody but an administrator can
// rename the fresh directory or put something in its place before the hold; the hold still
// checks that it holds a real directory with a trusted owner.
WideString CreateHeldCandidate(Platform& platform, const WideString& baseFolder, OwnedHandle& hold) {
    for (unsigned attempt = 0; attempt < kStagingAttempts; ++attempt) {
        const WideString candidate = JoinPath(baseFolder, MakeCandidateName(platform, attempt));
        // Only a directory this call created is ours: one found existing belongs to another run.
        if (platform.MakeProtectedFolder(candidate) != FolderResult::Created) {
            continue;
        }
        const std::optional<HeldFolder> held = platform.HoldFolder(candidate);
        OwnedHandle candidateHold = held ? OwnedHandle(platform, held->handle) : OwnedHandle();
        if (!held || !held->isRealDirectory || !platform.HasTrustedOwner(held->handle)) {
            // Not usable after all: remove it again rather than leave an empty folder behind.
            // In the held, protected base folder nobody unelevated can have put anything there.
            candidateHold.Close();
            platform.RemoveFolder(candidate);
            return {};
        }
        hold = std::move(candidateHold);
        return held->finalPath;
    }
    return {};
}

}  // namespace

// The setup runs elevated but below the user's own temporary folder, which every program of
// the user may change: it can rename the base folder away and put a folder of its own or a
// junction in its place, and it can point a junction in the temporary path elsewhere. So the
// base folder, whether this call made it or found it, is held and judged through that handle,
// and every later path starts at the held folder's final path, which no junction can redirect.
// Its hold, and the staging directory's, keep the whole chain of folders above in place.
WideString AllocateStagingDirectory(Platform& platform, StagingHolds& holds) {
    const TempPathReading temp = platform.ReadTempPath();
    if (temp.length == 0 || temp.length >= kTempPathBufferLength) {
        return {};
    }
    // The temporary path ends with a backslash, which separates it from the base folder.
    const WideString baseFolder = temp.path + kBaseFolderName;
    if (platform.MakeProtectedFolder(baseFolder) == FolderResult::Failed) {
        return {};
    }
    const std::optional<HeldFolder> base = platform.HoldFolder(baseFolder);
    if (!base) {
        return {};
    }
    OwnedHandle baseHold(platform, base->handle);
    // A folder found in place of a fresh one is only usable when no unelevated program could
    // have made it; its access list is then made the protected one (that folder alone).
    if (!base->isRealDirectory || !platform.HasTrustedOwner(base->handle) || !platform.ProtectFolder(base->handle)) {
        return {};
    }
    const WideString stagingPath = CreateHeldCandidate(platform, base->finalPath, holds.stagingDirectory);
    if (!stagingPath.empty()) {
        holds.baseFolder = std::move(baseHold);
    }
    return stagingPath;
}

}  // namespace kyt
