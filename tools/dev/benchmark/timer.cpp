// Times programs from their start to their exit inside one running wineserver, so the cost of
// the wine command itself is left out.
//
//   kyt_timer.exe [--memory] ROUNDS TEMP_DIR PROGRAM...
//
// Runs every program once per round, the order rotated from round to round, with TMP and TEMP
// at TEMP_DIR; prints one line per run: index, round, microseconds, peak working set bytes,
// peak private bytes, exit code. The memory figures are read while the program runs (an ended
// process has none to give), and only with --memory, since reading them costs time.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    const bool memoryWanted = argc > 1 && std::wstring(argv[1]) == L"--memory";
    if (memoryWanted) {
        --argc;
        ++argv;
    }
    if (argc < 4) {
        std::fwprintf(stderr, L"usage: kyt_timer [--memory] ROUNDS TEMP_DIR PROGRAM...\n");
        return 2;
    }
    const int rounds = std::wcstol(argv[1], nullptr, 10);
    ::SetEnvironmentVariableW(L"TMP", argv[2]);
    ::SetEnvironmentVariableW(L"TEMP", argv[2]);
    const int count = argc - 3;
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < count; ++k) {
            const int index = (round + k) % count;
            const wchar_t* program = argv[3 + index];
            std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
            STARTUPINFOW startup = {sizeof(startup)};
            PROCESS_INFORMATION started = {};
            LARGE_INTEGER begin, end;
            ::QueryPerformanceCounter(&begin);
            if (!::CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &started)) {
                std::fwprintf(stderr, L"kyt_timer: cannot start %ls\n", program);
                return 2;
            }
            SIZE_T peakWorkingSet = 0;
            SIZE_T peakPrivate = 0;
            while (::WaitForSingleObject(started.hProcess, memoryWanted ? 1 : INFINITE) == WAIT_TIMEOUT) {
                PROCESS_MEMORY_COUNTERS_EX memory = {};
                memory.cb = sizeof(memory);
                if (::GetProcessMemoryInfo(started.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                           sizeof(memory))) {
                    peakWorkingSet = std::max(peakWorkingSet, memory.PeakWorkingSetSize);
                    peakPrivate = std::max(peakPrivate, std::max(memory.PeakPagefileUsage, memory.PrivateUsage));
                }
            }
            ::QueryPerformanceCounter(&end);
            DWORD code = 0;
            ::GetExitCodeProcess(started.hProcess, &code);
            ::CloseHandle(started.hThread);
            ::CloseHandle(started.hProcess);
            const long long micros = (end.QuadPart - begin.QuadPart) * 1000000 / frequency.QuadPart;
            std::printf("%d %d %lld %llu %llu %lu\n", index, round, micros,
                        static_cast<unsigned long long>(peakWorkingSet), static_cast<unsigned long long>(peakPrivate),
                        static_cast<unsigned long>(code));
            std::fflush(stdout);
        }
    }
    return 0;
}
