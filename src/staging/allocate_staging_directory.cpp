#include "staging/allocate_staging_directory.h"

#include "common/text.h"
#include "staging/cleanup_staging.h"

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

// Returns the area of a staging directory that this call created in the held base folder and
// holds, or nothing. It counts only directly in a base folder that is still a real directory
// (why: see platform.h).
std::optional<StagingArea> CreateHeldCandidate(Platform& platform, const HeldFolder& base) {
    for (unsigned attempt = 0; attempt < kStagingAttempts; ++attempt) {
        const WideString name = MakeCandidateName(platform, attempt);
        // Only a directory this call created is ours: one found existing belongs to another run.
        std::optional<HeldFolder> held = platform.CreateHeldFolder(base.hold.value(), name, Creation::NewOnly);
        if (!held) {
            continue;
        }
        StagingArea area{held->finalPath, {}, {}, {}, std::move(held->hold)};
        if (!held->isRealDirectory || area.rootPath != JoinPath(base.finalPath, name) ||
            !platform.IsRealDirectory(base.hold.value())) {
            // Not usable after all: removed again through its own handle, wherever it lies.
            CleanupStaging(platform, area);
            return std::nullopt;
        }
        return area;
    }
    return std::nullopt;
}

}  // namespace

// The base folder, made or found, is only held and read, never changed (why: see platform.h).
std::optional<StagingArea> AllocateStagingDirectory(Platform& platform) {
    const TempPathReading temp = platform.ReadTempPath();
    if (temp.length == 0 || temp.length >= kTempPathBufferLength) {
        return std::nullopt;
    }
    // Held to the end of this call, when the base folder's own hold keeps every folder above it.
    const std::optional<HeldFolder> tempFolder = platform.HoldFolder(temp.path);
    if (!tempFolder) {
        return std::nullopt;
    }
    std::optional<HeldFolder> base =
        platform.CreateHeldFolder(tempFolder->hold.value(), kBaseFolderName, Creation::NewOrExisting);
    if (!base) {
        return std::nullopt;
    }
    // Only directly in the temporary folder: a link followed after all would lead elsewhere.
    WideString tempPath = tempFolder->finalPath;
    if (tempPath.ends_with(u'\\')) {
        tempPath.pop_back();
    }
    if (!base->isRealDirectory || NameKey(base->finalPath) != NameKey(JoinPath(tempPath, kBaseFolderName)) ||
        !platform.IsOnLocalVolumeWithAccessLists(base->hold.value())) {
        return std::nullopt;
    }
    std::optional<StagingArea> area = CreateHeldCandidate(platform, *base);
    if (area) {
        area->baseFolderHold = std::move(base->hold);
    }
    return area;
}

}  // namespace kyt
