#pragma once
// The two native calls the staging area needs and the Windows API has no form of: a folder
// opened or created relative to a handle, and the volume's device facts read through one. They
// are found in ntdll at run time, so the executable's import list stays as it is.
#include <windows.h>
#include <winternl.h>

#include "common/types.h"

namespace kyt {

// Opens (FILE_OPEN) or creates (FILE_CREATE) the directory `name` relative to the directory
// handle `root` (an empty name opens the root's own object again), never following a reparse
// point at its end; `descriptor` applies to a creation. Returns the handle, or null with the
// call's status in `status`.
HANDLE OpenRelativeDirectory(HANDLE root, const WideString& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                             PSECURITY_DESCRIPTOR descriptor, NTSTATUS& status);

// Returns true when the volume of the open object says it is a remote device; also true when
// the question cannot be asked.
bool IsOnRemoteDevice(HANDLE object);

}  // namespace kyt
