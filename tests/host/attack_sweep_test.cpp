// An unelevated program of the same user attacks whole runs of the setup: every move of its
// repertoire, made once before each platform call of a run, in each scene. After every run
// the setup either ended in its box with exit code 1, or wrote, started and deleted only what
// this run made, in folders that only SYSTEM and Administrators can change, and the installer
// it started was the payload's own; and never did it write, start or delete anything elsewhere.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "setup/run_setup.h"
#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::Narrow;
using testing::OwnerPolicy;
using testing::SimulatedPlatform;

const std::string kInstaller = "MZ the payload's own installer";
const WideString kEvil = u"C:\\Evil";

struct Scene {
    std::string name;
    WideString tempPath;  // as the user's environment gives it
    std::function<void(SimulatedPlatform&)> set;
    OwnerPolicy policy;
    bool untrusted;  // no Administrators-owned run made the base folder: refused without attack
};

struct Move {
    const char* name;
    std::function<void(SimulatedPlatform&, const WideString& base)> make;
};

// The base folder's path as the setup reads it from the temporary path.
WideString BaseOf(const Scene& scene) {
    return scene.tempPath + u"KYT_DRIVER_SETUP";
}

// Every folder below the base folder that may be a staging directory.
std::vector<WideString> StagingFolders(const SimulatedPlatform& platform, const WideString& base) {
    std::vector<WideString> folders;
    for (const WideString& name : platform.Children(base)) {
        folders.push_back(base + u'\\' + name);
    }
    return folders;
}

// Replaces the installer and plants a DLL beside it in every staging folder it can reach.
void PlantAndReplace(SimulatedPlatform& platform, const WideString& base) {
    for (const WideString& folder : StagingFolders(platform, base)) {
        platform.AttackerWriteFile(folder + u"\\version.dll", "evil dll");
        platform.AttackerWriteFile(folder + u"\\dpinst.exe", "evil installer");
        platform.AttackerWriteFile(folder + u"\\amd64\\drv.dll", "evil driver");
    }
}

// Makes folders of the attacker's own with the staging folders' names in its copy of the base.
void MirrorStagingNames(SimulatedPlatform& platform, const WideString& base) {
    for (const WideString& name : platform.Children(base)) {
        platform.AttackerMakeFolder(kEvil + u"\\KYT_DRIVER_SETUP\\" + name);
    }
}

const std::vector<Move>& Moves() {
    static const std::vector<Move> moves = {
        {"rename the base folder away and put a folder of its own there",
         [](SimulatedPlatform& p, const WideString& base) {
             p.AttackerRename(base, base + u".old");
             p.AttackerMakeFolder(base);
         }},
        {"rename the base folder away and put a junction to a copy with the same staging names there",
         [](SimulatedPlatform& p, const WideString& base) {
             MirrorStagingNames(p, base);
             p.AttackerRename(base, base + u".old");
             p.AttackerMakeJunction(base, kEvil + u"\\KYT_DRIVER_SETUP");
         }},
        {"rename each staging folder away and put a folder of its own there",
         [](SimulatedPlatform& p, const WideString& base) {
             for (const WideString& folder : StagingFolders(p, base)) {
                 p.AttackerRename(folder, folder + u".old");
                 p.AttackerMakeFolder(folder);
             }
         }},
        {"rename each staging folder away and put a junction there",
         [](SimulatedPlatform& p, const WideString& base) {
             for (const WideString& folder : StagingFolders(p, base)) {
                 p.AttackerRename(folder, folder + u".old");
                 p.AttackerMakeJunction(folder, kEvil);
             }
         }},
        {"move the temporary folder away and put a junction there",
         [](SimulatedPlatform& p, const WideString&) {
             p.AttackerRename(u"C:\\Temp", u"C:\\Temp.old");
             p.AttackerMakeJunction(u"C:\\Temp", kEvil);
         }},
        {"retarget the junction in the temporary path to a copy with the same staging names",
         [](SimulatedPlatform& p, const WideString& base) {
             MirrorStagingNames(p, base);
             p.AttackerRetarget(u"C:\\Link", kEvil);
         }},
        {"make folders and junctions with the likely staging names",
         [](SimulatedPlatform& p, const WideString& base) {
             for (const char16_t* name : {u"\\812-977-0", u"\\812-977-1", u"\\812-977-2"}) {
                 p.AttackerMakeJunction(base + name, kEvil);
             }
             p.AttackerMakeFolder(base + u"\\812-977-3");
         }},
        {"plant a DLL beside the installer and replace payload files", PlantAndReplace},
        {"plant a file and a junction in the base folder (hard-link and junction stand-ins)",
         [](SimulatedPlatform& p, const WideString& base) {
             p.AttackerWriteFile(base + u"\\planted.sys", "a link to a system file");
             p.AttackerMakeJunction(base + u"\\planted", kEvil);
         }},
        {"delete payload files and staging folders",
         [](SimulatedPlatform& p, const WideString& base) {
             for (const WideString& folder : StagingFolders(p, base)) {
                 p.AttackerDelete(folder + u"\\dpinst.exe");
                 p.AttackerDelete(folder + u"\\amd64\\drv.dll");
                 p.AttackerDelete(folder + u"\\amd64");
                 p.AttackerDelete(folder);
             }
         }},
        {"grant itself full control wherever it owns or may, then plant and replace",
         [](SimulatedPlatform& p, const WideString& base) {
             p.AttackerGrantSelf(base);
             for (const WideString& folder : StagingFolders(p, base)) {
                 p.AttackerGrantSelf(folder);
                 p.AttackerGrantSelf(folder + u"\\dpinst.exe");
                 p.AttackerGrantSelf(folder + u"\\amd64");
             }
             PlantAndReplace(p, base);
         }},
    };
    return moves;
}

