// The process entry point of the GUI subsystem, in its wide form. The setup takes nothing from
// its start: the same run whatever the command line says. Declared here without the Windows
// headers, which only the platform layer includes.
#include "platform/windows/windows_platform.h"
#include "setup/run_setup.h"

extern "C" int __stdcall wWinMain(void*, void*, wchar_t*, int) {
    kyt::HardenProcess();
    kyt::WindowsPlatform platform;
    return kyt::RunSetup(platform);
}
