#include "setup/run_setup.h"

#include <gtest/gtest.h>

#include "setup/messages.h"
#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::Call;
using testing::SimulatedPlatform;

const WideString kBase = u"C:\\Temp\\KYT_DRIVER_SETUP";
const WideString kRoot = kBase + u"\\812-977-0";
const std::set<WideString> kOnlyTheBaseFolder{u"C:", u"C:\\Temp", kBase};

// A package with a nested folder and both copies of the installer.
void AddNestedPackage(SimulatedPlatform& platform) {
    platform.AddResource(u"KYT_MANIFEST",
                         "KYT_FILE_000|a.inf\r\nKYT_FILE_001|dpinst.exe\r\nKYT_FILE_002|amd64\\dpinst.exe\r\n"
                         "KYT_FILE_003|amd64\\wdf\\co.dll\r\n");
    platform.AddResource(u"KYT_FILE_000", "[Version]");
    platform.AddResource(u"KYT_FILE_001", "MZ installer");
    platform.AddResource(u"KYT_FILE_002", "MZ installer");
    platform.AddResource(u"KYT_FILE_003", "MZ library");
}

TEST(RunSetup, AGoodPackageIsStagedInstalledAndRemoved) {
    SimulatedPlatform platform;
    AddNestedPackage(platform);
    std::set<WideString> seenByInstaller;
    platform.installer = [&](SimulatedPlatform& p, const auto&) {
        seenByInstaller = p.Disk();
        return 0u;
    };
    EXPECT_EQ(RunSetup(platform), 0);
    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_TRUE(seenByInstaller.count(kRoot + u"\\amd64\\wdf\\co.dll"));
    EXPECT_TRUE(seenByInstaller.count(kRoot + u"\\dpinst.exe"));
    EXPECT_EQ(platform.Disk(), kOnlyTheBaseFolder);
    EXPECT_EQ(platform.OpenHandles(), 0);
}

TEST(RunSetup, TheInstallersExitCodeBecomesTheResultWithoutABox) {
    const std::pair<std::uint32_t, SetupExitCode> table[] = {
        {0u, 0}, {0x12345u, 0}, {0x40000000u, 3010}, {0x80000000u, 1}, {0xC0000000u, 1}};
    for (const auto& [code, expected] : table) {
        SimulatedPlatform platform;
        AddNestedPackage(platform);
        platform.installer = [code = code](auto&, const auto&) { return code; };
        EXPECT_EQ(RunSetup(platform), expected) << std::hex << code;
        EXPECT_TRUE(platform.boxes.empty());
        EXPECT_EQ(platform.Disk(), kOnlyTheBaseFolder);
    }
}

TEST(RunSetup, AnInvalidOrMissingManifestTouchesNothing) {
    for (const char* manifest : std::initializer_list<const char*>{nullptr, "", "\r\n\r\n", "KYT_FILE_000|a.inf\r\nbroken\r\n", "A|..\\x\r\n"}) {
        SimulatedPlatform platform;
        if (manifest != nullptr) {
            platform.AddResource(u"KYT_MANIFEST", manifest);
        }
        EXPECT_EQ(RunSetup(platform), 1);
        ASSERT_EQ(platform.boxes.size(), 1u);
        EXPECT_EQ(platform.boxes[0].text, kMessageInvalidPackage);
        EXPECT_EQ(platform.boxes[0].caption, u"KYT DRIVER SETUP");
        EXPECT_EQ(platform.Log().size(), 3u) << "only the manifest read, the question whether a box is seen, the box";
    }
}

TEST(RunSetup, NoStagingDirectoryGivesTheTemporaryDirectoryMessage) {
    SimulatedPlatform platform;
    AddNestedPackage(platform);
    platform.AddFile(kBase);
    EXPECT_EQ(RunSetup(platform), 1);
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].text, kMessageNoTempDirectory);
    const auto& log = platform.Log();
    EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& call) { return call.starts_with("Remove"); }))
        << "no cleanup: nothing of the run was made";
    EXPECT_EQ(log.back(), "ShowErrorBox " + testing::Narrow(kMessageNoTempDirectory));
}

TEST(RunSetup, ExtractionFailuresCleanUpBeforeTheirMessage) {
    struct Case {
        const char* what;
        Call call;
        int occurrence;
        const char16_t* message;
    };
    const Case cases[] = {
        {"the amd64 folder", Call::MakeFolder, 1, kMessageNoTempFolder},
        {"the wdf folder", Call::MakeFolder, 3, kMessageNoTempFolder},
        {"the first resource", Call::FindResourceBytes, 2, kMessageMissingFile},
        {"the last resource", Call::FindResourceBytes, 5, kMessageMissingFile},
        {"creating the third file", Call::OpenNewFile, 3, kMessageCannotWrite},
        {"writing the last file", Call::WriteBytes, 4, kMessageCannotWrite},
        {"starting the installer", Call::StartProcess, 1, kMessageCannotStartInstaller},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimulatedPlatform platform;
        AddNestedPackage(platform);
        platform.FailCall(c.call, c.occurrence);
        EXPECT_EQ(RunSetup(platform), 1);
        ASSERT_EQ(platform.boxes.size(), 1u);
        EXPECT_EQ(platform.boxes[0].text, c.message);
        EXPECT_EQ(platform.boxes[0].diskAtThatTime, kOnlyTheBaseFolder);
        EXPECT_EQ(platform.Disk(), kOnlyTheBaseFolder);
    }
}

