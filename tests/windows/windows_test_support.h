#pragma once
// Shared helpers of the Windows-side tests: a scratch folder of the test's own, and the path
// of a program beside the test executable.
#include <windows.h>

#include <string>

#include "common/types.h"

namespace kyt::testing {

inline WideString FromWide(const std::wstring& text) {
    return WideString(reinterpret_cast<const char16_t*>(text.c_str()), text.size());
}

inline std::wstring ToWide(const WideString& text) {
    return std::wstring(reinterpret_cast<const wchar_t*>(text.c_str()), text.size());
}

// Returns true when running under Wine, which keeps some rules of Windows and not others.
inline bool UnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Returns the full path of a file beside this test executable.
inline WideString BesideTestProgram(const std::wstring& name) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return FromWide(path.substr(0, path.rfind(L'\\') + 1) + name);
}

// A fresh, empty folder under the temporary folder, removed with all it holds at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"kyt-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter_++);
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { RemoveTree(path_); }

    WideString Path(const std::wstring& child = L"") const { return FromWide(child.empty() ? path_ : path_ + L"\\" + child); }

    static bool Exists(const WideString& path) {
        return ::GetFileAttributesW(ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

private:
    static void RemoveTree(const std::wstring& path) {
        WIN32_FIND_DATAW found;
        HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(path + L"\\" + name);
                } else {
                    ::DeleteFileW((path + L"\\" + name).c_str());
                }
            } while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(path.c_str());
    }

    static inline int counter_ = 0;
    std::wstring path_;
};

}  // namespace kyt::testing
