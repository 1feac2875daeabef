#include "platform/windows/windows_platform.h"
#include "platform/windows/wide.h"

namespace kyt {

// The installer gets a start-up record with nothing but its size set.
static_assert(sizeof(STARTUPINFOW) == 104, "the 64-bit start-up record");

std::uint32_t WindowsPlatform::ProcessId() {
    return ::GetCurrentProcessId();
}

std::uint64_t WindowsPlatform::TickCount() {
    return ::GetTickCount64();
}

std::optional<ProcessHandles> WindowsPlatform::StartProcess(const WideString& applicationPath,
                                                            WideString commandLine,
                                                            const WideString& currentDirectory) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    // No inherited handles, no creation flags, the setup's own environment.
    if (!::CreateProcessW(AsWide(applicationPath), AsWritableWide(commandLine), nullptr, nullptr, FALSE, 0,
                          nullptr, AsWide(currentDirectory), &startup, &started)) {
        return std::nullopt;
    }
    return ProcessHandles{OwnedHandle(*this, ToHandleValue(started.hProcess)),
                          OwnedHandle(*this, ToHandleValue(started.hThread))};
}

bool WindowsPlatform::WaitForExit(HandleValue process) {
    return ::WaitForSingleObject(ToHandle(process), INFINITE) == WAIT_OBJECT_0;
}

bool WindowsPlatform::ReadExitCode(HandleValue process, std::uint32_t& exitCode) {
    DWORD code = 1;
    const BOOL ok = ::GetExitCodeProcess(ToHandle(process), &code);
    exitCode = code;
    return ok != FALSE;
}

}  // namespace kyt
