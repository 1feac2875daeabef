#pragma once

#include "common/types.h"
#include "platform/platform.h"

namespace kyt {

// Shows one error box with this text under the setup's caption and returns once it is
// dismissed. The caller asks first whether anyone could see it.
void ShowSetupError(Platform& platform, const WideString& text);

}  // namespace kyt
