#include <aclapi.h>
#include <algorithm>
#include <gtest/gtest.h>
#include <sddl.h>

#include "platform/owned_handle.h"
#include "platform/windows/windows_platform.h"
#include "windows_test_support.h"

namespace kyt {
namespace {

using testing::ScratchFolder;
using testing::ToWide;

// Returns true when running under Wine, which keeps no access list as given and does not
// enforce sharing on directories.
bool UnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Returns the folder's access list in SDDL form, or an empty string.
std::wstring AccessListOf(const WideString& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL access = nullptr;
    if (::GetNamedSecurityInfoW(ToWide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &access, nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"";
    }
    wchar_t* text = nullptr;
    std::wstring result;
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                               &text, nullptr)) {
        result = text;
        ::LocalFree(text);
    }
    ::LocalFree(descriptor);
    return result;
}

// Checks that a folder made with the protected list grants nobody but SYSTEM and
// Administrators anything. Wine keeps no access list: it turns the one given at creation into
// the Unix file mode (no rights for others) and shows a list made up from that mode, which
// then has no entry for Everyone.
void ExpectProtected(const WideString& path) {
    const std::wstring access = AccessListOf(path);
    if (UnderWine()) {
        EXPECT_EQ(access.find(L";;;WD)"), std::wstring::npos) << access;
        EXPECT_NE(access.find(L"(A;OICI;FA;;;SY)"), std::wstring::npos) << access;
        return;
    }
    EXPECT_TRUE(access.starts_with(L"D:P")) << "protected: nothing inherited; " << access;
    EXPECT_EQ(std::count(access.begin(), access.end(), L'('), 2) << access;
    EXPECT_NE(access.find(L"(A;OICI;FA;;;SY)"), std::wstring::npos) << access;
    EXPECT_NE(access.find(L"(A;OICI;FA;;;BA)"), std::wstring::npos) << access;
}

TEST(WindowsSecurity, ANewProtectedFolderGrantsNobodyElseAnything) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const WideString path = scratch.Path(L"protected");
    ASSERT_EQ(platform.MakeProtectedFolder(path), FolderResult::Created);
    EXPECT_EQ(platform.MakeProtectedFolder(path), FolderResult::AlreadyExists);
    ExpectProtected(path);
    ASSERT_EQ(platform.MakeFolder(scratch.Path(L"plain")), FolderResult::Created);
    EXPECT_NE(AccessListOf(scratch.Path(L"plain")), AccessListOf(path)) << "a plain folder differs";
}

TEST(WindowsSecurity, AnExistingFolderOfThisProcessIsTrustedAndProtected) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const WideString path = scratch.Path(L"existing");
    ASSERT_EQ(platform.MakeFolder(path), FolderResult::Created);
    ASSERT_EQ(platform.MakeProtectedFolder(scratch.Path(L"own")), FolderResult::Created);
    const auto existing = platform.OpenExistingFolder(path);
    ASSERT_TRUE(existing);
    OwnedHandle folder(platform, existing->handle);
    EXPECT_TRUE(existing->isRealDirectory);
    const auto own = platform.HoldFolder(scratch.Path(L"own"));
    ASSERT_TRUE(own);
    OwnedHandle ownHold(platform, *own);
    EXPECT_TRUE(platform.HasTrustedOwner(folder.value(), ownHold.value()));
    EXPECT_TRUE(platform.ProtectFolder(folder.value()));
    folder.Close();
    // Wine accepts a new access list for an existing file but keeps nothing of it.
    if (!UnderWine()) {
        ExpectProtected(path);
    }
}

TEST(WindowsSecurity, FilesAndSymbolicLinksAreNoRealDirectories) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const WideString file = scratch.Path(L"file");
    OwnedHandle(platform, *platform.OpenNewFile(file));
    const auto existing = platform.OpenExistingFolder(file);
    ASSERT_TRUE(existing);
    OwnedHandle folder(platform, existing->handle);
    EXPECT_FALSE(existing->isRealDirectory);
    EXPECT_FALSE(platform.HoldFolder(file));
    EXPECT_FALSE(platform.OpenExistingFolder(scratch.Path(L"missing")));

    ASSERT_EQ(platform.MakeFolder(scratch.Path(L"target")), FolderResult::Created);
    if (::CreateSymbolicLinkW(ToWide(scratch.Path(L"link")).c_str(), ToWide(scratch.Path(L"target")).c_str(),
                              SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        // Refused either way: not opened at all, or opened and seen to be no real directory.
        const auto link = platform.OpenExistingFolder(scratch.Path(L"link"));
        OwnedHandle linkHandle = link ? OwnedHandle(platform, link->handle) : OwnedHandle();
        EXPECT_TRUE(!link || !link->isRealDirectory);
        EXPECT_FALSE(platform.HoldFolder(scratch.Path(L"link")));
        ::RemoveDirectoryW(ToWide(scratch.Path(L"link")).c_str());
    }
}

TEST(WindowsSecurity, AHeldFolderStaysUsableAndCannotBeRemovedOrRenamed) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const WideString path = scratch.Path(L"held");
    ASSERT_EQ(platform.MakeProtectedFolder(path), FolderResult::Created);
    const auto held = platform.HoldFolder(path);
    ASSERT_TRUE(held);
    OwnedHandle hold(platform, *held);
    // The installer can still make it its current directory and write in it.
    EXPECT_TRUE(::SetCurrentDirectoryW(ToWide(path).c_str()));
    EXPECT_TRUE(OwnedHandle(platform, *platform.OpenNewFile(path + u"\\inside.bin")).value() != 0);
    EXPECT_TRUE(platform.RemoveFile(path + u"\\inside.bin"));
    ::SetCurrentDirectoryW(ToWide(scratch.Path()).c_str());
    if (!UnderWine()) {
        // Wine does not enforce sharing on directories; Windows refuses both while held.
        EXPECT_FALSE(::MoveFileW(ToWide(path).c_str(), ToWide(scratch.Path(L"moved")).c_str()));
        EXPECT_FALSE(platform.RemoveFolder(path));
    }
    hold.Close();
    EXPECT_TRUE(platform.RemoveFolder(path));
}

}  // namespace
}  // namespace kyt
