#pragma once
// The two native calls the staging area needs and the Windows API has no form of: a folder
// opened or created relative to a handle, and the volume's device facts read through one. They
// are found in ntdll at run time, so the executable's import list stays as it is.
#include <windows.h>
#include <winternl.h>

#include "common/types.h"
#include "platform/windows/local_resources.h"

namespace kyt {

// A hold lists the folder, so the open takes part in sharing, and shares reading and writing but
// not deletion: while it is open nobody can delete or rename the folder. It asks for no right to
// delete it either, which would refuse the installer the current-directory open it makes.
constexpr ACCESS_MASK kHoldAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Creates the directory `name` in the directory handle `parent` (FILE_CREATE: only a new one,
// with `descriptor`; FILE_OPEN_IF: also one found there, as it is) and opens it as a hold, never
// following a reparse point at its end. Returns the handle, or null.
HANDLE OpenHeldDirectory(HANDLE parent, const WideString& name, ULONG disposition, PSECURITY_DESCRIPTOR descriptor);

// Opens the object of the directory handle `folder` again with `access`, sharing everything,
// into `reopened`, which holds nothing yet; returns the call's status.
NTSTATUS ReopenDirectory(HANDLE folder, ACCESS_MASK access, UniqueHandle& reopened);

// Returns true when the volume of the open object says it is a remote device; also true when
// the question cannot be asked.
bool IsOnRemoteDevice(HANDLE object);

}  // namespace kyt
