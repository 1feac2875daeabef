#include "platform/windows/windows_platform.h"
#include "platform/windows/wide.h"

namespace kyt {
namespace {

using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
using GetProcessWindowStationFunction = HWINSTA(WINAPI*)();
using GetUserObjectInformationFunction = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);

// Returns a function of the system folder's user32.dll, or null. The library is loaded only
// when a run fails: a run that succeeds never needs it, and loading it costs a process start a
// good part of its time and memory (most of all under Wine).
template <typename Function>
Function LoadUser32Function(const char* name) {
    HMODULE user32 = ::LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (user32 == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(user32, name)));
}

// Returns true when the process's window station is the visible one.
bool OnVisibleWindowStation() {
    const auto getStation = LoadUser32Function<GetProcessWindowStationFunction>("GetProcessWindowStation");
    const auto getInformation = LoadUser32Function<GetUserObjectInformationFunction>("GetUserObjectInformationW");
    if (getStation == nullptr || getInformation == nullptr) {
        return false;
    }
    const HWINSTA station = getStation();
    USEROBJECTFLAGS flags = {};
    return station != nullptr && getInformation(station, UOI_FLAGS, &flags, sizeof(flags), nullptr) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

bool WindowsPlatform::BoxCanBeSeen() {
    // Services, and programs that deployment tools start as SYSTEM, run in session 0, where no
    // user ever sees a window; a window station other than the interactive one is not visible.
    // A question that cannot be answered counts as "no one sees it": a box nobody dismisses
    // would hold the run for good.
    DWORD session = 0;
    return ::ProcessIdToSessionId(::GetCurrentProcessId(), &session) && session != 0 && OnVisibleWindowStation();
}

void WindowsPlatform::ShowErrorBox(const WideString& text, const WideString& caption) {
    const MessageBoxFunction messageBox = LoadUser32Function<MessageBoxFunction>("MessageBoxW");
    if (messageBox != nullptr) {
        // No owner window: the setup has none. The answer of an OK-only box tells nothing.
        messageBox(nullptr, AsWide(text), AsWide(caption), MB_OK | MB_ICONERROR);
    }
}

}  // namespace kyt
