// The staging area's folders, held from the moment the setup has them (why: see platform.h): the
// temporary folder by the open of the user's path, every other folder by the handle that made
// or opened it relative to the one above, opening no reparse point.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <iterator>

#include "platform/windows/local_resources.h"
#include "platform/windows/nt_calls.h"
#include "platform/windows/security_descriptors.h"
#include "platform/windows/wide.h"
#include "platform/windows/windows_platform.h"

namespace kyt {
namespace {

// What refuses a deletion for now: another program's open that does not share it.
constexpr NTSTATUS kBusyStatuses[] = {static_cast<NTSTATUS>(0xC0000043),   // sharing violation
                                      static_cast<NTSTATUS>(0xC0000022)};  // access denied
// A folder that already awaits deletion goes when the last handle to it closes.
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056);

// Returns true when the open object is a directory and not a reparse point.
bool IsRealDirectoryHandle(HANDLE folder) {
    BY_HANDLE_FILE_INFORMATION information;
    return ::GetFileInformationByHandle(folder, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Returns the path of the open object that GetFinalPathNameByHandleW gives with these flags
// (the volume's kind of name), or an empty path.
WideString FinalPathWith(HANDLE object, DWORD volumeName) {
    constexpr DWORD kCapacity = 1024;
    wchar_t buffer[kCapacity] = {};
    const DWORD length = ::GetFinalPathNameByHandleW(object, buffer, kCapacity, FILE_NAME_NORMALIZED | volumeName);
    if (length == 0 || length >= kCapacity) {
        return {};
    }
    return WideString(reinterpret_cast<const char16_t*>(buffer), length);
}

// Returns the path without its "\\?\" prefix, if it has one.
WideString WithoutPrefix(const WideString& path) {
    const WideString prefix = u"\\\\?\\";
    return path.starts_with(prefix) ? path.substr(prefix.size()) : path;
}

// Returns the drive ("C:") of a final path on a drive, or an empty path for any other kind: a
// UNC path, a volume without a drive letter.
WideString DriveOf(const WideString& finalPath) {
    const WideString plain = WithoutPrefix(finalPath);
    const bool drivePath = plain.size() >= 3 && plain[1] == u':' && plain[2] == u'\\';
    return drivePath ? plain.substr(0, 2) : WideString();
}

// Returns the path of the open object through no junction, or an empty path. The "\\?\" prefix
// is dropped where the rest reads the same without it: a drive path within the classic limit
// and no name ending in a dot or blank, which the usual path rules would change.
WideString FinalPathOf(HANDLE object) {
    const WideString path = FinalPathWith(object, VOLUME_NAME_DOS);
    const WideString plain = WithoutPrefix(path);
    if (plain == path) {
        return path;
    }
    const bool drivePath = !DriveOf(plain).empty();
    const bool namesKeep = plain.find(u".\\") == WideString::npos && plain.find(u" \\") == WideString::npos &&
                           plain.back() != u'.' && plain.back() != u' ';
    return drivePath && namesKeep && plain.size() < MAX_PATH ? plain : path;
}

// Returns the HeldFolder for an open folder handle, which it takes over, or nothing (the handle
// left to the caller) when its final path cannot be read.
std::optional<HeldFolder> Held(Platform& platform, UniqueHandle& folder, bool isRealDirectory) {
    WideString finalPath = FinalPathOf(folder.get());
    if (finalPath.empty()) {
        return std::nullopt;
    }
    return HeldFolder{OwnedHandle(platform, ToHandleValue(folder.release())), isRealDirectory, std::move(finalPath)};
}

}  // namespace

std::optional<HeldFolder> WindowsPlatform::HoldFolder(const WideString& path) {
    // Junctions are followed, at the end too: this path is the user's own choice. What the open
    // reaches must be a directory of a file system; a folder of the object namespace is none.
    UniqueHandle folder(::CreateFileW(AsWide(path), kHoldAccess, kHoldShare, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (folder.get() == INVALID_HANDLE_VALUE || !IsRealDirectoryHandle(folder.get())) {
        return std::nullopt;
    }
    return Held(*this, folder, true);
}

bool WindowsPlatform::IsOnLocalVolumeWithAccessLists(HandleValue folder) {
    const HANDLE object = ToHandle(folder);
    DWORD flags = 0;
    DWORD serial = 0;
    if (!::GetVolumeInformationByHandleW(object, nullptr, 0, &serial, nullptr, &flags, nullptr, 0) ||
        (flags & FILE_PERSISTENT_ACLS) == 0 || IsOnRemoteDevice(object)) {
        return false;
    }
    // A network drive's letter names a remote volume, even where its device does not say so.
    const WideString finalPath = WithoutPrefix(FinalPathWith(object, VOLUME_NAME_DOS));
    const WideString drive = DriveOf(finalPath);
    const WideString root = drive + u'\\';
    const UINT type = drive.empty() ? DRIVE_UNKNOWN : ::GetDriveTypeW(AsWide(root));
    if (type != DRIVE_FIXED && type != DRIVE_REMOVABLE && type != DRIVE_RAMDISK) {
        return false;
    }
    // The drive letter must name the folder's own volume, the path after it being the folder's
    // path below that volume's root. A volume mounted in a folder of another is reached through
    // that folder, which no hold keeps in place; then the letter names the other volume, or
    // the path after it holds the mount folder's names too.
    DWORD driveSerial = 0;
    return ::GetVolumeInformationW(AsWide(root), nullptr, 0, &driveSerial, nullptr, nullptr, nullptr, 0) &&
           driveSerial == serial && finalPath == drive + FinalPathWith(object, VOLUME_NAME_NONE);
}

bool WindowsPlatform::IsRealDirectory(HandleValue folder) {
    return IsRealDirectoryHandle(ToHandle(folder));
}

std::optional<HeldFolder> WindowsPlatform::CreateHeldFolder(HandleValue parent, const WideString& name,
                                                            Creation creation) {
    LocalPointer<PSECURITY_DESCRIPTOR> descriptor;
    if (!MakeSecurityDescriptor(kProtectedFolder, descriptor)) {
        return std::nullopt;
    }
    // FILE_CREATE: only a folder that this call makes. FILE_OPEN_IF: also one found there, opened
    // as it is (a reparse point as itself); the descriptor applies only to a folder made now.
    const ULONG disposition = creation == Creation::NewOnly ? FILE_CREATE : FILE_OPEN_IF;
    UniqueHandle folder(OpenHeldDirectory(ToHandle(parent), name, disposition, descriptor.get()));
    if (folder.get() == nullptr) {
        return std::nullopt;
    }
    const bool isRealDirectory = IsRealDirectoryHandle(folder.get());
    return Held(*this, folder, isRealDirectory);
}

std::optional<OwnedHandle> WindowsPlatform::ReferToFolder(HandleValue folder) {
    // Attributes only, which takes no part in sharing: the open neither is refused by the hold
    // nor refuses anyone else.
    UniqueHandle reference;
    if (ReopenDirectory(ToHandle(folder), FILE_READ_ATTRIBUTES | SYNCHRONIZE, reference) < 0) {
        return std::nullopt;
    }
    return OwnedHandle(*this, ToHandleValue(reference.release()));
}

RemoveResult WindowsPlatform::RemoveReferredFolder(HandleValue reference) {
    // The same object opened again for deletion, so the delete lands on it wherever it lies now.
    UniqueHandle folder;
    const NTSTATUS status = ReopenDirectory(ToHandle(reference), DELETE | SYNCHRONIZE, folder);
    if (status < 0) {
        if (status == kDeletePending) {
            return RemoveResult::Removed;
        }
        const bool busy = std::ranges::find(kBusyStatuses, status) != std::end(kBusyStatuses);
        return busy ? RemoveResult::Busy : RemoveResult::Failed;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    // A folder that is not empty refuses; it is removed when the last handle to it closes.
    return ::SetFileInformationByHandle(folder.get(), FileDispositionInfo, &disposition, sizeof(disposition))
               ? RemoveResult::Removed
               : RemoveResult::Failed;
}

}  // namespace kyt
