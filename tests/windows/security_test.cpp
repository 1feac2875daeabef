#include <aclapi.h>
#include <algorithm>
#include <gtest/gtest.h>
#include <sddl.h>

#include "platform/windows/windows_platform.h"
#include "windows_test_support.h"

namespace kyt {
namespace {

using testing::ScratchFolder;
using testing::ToWide;
using testing::UnderWine;

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

// Returns the hold of the scratch folder, as the temporary folder is held.
OwnedHandle HoldScratch(WindowsPlatform& platform, const ScratchFolder& scratch) {
    auto held = platform.HoldFolder(scratch.Path());
    return held ? std::move(held->hold) : OwnedHandle();
}

// Creates the folder relative to the held one and holds it only for this call.
bool Made(WindowsPlatform& platform, HandleValue parent, const WideString& name, Creation creation) {
    const auto held = platform.CreateHeldFolder(parent, name, creation);
    return held && held->isRealDirectory;
}

TEST(WindowsSecurity, ANewProtectedFolderGrantsNobodyElseAnythingAndAFoundOneKeepsItsList) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const OwnedHandle temp = HoldScratch(platform, scratch);
    ASSERT_TRUE(Made(platform, temp.value(), u"protected", Creation::NewOnly));
    EXPECT_FALSE(Made(platform, temp.value(), u"PROTECTED", Creation::NewOnly)) << "only a folder this call made";
    EXPECT_TRUE(Made(platform, temp.value(), u"protected", Creation::NewOrExisting));
    ExpectProtected(scratch.Path(L"protected"));
    ASSERT_EQ(platform.MakeFolder(scratch.Path(L"plain")), FolderResult::Created);
    const std::wstring plain = AccessListOf(scratch.Path(L"plain"));
    EXPECT_NE(plain, AccessListOf(scratch.Path(L"protected"))) << "a plain folder differs";
    EXPECT_TRUE(Made(platform, temp.value(), u"plain", Creation::NewOrExisting));
    EXPECT_EQ(AccessListOf(scratch.Path(L"plain")), plain) << "a folder found is opened as it is";
}

// Returns the number of entries in a folder, "." and ".." aside.
int CountEntries(const WideString& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((ToWide(folder) + L"\\*").c_str(), &found);
    int count = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            count += std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..";
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    return count;
}

TEST(WindowsSecurity, AFolderCreatedThroughAHeldOneIsHeldProtectedAndRemovedThroughItsHandle) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const WideString base = scratch.Path(L"base");
    const OwnedHandle temp = HoldScratch(platform, scratch);
    auto heldBase = platform.CreateHeldFolder(temp.value(), u"base", Creation::NewOrExisting);
    ASSERT_TRUE(heldBase);
    const OwnedHandle& baseHold = heldBase->hold;
    EXPECT_TRUE(heldBase->isRealDirectory);
    EXPECT_EQ(ToWide(heldBase->finalPath), ToWide(base)) << "no junction on the way: the same path";
    EXPECT_TRUE(platform.IsOnLocalVolumeWithAccessLists(baseHold.value()));
    EXPECT_TRUE(platform.IsRealDirectory(baseHold.value()));

    auto held = platform.CreateHeldFolder(baseHold.value(), u"812-977-0", Creation::NewOnly);
    ASSERT_TRUE(held);
    OwnedHandle& hold = held->hold;
    EXPECT_TRUE(held->isRealDirectory);
    EXPECT_EQ(ToWide(held->finalPath), ToWide(base + u"\\812-977-0"));
    ExpectProtected(held->finalPath);
    EXPECT_FALSE(Made(platform, baseHold.value(), u"812-977-0", Creation::NewOnly)) << "only a folder this call made";
    // The hold asks for no deletion, so the installer can make it its current directory.
    EXPECT_TRUE(::SetCurrentDirectoryW(ToWide(held->finalPath).c_str()));
    ::SetCurrentDirectoryW(ToWide(scratch.Path()).c_str());

    // Removal goes through a reference, which the hold refuses while it is open.
    auto referred = platform.ReferToFolder(hold.value());
    ASSERT_TRUE(referred);
    OwnedHandle& reference = *referred;
    EXPECT_EQ(platform.RemoveReferredFolder(reference.value()), RemoveResult::Busy);
    EXPECT_EQ(CountEntries(base), 1);
    hold.Close();
    platform.OpenNewFile(held->finalPath + u"\\inside.bin");
    EXPECT_EQ(platform.RemoveReferredFolder(reference.value()), RemoveResult::Failed) << "not while it holds a file";
    EXPECT_EQ(platform.RemoveFile(held->finalPath + u"\\inside.bin"), RemoveResult::Removed);
    EXPECT_EQ(platform.RemoveReferredFolder(reference.value()), RemoveResult::Removed);
    reference.Close();
    EXPECT_EQ(CountEntries(base), 0);
}

TEST(WindowsSecurity, FilesMissingPathsAndTheObjectNamespaceAreNoFoldersToHold) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const WideString file = scratch.Path(L"file");
    platform.OpenNewFile(file);
    const OwnedHandle temp = HoldScratch(platform, scratch);
    EXPECT_FALSE(Made(platform, temp.value(), u"file", Creation::NewOrExisting));
    for (const WideString& path : {file, scratch.Path(L"missing"), WideString(u"\\\\?\\GLOBALROOT\\RPC Control\\")}) {
        EXPECT_FALSE(platform.HoldFolder(path)) << ToWide(path).c_str();
    }
}

TEST(WindowsSecurity, ALinkIsFollowedByPathAndOpenedAsItselfBelowAHold) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    ASSERT_EQ(platform.MakeFolder(scratch.Path(L"target")), FolderResult::Created);
    const std::wstring link = ToWide(scratch.Path(L"link"));
    if (!::CreateSymbolicLinkW(link.c_str(), ToWide(scratch.Path(L"target")).c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) ||
        ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "this system makes no usable directory link here (the end-to-end tests link from Linux)";
    }
    const OwnedHandle temp = HoldScratch(platform, scratch);
    EXPECT_FALSE(Made(platform, temp.value(), u"link", Creation::NewOrExisting)) << "opened as itself";
    auto held = platform.HoldFolder(scratch.Path(L"link"));
    ASSERT_TRUE(held) << "a path by name is followed";
    EXPECT_EQ(ToWide(held->finalPath), ToWide(scratch.Path(L"target")));
    held.reset();
    ::RemoveDirectoryW(link.c_str());
}

}  // namespace
}  // namespace kyt
