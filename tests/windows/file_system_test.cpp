#include <gtest/gtest.h>

#include "platform/windows/windows_platform.h"
#include "windows_test_support.h"

namespace kyt {
namespace {

using testing::ScratchFolder;
using testing::ToWide;

TEST(WindowsFileSystem, TheTemporaryPathEndsWithABackslash) {
    WindowsPlatform platform;
    const TempPathReading temp = platform.ReadTempPath();
    ASSERT_GT(temp.length, 0u);
    ASSERT_LT(temp.length, 260u);
    EXPECT_EQ(temp.path.size(), temp.length);
    EXPECT_EQ(temp.path.back(), u'\\');
}

TEST(WindowsFileSystem, FoldersAreCreatedFoundOrRefused) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    EXPECT_EQ(platform.MakeFolder(scratch.Path(L"a")), FolderResult::Created);
    EXPECT_EQ(platform.MakeFolder(scratch.Path(L"a")), FolderResult::AlreadyExists);
    EXPECT_EQ(platform.MakeFolder(scratch.Path(L"A")), FolderResult::AlreadyExists) << "names ignore case";
    EXPECT_EQ(platform.MakeFolder(scratch.Path(L"missing\\b")), FolderResult::Failed);
    EXPECT_EQ(platform.MakeFolder(scratch.Path(L"a\\bad|name")), FolderResult::Failed);
    EXPECT_EQ(platform.MakeFolder(scratch.Path(L"张三 folder")), FolderResult::Created);
    EXPECT_TRUE(ScratchFolder::Exists(scratch.Path(L"张三 folder")));
}

TEST(WindowsFileSystem, AFileInPlaceOfAFolderCountsAsThere) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const WideString file = scratch.Path(L"plain");
    ASSERT_TRUE(platform.OpenNewFile(file));
    EXPECT_EQ(platform.MakeFolder(file), FolderResult::AlreadyExists);
    EXPECT_EQ(platform.MakeFolder(file + u"\\child"), FolderResult::Failed);
}

TEST(WindowsFileSystem, ANewFileIsWrittenWholeAndReplacesAnOldOne) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const WideString path = scratch.Path(L"f.bin");
    const ByteBuffer big(5 << 20, 0x5A);
    for (const ByteBuffer& bytes : {big, ByteBuffer{1, 2, 3}}) {
        const auto file = platform.OpenNewFile(path);
        ASSERT_TRUE(file);
        std::uint32_t written = 0;
        ASSERT_TRUE(platform.WriteBytes(file->value(), bytes, written));
        EXPECT_EQ(written, bytes.size());
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(::GetFileAttributesExW(testing::ToWide(path).c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 3u) << "CREATE_ALWAYS truncates";
}

TEST(WindowsFileSystem, AnOpenFileIsExclusive) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    const WideString path = scratch.Path(L"busy.bin");
    const auto file = platform.OpenNewFile(path);
    ASSERT_TRUE(file);
    EXPECT_FALSE(platform.OpenNewFile(path)) << "no sharing while it is written";
    EXPECT_FALSE(platform.OpenNewFile(scratch.Path(L"nowhere\\x.bin")));
    EXPECT_FALSE(platform.OpenNewFile(scratch.Path(L"")));
}

TEST(WindowsFileSystem, RemovalTakesFilesAndOnlyEmptyFolders) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    ASSERT_EQ(platform.MakeFolder(scratch.Path(L"d")), FolderResult::Created);
    const WideString file = scratch.Path(L"d\\f.bin");
    ASSERT_TRUE(platform.OpenNewFile(file));
    EXPECT_EQ(platform.RemoveFolder(scratch.Path(L"d")), RemoveResult::Failed) << "never recursive";
    {
        // Another program (a scanner, say) has the file open without sharing its deletion.
        const HANDLE scanner = ::CreateFileW(ToWide(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
        EXPECT_EQ(platform.RemoveFile(file), RemoveResult::Busy);
        ::CloseHandle(scanner);
    }
    EXPECT_EQ(platform.RemoveFolder(file), RemoveResult::Removed) << "a file is no folder: none to remove";
    EXPECT_TRUE(ScratchFolder::Exists(file));
    EXPECT_EQ(platform.RemoveFile(file), RemoveResult::Removed);
    // What is gone already, also under another spelling or below a missing folder, is removed.
    for (const wchar_t* gone : {L"d\\f.bin", L"D\\F.BIN", L"d\\missing\\x.bin"}) {
        EXPECT_EQ(platform.RemoveFile(scratch.Path(gone)), RemoveResult::Removed);
        EXPECT_EQ(platform.RemoveFolder(scratch.Path(gone)), RemoveResult::Removed);
    }
    EXPECT_EQ(platform.RemoveFolder(scratch.Path(L"D")), RemoveResult::Removed);
    EXPECT_FALSE(ScratchFolder::Exists(scratch.Path(L"d")));
}

}  // namespace
}  // namespace kyt
