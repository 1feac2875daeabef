#include "staging/allocate_staging_directory.h"

#include <gtest/gtest.h>

#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::Call;
using testing::SimulatedPlatform;

TEST(AllocateStagingDirectory, NamesTheDirectoryByProcessTickAndAttempt) {
    SimulatedPlatform platform;
    platform.processId = 812;
    platform.tickCount = 977;
    EXPECT_EQ(AllocateStagingDirectory(platform), u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-0");
    EXPECT_TRUE(platform.Exists(u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-0"));

    SimulatedPlatform zeros;
    zeros.processId = 0;
    zeros.tickCount = 0;
    EXPECT_EQ(AllocateStagingDirectory(zeros), u"C:\\Temp\\KYT_DRIVER_SETUP\\0-0-0");

    SimulatedPlatform largest;
    largest.processId = 4294967295u;
    largest.tickCount = 18446744073709551615ull;
    EXPECT_EQ(AllocateStagingDirectory(largest),
              u"C:\\Temp\\KYT_DRIVER_SETUP\\4294967295-18446744073709551615-0");
}

TEST(AllocateStagingDirectory, SkipsTakenNamesAndReadsTheClockAfresh) {
    SimulatedPlatform platform;
    platform.tickStep = 5;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-0");
    platform.AddFile(u"C:\\Temp\\KYT_DRIVER_SETUP\\812-982-1");
    EXPECT_EQ(AllocateStagingDirectory(platform), u"C:\\Temp\\KYT_DRIVER_SETUP\\812-987-2");
    // The taken names are left as they were.
    EXPECT_TRUE(platform.Exists(u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-0"));
    EXPECT_EQ(platform.FileContents(u"C:\\Temp\\KYT_DRIVER_SETUP\\812-982-1"), "x");
}

TEST(AllocateStagingDirectory, AcceptsTempPathsShorterThanTheBuffer) {
    const WideString longest = u"C:\\" + WideString(255, u'T') + u"\\";
    ASSERT_EQ(longest.size(), 259u);
    SimulatedPlatform platform;
    platform.AddFolder(longest.substr(0, 258));
    platform.SetTempPath(longest);
    EXPECT_EQ(AllocateStagingDirectory(platform), longest + u"KYT_DRIVER_SETUP\\812-977-0");

    for (std::uint32_t refused : {0u, 260u, 261u, 32767u}) {
        SimulatedPlatform other;
        other.SetTempPath(u"C:\\Temp\\", refused);
        EXPECT_EQ(AllocateStagingDirectory(other), u"") << refused;
        EXPECT_EQ(other.CallCount(), 1) << "nothing but the query happens for a length of " << refused;
    }
}

TEST(AllocateStagingDirectory, AFileInPlaceOfTheBaseFolderGivesUpAfterOneHundredAttempts) {
    SimulatedPlatform platform;
    platform.AddFile(u"C:\\Temp\\KYT_DRIVER_SETUP");
    const auto before = platform.Disk();
    EXPECT_EQ(AllocateStagingDirectory(platform), u"");
    EXPECT_EQ(platform.Disk(), before);
    const auto& log = platform.Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& s) { return s.starts_with("MakeFolder"); }),
              101);
    EXPECT_EQ(log.back(), "MakeFolder C:\\Temp\\KYT_DRIVER_SETUP\\812-977-99");
}

TEST(AllocateStagingDirectory, AFailedBaseFolderEndsAtOnce) {
    SimulatedPlatform platform;
    platform.FailCall(Call::MakeFolder, 1);
    EXPECT_EQ(AllocateStagingDirectory(platform), u"");
    EXPECT_EQ(platform.CallCount(), 2);
    EXPECT_FALSE(platform.Exists(u"C:\\Temp\\KYT_DRIVER_SETUP"));
}

TEST(AllocateStagingDirectory, ALaterAttemptSucceedsAfterFailedOnes) {
    SimulatedPlatform platform;
    for (int occurrence = 2; occurrence <= 100; ++occurrence) {
        platform.FailCall(Call::MakeFolder, occurrence);
    }
    EXPECT_EQ(AllocateStagingDirectory(platform), u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-99");

    SimulatedPlatform none;
    for (int occurrence = 2; occurrence <= 101; ++occurrence) {
        none.FailCall(Call::MakeFolder, occurrence);
    }
    EXPECT_EQ(AllocateStagingDirectory(none), u"");
    EXPECT_TRUE(none.Exists(u"C:\\Temp\\KYT_DRIVER_SETUP")) << "the base folder stays";
}

}  // namespace
}  // namespace kyt
