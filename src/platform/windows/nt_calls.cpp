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

}  // namespace

HANDLE OpenRelativeDirectory(HANDLE root, const WideString& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                             PSECURITY_DESCRIPTOR descriptor, NTSTATUS& status) {
    static const auto createFile = NtFunction<decltype(&::NtCreateFile)>("NtCreateFile");
    status = static_cast<NTSTATUS>(STATUS_INVALID_PARAMETER);
    if (createFile == nullptr || name.size() > 32767) {
        return nullptr;
    }
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<PWSTR>(AsWide(name));
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, root, descriptor);
    IO_STATUS_BLOCK io = {};
    HANDLE handle = nullptr;
    status = createFile(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                            FILE_OPEN_FOR_BACKUP_INTENT,
                        nullptr, 0);
    return status >= 0 ? handle : nullptr;
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
