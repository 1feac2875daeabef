// A stand-in for the driver package installer, for tests. It records how it was started (its
// command line, its current directory, every file below that directory, copied byte for byte)
// in a folder of its own under KYT_TEST_RECORD, sleeps KYT_TEST_SLEEP_MS milliseconds, and exits
// with KYT_TEST_EXIT_CODE (decimal or 0x-hex; 0 when unset). With KYT_TEST_HOLD_FILE (a path below
// its directory) it leaves a second program holding that file open, without sharing its
// deletion, for KYT_TEST_HOLD_MS milliseconds after it has ended, as a scanner would.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD length = ::GetEnvironmentVariableW(name, value, 32768);
    return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

void WriteUtf8(HANDLE file, const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Copies every file below `from` to the same place below `to`, and lists it in `list`.
void CopyTree(const std::wstring& from, const std::wstring& to, const std::wstring& relative, HANDLE list) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((from + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring rel = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ::CreateDirectoryW((to + L"\\" + rel).c_str(), nullptr);
            WriteUtf8(list, L"dir=" + rel + L"\n");
            CopyTree(from + L"\\" + name, to, rel, list);
        } else {
            ::CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + rel).c_str(), FALSE);
            WriteUtf8(list, L"file=" + rel + L"\n");
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// Opens the file for reading, sharing nothing but reading, and starts a copy of this program
// that inherits the handle and keeps it for `milliseconds`.
void LeaveFileHeld(const std::wstring& file, const std::wstring& milliseconds) {
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherited, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --hold-ms " + milliseconds;
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION started = {};
    if (::CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        ::CloseHandle(started.hThread);
        ::CloseHandle(started.hProcess);
    }
    ::CloseHandle(held);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"--hold-ms") {
        ::Sleep(std::wcstoul(argv[2], nullptr, 10));
        return 0;
    }
    const std::wstring record = Environment(L"KYT_TEST_RECORD");
    if (!record.empty()) {
        const std::wstring mine = record + L"\\" + std::to_wstring(::GetCurrentProcessId());
        ::CreateDirectoryW(record.c_str(), nullptr);
        ::CreateDirectoryW(mine.c_str(), nullptr);
        ::CreateDirectoryW((mine + L"\\files").c_str(), nullptr);
        wchar_t directory[MAX_PATH * 4] = {};
        ::GetCurrentDirectoryW(MAX_PATH * 4, directory);
        HANDLE list = ::CreateFileW((mine + L"\\record.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        WriteUtf8(list, std::wstring(L"commandline=") + ::GetCommandLineW() + L"\n");
        WriteUtf8(list, std::wstring(L"directory=") + directory + L"\n");
        CopyTree(directory, mine + L"\\files", L"", list);
        ::CloseHandle(list);
    }
    const std::wstring hold = Environment(L"KYT_TEST_HOLD_FILE");
    if (!hold.empty()) {
        LeaveFileHeld(hold, Environment(L"KYT_TEST_HOLD_MS"));
    }
    const std::wstring sleep = Environment(L"KYT_TEST_SLEEP_MS");
    if (!sleep.empty()) {
        ::Sleep(std::wcstoul(sleep.c_str(), nullptr, 10));
    }
    return static_cast<int>(std::wcstoul(Environment(L"KYT_TEST_EXIT_CODE").c_str(), nullptr, 0));
}
