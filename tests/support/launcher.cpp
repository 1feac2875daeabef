// Starts a program the way a caller of the setup would and reports its full 32-bit exit code,
// which the wine command itself cuts to 8 bits.
//
//   kyt_launch.exe [--temp DIR] [--count N] [--hidden-station] -- PROGRAM [ARGS...]
//
// --temp points TMP and TEMP of the started program at DIR; --count starts N copies at once
// and waits for all; --hidden-station starts them on a window station of their own that is not
// visible, as a service's programs are. Prints one line "exit code: <decimal>" per copy, in start order, and
// exits 0; exits 2 when a program could not be started.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Makes a window station that is not visible, with a desktop, and returns the desktop's name
// for the start-up record, or an empty name.
std::wstring MakeHiddenDesktop() {
    HWINSTA station = ::CreateWindowStationW(L"kyt_hidden", 0, WINSTA_ALL_ACCESS, nullptr);
    if (station == nullptr) {
        return L"";
    }
    HWINSTA own = ::GetProcessWindowStation();
    ::SetProcessWindowStation(station);
    HDESK desktop = ::CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    ::SetProcessWindowStation(own);
    return desktop != nullptr ? L"kyt_hidden\\Default" : L"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int count = 1;
    int first = 1;
    std::wstring desktop;
    for (; first < argc; ++first) {
        const std::wstring arg = argv[first];
        if (arg == L"--temp" && first + 1 < argc) {
            ::SetEnvironmentVariableW(L"TMP", argv[first + 1]);
            ::SetEnvironmentVariableW(L"TEMP", argv[first + 1]);
            ++first;
        } else if (arg == L"--count" && first + 1 < argc) {
            count = std::wcstol(argv[++first], nullptr, 10);
        } else if (arg == L"--hidden-station") {
            desktop = MakeHiddenDesktop();
            if (desktop.empty()) {
                std::fwprintf(stderr, L"kyt_launch: cannot make a window station (error %lu)\n", ::GetLastError());
                return 2;
            }
        } else if (arg == L"--") {
            ++first;
            break;
        }
    }
    if (first >= argc) {
        std::fwprintf(stderr, L"usage: kyt_launch [--temp DIR] [--count N] [--hidden-station] -- PROGRAM [ARGS...]\n");
        return 2;
    }
    std::wstring commandLine;
    for (int i = first; i < argc; ++i) {
        commandLine += (i > first ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    }
    std::vector<HANDLE> processes;
    for (int i = 0; i < count; ++i) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.lpDesktop = desktop.empty() ? nullptr : desktop.data();
        PROCESS_INFORMATION started = {};
        std::wstring writable = commandLine;
        if (!::CreateProcessW(argv[first], writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &started)) {
            std::fwprintf(stderr, L"kyt_launch: cannot start %ls (error %lu)\n", argv[first], ::GetLastError());
            return 2;
        }
        ::CloseHandle(started.hThread);
        processes.push_back(started.hProcess);
    }
    for (HANDLE process : processes) {
        ::WaitForSingleObject(process, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(process, &code);
        std::printf("exit code: %lu\n", static_cast<unsigned long>(code));
        ::CloseHandle(process);
    }
    std::fflush(stdout);
    return 0;
}
