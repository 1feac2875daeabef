// The simulated Windows as a test sets it up, acts in it as the attacker, and reads it after.
#include <algorithm>

#include "support/simulated_platform.h"

namespace kyt::testing {

SimulatedPlatform::SimulatedPlatform() {
    AddVolume(u"C:", Volume::Ntfs);
    AddVolume(u"RPC Control", Volume::Objects);
    // The user's temporary folder: the user's own, as in a profile.
    const int temp = AddNode(0, u"Temp", Kind::Folder, Principal::User, false);
    nodes_[temp].access.push_back({Principal::User, kFullControl});
}

// --- Setting the scene ------------------------------------------------------------------------

void SimulatedPlatform::AddVolume(const WideString& root, Volume kind, const WideString& mountFolder) {
    // As a system drive's root: users may make folders in it, and may modify what is below it.
    Node node;
    node.name = root;
    node.isRoot = true;
    node.volume = kind;
    node.access = {{Principal::System, kFullControl},
                   {Principal::Administrators, kFullControl},
                   {Principal::User, kReadData | kWriteData | kExecute},
                   {Principal::User, kModify, true}};
    nodes_.push_back(node);
    if (!mountFolder.empty()) {
        const int volume = static_cast<int>(nodes_.size()) - 1;
        const int folder = AddSceneNode(mountFolder, Kind::Junction, false);
        nodes_[folder].target = root;
        nodes_[volume].mountFolder = folder;
    }
}

void SimulatedPlatform::AddResource(const WideString& name, const std::string& bytes) {
    resources_[name] = bytes;
}

int SimulatedPlatform::AddSceneNode(const WideString& path, Kind kind, bool isProtected) {
    // Missing folders on the way are added as an administrator's.
    const std::vector<WideString> parts = Components(path);
    WideString prefix = parts.empty() ? WideString() : parts[0];
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        prefix += u'\\' + parts[i];
        if (Resolve(prefix, true) < 0) {
            AddSceneNode(prefix, Kind::Folder, false);
        }
    }
    WideString name;
    const int folder = ParentOf(path, name);
    // What an earlier elevated program made belongs to whoever the policy names.
    const Principal owner = policy_ == OwnerPolicy::Administrators ? Principal::Administrators : Principal::User;
    return folder < 0 ? -1 : AddNode(folder, name, kind, owner, isProtected);
}

void SimulatedPlatform::AddFolder(const WideString& path) {
    AddSceneNode(path, Kind::Folder, false);
}

void SimulatedPlatform::AddProtectedFolder(const WideString& path) {
    AddSceneNode(path, Kind::Folder, true);
}

void SimulatedPlatform::AddFile(const WideString& path, const std::string& bytes) {
    const int file = AddSceneNode(path, Kind::File, false);
    if (file >= 0) {
        nodes_[file].contents = bytes;
    }
}

void SimulatedPlatform::SetTempPath(const WideString& path, std::optional<std::uint32_t> reportedLength) {
    tempPath_ = path;
    tempLength_ = reportedLength;
}

void SimulatedPlatform::FailWhen(std::function<bool(const CallFacts&)> rule) {
    failWhen = [previous = failWhen, rule](const CallFacts& facts) {
        return (previous && previous(facts)) || rule(facts);
    };
}

void SimulatedPlatform::FailCall(Call call, int occurrence) {
    FailWhen([=](const CallFacts& facts) { return facts.call == call && facts.occurrence == occurrence; });
}

void SimulatedPlatform::FailCallNumber(int number) {
    FailWhen([=](const CallFacts& facts) { return facts.number == number; });
}

void SimulatedPlatform::KeepBusy(const WideString& path, int tries) {
    scannerTries_[UpperCase(path)] = tries;
}

// --- The attacker -----------------------------------------------------------------------------

bool SimulatedPlatform::AttackerRename(const WideString& from, const WideString& to) {
    return Counted(Rename(Actor::Attacker, Resolve(from, false), to));
}

bool SimulatedPlatform::AttackerMakeFolder(const WideString& path) {
    bool existed = false;
    return Counted(CreateAt(Actor::Attacker, path, Kind::Folder, existed) >= 0);
}

bool SimulatedPlatform::AttackerMakeJunction(const WideString& path, const WideString& target) {
    return AttackerMakeFolder(path) && AttackerSetReparsePoint(path, target);
}

