#pragma once

#include <vector>

#include "common/types.h"
#include "platform/owned_handle.h"
#include "platform/platform.h"

namespace kyt {

// Deletes the files in their order, then removes the directories, longest path first, so the
// staging directory goes last; its hold is closed just before. Nothing is removed
// recursively and no failure is reported.
void CleanupStaging(Platform& platform, const std::vector<WideString>& files,
                    std::vector<WideString> directories, OwnedHandle& stagingHold);

}  // namespace kyt
