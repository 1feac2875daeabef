#pragma once

#include "common/types.h"
#include "platform/platform.h"

namespace kyt {

// Shows one error box with this text under the setup's caption; returns once it is dismissed.
void ShowSetupError(Platform& platform, const WideString& text);

}  // namespace kyt
