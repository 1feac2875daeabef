#include "platform/windows/windows_platform.h"
#include "platform/windows/wide.h"
#include "setup/run_setup.h"

// The setup takes nothing from its start: the same run whatever the command line says.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before anything loads a library: only the system folder is searched, so a DLL planted
    // beside the setup (in a downloads folder, say) is never loaded with administrator rights.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    kyt::WindowsPlatform platform;
    return kyt::RunSetup(platform);
}
