// The process's own defences, set before anything else runs: where DLLs come from, and who owns
// what it creates.
#include <windows.h>

#include "platform/windows/local_resources.h"
#include "platform/windows/windows_platform.h"

namespace kyt {

void HardenProcess() {
    // Before anything loads a library: only the system folder is searched, so a DLL planted
    // beside the setup (in a downloads folder, say) is never loaded with administrator rights.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Administrators own what the process, and the installer it starts, create by default.
    // The setup names the owner of its own objects explicitly as well, so a system that keeps
    // the user as default owner (or refuses the change) leaves its defences as they are.
    UniqueHandle token;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, token.put())) {
        alignas(SID) BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(administrators);
        if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
            TOKEN_OWNER owner = {administrators};
            ::SetTokenInformation(token.get(), TokenOwner, &owner, sizeof(owner));
        }
    }
}

}  // namespace kyt
