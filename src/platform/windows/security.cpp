// The staging area's defences. The setup runs elevated but writes below the user's own
// temporary folder, where any program of the user could plant a DLL beside the installer,
// swap a payload file, or put a junction in place of a folder. Everything the setup creates is
// owned by Administrators and its folders carry an access list that only SYSTEM and
// Administrators may write through; the folders it works in are held open so they cannot be
// renamed or replaced.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "platform/windows/local_resources.h"
#include "platform/windows/security_descriptors.h"
#include "platform/windows/wide.h"
#include "platform/windows/windows_platform.h"

namespace kyt {
namespace {

// Returns the owner of an open object, or null; the owner lives in `descriptor`.
PSID OwnerOf(HANDLE object, LocalPointer<PSECURITY_DESCRIPTOR>& descriptor) {
    PSID owner = nullptr;
    if (::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          descriptor.put()) != ERROR_SUCCESS) {
        return nullptr;
    }
    return owner;
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

// Returns the path of the open object through no junction, or an empty path. The "\\?\" prefix
// is dropped where the rest reads the same without it: a drive path within the classic limit
// and no name ending in a dot or blank, which the usual path rules would change.
WideString FinalPathOf(HANDLE object) {
    constexpr DWORD kCapacity = 1024;
    wchar_t buffer[kCapacity] = {};
    const DWORD length = ::GetFinalPathNameByHandleW(object, buffer, kCapacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= kCapacity) {
        return {};
    }
    const WideString path(reinterpret_cast<const char16_t*>(buffer), length);
    const WideString prefix = u"\\\\?\\";
    if (!path.starts_with(prefix)) {
        return path;
    }
    const WideString plain = path.substr(prefix.size());
    const bool drivePath = plain.size() >= 3 && plain[1] == u':' && plain[2] == u'\\';
    const bool namesKeep = plain.find(u".\\") == WideString::npos && plain.find(u" \\") == WideString::npos &&
                           plain.back() != u'.' && plain.back() != u' ';
    return drivePath && namesKeep && plain.size() < MAX_PATH ? plain : path;
}

// Returns true when `owner` is whoever this system records as the owner of a file that this
// process creates with Administrators given as its owner. On Windows that is Administrators,
// or the creation fails; Wine records the user for every file. The file is made in the held
// folder with a name of this process's own and is gone when its handle closes.
bool IsOwnerOfOwnCreations(PSID owner, HANDLE folder) {
    const WideString folderPath = FinalPathOf(folder);
    if (folderPath.empty()) {
        return false;
    }
    const std::wstring name = L"\\KYT_OWNER_" + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
    const WideString probePath = folderPath + reinterpret_cast<const char16_t*>(name.c_str());
    DescriptorAttributes attributes(kAdministratorsOwner);
    if (attributes.get() == nullptr) {
        return false;
    }
    const UniqueHandle probe(::CreateFileW(AsWide(probePath), READ_CONTROL, 0, attributes.get(), CREATE_NEW,
                                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (probe.get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    LocalPointer<PSECURITY_DESCRIPTOR> probeDescriptor;
    const PSID probeOwner = OwnerOf(probe.get(), probeDescriptor);
    return probeOwner != nullptr && ::EqualSid(owner, probeOwner) != FALSE;
}

}  // namespace

std::optional<HeldFolder> WindowsPlatform::HoldFolder(const WideString& path) {
    // Listing is data access, so the open takes part in sharing, and without delete sharing
    // nobody can open the folder to delete or rename it; a folder with an open handle below it
    // cannot be renamed either. The reparse point itself is opened, not its target, so that a
    // junction is seen for what it is. READ_CONTROL reads the owner, WRITE_DAC protects it.
    UniqueHandle folder(::CreateFileW(AsWide(path), FILE_LIST_DIRECTORY | READ_CONTROL | WRITE_DAC |
                                                        FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (folder.get() == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    const bool isRealDirectory = IsRealDirectory(folder.get(), path);
    WideString finalPath = FinalPathOf(folder.get());
    if (finalPath.empty()) {
        return std::nullopt;
    }
    return HeldFolder{ToHandleValue(folder.release()), isRealDirectory, std::move(finalPath)};
}

bool WindowsPlatform::HasTrustedOwner(HandleValue folder) {
    LocalPointer<PSECURITY_DESCRIPTOR> descriptor;
    const PSID owner = OwnerOf(ToHandle(folder), descriptor);
    if (owner == nullptr) {
        return false;
    }
    if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(owner, WinLocalSystemSid)) {
        return true;
    }
    // Where the system records no owner as given (Wine reports the user for every file), the
    // owner it records for this process's own creations stands for Administrators. On Windows
    // that owner is Administrators itself, so the rule accepts nothing more there.
    return IsOwnerOfOwnCreations(owner, ToHandle(folder));
}

bool WindowsPlatform::ProtectFolder(HandleValue folder) {
    LocalPointer<PSECURITY_DESCRIPTOR> descriptor;
    if (!MakeSecurityDescriptor(kProtectedFolder, descriptor)) {
        return false;
    }
    // Set on this folder alone: unlike SetSecurityInfo, this call carries nothing down into what
    // the folder already holds, which may be a tree that someone else planted.
    return ::SetKernelObjectSecurity(ToHandle(folder), DACL_SECURITY_INFORMATION, descriptor.get()) != FALSE;
}

bool HardenProcess() {
    // Before anything loads a library: only the system folder is searched, so a DLL planted
    // beside the setup (in a downloads folder, say) is never loaded with administrator rights.
    const bool searchRestricted = ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
    // Administrators own what the process, and the installer it starts, create by default.
    // The setup names the owner of its own objects explicitly as well, so a system that keeps
    // the user as default owner (or refuses the change) leaves its defences as they are.
    UniqueHandle token;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, token.put())) {
        alignas(SID) BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(administrators);
        if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
            TOKEN_OWNER owner = {administrators};
            ::SetTokenInformation(token.get(), TokenOwner, &owner, sizeof(owner));
        }
    }
    return searchRestricted;
}

}  // namespace kyt
