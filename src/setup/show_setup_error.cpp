#include "setup/show_setup_error.h"

#include "setup/messages.h"

namespace kyt {

void ShowSetupError(Platform& platform, const WideString& text) {
    platform.ShowErrorBox(text, kSetupCaption);
}

}  // namespace kyt
