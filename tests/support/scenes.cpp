#include "support/scenes.h"

namespace kyt::testing {

std::vector<Scene> Scenes() {
    struct Kind {
        const char* name;
        WideString tempPath;
        std::function<void(SimulatedPlatform&)> set;
        std::string installerFolder;  // empty: refused
    };
    const std::string temp = "C:\\Temp\\KYT_DRIVER_SETUP";
    const WideString base = u"C:\\Temp\\KYT_DRIVER_SETUP";
    const Kind kinds[] = {
        {"no base folder", u"C:\\Temp\\", [](SimulatedPlatform&) {}, temp},
        {"an earlier run's base folder", u"C:\\Temp\\",
         [=](SimulatedPlatform& p) {
             p.AddProtectedFolder(base);
             p.AddProtectedFolder(base + u"\\9-9-0");
         },
         temp},
        {"an elevated program's base folder that the user may change", u"C:\\Temp\\",
         [=](SimulatedPlatform& p) { p.AddFolder(base); }, temp},
        {"a base folder the attacker made", u"C:\\Temp\\", [=](SimulatedPlatform& p) { p.AttackerMakeFolder(base); },
         temp},
        {"a junction the attacker made in place of the base folder", u"C:\\Temp\\",
         [=](SimulatedPlatform& p) { p.AttackerMakeJunction(base, kEvil); }, ""},
        {"a file in place of the base folder", u"C:\\Temp\\", [=](SimulatedPlatform& p) { p.AddFile(base); }, ""},
        {"a temporary path through a junction", u"C:\\Link\\",
         [](SimulatedPlatform& p) { p.AttackerMakeJunction(u"C:\\Link", u"C:\\Temp"); }, temp},
        {"a temporary folder on another local drive", u"E:\\Temp\\",
         [](SimulatedPlatform& p) {
             p.AddVolume(u"E:", Volume::Ntfs);
             p.AddFolder(u"E:\\Temp");
         },
         "E:\\Temp\\KYT_DRIVER_SETUP"},
        {"a temporary path in the object namespace, where a link named like the base folder leads into a "
         "system folder",
         u"\\\\?\\GLOBALROOT\\RPC Control\\",
         [](SimulatedPlatform& p) {
             p.AddProtectedFolder(u"C:\\ProgramData");
             p.AttackerMakeLink(u"RPC Control\\KYT_DRIVER_SETUP", u"C:\\ProgramData\\Chosen");
         },
         ""},
        {"a temporary folder on a volume mounted in a folder the user may change", u"C:\\Mnt\\Vol\\Temp\\",
         [](SimulatedPlatform& p) {
             p.AddFolder(u"C:\\Mnt");
             p.AddVolume(u"Volume{1}", Volume::Ntfs, u"C:\\Mnt\\Vol");
             p.AttackerMakeFolder(u"C:\\Mnt\\Vol\\Temp");
         },
         ""},
        {"a temporary folder on a drive that keeps no access lists", u"D:\\Temp\\",
         [](SimulatedPlatform& p) {
             p.AddVolume(u"D:", Volume::Fat);
             p.AddFolder(u"D:\\Temp");
         },
         ""},
        {"a temporary folder on a network drive", u"R:\\Temp\\", [](SimulatedPlatform& p) { p.AddFolder(u"R:\\Temp"); },
         ""},
    };
    std::vector<Scene> scenes;
    for (const OwnerPolicy policy : {OwnerPolicy::Administrators, OwnerPolicy::ObjectCreator}) {
        for (const bool follows : {true, false}) {
            for (const Kind& kind : kinds) {
                const std::string installer =
                    kind.installerFolder.empty() ? "" : kind.installerFolder + "\\812-977-0\\dpinst.exe";
                const std::string name = std::string(kind.name) +
                                         (policy == OwnerPolicy::ObjectCreator ? ", owner policy: object creator" : "") +
                                         (follows ? "" : ", creation in a junction lands in it");
                scenes.push_back({name, kind.tempPath, kind.set, policy, follows, installer});
            }
        }
    }
    return scenes;
}

WideString BaseOf(const Scene& scene) {
    return scene.tempPath + u"KYT_DRIVER_SETUP";
}

void SetScene(SimulatedPlatform& platform, const Scene& scene) {
    platform.SetOwnerPolicy(scene.policy);
    platform.relativeCreationFollowsJunction = scene.creationFollowsJunction;
    platform.AddVolume(u"R:", Volume::Remote);
    platform.AttackerMakeFolder(kEvil);
    platform.AttackerMakeFolder(kEvil + u"\\KYT_DRIVER_SETUP");
    scene.set(platform);
    platform.SetTempPath(scene.tempPath);
    // Files with the payload's names where the attacker's junctions lead: a delete that lands
    // there is seen.
    for (const char16_t* file : {u"\\dpinst.exe", u"\\drv.inf", u"\\amd64\\drv.dll"}) {
        platform.AddFile(kEvil + file, "a file of someone else's");
    }
    platform.AttackerMakeFolder(kServed);
    platform.AddFolder(kVendor);
    platform.AddFile(kVendor + u"\\version.dll", "a DLL of the vendor's");
    platform.AttackerOpen(BaseOf(scene), kReadData | kWriteDac | kWriteAttributes);
    platform.AttackerOpen(BaseOf(scene), kWriteData | kDeleteChild);
}

}  // namespace kyt::testing