bool SimulatedPlatform::AttackerSetReparsePoint(const WideString& path, const WideString& target) {
    // Setting, changing or removing a junction needs the right to write data or attributes, on
    // an empty folder or a junction; such an open takes no part in sharing.
    const int node = Resolve(path, false);
    if (node < 0 || nodes_[node].isRoot || (nodes_[node].kind != Kind::Folder && nodes_[node].kind != Kind::Junction) ||
        !nodes_[node].children.empty() ||
        !(May(Actor::Attacker, node, kWriteData) || May(Actor::Attacker, node, kWriteAttributes))) {
        return false;
    }
    nodes_[node].kind = target.empty() ? Kind::Folder : Kind::Junction;
    nodes_[node].target = target;
    return Counted(true);
}

bool SimulatedPlatform::AttackerMakeLink(const WideString& path, const WideString& target) {
    bool existed = false;
    const int node = CreateAt(Actor::Attacker, path, Kind::Link, existed);
    if (node >= 0) {
        nodes_[node].target = target;
    }
    return Counted(node >= 0);
}

bool SimulatedPlatform::AttackerOpen(const WideString& path, unsigned rights, bool shareDelete) {
    const int node = Resolve(path, false);
    const unsigned share = shareDelete ? kShareAll : kShareRead | kShareWrite;
    if (node < 0 || !MayOpen(Actor::Attacker, node, rights, share)) {
        return false;
    }
    NewHandle(Holder::Attacker, "attacker's", node, rights, share);
    return Counted(true);
}

bool SimulatedPlatform::AttackerWriteFile(const WideString& path, const std::string& bytes) {
    const int node = OpenToWrite(Actor::Attacker, path, kShareRead);
    if (node >= 0) {
        nodes_[node].contents = bytes;
        nodes_[node].madeByRun = false;
    }
    return Counted(node >= 0);
}

bool SimulatedPlatform::AttackerDelete(const WideString& path) {
    const int node = Resolve(path, false);
    return Counted(node >= 0 && Remove(Actor::Attacker, node, nodes_[node].kind != Kind::File) == RemoveResult::Removed);
}

bool SimulatedPlatform::AttackerGrantSelf(const WideString& path) {
    const int node = Resolve(path, false);
    if (node < 0 || nodes_[node].isRoot || !May(Actor::Attacker, node, kWriteDac)) {
        return false;
    }
    nodes_[node].access.push_back({Principal::User, kFullControl});
    return Counted(true);
}

std::vector<WideString> SimulatedPlatform::Children(const WideString& folder) const {
    std::vector<WideString> names;
    const int node = Resolve(folder, true);
    if (node >= 0) {
        for (const auto& [key, child] : nodes_[node].children) {
            names.push_back(nodes_[child].name);
        }
    }
    return names;
}

// --- Reading the outcome ----------------------------------------------------------------------

std::set<WideString> SimulatedPlatform::Disk() const {
    std::set<WideString> paths;
    for (int node = 0; node < static_cast<int>(nodes_.size()); ++node) {
        const int root = VolumeRootOf(node);
        if (root >= 0 && TraitsOf(nodes_[root].volume).fileSystem) {
            paths.insert(PathOf(node));
        }
    }
    return paths;
}

bool SimulatedPlatform::Exists(const WideString& path) const {
    return Resolve(path, false) >= 0;
}

bool SimulatedPlatform::IsProtected(const WideString& path) const {
    const int node = Resolve(path, false);
    return node >= 0 && nodes_[node].isProtected;
}

bool SimulatedPlatform::IsOwnedByAdministrators(const WideString& path) const {
    const int node = Resolve(path, false);
    return node >= 0 && nodes_[node].owner == Principal::Administrators;
}

bool SimulatedPlatform::IsHeld(const WideString& path) const {
    const int node = Resolve(path, false);
    return std::any_of(openHandles_.begin(), openHandles_.end(), [&](const auto& open) {
        return open.second.label == std::string("hold") && open.second.node == node;
    });
}

std::map<WideString, WideString> SimulatedPlatform::LeftByRun() const {
    std::map<WideString, WideString> paths;
    for (int node = 0; node < static_cast<int>(nodes_.size()); ++node) {
        if (nodes_[node].madeByRun && VolumeRootOf(node) >= 0) {
            paths[PathOf(node)] = nodes_[node].createdName;
        }
    }
    return paths;
}

int SimulatedPlatform::OpenHandles() const {
    return static_cast<int>(std::count_if(openHandles_.begin(), openHandles_.end(),
                                          [](const auto& open) { return open.second.holder == Holder::Setup; }));
}

std::string SimulatedPlatform::FileContents(const WideString& path) const {
    const int node = Resolve(path, true);
    return node >= 0 ? nodes_[node].contents : std::string();
}

std::optional<std::string> SimulatedPlatform::Resource(const WideString& name) const {
    const auto found = resources_.find(name);
    return found == resources_.end() ? std::nullopt : std::optional<std::string>(found->second);
}

}  // namespace kyt::testing
