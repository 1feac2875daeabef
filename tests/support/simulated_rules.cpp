// The simulated Windows's rules: what a name leads to, who may do what, what shares with what,
// and what creating, renaming and removing do, for whoever acts.
#include <algorithm>

#include "support/simulated_platform.h"

namespace kyt::testing {
namespace {

// The rights that make an open take part in share access; an open asking only for the owner,
// the access list or attributes is neither checked nor recorded.
constexpr unsigned kDataRights = kReadData | kWriteData | kExecute | kDelete;

const std::vector<AccessEntry> kProtectedAccess = {{Principal::System, kFullControl},
                                                   {Principal::Administrators, kFullControl}};

// Returns the entries that an object created below one with these entries gets.
std::vector<AccessEntry> Inherited(std::vector<AccessEntry> entries) {
    for (AccessEntry& entry : entries) {
        entry.inheritOnly = false;
    }
    return entries;
}

}  // namespace

VolumeTraits TraitsOf(Volume kind) {
    switch (kind) {
    case Volume::Ntfs: return {true, true, false};
    case Volume::Fat: return {true, false, false};
    case Volume::Remote: return {true, false, true};
    default: return {false, false, false};
    }
}

WideString UpperCase(const WideString& text) {
    WideString upper = text;
    for (char16_t& c : upper) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return upper;
}

std::vector<WideString> Components(const WideString& path) {
    std::vector<WideString> parts;
    WideString part;
    for (char16_t c : path) {
        if (c == u'\\' || c == u'/') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    if (!parts.empty() && parts[0] == u"?") {
        parts.erase(parts.begin());
        if (!parts.empty() && UpperCase(parts[0]) == u"GLOBALROOT") {
            parts.erase(parts.begin());
        }
    }
    return parts;
}

// --- Names ------------------------------------------------------------------------------------

int SimulatedPlatform::AddNode(int parent, const WideString& name, Kind kind, Principal owner, bool isProtected) {
    Node node;
    node.parent = parent;
    node.name = name;
    node.createdName = name;
    node.kind = kind;
    node.owner = owner;
    node.isProtected = isProtected;
    node.volume = nodes_[parent].volume;
    // Every entry of the model is inheritable, so a new object without a list of its own gets
    // its folder's entries.
    node.access = isProtected ? kProtectedAccess : Inherited(nodes_[parent].access);
    nodes_.push_back(node);
    const int id = static_cast<int>(nodes_.size()) - 1;
    nodes_[parent].children[UpperCase(name)] = id;
    return id;
}

void SimulatedPlatform::Unlink(int node) {
    nodes_[nodes_[node].parent].children.erase(UpperCase(nodes_[node].name));
    nodes_[node].parent = -1;
}

int SimulatedPlatform::Resolve(const WideString& path, bool followLast, int depth) const {
    const std::vector<WideString> parts = Components(path);
    if (parts.empty() || depth > 8) {
        return -1;
    }
    int node = -1;
    for (std::size_t root = 0; root < nodes_.size() && node < 0; ++root) {
        if (nodes_[root].isRoot && UpperCase(nodes_[root].name) == UpperCase(parts[0])) {
            node = static_cast<int>(root);
        }
    }
    for (std::size_t i = 1; i < parts.size() && node >= 0; ++i) {
        if (nodes_[node].kind != Kind::Folder) {
            return -1;
        }
        const auto child = nodes_[node].children.find(UpperCase(parts[i]));
        if (child == nodes_[node].children.end()) {
            return -1;
        }
        node = child->second;
        // A junction on the way is always followed, at the end only when the open asks for it;
        // a link of the object namespace is followed wherever it is.
        if (nodes_[node].kind == Kind::Link || i + 1 < parts.size() || followLast) {
            node = Follow(node, depth);
        }
    }
    return node;
}

int SimulatedPlatform::Follow(int node, int depth) const {
    const Kind kind = nodes_[node].kind;
    return kind == Kind::Junction || kind == Kind::Link ? Resolve(nodes_[node].target, true, depth + 1) : node;
}

int SimulatedPlatform::ParentOf(const WideString& path, WideString& name) const {
    const std::vector<WideString> parts = Components(path);
    if (parts.size() < 2) {
        return -1;
    }
    WideString parentPath = parts[0];
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        parentPath += u'\\' + parts[i];
    }
    name = parts.back();
    const int folder = Resolve(parentPath, true);
    return folder >= 0 && nodes_[folder].kind == Kind::Folder ? folder : -1;
}

WideString SimulatedPlatform::PathOf(int node) const {
    // A mounted volume's paths run through the folder it is mounted in.
    if (nodes_[node].isRoot && nodes_[node].mountFolder >= 0) {
        return PathOf(nodes_[node].mountFolder);
    }
    return nodes_[node].parent < 0 ? nodes_[node].name : PathOf(nodes_[node].parent) + u'\\' + nodes_[node].name;
}

int SimulatedPlatform::VolumeRootOf(int node) const {
    while (nodes_[node].parent >= 0) {
        node = nodes_[node].parent;
    }
    return nodes_[node].isRoot ? node : -1;
}

// --- Who may do what --------------------------------------------------------------------------

unsigned SimulatedPlatform::Granted(Actor actor, int node) const {
    // The elevated setup's token holds the user and Administrators; the unelevated one holds
    // Administrators only for denying, and SYSTEM is neither.
    const auto has = [actor](Principal who) {
        return who == Principal::User || (who == Principal::Administrators && actor == Actor::Setup);
    };
    // A volume that keeps no access lists lets everyone do everything, and so, as far as anyone
    // can tell, does a server.
    if (!TraitsOf(nodes_[node].volume).keepsAccessLists) {
        return kFullControl;
    }
    unsigned rights = 0;
    for (const AccessEntry& entry : nodes_[node].access) {
        if (!entry.inheritOnly && has(entry.who)) {
            rights |= entry.rights;
        }
    }
    // An owner may always read and change the access list.
    return rights | (has(nodes_[node].owner) ? kReadControl | kWriteDac : 0);
}

bool SimulatedPlatform::May(Actor actor, int node, unsigned rights) const {
    unsigned kept = 0;
    for (const auto& [value, open] : openHandles_) {
        if (actor == Actor::Attacker && open.holder == Holder::Attacker && open.node == node) {
            kept |= open.access;
        }
    }
    return (rights & ~(Granted(actor, node) | kept)) == 0;
}

bool SimulatedPlatform::MayOpen(Actor actor, int node, unsigned rights, unsigned share) const {
    // Acting through a handle the attacker kept needs no new open, so share access is not asked.
    if (actor == Actor::Attacker && std::any_of(openHandles_.begin(), openHandles_.end(), [&](const auto& open) {
            return open.second.holder == Holder::Attacker && open.second.node == node &&
                   (rights & ~open.second.access) == 0;
        })) {
        return true;
    }
    unsigned missing = rights & ~Granted(actor, node);
    // Whoever may delete children of a folder may delete or rename any of them, whatever the
    // child's own list says.
    const int parent = nodes_[node].parent;
    if ((missing & kDelete) != 0 && parent >= 0 && May(actor, parent, kDeleteChild)) {
        missing &= ~kDelete;
    }
    // Share access: an open that reads, writes, runs or deletes must be shared by every other
    // such open of the object, and share what they do.
    const auto conflicts = [](unsigned wants, unsigned allowed) {
        return ((wants & (kReadData | kExecute)) != 0 && (allowed & kShareRead) == 0) ||
               ((wants & kWriteData) != 0 && (allowed & kShareWrite) == 0) ||
               ((wants & kDelete) != 0 && (allowed & kShareDelete) == 0);
    };
    return missing == 0 && ((rights & kDataRights) == 0 ||
                            std::none_of(openHandles_.begin(), openHandles_.end(), [&](const auto& open) {
                                const OpenHandle& other = open.second;
                                return other.node == node && (other.access & kDataRights) != 0 &&
                                       (conflicts(rights, other.share) || conflicts(other.access, share));
                            }));
}

bool SimulatedPlatform::HasHandleBelow(int folder) const {
    return std::any_of(openHandles_.begin(), openHandles_.end(), [&](const auto& open) {
        for (int up = open.second.node >= 0 ? nodes_[open.second.node].parent : -1; up >= 0; up = nodes_[up].parent) {
            if (up == folder) {
                return true;
            }
        }
        return false;
    });
}

HandleValue SimulatedPlatform::NewHandle(Holder holder, const char* label, int node, unsigned access,
                                         unsigned share) {
    const HandleValue handle = nextHandle_;
    nextHandle_ += 4;
    openHandles_[handle] = OpenHandle{holder, label, node, access, share};
    return handle;
}

const SimulatedPlatform::OpenHandle* SimulatedPlatform::HandleOf(HandleValue handle) const {
    const auto open = openHandles_.find(handle);
    return open == openHandles_.end() ? nullptr : &open->second;
}

std::string SimulatedPlatform::HandlePath(HandleValue handle) const {
    const OpenHandle* open = HandleOf(handle);
    return open != nullptr && open->node >= 0 ? Narrow(PathOf(open->node)) : "unknown";
}

// --- What anyone may do -----------------------------------------------------------------------

int SimulatedPlatform::CreateIn(Actor actor, int folder, const WideString& name, Kind kind, bool isProtected,
                                bool& existed) {
    if (folder < 0 || nodes_[folder].kind == Kind::File || nodes_[folder].kind == Kind::Link) {
        return -1;
    }
    const auto child = nodes_[folder].children.find(UpperCase(name));
    if (child != nodes_[folder].children.end()) {
        // A taken name stays taken, but a link sends a folder's or file's creation on to where
        // it leads.
        const int link = child->second;
        existed = nodes_[link].kind != Kind::Link || kind == Kind::Link;
        WideString targetName;
        const int target = existed ? -1 : ParentOf(nodes_[link].target, targetName);
        return target < 0 || target == folder ? -1 : CreateIn(actor, target, targetName, kind, isProtected, existed);
    }
    // Links are made only in the object namespace, by anyone; folders and files only on a file
    // system, by whoever may add to the folder.
    if ((kind == Kind::Link) == TraitsOf(nodes_[folder].volume).fileSystem ||
        (kind != Kind::Link && !May(actor, folder, kWriteData))) {
        return -1;
    }
    // The setup names Administrators as the owner of all it makes; the attacker owns its own,
    // with full control for itself.
    const int node =
        AddNode(folder, name, kind, actor == Actor::Setup ? Principal::Administrators : Principal::User, isProtected);
    nodes_[node].madeByRun = actor == Actor::Setup;
    if (actor == Actor::Attacker) {
        nodes_[node].access.push_back({Principal::User, kFullControl});
    }
    return node;
}

int SimulatedPlatform::CreateAt(Actor actor, const WideString& path, Kind kind, bool& existed) {
    WideString name;
    const int folder = ParentOf(path, name);
    return CreateIn(actor, folder, name, kind, false, existed);
}

int SimulatedPlatform::OpenToWrite(Actor actor, const WideString& path, unsigned share) {
    const int node = Resolve(path, true);
    if (node < 0) {
        bool existed = false;
        return CreateAt(actor, path, Kind::File, existed);
    }
    // Replacing a file keeps its owner and access list.
    return nodes_[node].kind == Kind::File && MayOpen(actor, node, kWriteData, share) ? node : -1;
}

bool SimulatedPlatform::Rename(Actor actor, int node, const WideString& to) {
    if (node < 0 || nodes_[node].isRoot || !MayOpen(actor, node, kDelete, kShareAll)) {
        return false;
    }
    // A folder with an open handle anywhere below it cannot be renamed.
    if (nodes_[node].kind == Kind::Folder && HasHandleBelow(node)) {
        return false;
    }
    WideString name;
    const int folder = ParentOf(to, name);
    if (folder < 0 || nodes_[folder].children.count(UpperCase(name)) != 0 || !May(actor, folder, kWriteData)) {
        return false;
    }
    for (int up = folder; up >= 0; up = nodes_[up].parent) {
        if (up == node) {
            return false;
        }
    }
    Unlink(node);
    nodes_[node].parent = folder;
    nodes_[node].name = name;
    nodes_[folder].children[UpperCase(name)] = node;
    return true;
}

RemoveResult SimulatedPlatform::Remove(Actor actor, int node, bool folder) {
    if (node >= 0 && nodes_[node].isRoot) {
        return RemoveResult::Failed;
    }
    // Nothing of that kind there, or deleted by someone else while a handle kept it: gone already.
    if (node < 0 || nodes_[node].parent < 0 || (folder && nodes_[node].kind == Kind::File)) {
        return RemoveResult::Removed;
    }
    // A file removal of a folder fails, and so does removing a folder that holds something.
    if ((!folder && nodes_[node].kind != Kind::File) || (folder && !nodes_[node].children.empty())) {
        return RemoveResult::Failed;
    }
    // A scanner that is due opens the object just before the setup's removal, sharing all but
    // its deletion, and keeps it open for as many of the setup's removals as it was told.
    const auto tries = scannerTries_.find(UpperCase(PathOf(node)));
    const bool scanned = actor == Actor::Setup && tries != scannerTries_.end() && tries->second != 0;
    const auto isScanner = [&](const auto& open) {
        return open.second.holder == Holder::Scanner && open.second.node == node;
    };
    if (scanned && std::none_of(openHandles_.begin(), openHandles_.end(), isScanner)) {
        NewHandle(Holder::Scanner, "scanner's", node, kReadData, kShareRead | kShareWrite);
    }
    // Refused access and another program's open both count as busy, as on Windows a file
    // awaiting deletion also refuses access.
    if (!MayOpen(actor, node, kDelete, kShareAll)) {
        if (actor == Actor::Setup) {
            ++busyRemovals;
        }
        if (scanned && tries->second > 0 && --tries->second == 0) {
            std::erase_if(openHandles_, isScanner);
        }
        return RemoveResult::Busy;
    }
    if (actor == Actor::Setup) {
        Acted(folder ? "remove folder" : "delete", node);
    }
    Unlink(node);
    return RemoveResult::Removed;
}

// --- What the setup acted on ------------------------------------------------------------------

bool SimulatedPlatform::AttackerCanChange(const WideString& path) const {
    const int node = Resolve(path, false);
    return node >= 0 && AttackerCanChangeNode(node);
}

bool SimulatedPlatform::AttackerCanChangeNode(int node) const {
    // Writing into it, re-permitting it or making it a junction needs rights on it, through an
    // open now or a handle kept from before; renaming or deleting it needs them on it or on its
    // folder, share access, and for a folder no handle open below it.
    const bool canMove = MayOpen(Actor::Attacker, node, kDelete, kShareAll) &&
                         (nodes_[node].kind != Kind::Folder || !HasHandleBelow(node));
    const unsigned changing[] = {kWriteData, kDeleteChild, kWriteDac, kWriteAttributes};
    return canMove || std::any_of(std::begin(changing), std::end(changing),
                                  [&](unsigned right) { return May(Actor::Attacker, node, right); });
}

SimulatedPlatform::ObjectFacts SimulatedPlatform::FactsOf(int node) const {
    return ObjectFacts{PathOf(node), nodes_[node].madeByRun, nodes_[node].kind == Kind::Folder,
                       AttackerCanChangeNode(node)};
}

void SimulatedPlatform::Acted(const char* kind, int node) {
    SetupAction action{kind, FactsOf(node), {}, {}, {}};
    for (int up = nodes_[node].parent; up >= 0; up = nodes_[up].parent) {
        action.above.push_back(FactsOf(up));
    }
    if (action.kind == "start") {
        for (const auto& [key, child] : nodes_[nodes_[node].parent].children) {
            if (child != node) {
                action.beside.push_back(FactsOf(child));
            }
        }
        action.contents = nodes_[node].contents;
    }
    actions_.push_back(std::move(action));
}

}  // namespace kyt::testing
