#include "staging/allocate_staging_directory.h"

#include "common/widen_ascii.h"
#include "staging/staging_area.h"

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

// Returns a held staging directory newly created in the base folder, or an empty path.
WideString CreateHeldCandidate(Platform& platform, const WideString& baseFolder, OwnedHandle& hold) {
    for (unsigned attempt = 0; attempt < kStagingAttempts; ++attempt) {
        const WideString candidate = JoinPath(baseFolder, MakeCandidateName(platform, attempt));
        // Only a directory this call created is ours: one found existing belongs to another run.
        if (platform.MakeProtectedFolder(candidate) != FolderResult::Created) {
            continue;
        }
        const std::optional<HandleValue> held = platform.HoldFolder(candidate);
        if (!held) {
            // Replaced or unreachable at once: it cannot be trusted to stay ours.
            platform.RemoveFolder(candidate);
            return {};
        }
        hold = OwnedHandle(platform, *held);
        return candidate;
    }
    return {};
}

}  // namespace

// The setup runs elevated but below the user's own temporary folder, where any program of the
// user could have put a junction or a folder of its own where the base folder belongs. A base
// folder this call creates gets the protected access list at once. One found existing is
// pinned, must be a real directory, and is used only when its owner is trusted: the owner
// check compares with the owner of the staging directory just made in it, which is what this
// process gives new objects. Failing that, the new directory is removed again.
WideString AllocateStagingDirectory(Platform& platform, OwnedHandle& hold) {
    const TempPathReading temp = platform.ReadTempPath();
    if (temp.length == 0 || temp.length >= kTempPathBufferLength) {
        return {};
    }
    // The temporary path ends with a backslash, which separates it from the base folder.
    const WideString baseFolder = temp.path + kBaseFolderName;
    const FolderResult base = platform.MakeProtectedFolder(baseFolder);
    if (base == FolderResult::Failed) {
        return {};
    }
    OwnedHandle pinnedBase;
    if (base == FolderResult::AlreadyExists) {
        const std::optional<ExistingFolder> existing = platform.OpenExistingFolder(baseFolder);
        if (!existing) {
            return {};
        }
        pinnedBase = OwnedHandle(platform, existing->handle);
        if (!existing->isRealDirectory) {
            return {};
        }
    }
    OwnedHandle held;
    const WideString candidate = CreateHeldCandidate(platform, baseFolder, held);
    if (candidate.empty()) {
        return {};
    }
    if (base == FolderResult::AlreadyExists && !(platform.HasTrustedOwner(pinnedBase.value(), held.value()) &&
                                                 platform.ProtectFolder(pinnedBase.value()))) {
        held.Close();
        platform.RemoveFolder(candidate);
        return {};
    }
    hold = std::move(held);
    return candidate;
}

}  // namespace kyt
