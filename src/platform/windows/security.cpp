// The staging area's defences. The setup runs elevated but writes below the user's own
// temporary folder, where any program of the user could plant a DLL beside the installer,
// swap a payload file, or put a junction in place of a folder. The setup's folders therefore
// carry an access list of their own that only SYSTEM and Administrators may write through,
// and the staging directory is held open so it cannot be renamed or replaced.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "platform/windows/local_resources.h"
#include "platform/windows/wide.h"
#include "platform/windows/windows_platform.h"

namespace kyt {
namespace {

// Full control for SYSTEM and Administrators, inherited by everything below, and protected:
// nothing is inherited from the temporary folder.
constexpr wchar_t kProtectedAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Returns true and fills `descriptor` with the protected access list in its binary form.
bool MakeProtectedDescriptor(LocalPointer<PSECURITY_DESCRIPTOR>& descriptor) {
    return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedAccess, SDDL_REVISION_1, descriptor.put(),
                                                                  nullptr) != FALSE;
}

// Returns the owner of an open object, or null; the owner lives in `descriptor`.
PSID OwnerOf(HANDLE object, LocalPointer<PSECURITY_DESCRIPTOR>& descriptor) {
    PSID owner = nullptr;
    if (::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          descriptor.put()) != ERROR_SUCCESS) {
        return nullptr;
    }
    return owner;
}

// Returns true when the sid is this process's default owner, the owner of what it creates.
bool IsDefaultOwner(PSID sid) {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return false;
    }
    alignas(TOKEN_OWNER) BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_OWNER)];
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenOwner, buffer, sizeof(buffer), &size)) {
        return false;
    }
    return ::EqualSid(sid, reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner) != FALSE;
}

// Returns true when the attributes are those of a directory that is not a reparse point.
bool IsRealDirectoryAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Returns true when the open folder at path is a directory and not a reparse point. Both the
// handle and the path are asked: some file systems (Wine's view of a symbolic link) show the
// reparse point only by path, and the open handle keeps the path on the same object.
bool IsRealDirectory(HANDLE folder, const WideString& path) {
    BY_HANDLE_FILE_INFORMATION information;
    return ::GetFileInformationByHandle(folder, &information) &&
           IsRealDirectoryAttributes(information.dwFileAttributes) &&
           IsRealDirectoryAttributes(::GetFileAttributesW(AsWide(path)));
}

}  // namespace

FolderResult WindowsPlatform::MakeProtectedFolder(const WideString& path) {
    LocalPointer<PSECURITY_DESCRIPTOR> descriptor;
    if (!MakeProtectedDescriptor(descriptor)) {
        return FolderResult::Failed;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    if (::CreateDirectoryW(AsWide(path), &attributes)) {
        return FolderResult::Created;
    }
    return ::GetLastError() == ERROR_ALREADY_EXISTS ? FolderResult::AlreadyExists : FolderResult::Failed;
}

std::optional<ExistingFolder> WindowsPlatform::OpenExistingFolder(const WideString& path) {
    // Opening the reparse point itself, not its target, lets a junction be seen for what it
    // is; without delete sharing, the folder stays where it is while the handle is open.
    HANDLE folder = ::CreateFileW(AsWide(path), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return ExistingFolder{ToHandleValue(folder), IsRealDirectory(folder, path)};
}

bool WindowsPlatform::HasTrustedOwner(HandleValue folder, HandleValue ownFolder) {
    LocalPointer<PSECURITY_DESCRIPTOR> folderDescriptor;
    LocalPointer<PSECURITY_DESCRIPTOR> ownDescriptor;
    const PSID owner = OwnerOf(ToHandle(folder), folderDescriptor);
    if (owner == nullptr) {
        return false;
    }
    if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(owner, WinLocalSystemSid) ||
        IsDefaultOwner(owner)) {
        return true;
    }
    // Where the system gives new objects an owner other than the token's default owner (Wine
    // reports the user), the owner of a folder this process has just made is that owner.
    const PSID ownOwner = OwnerOf(ToHandle(ownFolder), ownDescriptor);
    return ownOwner != nullptr && ::EqualSid(owner, ownOwner) != FALSE;
}

bool WindowsPlatform::ProtectFolder(HandleValue folder) {
    LocalPointer<PSECURITY_DESCRIPTOR> descriptor;
    if (!MakeProtectedDescriptor(descriptor)) {
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL access = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor.get(), &present, &access, &defaulted)) {
        return false;
    }
    return ::SetSecurityInfo(ToHandle(folder), SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, access,
                             nullptr) == ERROR_SUCCESS;
}

std::optional<HandleValue> WindowsPlatform::HoldFolder(const WideString& path) {
    // Without delete sharing nobody can open the folder to delete or rename it, and a folder
    // that holds an open handle cannot be replaced.
    // The owner is read through this handle later, hence READ_CONTROL.
    UniqueHandle folder(::CreateFileW(AsWide(path), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    // A junction put in the new directory's place between its creation and this call is
    // refused here; once held, it cannot be swapped any more.
    if (folder.get() == INVALID_HANDLE_VALUE || !IsRealDirectory(folder.get(), path)) {
        return std::nullopt;
    }
    return ToHandleValue(folder.release());
}

}  // namespace kyt
