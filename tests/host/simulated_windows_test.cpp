// The simulated file system's own rules, each as Windows documents it: the setup's defences are
// proven against this model, so the model must not be kinder than Windows.
#include <gtest/gtest.h>

#include "support/folder_rules.h"
#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::OwnerPolicy;
using testing::SimulatedPlatform;

const WideString kTemp = u"C:\\Temp";

// Beyond the table's rules of share access: a hold keeps a folder in place but not its access
// list, which its owner may still change; and it keeps folders above it in place only on its own
// volume: the folder another volume is mounted in is free to move, and the held path then leads
// elsewhere.
TEST(SimulatedWindows, HoldsAndOpensKeepWhatTheyKeepAndNoMore) {
    SimulatedPlatform platform;
    platform.AttackerMakeFolder(kTemp + u"\\held");
    {
        const auto hold = platform.HoldFolder(kTemp + u"\\held");
        EXPECT_FALSE(platform.AttackerDelete(kTemp + u"\\held"));
        EXPECT_TRUE(platform.AttackerGrantSelf(kTemp + u"\\held")) << "its owner may still re-permit it";
    }

    platform.AddFolder(u"C:\\Mnt");
    platform.AddVolume(u"Volume{1}", testing::Volume::Ntfs, u"C:\\Mnt\\Vol");
    platform.AddFolder(u"C:\\Mnt\\Vol\\Temp");
    const auto mounted = platform.HoldFolder(u"C:\\Mnt\\Vol\\Temp");
    EXPECT_FALSE(platform.AttackerRename(u"Volume{1}\\Temp", u"Volume{1}\\Old"));
    EXPECT_TRUE(platform.AttackerRename(u"C:\\Mnt\\Vol", u"C:\\Mnt\\Old"));
    EXPECT_FALSE(platform.Exists(u"C:\\Mnt\\Vol\\Temp"));
}

TEST(SimulatedWindows, JunctionsAreFollowedOnTheWayAndRetargetedByTheirOwner) {
    SimulatedPlatform platform;
    platform.AttackerMakeFolder(u"C:\\One");
    platform.AttackerMakeFolder(u"C:\\Two");
    platform.AttackerMakeJunction(kTemp + u"\\link", u"C:\\One");
    EXPECT_EQ(platform.MakeFolder(kTemp + u"\\link\\made"), FolderResult::Created);
    EXPECT_TRUE(platform.Exists(u"C:\\One\\made"));
    ASSERT_TRUE(platform.AttackerSetReparsePoint(kTemp + u"\\link", u"C:\\Two"));
    EXPECT_FALSE(platform.Exists(kTemp + u"\\link\\made")) << "the same path now leads elsewhere";

    // Opened relative to a held folder, a junction is opened as itself, which is not a
    // directory, and names its own path.
    const auto temp = platform.HoldFolder(kTemp);
    auto held = platform.CreateHeldFolder(temp->hold.value(), u"LINK", Creation::NewOrExisting);
    ASSERT_TRUE(held);
    EXPECT_FALSE(held->isRealDirectory);
    EXPECT_EQ(held->finalPath, kTemp + u"\\link");
    held.reset();
    EXPECT_FALSE(platform.CreateHeldFolder(temp->hold.value(), u"link", Creation::NewOnly));
    // A hold by path follows junctions, and a folder so reached is held at its real path; a
    // folder of the object namespace is no folder of a file system.
    EXPECT_FALSE(platform.HoldFolder(u"\\\\?\\GLOBALROOT\\RPC Control\\"));
    platform.MakeFolder(u"C:\\Two\\deep");
    auto deep = platform.HoldFolder(kTemp + u"\\link\\deep");
    ASSERT_TRUE(deep);
    EXPECT_TRUE(deep->isRealDirectory);
    EXPECT_EQ(deep->finalPath, u"C:\\Two\\deep");
    deep.reset();
}

TEST(SimulatedWindows, OwnersAndAccessListsDecideWhoMayChangeWhat) {
    SimulatedPlatform platform;
    // The setup's protected folder and what is written into it: nothing for the user, who may
    // still rename the folder out of its own temporary folder while nothing holds it.
    const auto temp = platform.HoldFolder(kTemp);
    platform.CreateHeldFolder(temp->hold.value(), u"p", Creation::NewOnly);
    platform.OpenNewFile(kTemp + u"\\p\\f");
    EXPECT_TRUE(platform.IsOwnedByAdministrators(kTemp + u"\\p\\f"));
    EXPECT_FALSE(platform.AttackerWriteFile(kTemp + u"\\p\\f", "evil")) << "the list is inherited";
    EXPECT_FALSE(platform.AttackerWriteFile(kTemp + u"\\p\\g", "evil"));
    EXPECT_FALSE(platform.AttackerGrantSelf(kTemp + u"\\p"));
    EXPECT_FALSE(platform.AttackerDelete(kTemp + u"\\p\\f")) << "no right to delete children of p";
    EXPECT_TRUE(platform.AttackerRename(kTemp + u"\\p", kTemp + u"\\q")) << "but it may those of its own folder";

    // An owner may always rewrite the access list, and then do anything.
    platform.SetOwnerPolicy(OwnerPolicy::ObjectCreator);
    platform.AddProtectedFolder(kTemp + u"\\mine");
    EXPECT_FALSE(platform.AttackerWriteFile(kTemp + u"\\mine\\f", "evil"));
    EXPECT_TRUE(platform.AttackerGrantSelf(kTemp + u"\\mine"));
    EXPECT_TRUE(platform.AttackerWriteFile(kTemp + u"\\mine\\f", "evil"));

    // Nobody unelevated may make Administrators the owner, and a folder of an administrator's
    // that the user may write to lets the user plant anything in it.
    platform.SetOwnerPolicy(OwnerPolicy::Administrators);
    platform.AddFolder(kTemp + u"\\open");
    EXPECT_TRUE(platform.IsOwnedByAdministrators(kTemp + u"\\open"));
    EXPECT_TRUE(platform.AttackerMakeJunction(kTemp + u"\\open\\j", u"C:\\Elsewhere"));
    platform.AttackerMakeFolder(kTemp + u"\\own");
    EXPECT_FALSE(platform.IsOwnedByAdministrators(kTemp + u"\\own"));
}

// The table's side of the simulation: a scratch folder of the user's own in its temporary folder,
// and the attacker as the other program.
class SimulatedWorld final : public testing::FolderWorld {
public:
    SimulatedWorld() { platform_.AttackerMakeFolder(kScratch); }
    Platform& Setup() override { return platform_; }
    WideString Path(const WideString& name) override { return name.empty() ? kScratch : kScratch + u"\\" + name; }
    bool OtherMakeFolder(const WideString& path) override { return platform_.AttackerMakeFolder(path); }
    bool OtherWriteFile(const WideString& path) override { return platform_.AttackerWriteFile(path, "x"); }
    bool OtherRename(const WideString& from, const WideString& to) override { return platform_.AttackerRename(from, to); }
    bool OtherOpen(const WideString& path, bool shareDelete) override {
        return platform_.AttackerOpen(path, testing::kReadData, shareDelete);
    }
    bool Exists(const WideString& path) override { return platform_.Exists(path); }

private:
    inline static const WideString kScratch = kTemp + u"\\rules";
    SimulatedPlatform platform_;
};

TEST(SimulatedWindows, KeepsEveryFolderRuleOfTheTable) {
    for (const testing::FolderRule& rule : testing::FolderRules()) {
        SimulatedWorld world;
        EXPECT_TRUE(rule.holds(world)) << rule.rule;
    }
}

}  // namespace
}  // namespace kyt
