#pragma once

#include <vector>

#include "common/types.h"
#include "platform/platform.h"
#include "staging/staging_area.h"

namespace kyt {

// The longest the cleanup waits, in all, for files and folders that another program holds.
inline constexpr std::uint32_t kCleanupPatience = 2000;

// What cleanup could not take away: the files still in use when it gave up and the folders it
// could not remove, and the first of them (a file before any folder, the deepest folder first).
struct CleanupLeftovers {
    std::size_t count = 0;
    WideString firstPath;
};

// Deletes the area's files in their order, then removes its other directories, longest path
// first, while the staging directory is held; once nothing busy remains below it, the staging
// directory goes last, through its own handle, never by its path. The holds are closed at the
// end. What is gone already counts as removed, and two spellings of one folder are one folder.
// What another program holds for a moment is tried again after short pauses, within
// kCleanupPatience in all. Nothing is removed recursively and no failure changes the run; the
// result only tells what stayed.
CleanupLeftovers CleanupStaging(Platform& platform, StagingArea& area);

}  // namespace kyt
