#include "launch/launch_driver_installer.h"

#include <gtest/gtest.h>

#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::SimulatedPlatform;

const WideString kRoot = u"C:\\Users\\Zhang San\\AppData\\Local\\Temp\\KYT_DRIVER_SETUP\\1-2-0";

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

}  // namespace
}  // namespace kyt
