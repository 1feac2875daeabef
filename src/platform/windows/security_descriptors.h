#pragma once
// The security descriptors the setup gives what it creates, in their text form.
#include <windows.h>
#include <sddl.h>

#include "platform/platform.h"
#include "platform/windows/local_resources.h"

namespace kyt {

// Owned by Administrators; full control for SYSTEM and Administrators, inherited by everything
// below, and protected: nothing is inherited from the folder above.
inline constexpr wchar_t kProtectedFolder[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Owned by Administrators; the access list is inherited from the parent folder.
inline constexpr wchar_t kAdministratorsOwner[] = L"O:BA";

// Returns true and fills `descriptor` with the descriptor in its binary form.
inline bool MakeSecurityDescriptor(const wchar_t* text, LocalPointer<PSECURITY_DESCRIPTOR>& descriptor) {
    return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, descriptor.put(), nullptr) !=
           FALSE;
}

// Creates one folder with the given descriptor; tells whether this call created it.
FolderResult CreateFolderWith(const WideString& path, const wchar_t* descriptorText);

}  // namespace kyt
