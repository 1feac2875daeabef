#include "launch/launch_driver_installer.h"

#include <gtest/gtest.h>

#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::SimulatedPlatform;

const WideString kRoot = u"C:\\Users\\Zhang San\\AppData\\Local\\Temp\\KYT_DRIVER_SETUP\\1-2-0";

TEST(MapInstallerExitCode, ReadsOnlyTheFailureAndRestartBits) {
    const std::pair<std::uint32_t, SetupExitCode> table[] = {
        {0x00000000u, 0},    {0x00000001u, 0},    {0x00012345u, 0},    {0x3FFFFFFFu, 0},
        {0x40000000u, 3010}, {0x40000101u, 3010}, {0x80000000u, 1},    {0x80000001u, 1},
        {0xC0000000u, 1},    {0xFFFFFFFFu, 1},    {0xBFFFFFFFu, 1},    {0x7FFFFFFFu, 3010},
    };
    for (const auto& [code, expected] : table) {
        EXPECT_EQ(MapInstallerExitCode(code), expected) << std::hex << code;
    }
}

TEST(LaunchDriverInstaller, StartsTheQuotedPathInTheStagingDirectory) {
    SimulatedPlatform platform;
    platform.AddFile(kRoot + u"\\dpinst.exe");
    platform.installer = [](auto&, const auto&) { return 0x40000000u; };
    const InstallerOutcome outcome = LaunchDriverInstaller(platform, kRoot);
    EXPECT_TRUE(outcome.started);
    EXPECT_TRUE(outcome.exitCodeKnown);
    EXPECT_EQ(outcome.exitCode, 0x40000000u);
    ASSERT_EQ(platform.started.size(), 1u);
    const auto& program = platform.started[0];
    EXPECT_EQ(program.applicationPath, kRoot + u"\\dpinst.exe");
    EXPECT_EQ(program.commandLine, u"\"" + kRoot + u"\\dpinst.exe\"");
    EXPECT_EQ(program.commandLine.size(), program.applicationPath.size() + 2);
    EXPECT_EQ(program.currentDirectory, kRoot);
}

TEST(LaunchDriverInstaller, ClosesTheThreadThenTheProcess) {
    SimulatedPlatform platform;
    platform.AddFile(kRoot + u"\\dpinst.exe");
    LaunchDriverInstaller(platform, kRoot);
    const auto& log = platform.Log();
    ASSERT_GE(log.size(), 4u);
    std::vector<std::string> last;
    for (auto call = log.end() - 4; call != log.end(); ++call) last.push_back(call->Text());
    EXPECT_EQ(last,
              (std::vector<std::string>{"WaitForExit", "ReadExitCode", "CloseHandleValue thread",
                                        "CloseHandleValue process"}));
    EXPECT_EQ(platform.OpenHandles(), 0);
}

}  // namespace
}  // namespace kyt
