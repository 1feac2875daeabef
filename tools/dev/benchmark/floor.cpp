// The platform's floor for the setup's job: only the unavoidable work. It writes every payload
// file from the mapped resources (no copy, no checks), starts the staged dpinst.exe and waits
// for it, and deletes what it wrote. It carries the same resources as the setup it is compared
// with, written in by the same tool.
#include <windows.h>

#include <string>
#include <vector>

namespace {

// Returns the bytes of the RT_RCDATA resource `name` in place.
std::string_view Resource(const wchar_t* name) {
    HRSRC found = ::FindResourceW(nullptr, name, MAKEINTRESOURCEW(10));
    if (found == nullptr) return {};
    return {static_cast<const char*>(::LockResource(::LoadResource(nullptr, found))),
            ::SizeofResource(nullptr, found)};
}

std::wstring Widen(std::string_view text) {
    return std::wstring(text.begin(), text.end());
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"KYT_FLOOR";
    const std::wstring root = base + L"\\" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(base.c_str(), nullptr);
    ::CreateDirectoryW(root.c_str(), nullptr);
    std::vector<std::wstring> folders{root};
    std::vector<std::wstring> files;

    std::string_view manifest = Resource(L"KYT_MANIFEST");
    while (!manifest.empty()) {
        const std::size_t end = manifest.find("\r\n");
        const std::string_view line = manifest.substr(0, end);
        manifest.remove_prefix(end == std::string_view::npos ? manifest.size() : end + 2);
        const std::size_t bar = line.find('|');
        const std::wstring relative = Widen(line.substr(bar + 1));
        for (std::size_t slash = relative.find(L'\\'); slash != std::wstring::npos;
             slash = relative.find(L'\\', slash + 1)) {
            const std::wstring folder = root + L"\\" + relative.substr(0, slash);
            if (::CreateDirectoryW(folder.c_str(), nullptr)) folders.push_back(folder);
        }
        const std::string_view bytes = Resource(Widen(line.substr(0, bar)).c_str());
        files.push_back(root + L"\\" + relative);
        HANDLE file = ::CreateFileW(files.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(file);
    }

    const std::wstring installer = root + L"\\dpinst.exe";
    std::wstring commandLine = L"\"" + installer + L"\"";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION started = {};
    DWORD code = 1;
    if (::CreateProcessW(installer.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, root.c_str(),
                         &startup, &started)) {
        ::WaitForSingleObject(started.hProcess, INFINITE);
        ::GetExitCodeProcess(started.hProcess, &code);
        ::CloseHandle(started.hThread);
        ::CloseHandle(started.hProcess);
    }
    for (const std::wstring& file : files) ::DeleteFileW(file.c_str());
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) ::RemoveDirectoryW(folder->c_str());
    return (code & 0x80000000u) ? 1 : (code & 0x40000000u) ? 3010 : 0;
}
