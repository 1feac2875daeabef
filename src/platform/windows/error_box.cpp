#include "platform/windows/windows_platform.h"
#include "platform/windows/wide.h"

namespace kyt {
namespace {

using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);

// Returns MessageBoxW from the system folder's user32.dll. The library is loaded only when a
// box is to be shown: a run that succeeds never needs it, and loading it costs a process start
// a good part of its time and memory (most of all under Wine).
MessageBoxFunction LoadMessageBox() {
    HMODULE user32 = ::LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (user32 == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<MessageBoxFunction>(reinterpret_cast<void*>(::GetProcAddress(user32, "MessageBoxW")));
}

}  // namespace

void WindowsPlatform::ShowErrorBox(const WideString& text, const WideString& caption) {
    const MessageBoxFunction messageBox = LoadMessageBox();
    if (messageBox != nullptr) {
        // No owner window: the setup has none. The answer of an OK-only box tells nothing.
        messageBox(nullptr, AsWide(text), AsWide(caption), MB_OK | MB_ICONERROR);
    }
}

}  // namespace kyt
