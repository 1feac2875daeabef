#include "staging/allocate_staging_directory.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::Call;
using testing::SimulatedPlatform;

// Allocates and drops the holds at once; tests of the holds keep them. Returns the path, or
// an empty one.
WideString Allocate(SimulatedPlatform& platform) {
    const std::optional<StagingArea> area = AllocateStagingDirectory(platform);
    return area ? area->rootPath : WideString();
}

TEST(AllocateStagingDirectory, NamesTheDirectoryByProcessTickAndAttempt) {
    SimulatedPlatform platform;
    platform.processId = 812;
    platform.tickCount = 977;
    EXPECT_EQ(Allocate(platform), u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-0");
    EXPECT_TRUE(platform.Exists(u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-0"));

    SimulatedPlatform zeros;
    zeros.processId = 0;
    zeros.tickCount = 0;
    EXPECT_EQ(Allocate(zeros), u"C:\\Temp\\KYT_DRIVER_SETUP\\0-0-0");

    SimulatedPlatform largest;
    largest.processId = 4294967295u;
    largest.tickCount = 18446744073709551615ull;
    EXPECT_EQ(Allocate(largest),
              u"C:\\Temp\\KYT_DRIVER_SETUP\\4294967295-18446744073709551615-0");
}

TEST(AllocateStagingDirectory, SkipsTakenNamesAndReadsTheClockAfresh) {
    SimulatedPlatform platform;
    platform.tickStep = 5;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-0");
    platform.AddFile(u"C:\\Temp\\KYT_DRIVER_SETUP\\812-982-1");
    EXPECT_EQ(Allocate(platform), u"C:\\Temp\\KYT_DRIVER_SETUP\\812-987-2");
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
    EXPECT_EQ(Allocate(platform), longest + u"KYT_DRIVER_SETUP\\812-977-0");

    for (std::uint32_t refused : {0u, 260u, 261u, 32767u}) {
        SimulatedPlatform other;
        other.SetTempPath(u"C:\\Temp\\", refused);
        EXPECT_EQ(Allocate(other), u"") << refused;
        EXPECT_EQ(other.CallCount(), 1) << "nothing but the query happens for a length of " << refused;
    }
}

TEST(AllocateStagingDirectory, GivesUpAfterOneHundredTakenNames) {
    SimulatedPlatform platform;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    for (int attempt = 0; attempt < 100; ++attempt) {
        platform.AddFile(u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-" + FormatDecimal(attempt));
    }
    const auto before = platform.Disk();
    EXPECT_EQ(Allocate(platform), u"");
    EXPECT_EQ(platform.Disk(), before);
    const auto& log = platform.Log();
    const auto inBase = [](const auto& c) {
        return c.call == Call::CreateHeldFolder && c.detail.starts_with("C:\\Temp\\KYT_DRIVER_SETUP ");
    };
    EXPECT_EQ(std::count_if(log.begin(), log.end(), inBase), 100);
    EXPECT_EQ(std::find_if(log.rbegin(), log.rend(), inBase)->detail, "C:\\Temp\\KYT_DRIVER_SETUP 812-977-99");
    EXPECT_EQ(platform.OpenHandles(), 0);
}

TEST(AllocateStagingDirectory, ALaterAttemptSucceedsAfterFailedOnes) {
    SimulatedPlatform platform;
    // The first creation is the base folder's.
    for (int occurrence = 2; occurrence <= 100; ++occurrence) {
        platform.FailCall(Call::CreateHeldFolder, occurrence);
    }
    EXPECT_EQ(Allocate(platform), u"C:\\Temp\\KYT_DRIVER_SETUP\\812-977-99");

    SimulatedPlatform none;
    for (int occurrence = 2; occurrence <= 101; ++occurrence) {
        none.FailCall(Call::CreateHeldFolder, occurrence);
    }
    EXPECT_EQ(Allocate(none), u"");
    EXPECT_TRUE(none.Exists(u"C:\\Temp\\KYT_DRIVER_SETUP")) << "the base folder stays";
}

const WideString kBase = u"C:\\Temp\\KYT_DRIVER_SETUP";

TEST(AllocateStagingDirectory, NewFoldersAreTheAdministratorsAndTheDirectoryIsHeld) {
    SimulatedPlatform platform;
    std::optional<StagingArea> area = AllocateStagingDirectory(platform);
    ASSERT_TRUE(area);
    const WideString path = area->rootPath;
    ASSERT_EQ(path, kBase + u"\\812-977-0");
    EXPECT_TRUE(area->directories.empty());
    EXPECT_TRUE(area->files.empty());
    for (const WideString& folder : {kBase, path}) {
        EXPECT_TRUE(platform.IsProtected(folder));
        EXPECT_TRUE(platform.IsOwnedByAdministrators(folder));
        EXPECT_FALSE(platform.AttackerCanChange(folder));
    }
    EXPECT_TRUE(platform.IsHeld(path));
    EXPECT_TRUE(platform.IsHeld(kBase));
    EXPECT_FALSE(platform.AttackerRename(u"C:\\Temp", u"C:\\Moved")) << "nothing above a held folder moves";
    area->rootHold.Close();
    EXPECT_FALSE(platform.AttackerRename(kBase, kBase + u".old")) << "the base folder stays held";
    area->baseFolderHold.Close();
    EXPECT_FALSE(platform.IsHeld(path));
    EXPECT_EQ(platform.OpenHandles(), 0);
}

}  // namespace
}  // namespace kyt
