#include "platform/windows/windows_platform.h"
#include "platform/windows/security_descriptors.h"
#include "platform/windows/wide.h"

namespace kyt {

TempPathReading WindowsPlatform::ReadTempPath() {
    wchar_t buffer[260] = {};
    const DWORD length = ::GetTempPathW(260, buffer);
    // When the path does not fit, the buffer is left as it was: zero-filled, so no text.
    return TempPathReading{length, WideString(reinterpret_cast<const char16_t*>(buffer))};
}

FolderResult WindowsPlatform::MakeFolder(const WideString& path) {
    DescriptorAttributes attributes(kAdministratorsOwner);
    if (attributes.get() == nullptr) {
        return FolderResult::Failed;
    }
    if (::CreateDirectoryW(AsWide(path), attributes.get())) {
        return FolderResult::Created;
    }
    return ::GetLastError() == ERROR_ALREADY_EXISTS ? FolderResult::AlreadyExists : FolderResult::Failed;
}

std::optional<OwnedHandle> WindowsPlatform::OpenNewFile(const WideString& path) {
    // The owner is named, so that whatever the system's default owner for an elevated program,
    // the user cannot rewrite the file's access list; the list itself comes from the folder.
    DescriptorAttributes attributes(kAdministratorsOwner);
    if (attributes.get() == nullptr) {
        return std::nullopt;
    }
    HANDLE file = ::CreateFileW(AsWide(path), GENERIC_WRITE, 0, attributes.get(), CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return OwnedHandle(*this, ToHandleValue(file));
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

namespace {

// Returns what a removal call's result and error code mean. A sharing violation is another
// program's open handle; access denied is also what a file awaiting deletion gives. No file or
// folder under that path (not found, or for a folder, a file there) means it is gone already.
RemoveResult RemovalOutcome(BOOL removed) {
    if (removed) {
        return RemoveResult::Removed;
    }
    switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY: return RemoveResult::Removed;
    case ERROR_SHARING_VIOLATION:
    case ERROR_ACCESS_DENIED: return RemoveResult::Busy;
    default: return RemoveResult::Failed;
    }
}

}  // namespace

RemoveResult WindowsPlatform::RemoveFile(const WideString& path) {
    return RemovalOutcome(::DeleteFileW(AsWide(path)));
}

RemoveResult WindowsPlatform::RemoveFolder(const WideString& path) {
    return RemovalOutcome(::RemoveDirectoryW(AsWide(path)));
}

void WindowsPlatform::Pause(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

}  // namespace kyt
