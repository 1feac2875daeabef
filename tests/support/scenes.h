#pragma once
// The one table of starting scenes that every sweep runs: where the user's temporary folder
// lies, what is already in it, who owns what an elevated program made, and where a folder made
// relative to a folder that became a junction lands. Each scene also holds what an attacker
// prepares: folders of its own elsewhere, an administrator's folder it may change, a network
// drive it serves, and handles it opened on the base folder's place with every right it could get.

#include <functional>
#include <string>
#include <vector>

#include "support/simulated_platform.h"

namespace kyt::testing {

// The attacker's own folder, and one on the network drive it serves.
inline const WideString kEvil = u"C:\\Evil";
inline const WideString kServed = u"R:\\Evil";
// A folder that an elevated program made in the user's profile: owned by Administrators (or
// the user, by policy) yet inheriting the user's full control, with a DLL in it.
inline const WideString kVendor = u"C:\\Temp\\Vendor";

struct Scene {
    std::string name;
    WideString tempPath;  // as the user's environment gives it
    std::function<void(SimulatedPlatform&)> set;
    OwnerPolicy policy;
    bool creationFollowsJunction;
    std::string installerPath;  // where an unattacked run starts the installer; empty: refused
};

// Returns every scene: each kind of temporary folder under both owner policies, and with a
// creation in a junction landing where it leads and in the junction itself.
std::vector<Scene> Scenes();

// Returns the base folder's path as the setup reads it from the scene's temporary path.
WideString BaseOf(const Scene& scene);

// Sets the scene up on a fresh platform; the package is the sweep's to add.
void SetScene(SimulatedPlatform& platform, const Scene& scene);

}  // namespace kyt::testing
