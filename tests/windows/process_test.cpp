#include <gtest/gtest.h>

#include "launch/launch_driver_installer.h"
#include "platform/windows/windows_platform.h"
#include "windows_test_support.h"

namespace kyt {
namespace {

using testing::ScratchFolder;

// Copies the test installer into the folder as dpinst.exe.
void PlaceInstaller(const ScratchFolder& folder) {
    ASSERT_TRUE(::CopyFileW(testing::ToWide(testing::BesideTestProgram(L"kyt_test_installer.exe")).c_str(),
                            testing::ToWide(folder.Path(L"dpinst.exe")).c_str(), FALSE));
}

TEST(WindowsProcess, TheInstallersFullExitCodeComesBack) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    PlaceInstaller(scratch);
    for (const std::uint32_t code : {0u, 3010u, 0x40000000u, 0x80000000u, 0xC0000123u}) {
        ::SetEnvironmentVariableW(L"KYT_TEST_EXIT_CODE", std::to_wstring(code).c_str());
        const InstallerOutcome outcome = LaunchDriverInstaller(platform, scratch.Path());
        EXPECT_TRUE(outcome.started);
        EXPECT_TRUE(outcome.exitCodeKnown);
        EXPECT_EQ(outcome.exitCode, code);
    }
    ::SetEnvironmentVariableW(L"KYT_TEST_EXIT_CODE", nullptr);
}

TEST(WindowsProcess, TheInstallerRunsInItsFolderWithItsQuotedPath) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    ASSERT_EQ(platform.MakeFolder(scratch.Path(L"with blanks 张三")), FolderResult::Created);
    ASSERT_TRUE(::CopyFileW(testing::ToWide(testing::BesideTestProgram(L"kyt_test_installer.exe")).c_str(),
                            testing::ToWide(scratch.Path(L"with blanks 张三\\dpinst.exe")).c_str(), FALSE));
    ::SetEnvironmentVariableW(L"KYT_TEST_RECORD", testing::ToWide(scratch.Path(L"record")).c_str());
    const InstallerOutcome outcome = LaunchDriverInstaller(platform, scratch.Path(L"with blanks 张三"));
    ::SetEnvironmentVariableW(L"KYT_TEST_RECORD", nullptr);
    ASSERT_TRUE(outcome.started);

    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(testing::ToWide(scratch.Path(L"record\\*")).c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::wstring recordFolder;
    do {
        if (found.cFileName[0] != L'.') recordFolder = found.cFileName;
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    HANDLE file = ::CreateFileW(testing::ToWide(scratch.Path(L"record\\" + recordFolder + L"\\record.txt")).c_str(),
                                GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char text[4096] = {};
    DWORD read = 0;
    ::ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    ::CloseHandle(file);
    wchar_t wide[4096] = {};
    ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(read), wide, 4096);
    const std::wstring folder = testing::ToWide(scratch.Path(L"with blanks 张三"));
    const std::wstring record = wide;
    EXPECT_NE(record.find(L"commandline=\"" + folder + L"\\dpinst.exe\"\n"), std::wstring::npos) << record;
    EXPECT_NE(record.find(L"directory=" + folder + L"\n"), std::wstring::npos) << record;
}

TEST(WindowsProcess, AMissingOrBrokenProgramIsNotStarted) {
    WindowsPlatform platform;
    ScratchFolder scratch;
    EXPECT_FALSE(LaunchDriverInstaller(platform, scratch.Path()).started);
    HANDLE file = ::CreateFileW(testing::ToWide(scratch.Path(L"dpinst.exe")).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, "not a program", 13, &written, nullptr);
    ::CloseHandle(file);
    EXPECT_FALSE(LaunchDriverInstaller(platform, scratch.Path()).started);
}

}  // namespace
}  // namespace kyt
