#include "setup/show_setup_error.h"

#include "setup/messages.h"

namespace kyt {

void ShowSetupError(Platform& platform, const WideString& text) {
    // A run that nobody watches (a deployment tool's, as SYSTEM in session 0) would wait in a
    // box that no one can dismiss and never report its exit code.
    if (platform.BoxCanBeSeen()) {
        platform.ShowErrorBox(text, kSetupCaption);
    }
}

}  // namespace kyt
