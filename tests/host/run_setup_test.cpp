#include "setup/run_setup.h"

#include <gtest/gtest.h>

#include "support/run_judge.h"
#include "support/scenes.h"
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

// Returns one failure per rule of the judge that the finished run broke.
void ExpectJudged(const SimulatedPlatform& platform, SetupExitCode result, const std::set<WideString>& before) {
    for (const std::string& fault : testing::JudgeRun(platform, result, &before)) {
        ADD_FAILURE() << fault;
    }
}

TEST(RunSetup, AGoodPackageIsStagedInstalledAndRemovedAfterTheInstallersEnd) {
    SimulatedPlatform platform;
    AddNestedPackage(platform);
    const std::set<WideString> before = platform.Disk();
    std::set<WideString> seenByInstaller;
    platform.installer = [&](SimulatedPlatform& p, const auto&) {
        seenByInstaller = p.Disk();
        return 0u;
    };
    const SetupExitCode result = RunSetup(platform);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(seenByInstaller.count(kRoot + u"\\amd64\\wdf\\co.dll"));
    EXPECT_TRUE(seenByInstaller.count(kRoot + u"\\dpinst.exe"));
    EXPECT_EQ(platform.Disk(), kOnlyTheBaseFolder);
    ExpectJudged(platform, result, before);
}

TEST(RunSetup, AnInvalidOrMissingManifestTouchesNothing) {
    for (const char* manifest : std::initializer_list<const char*>{nullptr, "", "\r\n\r\n", "KYT_FILE_000|a.inf\r\nbroken\r\n", "A|..\\x\r\n"}) {
        SimulatedPlatform platform;
        if (manifest != nullptr) {
            platform.AddResource(u"KYT_MANIFEST", manifest);
        }
        const std::set<WideString> before = platform.Disk();
        const SetupExitCode result = RunSetup(platform);
        EXPECT_EQ(testing::RecordedEnding(platform), RunEnding::InvalidPackage);
        ExpectJudged(platform, result, before);
        const auto& log = platform.Log();
        EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const auto& c) { return c.call == Call::ReadTempPath; }))
            << "nothing has looked at the disk";
    }
}

// Returns a scene whose installer runs for 1.5 seconds and ends with this exit code.
std::function<void(SimulatedPlatform&)> InstallerEndsWith(std::uint32_t code) {
    return [code](SimulatedPlatform& platform) {
        platform.installer = [code](SimulatedPlatform& p, const auto&) {
            p.tickCount += 1500;
            return code;
        };
    };
}

// Returns a scene in which the n-th call of this kind fails.
std::function<void(SimulatedPlatform&)> Failing(Call call, int occurrence = 1) {
    return [call, occurrence](SimulatedPlatform& platform) { platform.FailCall(call, occurrence); };
}

