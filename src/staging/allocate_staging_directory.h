#pragma once

#include <optional>

#include "common/types.h"
#include "platform/platform.h"
#include "staging/staging_area.h"

namespace kyt {

// The folder under the temporary directory that holds every run's staging directory.
inline constexpr char16_t kBaseFolderName[] = u"KYT_DRIVER_SETUP";

// The number of staging directory names tried before giving up.
inline constexpr unsigned kStagingAttempts = 100;

// Returns the StagingArea of a staging directory that this call created, or nothing. Its path
// runs through no junction; the directory is owned by Administrators, carries the protected
// access list and the area lists no folder below it yet. The area holds it and the base folder
// until cleanup.
std::optional<StagingArea> AllocateStagingDirectory(Platform& platform);

}  // namespace kyt
