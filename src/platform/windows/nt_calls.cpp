#include "platform/windows/nt_calls.h"

#include "platform/windows/wide.h"

namespace kyt {
namespace {

constexpr ULONG kRemoteDevice = 0x10;  // FILE_REMOTE_DEVICE in a device's characteristics

// Returns the function `name` of the system's ntdll, which every process has loaded.
template <typename Function>
Function NtFunction(const char* name) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name)));
}

// Opens or creates the directory `name` relative to the directory handle `root` (an empty name
// opens the root's own object again), never following a reparse point at its end, into
// `handle`; returns the call's status.
NTSTATUS OpenRelativeDirectory(HANDLE root, const WideString& name, ACCESS_MASK access, ULONG share,
                               ULONG disposition, PSECURITY_DESCRIPTOR descriptor, HANDLE& handle) {
    static const auto createFile = NtFunction<decltype(&::NtCreateFile)>("NtCreateFile");
    handle = nullptr;
    if (createFile == nullptr || name.size() > 32767) {
        return static_cast<NTSTATUS>(STATUS_INVALID_PARAMETER);
    }
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<PWSTR>(AsWide(name));
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, root, descriptor);
    IO_STATUS_BLOCK io = {};
    const NTSTATUS status = createFile(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                       disposition,
                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                                           FILE_OPEN_FOR_BACKUP_INTENT,
                                       nullptr, 0);
    if (status < 0) {
        handle = nullptr;
    }
    return status;
}

}  // namespace

HANDLE OpenHeldDirectory(HANDLE parent, const WideString& name, ULONG disposition, PSECURITY_DESCRIPTOR descriptor) {
    HANDLE handle = nullptr;
    OpenRelativeDirectory(parent, name, kHoldAccess, kHoldShare, disposition, descriptor, handle);
    return handle;
}

NTSTATUS ReopenDirectory(HANDLE folder, ACCESS_MASK access, UniqueHandle& reopened) {
    constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return OpenRelativeDirectory(folder, WideString(), access, kShareAll, FILE_OPEN, nullptr, *reopened.put());
}

bool IsOnRemoteDevice(HANDLE object) {
    static const auto queryVolume =
        NtFunction<decltype(&::NtQueryVolumeInformationFile)>("NtQueryVolumeInformationFile");
    FILE_FS_DEVICE_INFORMATION device = {};
    IO_STATUS_BLOCK io = {};
    return queryVolume == nullptr || queryVolume(object, &io, &device, sizeof(device), FileFsDeviceInformation) < 0 ||
           (device.Characteristics & kRemoteDevice) != 0;
}

}  // namespace kyt
