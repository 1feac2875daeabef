#pragma once

#include "common/types.h"
#include "platform/platform.h"

namespace kyt {

// Shows one error box with this text under the setup's caption and returns once it is
// dismissed; shows nothing, and returns at once, when nobody could see the box.
void ShowSetupError(Platform& platform, const WideString& text);

}  // namespace kyt