std::vector<Scene> Scenes() {
    // Whether a base folder that an elevated program left is the user's depends on the policy.
    struct Kind {
        const char* name;
        WideString tempPath;
        std::function<void(SimulatedPlatform&)> set;
        bool baseLeftByElevatedProgram;
        bool baseMadeByAttacker;
    };
    const Kind kinds[] = {
        {"no base folder", u"C:\\Temp\\", [](SimulatedPlatform&) {}, false, false},
        {"an earlier run's base folder", u"C:\\Temp\\",
         [](SimulatedPlatform& p) {
             p.AddProtectedFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
             p.AddProtectedFolder(u"C:\\Temp\\KYT_DRIVER_SETUP\\9-9-0");
         },
         true, false},
        {"an elevated program's open base folder", u"C:\\Temp\\",
         [](SimulatedPlatform& p) { p.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP"); }, true, false},
        {"a base folder the attacker made", u"C:\\Temp\\",
         [](SimulatedPlatform& p) { p.AddForeignFolder(u"C:\\Temp\\KYT_DRIVER_SETUP"); }, false, true},
        {"a temporary path through a junction", u"C:\\Link\\",
         [](SimulatedPlatform& p) { p.AttackerMakeJunction(u"C:\\Link", u"C:\\Temp"); }, false, false},
    };
    std::vector<Scene> scenes;
    for (const OwnerPolicy policy : {OwnerPolicy::Administrators, OwnerPolicy::ObjectCreator}) {
        const bool creator = policy == OwnerPolicy::ObjectCreator;
        for (const Kind& kind : kinds) {
            scenes.push_back({std::string(kind.name) + (creator ? ", owner policy: object creator" : ""),
                              kind.tempPath, kind.set, policy,
                              kind.baseMadeByAttacker || (creator && kind.baseLeftByElevatedProgram)});
        }
    }
    return scenes;
}

// Sets up the scene, a small package, and the attacker's own folders elsewhere.
void Prepare(SimulatedPlatform& platform, const Scene& scene) {
    platform.SetOwnerPolicy(scene.policy);
    scene.set(platform);
    platform.SetTempPath(scene.tempPath);
    platform.AttackerMakeFolder(kEvil);
    platform.AttackerMakeFolder(kEvil + u"\\KYT_DRIVER_SETUP");
    platform.AddResource(u"KYT_MANIFEST", "KYT_FILE_000|dpinst.exe\nKYT_FILE_001|amd64\\drv.dll\nKYT_FILE_002|drv.inf\n");
    platform.AddResource(u"KYT_FILE_000", kInstaller);
    platform.AddResource(u"KYT_FILE_001", "driver");
    platform.AddResource(u"KYT_FILE_002", "inf");
    platform.expectedInstaller = kInstaller;
}

TEST(AttackSweep, NoMoveAtAnyPointMakesTheSetupActWhereTheAttackerChose) {
    int runs = 0;
    int refused = 0;
    const std::vector<Scene> scenes = Scenes();
    for (const Scene& scene : scenes) {
        SimulatedPlatform reference;
        Prepare(reference, scene);
        RunSetup(reference);
        const int calls = reference.CallCount();
        ASSERT_GT(calls, 5) << scene.name;

        for (const Move& move : Moves()) {
            // Position 0 is before the run; the last ones come after it has ended.
            for (int position = 1; position <= calls + 2; ++position) {
                SimulatedPlatform platform;
                Prepare(platform, scene);
                platform.beforeCall = [&](SimulatedPlatform& p, int number) {
                    if (number == position) {
                        move.make(p, BaseOf(scene));
                    }
                };
                const SetupExitCode result = RunSetup(platform);
                ++runs;
                SCOPED_TRACE(scene.name + " / " + move.name + " / before call " + std::to_string(position));
                const std::vector<std::string>& unsafe = platform.UnsafeActions();
                EXPECT_TRUE(unsafe.empty()) << unsafe.front();
                ASSERT_LE(platform.boxes.size(), 1u);
                if (!platform.boxes.empty()) {
                    EXPECT_EQ(result, 1);
                    ++refused;
                } else {
                    EXPECT_TRUE(result == 0 || result == 1 || result == 3010) << result;
                }
                EXPECT_EQ(platform.OpenHandles(), 0);
            }
        }
    }
    std::cout << "[          ] attack sweep: " << runs << " runs in " << scenes.size() << " scenes, "
              << Moves().size() << " moves at every call position; " << refused << " ended in the box\n";
}

// Without an attacker the scenes give the specified run, or refuse a base folder that an
// unelevated program could have made.
TEST(AttackSweep, UnattackedScenesRunOrRefuseAnUntrustedBaseFolder) {
    for (const Scene& scene : Scenes()) {
        SCOPED_TRACE(scene.name);
        SimulatedPlatform platform;
        Prepare(platform, scene);
        const SetupExitCode result = RunSetup(platform);
        EXPECT_EQ(result, scene.untrusted ? 1 : 0);
        EXPECT_EQ(platform.started.size(), scene.untrusted ? 0u : 1u);
        EXPECT_TRUE(platform.UnsafeActions().empty());
        if (!scene.untrusted) {
            EXPECT_EQ(Narrow(platform.started[0].imagePath), "C:\\Temp\\KYT_DRIVER_SETUP\\812-977-0\\dpinst.exe");
        }
    }
}

}  // namespace
}  // namespace kyt
