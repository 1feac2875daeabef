// An unelevated program of the same user attacks whole runs of the setup: every move of its
// repertoire, made before each platform call of a run, in each scene; once, or again before
// every later call, or followed by a second step before every later call. Before the run it
// has opened the base folder with every right it could get, and it keeps those handles. The
// judge checks every finished run whole: above all, the setup wrote, started and deleted only
// what this run made, in folders that only SYSTEM and Administrators can change, and the
// installer it started was the payload's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "setup/run_setup.h"
#include "support/run_judge.h"
#include "support/scenes.h"
#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::BaseOf;
using testing::kEvil;
using testing::kServed;
using testing::kVendor;
using testing::Narrow;
using testing::Scene;
using testing::SimulatedPlatform;

const std::string kInstaller = "MZ the payload's own installer";

using Step = std::function<void(SimulatedPlatform&, const WideString& base)>;

struct Move {
    const char* name;
    Step make;
    Step later = nullptr;  // a second step, made before every later call; none for a move of one step
};

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

// Makes folders of the attacker's own with the staging folders' names in `copy`, its copy of the
// base folder below its own folder.
void MirrorStagingNames(SimulatedPlatform& platform, const WideString& base,
                        const WideString& copy = kEvil + u"\\KYT_DRIVER_SETUP") {
    for (std::size_t cut = copy.find(u'\\', kEvil.size() + 1); cut != WideString::npos; cut = copy.find(u'\\', cut + 1)) {
        platform.AttackerMakeFolder(copy.substr(0, cut));
    }
    platform.AttackerMakeFolder(copy);
    for (const WideString& name : platform.Children(base)) {
        platform.AttackerMakeFolder(copy + u"\\" + name);
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
        {"move each folder on the temporary path away and put a junction to a copy with the same "
         "staging names there (a mount folder among them)",
         [](SimulatedPlatform& p, const WideString& base) {
             for (std::size_t cut = base.rfind(u'\\'); cut != WideString::npos && cut > 3;
                  cut = base.rfind(u'\\', cut - 1)) {
                 const WideString folder = base.substr(0, cut);
                 MirrorStagingNames(p, base, kEvil + u"\\Copy" + base.substr(cut));
                 if (p.AttackerRename(folder, folder + u".old")) {
                     p.AttackerMakeJunction(folder, kEvil + u"\\Copy");
                 }
             }
         }},
        {"retarget the junction in the temporary path to a copy with the same staging names",
         [](SimulatedPlatform& p, const WideString& base) {
             MirrorStagingNames(p, base);
             p.AttackerSetReparsePoint(u"C:\\Link", kEvil);
         }},
        {"make folders and junctions with the likely staging names",
         [](SimulatedPlatform& p, const WideString& base) {
             for (const char16_t* name : {u"\\812-977-0", u"\\812-977-1", u"\\812-977-2"}) {
                 p.AttackerMakeJunction(base + name, kEvil);
             }
             p.AttackerMakeFolder(base + u"\\812-977-3");
         }},
        {"plant a DLL beside the installer and replace payload files", PlantAndReplace},
        {"turn the empty base folder into a junction to the object namespace, where links with the "
         "likely staging names lead to the attacker's folder",
         [](SimulatedPlatform& p, const WideString& base) {
             for (const char16_t* name : {u"812-977-0", u"812-977-1"}) {
                 p.AttackerMakeFolder(kServed + u"\\" + name);
                 p.AttackerMakeLink(WideString(u"RPC Control\\") + name, kServed + u"\\" + name);
             }
             p.AttackerSetReparsePoint(base, u"RPC Control");
         }},
        {"turn the empty base folder into such a junction; later, make it a plain folder again",
         [](SimulatedPlatform& p, const WideString& base) {
             p.AttackerMakeLink(u"RPC Control\\812-977-0", kServed + u"\\812-977-0");
             p.AttackerSetReparsePoint(base, u"RPC Control");
         },
         [](SimulatedPlatform& p, const WideString& base) { p.AttackerSetReparsePoint(base, {}); }},
        {"rename each staging folder away and move in the administrator's folder that it may change",
         [](SimulatedPlatform& p, const WideString& base) {
             for (const WideString& folder : StagingFolders(p, base)) {
                 p.AttackerRename(folder, folder + u".old");
                 p.AttackerRename(kVendor, folder);
             }
         }},
        {"rename the base folder away and move in the administrator's folder that it may change",
         [](SimulatedPlatform& p, const WideString& base) {
             p.AttackerRename(base, base + u".old");
             p.AttackerRename(kVendor, base);
         }},
        {"rename each staging folder away; later, put the administrator's folder in its place",
         [](SimulatedPlatform& p, const WideString& base) {
             for (const WideString& folder : StagingFolders(p, base)) {
                 p.AttackerRename(folder, folder + u".old");
             }
         },
         [](SimulatedPlatform& p, const WideString& base) {
             for (const WideString& name : p.Children(base)) {
                 if (name.ends_with(u".old")) {
                     p.AttackerRename(kVendor, base + u"\\" + name.substr(0, name.size() - 4));
                 }
             }
         }},
        {"open each staging folder with every right it can get; later, re-permit, plant and replace",
         [](SimulatedPlatform& p, const WideString& base) {
             for (const WideString& folder : StagingFolders(p, base)) {
                 p.AttackerOpen(folder, testing::kReadData | testing::kWriteDac | testing::kWriteAttributes);
                 p.AttackerOpen(folder, testing::kWriteData);
             }
         },
         [](SimulatedPlatform& p, const WideString& base) {
             for (const WideString& folder : StagingFolders(p, base)) {
                 p.AttackerGrantSelf(folder);
             }
             PlantAndReplace(p, base);
         }},
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

// Sets up the scene with a small package.
void Prepare(SimulatedPlatform& platform, const Scene& scene) {
    testing::SetScene(platform, scene);
    platform.AddResource(u"KYT_MANIFEST", "KYT_FILE_000|dpinst.exe\nKYT_FILE_001|amd64\\drv.dll\nKYT_FILE_002|drv.inf\n");
    platform.AddResource(u"KYT_FILE_000", kInstaller);
    platform.AddResource(u"KYT_FILE_001", "driver");
    platform.AddResource(u"KYT_FILE_002", "inf");
}

// How a move is made: once; again before every later call; or, for a move of two steps, its
// second step before every later call.
enum class Timing { Once, Repeated, TwoSteps };
const char* const kTimingNames[] = {"", ", again before every later call", ", its second step later"};

TEST(AttackSweep, NoMoveAtAnyPointMakesTheSetupActWhereTheAttackerChose) {
    int runs = 0;
    int refused = 0;
    std::vector<int> tookEffect(Moves().size(), 0);  // runs in which some act of the move happened
    const std::vector<Scene> scenes = testing::Scenes();
    for (const Scene& scene : scenes) {
        SimulatedPlatform reference;
        Prepare(reference, scene);
        RunSetup(reference);
        const int calls = reference.CallCount();
        ASSERT_GT(calls, 5) << scene.name;

        for (std::size_t m = 0; m < Moves().size(); ++m) {
            const Move& move = Moves()[m];
            for (const Timing timing : {Timing::Once, Timing::Repeated, Timing::TwoSteps}) {
                if (timing == Timing::TwoSteps && !move.later) {
                    continue;
                }
                // The last positions come after the run has ended.
                for (int position = 1; position <= calls + 2; ++position) {
                    SimulatedPlatform platform;
                    Prepare(platform, scene);
                    bool happened = false;
                    platform.beforeCall = [&](SimulatedPlatform& p, int number) {
                        const int acts = p.attackerActs;
                        if (number == position || (timing == Timing::Repeated && number > position)) {
                            move.make(p, BaseOf(scene));
                        } else if (timing == Timing::TwoSteps && number > position) {
                            move.later(p, BaseOf(scene));
                        }
                        happened = happened || p.attackerActs > acts;
                    };
                    const SetupExitCode result = RunSetup(platform);
                    ++runs;
                    tookEffect[m] += happened ? 1 : 0;
                    SCOPED_TRACE(scene.name + " / " + move.name + kTimingNames[static_cast<int>(timing)] +
                                 " / before call " + std::to_string(position));
                    // The attacker moves and deletes what it may, so the disk before is no measure.
                    for (const std::string& fault : testing::JudgeRun(platform, result, nullptr)) {
                        ADD_FAILURE() << fault;
                    }
                    refused += platform.boxes.empty() ? 0 : 1;
                }
            }
        }
    }
    // The moves are real: each took effect in some run (a model that stopped them all would pass
    // every run above), and the runs end in the box as often as this model and these defences
    // make them; any change to either shows here first.
    for (std::size_t m = 0; m < Moves().size(); ++m) {
        EXPECT_GT(tookEffect[m], 0) << "never took effect: " << Moves()[m].name;
    }
    EXPECT_EQ(refused, 11620);
    std::cout << "[          ] attack sweep: " << runs << " runs in " << scenes.size() << " scenes, "
              << Moves().size() << " moves at every call position; " << refused << " ended in the box\n";
}

// Without an attacker the scenes give the specified run, whoever made the base folder, or
// refuse a temporary folder on a volume that keeps no access lists or lies on a server.
TEST(AttackSweep, UnattackedScenesRunOrRefuseAVolumeWithoutAccessLists) {
    for (const Scene& scene : testing::Scenes()) {
        SCOPED_TRACE(scene.name);
        SimulatedPlatform platform;
        Prepare(platform, scene);
        const std::set<WideString> before = platform.Disk();
        const SetupExitCode result = RunSetup(platform);
        const bool refused = scene.installerPath.empty();
        EXPECT_EQ(testing::RecordedEnding(platform), refused ? RunEnding::NoStagingDirectory : RunEnding::Installed);
        EXPECT_TRUE(testing::JudgeRun(platform, result, &before).empty());
        ASSERT_EQ(platform.started.size(), refused ? 0u : 1u);
        if (!refused) {
            EXPECT_EQ(Narrow(platform.started[0].imagePath), scene.installerPath);
        }
        EXPECT_LE(platform.Disk().size(), before.size() + 1) << "nothing stays but the base folder";
    }
}

}  // namespace
}  // namespace kyt