// Every ending, watched and not, is the one its scene calls for, and its one record tells it:
// the installer's exit code read by its failure and restart bits and decoded, the staging
// directory, what cleanup left behind, and the run's duration. The judge checks the rest: the
// exit code, the box, the order of record and box, and the disk.
TEST(RunSetup, EveryEndingIsTheOneItsSceneCallsForAndItsRecordTellsIt) {
    const std::string root = testing::Narrow(kRoot);
    const std::string notRun = "Installer exit code: none; the installer did not run.";
    struct Ending {
        const char* what;
        std::function<void(SimulatedPlatform&)> scene;
        RunEnding ending;
        std::string installer;  // what the record says of the installer
        std::string cleanup;    // and of what cleanup left behind; empty: nothing
    };
    const Ending endings[] = {
        {"installed, with a file that stays in use",
         [](SimulatedPlatform& platform) {
             InstallerEndsWith(0x00000003)(platform);
             platform.KeepBusy(kRoot + u"\\a.inf", -1);
         },
         RunEnding::Installed,
         "Installer exit code 0x00000003: failure reported: no, restart needed: no; packages failed: 0, only staged: 0, "
         "installed: 3.",
         "Cleanup left 2 paths behind; the first: " + root + "\\a.inf"},
        {"other bits than 31 and 30 are no failure", InstallerEndsWith(0x3FFFFFFF), RunEnding::Installed,
         "Installer exit code 0x3FFFFFFF: failure reported: no, restart needed: no; packages failed: 255, only staged: "
         "255, installed: 255.", ""},
        {"restart needed", InstallerEndsWith(0x40000102), RunEnding::RestartNeeded,
         "Installer exit code 0x40000102: failure reported: no, restart needed: yes; packages failed: 0, only staged: 1, "
         "installed: 2.", ""},
        {"installer failed", InstallerEndsWith(0x80000000), RunEnding::InstallerFailed,
         "Installer exit code 0x80000000: failure reported: yes, restart needed: no; packages failed: 0, only staged: 0, "
         "installed: 0.", ""},
        {"installer failed and asks for a restart", InstallerEndsWith(0xC0FF0201), RunEnding::InstallerFailed,
         "Installer exit code 0xC0FF0201: failure reported: yes, restart needed: yes; packages failed: 255, only staged: 2, "
         "installed: 1.", ""},
        {"installer's result unread",
         [](SimulatedPlatform& platform) {
             InstallerEndsWith(0)(platform);
             platform.FailCall(Call::ReadExitCode);
         },
         RunEnding::InstallerResultUnknown,
         "Installer exit code: unknown; the installer ran, but its end or its exit code could not be read.", ""},
        {"E1", [](SimulatedPlatform& platform) { platform.AddResource(u"KYT_MANIFEST", "broken\r\n"); },
         RunEnding::InvalidPackage, notRun, ""},
        {"E2", [](SimulatedPlatform& platform) { platform.AddFile(kBase); }, RunEnding::NoStagingDirectory, notRun, ""},
        {"E3", Failing(Call::MakeFolder, 3), RunEnding::NoPackageFolder, notRun, ""},
        {"E4", Failing(Call::FindResourceBytes, 3), RunEnding::MissingFile, notRun, ""},
        {"E5", Failing(Call::WriteBytes, 2), RunEnding::CannotWrite, notRun, ""},
        {"E6", Failing(Call::StartProcess), RunEnding::CannotStartInstaller, notRun, ""},
    };
    for (const Ending& ending : endings) {
        for (const bool watched : {true, false}) {
            SCOPED_TRACE(std::string(ending.what) + (watched ? ", watched" : ", unwatched"));
            SimulatedPlatform platform;
            AddNestedPackage(platform);
            ending.scene(platform);
            platform.boxCanBeSeen = watched;
            const std::set<WideString> before = platform.Disk();
            const SetupExitCode result = RunSetup(platform);
            ExpectJudged(platform, result, before);
            ASSERT_EQ(testing::RecordedEnding(platform), ending.ending);
            EXPECT_EQ(result, ending.ending == RunEnding::Installed       ? 0
                              : ending.ending == RunEnding::RestartNeeded ? 3010
                                                                          : 1);
            const RunRecord& record = platform.applicationLog[0].second;
            ASSERT_EQ(record.strings.size(), 6u);
            EXPECT_EQ(testing::Narrow(record.strings[2]), ending.installer);
            const bool staged = ending.ending != RunEnding::InvalidPackage && ending.ending != RunEnding::NoStagingDirectory;
            EXPECT_EQ(testing::Narrow(record.strings[3]),
                      staged ? "Staging directory: " + root : "Staging directory: none was made.");
            if (!ending.cleanup.empty()) {
                EXPECT_EQ(testing::Narrow(record.strings[4]), ending.cleanup);
            }
            if (const char16_t* message = EndingOf(ending.ending).message) {
                EXPECT_TRUE(record.strings[1].ends_with(message)) << "the record tells the box's text, seen or not";
            }
            const bool ran = ending.installer != notRun;
            EXPECT_EQ(testing::Narrow(record.strings[5]),
                      "Duration: " + std::to_string((ran ? 1500 : 0) + platform.pausedMilliseconds) + " ms.");
        }
    }
}

