#pragma once

#include "common/types.h"
#include "platform/owned_handle.h"
#include "platform/platform.h"
#include "staging/staging_area.h"

namespace kyt {

// The folder under the temporary directory that holds every run's staging directory.
inline constexpr char16_t kBaseFolderName[] = u"KYT_DRIVER_SETUP";

// The number of staging directory names tried before giving up.
inline constexpr unsigned kStagingAttempts = 100;

// Returns the path of a staging directory that this call created, or an empty path. The path
// runs through no junction. The directory is owned by Administrators and carries the protected
// access list, and `holds` keep it and the base folder, and every folder above them, from being
// deleted, renamed or replaced until cleanup closes them.
WideString AllocateStagingDirectory(Platform& platform, StagingHolds& holds);

}  // namespace kyt
