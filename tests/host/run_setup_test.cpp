#include "setup/run_setup.h"

#include <gtest/gtest.h>

#include "setup/messages.h"
#include "support/run_judge.h"
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
        EXPECT_EQ(platform.Log().size(), 6u)
            << "only the clock, the manifest read, the question whether a box is seen, the clock, the record, the box";
    }
}

TEST(RunSetup, NoStagingDirectoryGivesTheTemporaryDirectoryMessage) {
    SimulatedPlatform platform;
    AddNestedPackage(platform);
    platform.AddFile(kBase);
    EXPECT_EQ(RunSetup(platform), 1);
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].text, kMessageNoStagingDirectory);
    const auto& log = platform.Log();
    EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& call) { return call.starts_with("Remove"); }))
        << "no cleanup: nothing of the run was made";
    EXPECT_EQ(log.back(), "ShowErrorBox " + testing::Narrow(kMessageNoStagingDirectory));
}

TEST(RunSetup, ExtractionFailuresCleanUpBeforeTheirMessage) {
    struct Case {
        const char* what;
        Call call;
        int occurrence;
        const char16_t* message;
    };
    const Case cases[] = {
        {"the amd64 folder", Call::MakeFolder, 1, kMessageNoPackageFolder},
        {"the wdf folder", Call::MakeFolder, 3, kMessageNoPackageFolder},
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

// Every ending, watched and not, leaves exactly one record in the Application event log: its
// type and event ID, the box's text and whether anyone saw it, the installer's exit code with
// its counts decoded, the staging directory, what cleanup left behind and the run's duration.
// The record comes after cleanup's last removal and before the box.
TEST(RunSetup, EveryEndingLeavesOneRecordAfterCleanupAndBeforeItsBox) {
    const std::string root = testing::Narrow(kRoot);
    const std::string nothingLeft = "Cleanup left nothing behind.";
    const std::string nothingStaged = "Cleanup: none was needed; the run had staged nothing.";
    const std::string notRun = "Installer exit code: none; the installer did not run.";
    struct Ending {
        const char* what;
        std::function<void(SimulatedPlatform&)> scene;
        RecordType type;
        std::uint32_t eventId;
        SetupExitCode exitCode;
        const char16_t* message;  // the box's text, or null
        std::string installer;    // what the record says of the installer
        std::string cleanup;      // and of what cleanup left behind
    };
    const Ending endings[] = {
        {"installed, with a file that stays in use",
         [](SimulatedPlatform& platform) {
             InstallerEndsWith(0x00000003)(platform);
             platform.KeepBusy(kRoot + u"\\a.inf", -1);
         },
         RecordType::Information, 1000, 0, nullptr,
         "Installer exit code 0x00000003: failure reported: no, restart needed: no; packages failed: 0, only staged: 0, "
         "installed: 3.",
         "Cleanup left 2 paths behind; the first: " + root + "\\a.inf"},
        {"restart needed", InstallerEndsWith(0x40000102), RecordType::Warning, 1001, 3010, nullptr,
         "Installer exit code 0x40000102: failure reported: no, restart needed: yes; packages failed: 0, only staged: 1, "
         "installed: 2.",
         nothingLeft},
        {"installer failed", InstallerEndsWith(0xC0FF0201), RecordType::Error, 1002, 1, nullptr,
         "Installer exit code 0xC0FF0201: failure reported: yes, restart needed: yes; packages failed: 255, only staged: 2, "
         "installed: 1.",
         nothingLeft},
        {"installer's result unread",
         [](SimulatedPlatform& platform) {
             InstallerEndsWith(0)(platform);
             platform.FailCall(Call::ReadExitCode);
         },
         RecordType::Error, 1003, 1, nullptr,
         "Installer exit code: unknown; the installer ran, but its end or its exit code could not be read.", nothingLeft},
        {"E1", [](SimulatedPlatform& platform) { platform.AddResource(u"KYT_MANIFEST", "broken\r\n"); },
         RecordType::Error, 1101, 1, kMessageInvalidPackage, notRun, nothingStaged},
        {"E2", [](SimulatedPlatform& platform) { platform.AddFile(kBase); }, RecordType::Error, 1102, 1,
         kMessageNoStagingDirectory, notRun, nothingStaged},
        {"E3", Failing(Call::MakeFolder, 3), RecordType::Error, 1103, 1, kMessageNoPackageFolder, notRun, nothingLeft},
        {"E4", Failing(Call::FindResourceBytes, 3), RecordType::Error, 1104, 1, kMessageMissingFile, notRun, nothingLeft},
        {"E5", Failing(Call::WriteBytes, 2), RecordType::Error, 1105, 1, kMessageCannotWrite, notRun, nothingLeft},
        {"E6", Failing(Call::StartProcess), RecordType::Error, 1106, 1, kMessageCannotStartInstaller, notRun, nothingLeft},
    };
    for (const Ending& ending : endings) {
        for (const bool watched : {true, false}) {
            SCOPED_TRACE(std::string(ending.what) + (watched ? ", watched" : ", unwatched"));
            SimulatedPlatform platform;
            AddNestedPackage(platform);
            ending.scene(platform);
            platform.boxCanBeSeen = watched;
            EXPECT_EQ(RunSetup(platform), ending.exitCode);

            ASSERT_EQ(platform.applicationLog.size(), 1u);
            const auto& [source, record] = platform.applicationLog[0];
            EXPECT_EQ(source, u"KYT Driver Setup");
            EXPECT_EQ(record.type, ending.type);
            EXPECT_EQ(record.eventId, ending.eventId);
            const bool ran = ending.installer != notRun;
            const bool staged = ending.cleanup != nothingStaged;
            const std::string message = ending.message ? testing::Narrow(ending.message) : "";
            ASSERT_EQ(record.strings.size(), 6u);
            EXPECT_TRUE(testing::Narrow(record.strings[0]).ends_with("exits with " + std::to_string(ending.exitCode) + "."))
                << testing::Narrow(record.strings[0]);
            EXPECT_EQ(testing::Narrow(record.strings[1]),
                      !ending.message ? "Error box: none; this ending shows no box."
                      : watched       ? "Error box shown: " + message
                                      : "Error box left out, because nobody could see it (session 0, or a window "
                                        "station that is not visible); its text: " + message);
            EXPECT_EQ(testing::Narrow(record.strings[2]), ending.installer);
            EXPECT_EQ(testing::Narrow(record.strings[3]),
                      staged ? "Staging directory: " + root : "Staging directory: none was made.");
            EXPECT_EQ(testing::Narrow(record.strings[4]), ending.cleanup);
            EXPECT_EQ(testing::Narrow(record.strings[5]),
                      "Duration: " + std::to_string((ran ? 1500 : 0) + platform.pausedMilliseconds) + " ms.");

            const bool boxShown = watched && ending.message;
            ASSERT_EQ(platform.boxes.size(), boxShown ? 1u : 0u);
            const auto& log = platform.Log();
            const auto last = [&](const char* prefix) {
                const auto found = std::find_if(log.rbegin(), log.rend(), [&](const auto& c) { return c.starts_with(prefix); });
                return std::distance(found, log.rend()) - 1;
            };
            EXPECT_EQ(last("ReportRun"), std::ssize(log) - (boxShown ? 2 : 1)) << "the last call but the box";
            EXPECT_LT(last("Remove"), last("ReportRun")) << "after the last removal";
        }
    }
}

// Returns the message a run must end with when the given call (as logged) fails, or nothing
// when the failure does not change how the run ends.
std::optional<WideString> ExpectedMessage(const std::string& failed) {
    const auto is = [&](const char* prefix) { return failed.starts_with(prefix); };
    if (is("FindResourceBytes KYT_MANIFEST")) return WideString(kMessageInvalidPackage);
    if (is("ReadTempPath") || is("HoldFolder") || is("IsOnLocalVolumeWithAccessLists") || is("IsRealDirectory") ||
        (is("CreateHeldFolder") && failed.ends_with(" KYT_DRIVER_SETUP"))) {
        return WideString(kMessageNoStagingDirectory);
    }
    if (is("MakeFolder ")) return WideString(kMessageNoPackageFolder);
    if (is("FindResourceBytes")) return WideString(kMessageMissingFile);
    if (is("OpenNewFile") || is("WriteBytes")) return WideString(kMessageCannotWrite);
    if (is("StartProcess")) return WideString(kMessageCannotStartInstaller);
    return std::nullopt;
}

// Fails each platform call of a whole run in turn, one run per call position, for packages that
// install, that name one folder in two spellings, and that use a file as a folder (which ends in
// the cannot-write message), with the base folder missing and then found from an earlier run.
// It checks the ending, the exit code, the single box shown after cleanup, that nothing that
// was there went, and that what the run left besides the base folder is what its record says,
// and nothing unless a removal failed. A run that nobody watches ends the same way, with the
// same cleanup, but without the box.
TEST(RunSetup, NoFailingCallLosesTrackOfTheDisk) {
    struct Package {
        const char* what;
        std::function<void(SimulatedPlatform&)> add;
        const char16_t* message;  // how it ends when no call fails, or null: installed
    };
    const Package packages[] = {
        {"a nested package", AddNestedPackage, nullptr},
        {"one folder in two spellings",
         [](SimulatedPlatform& p) {
             p.AddResource(u"KYT_MANIFEST", "KYT_FILE_000|dpinst.exe\r\nKYT_FILE_001|amd64\\x.sys\r\nKYT_FILE_002|AMD64\\y.sys\r\n");
             for (const char16_t* name : {u"KYT_FILE_000", u"KYT_FILE_001", u"KYT_FILE_002"}) p.AddResource(name, "MZ");
         },
         nullptr},
        {"a file used as a folder",
         [](SimulatedPlatform& p) {
             p.AddResource(u"KYT_MANIFEST", "KYT_FILE_000|dpinst.exe\r\nKYT_FILE_001|f.bin\r\nKYT_FILE_002|f.bin\\g.bin\r\n");
             for (const char16_t* name : {u"KYT_FILE_000", u"KYT_FILE_001", u"KYT_FILE_002"}) p.AddResource(name, "MZ");
         },
         kMessageCannotWrite},
    };
    int runs = 0;
    for (const Package& package : packages) {
        for (const bool baseExists : {false, true}) {
            const auto prepare = [&](SimulatedPlatform& platform) {
                package.add(platform);
                if (baseExists) platform.AddProtectedFolder(kBase);
            };
            SimulatedPlatform reference;
            prepare(reference);
            ASSERT_EQ(RunSetup(reference), package.message ? 1 : 0) << package.what;
            const int calls = reference.CallCount();
            ASSERT_GT(calls, 20);

            for (int number = 1; number <= calls; ++number) {
                SimulatedPlatform platform;
                prepare(platform);
                const std::set<WideString> before = platform.Disk();
                platform.FailCallNumber(number);
                const SetupExitCode result = RunSetup(platform);
                ++runs;
                const std::string failed = platform.Log()[number - 1];
                SCOPED_TRACE(std::string(package.what) + (baseExists ? ", base folder there" : "") +
                             ", failing call " + std::to_string(number) + ": " + failed);
                std::optional<WideString> message = ExpectedMessage(failed);
                if (!message && package.message) message = package.message;
                const bool silentFailure = failed.starts_with("WaitForExit") || failed.starts_with("ReadExitCode");
                EXPECT_EQ(result, message || silentFailure ? 1 : 0);
                // A box is shown when the run has one and the question whether it can be seen works.
                const bool boxShown = message && !failed.starts_with("BoxCanBeSeen");
                ASSERT_EQ(platform.boxes.size(), boxShown ? 1u : 0u);
                EXPECT_EQ(platform.applicationLog.size(), failed.starts_with("ReportRun") ? 0u : 1u);
                EXPECT_EQ(platform.OpenHandles(), 0);

                const std::set<WideString> disk = platform.Disk();
                EXPECT_TRUE(std::includes(disk.begin(), disk.end(), before.begin(), before.end()));
                const bool removalFailed = failed.starts_with("Remove") || failed.starts_with("ReferToFolder");
                for (const std::string& fault : testing::JudgeLeftovers(platform, removalFailed)) {
                    ADD_FAILURE() << fault;
                }
                if (boxShown) {
                    EXPECT_EQ(platform.boxes[0].text, *message);
                    EXPECT_EQ(platform.boxes[0].diskAtThatTime, disk) << "the box comes after the cleanup";

                    SimulatedPlatform unwatched;
                    prepare(unwatched);
                    unwatched.FailCallNumber(number);
                    unwatched.boxCanBeSeen = false;
                    EXPECT_EQ(RunSetup(unwatched), 1);
                    EXPECT_TRUE(unwatched.boxes.empty());
                    EXPECT_EQ(unwatched.Disk(), disk);
                    EXPECT_TRUE(unwatched.Log().back().starts_with("ReportRun")) << "the record ends it, after the same cleanup";
                    ++runs;
                }
            }
        }
    }
    std::cout << "[          ] fault sweep: " << runs << " runs, one per platform call of a run, watched or not\n";
}

}  // namespace
}  // namespace kyt
