#include "platform/windows/windows_platform.h"
#include "platform/windows/wide.h"

namespace kyt {

TempPathReading WindowsPlatform::ReadTempPath() {
    wchar_t buffer[260] = {};
    const DWORD length = ::GetTempPathW(260, buffer);
    // When the path does not fit, the buffer is left as it was: zero-filled, so no text.
    return TempPathReading{length, WideString(reinterpret_cast<const char16_t*>(buffer))};
}

FolderResult WindowsPlatform::MakeFolder(const WideString& path) {
    if (::CreateDirectoryW(AsWide(path), nullptr)) {
        return FolderResult::Created;
    }
    return ::GetLastError() == ERROR_ALREADY_EXISTS ? FolderResult::AlreadyExists : FolderResult::Failed;
}

std::optional<HandleValue> WindowsPlatform::OpenNewFile(const WideString& path) {
    HANDLE file = ::CreateFileW(AsWide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return ToHandleValue(file);
}

bool WindowsPlatform::WriteBytes(HandleValue file, ByteView bytes, std::uint32_t& written) {
    DWORD count = 0;
    const BOOL ok = ::WriteFile(ToHandle(file), bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr);
    written = count;
    return ok != FALSE;
}

void WindowsPlatform::CloseHandleValue(HandleValue handle) {
    ::CloseHandle(ToHandle(handle));
}

bool WindowsPlatform::RemoveFile(const WideString& path) {
    return ::DeleteFileW(AsWide(path)) != FALSE;
}

bool WindowsPlatform::RemoveFolder(const WideString& path) {
    return ::RemoveDirectoryW(AsWide(path)) != FALSE;
}

}  // namespace kyt