// Returns the ending a run must have when the given call (as logged) fails, or `unfailed` when
// the failure does not change how the run ends.
RunEnding ExpectedEnding(const std::string& failed, RunEnding unfailed) {
    const auto is = [&](const char* prefix) { return failed.starts_with(prefix); };
    if (is("FindResourceBytes KYT_MANIFEST")) return RunEnding::InvalidPackage;
    if (is("ReadTempPath") || is("HoldFolder") || is("IsOnLocalVolumeWithAccessLists") || is("IsRealDirectory") ||
        (is("CreateHeldFolder") && failed.ends_with(" KYT_DRIVER_SETUP"))) {
        return RunEnding::NoStagingDirectory;
    }
    if (is("MakeFolder ")) return RunEnding::NoPackageFolder;
    if (is("FindResourceBytes")) return RunEnding::MissingFile;
    if (is("OpenNewFile") || is("WriteBytes")) return RunEnding::CannotWrite;
    if (is("StartProcess")) return RunEnding::CannotStartInstaller;
    if (is("WaitForExit") || is("ReadExitCode")) return RunEnding::InstallerResultUnknown;
    return unfailed;
}

// Fails each platform call of a whole run in turn, one run per call position, watched and not,
// in every starting scene, for packages that install, that name one folder in two spellings,
// that use a file as a folder (the cannot-write ending) and whose only installer lies in a
// sub-folder (the cannot-start ending). Each run ends as its failed call, or else its scene and
// package, call for, the judge finds nothing wrong with it, and unwatched it leaves the same disk.
TEST(RunSetup, NoFailingCallLosesTrackOfTheDisk) {
    struct Package {
        const char* what;
        const char* manifest;
        RunEnding ending;  // how it ends in a usable scene when no call fails
    };
    const Package packages[] = {
        {"a nested package", nullptr, RunEnding::Installed},
        {"one folder in two spellings", "KYT_FILE_000|dpinst.exe\r\nKYT_FILE_001|amd64\\x.sys\r\nKYT_FILE_002|AMD64\\y.sys\r\n",
         RunEnding::Installed},
        {"a file used as a folder", "KYT_FILE_000|dpinst.exe\r\nKYT_FILE_001|f.bin\r\nKYT_FILE_002|f.bin\\g.bin\r\n",
         RunEnding::CannotWrite},
        {"an installer only in a sub-folder", "KYT_FILE_000|amd64\\dpinst.exe\r\n", RunEnding::CannotStartInstaller},
    };
    int runs = 0;
    for (const testing::Scene& scene : testing::Scenes()) {
        for (const Package& package : packages) {
            const auto prepare = [&](SimulatedPlatform& platform, int failing, bool watched) {
                testing::SetScene(platform, scene);
                AddNestedPackage(platform);
                if (package.manifest) platform.AddResource(u"KYT_MANIFEST", package.manifest);
                platform.FailCallNumber(failing);
                platform.boxCanBeSeen = watched;
            };
            SimulatedPlatform reference;
            prepare(reference, 0, true);
            RunSetup(reference);
            const RunEnding unfailed = scene.installerPath.empty() ? RunEnding::NoStagingDirectory : package.ending;
            ASSERT_EQ(testing::RecordedEnding(reference), unfailed) << scene.name << " / " << package.what;
            const int calls = reference.CallCount();

            for (int number = 1; number <= calls; ++number) {
                std::set<WideString> watchedDisk;
                for (const bool watched : {true, false}) {
                    SimulatedPlatform platform;
                    prepare(platform, number, watched);
                    const std::set<WideString> before = platform.Disk();
                    const SetupExitCode result = RunSetup(platform);
                    if (platform.CallCount() < number) {
                        continue;  // unwatched, the run ends before the box that was this call
                    }
                    ++runs;
                    const std::string failed = platform.Log()[number - 1].Text();
                    SCOPED_TRACE(scene.name + " / " + package.what + ", failing call " + std::to_string(number) + ": " +
                                 failed + (watched ? "" : ", unwatched"));
                    // The judge holds the exit code, the box and the disk to the recorded ending;
                    // a run whose record could not be written still exits with its ending's code.
                    ExpectJudged(platform, result, before);
                    const RunEnding expected = ExpectedEnding(failed, unfailed);
                    EXPECT_EQ(testing::RecordedEnding(platform).value_or(expected), expected);
                    EXPECT_EQ(result, EndingOf(expected).exitCode);
                    if (watched) {
                        watchedDisk = platform.Disk();
                    } else {
                        EXPECT_EQ(platform.Disk(), watchedDisk);
                    }
                }
            }
        }
    }
    std::cout << "[          ] fault sweep: " << runs << " runs, one per platform call of a run, watched and not\n";
}

}  // namespace
}  // namespace kyt