TEST(RunSetup, APackageWithoutARootInstallerCannotStartIt) {
    SimulatedPlatform platform;
    platform.AddResource(u"KYT_MANIFEST", "KYT_FILE_000|amd64\\dpinst.exe\r\n");
    platform.AddResource(u"KYT_FILE_000", "MZ");
    EXPECT_EQ(RunSetup(platform), 1);
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].text, kMessageCannotStartInstaller);
    EXPECT_EQ(platform.boxes[0].diskAtThatTime, kOnlyTheBaseFolder);
}

TEST(RunSetup, CleanupWaitsForTheInstallersEnd) {
    SimulatedPlatform platform;
    AddNestedPackage(platform);
    EXPECT_EQ(RunSetup(platform), 0);
    const auto& log = platform.Log();
    const auto closed = std::find(log.begin(), log.end(), "CloseHandleValue process");
    const auto firstRemoval = std::find_if(log.begin(), log.end(), [](const std::string& s) { return s.starts_with("Remove"); });
    ASSERT_NE(closed, log.end());
    EXPECT_LT(closed, firstRemoval);
}

TEST(RunSetup, AnUnknownInstallerResultIsFailureWithoutABox) {
    for (const Call failing : {Call::WaitForExit, Call::ReadExitCode}) {
        SimulatedPlatform platform;
        AddNestedPackage(platform);
        platform.installer = [](auto&, const auto&) { return 0u; };
        platform.FailCall(failing);
        EXPECT_EQ(RunSetup(platform), 1) << testing::CallName(failing);
        EXPECT_TRUE(platform.boxes.empty());
        EXPECT_EQ(platform.OpenHandles(), 0);
        EXPECT_EQ(platform.Disk(), kOnlyTheBaseFolder);
    }
}

// Returns the message a run must end with when the given call (as logged) fails, or nothing
// when the run goes on to the installer.
std::optional<WideString> ExpectedMessage(const std::string& failed, bool firstMakeProtectedFolder) {
    const auto is = [&](const char* prefix) { return failed.starts_with(prefix); };
    if (is("FindResourceBytes KYT_MANIFEST")) return WideString(kMessageInvalidPackage);
    if (is("ReadTempPath") || is("HoldFolder") || is("IsOnLocalVolumeWithAccessLists") || is("IsRealDirectory") ||
        (is("MakeProtectedFolder") && firstMakeProtectedFolder)) {
        return WideString(kMessageNoTempDirectory);
    }
    if (is("MakeFolder ")) return WideString(kMessageNoTempFolder);
    if (is("FindResourceBytes")) return WideString(kMessageMissingFile);
    if (is("OpenNewFile") || is("WriteBytes")) return WideString(kMessageCannotWrite);
    if (is("StartProcess")) return WideString(kMessageCannotStartInstaller);
    return std::nullopt;
}

// Fails each platform call of a whole run in turn, one run per call position, with the base
// folder missing and then found from an earlier run, and checks the ending, the exit code, the
// single box shown after cleanup, and that nothing of the run is left but the base folder. A
// run that nobody watches ends the same way, with the same cleanup, but without the box.
TEST(RunSetup, NoFailingCallLosesTrackOfTheDisk) {
    int runs = 0;
    for (const bool baseExists : {false, true}) {
        SimulatedPlatform reference;
        AddNestedPackage(reference);
        if (baseExists) reference.AddProtectedFolder(kBase);
        ASSERT_EQ(RunSetup(reference), 0);
        const int calls = reference.CallCount();
        ASSERT_GT(calls, 20);

        for (int number = 1; number <= calls; ++number) {
            SimulatedPlatform platform;
            AddNestedPackage(platform);
            if (baseExists) platform.AddProtectedFolder(kBase);
            platform.FailCallNumber(number);
            const SetupExitCode result = RunSetup(platform);
            ++runs;
            const std::string failed = platform.Log()[number - 1];
            SCOPED_TRACE("failing call " + std::to_string(number) + ": " + failed);
            const bool firstProtected = failed == "MakeProtectedFolder " + testing::Narrow(kBase);
            const std::optional<WideString> message = ExpectedMessage(failed, firstProtected);
            const bool silentFailure = failed.starts_with("WaitForExit") || failed.starts_with("ReadExitCode");
            EXPECT_EQ(result, message || silentFailure ? 1 : 0);
            ASSERT_EQ(platform.boxes.size(), message ? 1u : 0u);
            EXPECT_EQ(platform.OpenHandles(), 0);

            // Nothing of the run remains but the base folder (which a failed early step never
            // made), unless the failed call was one of the cleanup's own removals.
            const std::set<WideString> disk = platform.Disk();
            if (!failed.starts_with("Remove") && !failed.starts_with("ReferToFolder")) {
                EXPECT_TRUE(std::includes(kOnlyTheBaseFolder.begin(), kOnlyTheBaseFolder.end(), disk.begin(), disk.end()));
            }
            if (message) {
                EXPECT_EQ(platform.boxes[0].text, *message);
                EXPECT_EQ(platform.boxes[0].diskAtThatTime, disk) << "the box comes after the cleanup";

                SimulatedPlatform unwatched;
                AddNestedPackage(unwatched);
                if (baseExists) unwatched.AddProtectedFolder(kBase);
                unwatched.FailCallNumber(number);
                unwatched.boxCanBeSeen = false;
                EXPECT_EQ(RunSetup(unwatched), 1);
                EXPECT_TRUE(unwatched.boxes.empty());
                EXPECT_EQ(unwatched.Disk(), disk);
                EXPECT_EQ(unwatched.Log().back(), "BoxCanBeSeen") << "asked last, after the same cleanup";
                ++runs;
            }
        }
    }
    std::cout << "[          ] fault sweep: " << runs << " runs, one per platform call of a run, watched or not\n";
}

}  // namespace
}  // namespace kyt
