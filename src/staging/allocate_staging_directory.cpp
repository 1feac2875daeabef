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

}  // namespace

WideString AllocateStagingDirectory(Platform& platform) {
    const TempPathReading temp = platform.ReadTempPath();
    if (temp.length == 0 || temp.length >= kTempPathBufferLength) {
        return {};
    }
    // The temporary path ends with a backslash, which separates it from the base folder.
    const WideString baseFolder = temp.path + kBaseFolderName;
    if (platform.MakeFolder(baseFolder) == FolderResult::Failed) {
        return {};
    }
    for (unsigned attempt = 0; attempt < kStagingAttempts; ++attempt) {
        const WideString candidate = JoinPath(baseFolder, MakeCandidateName(platform, attempt));
        // Only a directory this call created is ours: one found existing belongs to another run.
        if (platform.MakeFolder(candidate) == FolderResult::Created) {
            return candidate;
        }
    }
    return {};
}

}  // namespace kyt
