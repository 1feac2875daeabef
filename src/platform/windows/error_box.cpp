#include "platform/windows/windows_platform.h"
#include "platform/windows/wide.h"

namespace kyt {

void WindowsPlatform::ShowErrorBox(const WideString& text, const WideString& caption) {
    // No owner window: the setup has none. The answer of an OK-only box tells nothing.
    ::MessageBoxW(nullptr, AsWide(text), AsWide(caption), MB_OK | MB_ICONERROR);
}

}  // namespace kyt
