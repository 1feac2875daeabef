#pragma once
// The security descriptors the setup gives what it creates, in their text form.
#include <windows.h>
#include <sddl.h>

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

// A descriptor made from its text, held with the SECURITY_ATTRIBUTES that hand it to a call
// that creates a folder or file.
class DescriptorAttributes {
public:
    explicit DescriptorAttributes(const wchar_t* text)
        : made_(MakeSecurityDescriptor(text, descriptor_)), attributes_{sizeof(attributes_), descriptor_.get(), FALSE} {}
    DescriptorAttributes(const DescriptorAttributes&) = delete;
    DescriptorAttributes& operator=(const DescriptorAttributes&) = delete;

    // Returns the attributes, or null when the text could not be made into a descriptor.
    SECURITY_ATTRIBUTES* get() { return made_ ? &attributes_ : nullptr; }

private:
    LocalPointer<PSECURITY_DESCRIPTOR> descriptor_;
    bool made_;
    SECURITY_ATTRIBUTES attributes_;
};

}  // namespace kyt
