#include "platform/windows/windows_platform.h"
#include "platform/windows/wide.h"
#include "setup/run_setup.h"

// The setup takes nothing from its start: the same run whatever the command line says.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    kyt::WindowsPlatform platform;
    return kyt::RunSetup(platform);
}
