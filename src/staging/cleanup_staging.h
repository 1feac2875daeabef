#pragma once

#include <vector>

#include "common/types.h"
#include "platform/platform.h"
#include "staging/staging_area.h"

namespace kyt {

// The longest the cleanup waits, in all, for files and folders that another program holds.
inline constexpr std::uint32_t kCleanupPatience = 2000;

// Deletes the files in their order, then removes the directories, longest path first, so the
// staging directory goes last; its hold is closed just before, the base folder's at the end.
// What another program holds for a moment is tried again after short pauses, within
// kCleanupPatience in all. Nothing is removed recursively and no failure is reported.
void CleanupStaging(Platform& platform, const std::vector<WideString>& files,
                    std::vector<WideString> directories, StagingHolds& holds);

}  // namespace kyt
