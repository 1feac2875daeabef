#include "support/simulated_platform.h"

#include <algorithm>

namespace kyt::testing {
namespace {

// Share access as an open grants it to later opens.
constexpr unsigned kShareRead = 1;
constexpr unsigned kShareWrite = 2;
constexpr unsigned kShareDelete = 4;
constexpr unsigned kShareAll = kShareRead | kShareWrite | kShareDelete;

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

WideString UpperCase(const WideString& text) {
    WideString upper = text;
    for (char16_t& c : upper) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return upper;
}

// Returns the non-empty components of a path; both separators count. A "\\?\" prefix, and
// "GLOBALROOT" after it, lead to the same roots as the plain path.
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

}  // namespace

std::string Narrow(const WideString& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

VolumeTraits TraitsOf(Volume kind) {
    switch (kind) {
    case Volume::Ntfs: return {true, true, false};
    case Volume::Fat: return {true, false, false};
    case Volume::Remote: return {true, false, true};
    default: return {false, false, false};
    }
}

std::string CallName(Call call) {
    static const char* const names[] = {
        "FindResourceBytes", "ReadTempPath", "MakeFolder", "ProcessId", "TickCount", "OpenNewFile", "WriteBytes",
        "CloseHandleValue", "RemoveFile", "RemoveFolder", "StartProcess", "WaitForExit", "ReadExitCode",
        "ShowErrorBox", "HoldFolder", "IsOnLocalVolumeWithAccessLists", "IsRealDirectory",
        "CreateHeldFolder", "ReferToFolder", "RemoveReferredFolder", "Pause", "BoxCanBeSeen",
        "ReportRun",
    };
    return names[static_cast<int>(call)];
}

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
    // Nothing of that kind there, or deleted by someone else while a handle kept it: gone already.
    if (node < 0 || nodes_[node].parent < 0 || (folder && nodes_[node].kind == Kind::File)) {
        return node >= 0 && nodes_[node].isRoot ? RemoveResult::Failed : RemoveResult::Removed;
    }
    if (!folder && nodes_[node].kind != Kind::File) {
        return RemoveResult::Failed;
    }
    if (folder && !nodes_[node].children.empty()) {
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

RemoveResult SimulatedPlatform::RemovePath(Call call, const WideString& path, bool folder) {
    const bool fails = Enter(call, Narrow(path), path);
    const int node = Resolve(path, false);
    // Windows can fail a removal only of something there; of nothing, it says it is not found.
    if (fails && node >= 0 && !(folder && nodes_[node].kind == Kind::File)) {
        return RemoveResult::Failed;
    }
    return Remove(Actor::Setup, node, folder);
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

// --- The attacker -----------------------------------------------------------------------------

bool SimulatedPlatform::AttackerRename(const WideString& from, const WideString& to) {
    return Rename(Actor::Attacker, Resolve(from, false), to);
}

bool SimulatedPlatform::AttackerMakeFolder(const WideString& path) {
    bool existed = false;
    return CreateAt(Actor::Attacker, path, Kind::Folder, existed) >= 0;
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
    return true;
}

bool SimulatedPlatform::AttackerMakeLink(const WideString& path, const WideString& target) {
    bool existed = false;
    const int node = CreateAt(Actor::Attacker, path, Kind::Link, existed);
    if (node >= 0) {
        nodes_[node].target = target;
    }
    return node >= 0;
}

bool SimulatedPlatform::AttackerOpen(const WideString& path, unsigned rights, bool shareDelete) {
    const int node = Resolve(path, false);
    const unsigned share = shareDelete ? kShareAll : kShareRead | kShareWrite;
    if (node < 0 || !MayOpen(Actor::Attacker, node, rights, share)) {
        return false;
    }
    NewHandle(Holder::Attacker, "attacker's", node, rights, share);
    return true;
}

bool SimulatedPlatform::AttackerWriteFile(const WideString& path, const std::string& bytes) {
    const int node = OpenToWrite(Actor::Attacker, path, kShareRead);
    if (node >= 0) {
        nodes_[node].contents = bytes;
        nodes_[node].madeByRun = false;
    }
    return node >= 0;
}

bool SimulatedPlatform::AttackerDelete(const WideString& path) {
    const int node = Resolve(path, false);
    return node >= 0 && Remove(Actor::Attacker, node, nodes_[node].kind != Kind::File) == RemoveResult::Removed;
}

bool SimulatedPlatform::AttackerGrantSelf(const WideString& path) {
    const int node = Resolve(path, false);
    if (node < 0 || nodes_[node].isRoot || !May(Actor::Attacker, node, kWriteDac)) {
        return false;
    }
    nodes_[node].access.push_back({Principal::User, kFullControl});
    return true;
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

// --- Platform ---------------------------------------------------------------------------------

bool SimulatedPlatform::Enter(Call call, const std::string& detail, const WideString& path) {
    ++callCount_;
    if (beforeCall && !inCallback_) {
        inCallback_ = true;
        beforeCall(*this, callCount_);
        inCallback_ = false;
    }
    const int occurrence = ++occurrences_[call];
    const bool fails = failWhen && failWhen(CallFacts{call, callCount_, occurrence, path});
    log_.push_back(LoggedCall{call, detail, fails});
    return fails;
}

std::optional<ByteView> SimulatedPlatform::FindResourceBytes(const WideString& name) {
    if (Enter(Call::FindResourceBytes, Narrow(name))) {
        return std::nullopt;
    }
    const auto found = resources_.find(name);
    if (found == resources_.end()) {
        return std::nullopt;
    }
    return ByteView(reinterpret_cast<const std::uint8_t*>(found->second.data()), found->second.size());
}

TempPathReading SimulatedPlatform::ReadTempPath() {
    if (Enter(Call::ReadTempPath, "")) {
        return {};
    }
    const auto length = tempLength_.value_or(static_cast<std::uint32_t>(tempPath_.size()));
    return TempPathReading{length, length < 260 ? tempPath_ : WideString()};
}

FolderResult SimulatedPlatform::MakeFolder(const WideString& path) {
    if (Enter(Call::MakeFolder, Narrow(path), path)) {
        return FolderResult::Failed;
    }
    bool existed = false;
    const int node = CreateAt(Actor::Setup, path, Kind::Folder, existed);
    if (node < 0) {
        return existed ? FolderResult::AlreadyExists : FolderResult::Failed;
    }
    Acted("make folder", node);
    return FolderResult::Created;
}

std::optional<HeldFolder> SimulatedPlatform::HoldFolder(const WideString& path) {
    if (Enter(Call::HoldFolder, Narrow(path), path)) {
        return std::nullopt;
    }
    // Junctions are followed to the end; listing takes part in sharing, deletion is not shared.
    // A folder of the object namespace is no folder of a file system.
    const int node = Resolve(path, true);
    if (node < 0 || nodes_[node].kind != Kind::Folder || !TraitsOf(nodes_[node].volume).fileSystem ||
        !MayOpen(Actor::Setup, node, kReadData, kShareRead | kShareWrite)) {
        return std::nullopt;
    }
    return HeldFolder{NewHandle(Holder::Setup, "hold", node, kReadData, kShareRead | kShareWrite), true, PathOf(node)};
}

bool SimulatedPlatform::IsOnLocalVolumeWithAccessLists(HandleValue folder) {
    const OpenHandle* open = HandleOf(folder);
    if (Enter(Call::IsOnLocalVolumeWithAccessLists, HandlePath(folder)) || open == nullptr ||
        !TraitsOf(nodes_[open->node].volume).keepsAccessLists || TraitsOf(nodes_[open->node].volume).remote) {
        return false;
    }
    // The final path must start with a drive letter that names the folder's own volume.
    const WideString drive = Components(PathOf(open->node)).front();
    return drive.size() == 2 && drive[1] == u':' && Resolve(drive, false) == VolumeRootOf(open->node);
}

bool SimulatedPlatform::IsRealDirectory(HandleValue folder) {
    const OpenHandle* open = HandleOf(folder);
    return !Enter(Call::IsRealDirectory, HandlePath(folder)) && open != nullptr &&
           nodes_[open->node].kind == Kind::Folder;
}

std::optional<HeldFolder> SimulatedPlatform::CreateHeldFolder(HandleValue parent, const WideString& name,
                                                               Creation creation) {
    const OpenHandle* open = HandleOf(parent);
    if (Enter(Call::CreateHeldFolder, HandlePath(parent) + " " + Narrow(name)) || open == nullptr) {
        return std::nullopt;
    }
    // Relative to the handle, whatever its folder's name is now.
    const int folder = relativeCreationFollowsJunction ? Follow(open->node) : open->node;
    bool existed = false;
    int node = CreateIn(Actor::Setup, folder, name, Kind::Folder, true, existed);
    if (node < 0 && existed && creation == Creation::NewOrExisting) {
        // Opened as it is, a junction as itself, but a link of the object namespace is followed;
        // a file is no folder.
        const int child = nodes_[folder].children.at(UpperCase(name));
        node = nodes_[child].kind == Kind::Link ? Follow(child) : child;
        if (node >= 0 && (nodes_[node].kind == Kind::File ||
                          !MayOpen(Actor::Setup, node, kReadData, kShareRead | kShareWrite))) {
            node = -1;
        }
    }
    if (node < 0) {
        return std::nullopt;
    }
    const HandleValue handle = NewHandle(Holder::Setup, "hold", node, kReadData, kShareRead | kShareWrite);
    return HeldFolder{handle, nodes_[node].kind == Kind::Folder, PathOf(node)};
}

std::optional<HandleValue> SimulatedPlatform::ReferToFolder(HandleValue folder) {
    const OpenHandle* open = HandleOf(folder);
    if (Enter(Call::ReferToFolder, HandlePath(folder)) || open == nullptr) {
        return std::nullopt;
    }
    return NewHandle(Holder::Setup, "reference", open->node, 0, kShareAll);
}

RemoveResult SimulatedPlatform::RemoveReferredFolder(HandleValue reference) {
    const OpenHandle* open = HandleOf(reference);
    if (Enter(Call::RemoveReferredFolder, HandlePath(reference)) || open == nullptr) {
        return RemoveResult::Failed;
    }
    return Remove(Actor::Setup, open->node, true);
}

std::uint32_t SimulatedPlatform::ProcessId() {
    Enter(Call::ProcessId, "");
    return processId;
}

std::uint64_t SimulatedPlatform::TickCount() {
    Enter(Call::TickCount, "");
    const std::uint64_t now = tickCount;
    tickCount += tickStep;
    return now;
}

std::optional<HandleValue> SimulatedPlatform::OpenNewFile(const WideString& path) {
    if (Enter(Call::OpenNewFile, Narrow(path), path)) {
        return std::nullopt;
    }
    const int node = OpenToWrite(Actor::Setup, path, 0);
    if (node < 0) {
        return std::nullopt;
    }
    nodes_[node].contents.clear();
    Acted("write", node);
    return NewHandle(Holder::Setup, "file", node, kWriteData, 0);
}

bool SimulatedPlatform::WriteBytes(HandleValue file, ByteView bytes, std::uint32_t& written) {
    const OpenHandle* open = HandleOf(file);
    const WideString path = open != nullptr ? PathOf(open->node) : WideString();
    written = 0;
    if (Enter(Call::WriteBytes, Narrow(path), path) || open == nullptr || (open->access & kWriteData) == 0) {
        return false;
    }
    const std::size_t count = bytes.size() - std::min<std::size_t>(shortWriteBy_, bytes.size());
    nodes_[open->node].contents.append(reinterpret_cast<const char*>(bytes.data()), count);
    written = static_cast<std::uint32_t>(count);
    return true;
}

void SimulatedPlatform::CloseHandleValue(HandleValue handle) {
    const OpenHandle* open = HandleOf(handle);
    Enter(Call::CloseHandleValue, open == nullptr ? "unknown" : open->label);
    openHandles_.erase(handle);
}

RemoveResult SimulatedPlatform::RemoveFile(const WideString& path) {
    return RemovePath(Call::RemoveFile, path, false);
}

RemoveResult SimulatedPlatform::RemoveFolder(const WideString& path) {
    return RemovePath(Call::RemoveFolder, path, true);
}

void SimulatedPlatform::Pause(std::uint32_t milliseconds) {
    Enter(Call::Pause, std::to_string(milliseconds));
    pausedMilliseconds += milliseconds;
    tickCount += milliseconds;
}

std::optional<ProcessHandles> SimulatedPlatform::StartProcess(const WideString& applicationPath,
                                                              WideString commandLine,
                                                              const WideString& currentDirectory) {
    if (Enter(Call::StartProcess, Narrow(commandLine), applicationPath)) {
        return std::nullopt;
    }
    // The new process opens its current directory to traverse it, sharing reading and writing
    // but not deletion, and keeps it open while it runs.
    const int program = Resolve(applicationPath, true);
    const int directory = Resolve(currentDirectory, true);
    if (program < 0 || nodes_[program].kind != Kind::File ||
        !MayOpen(Actor::Setup, program, kReadData | kExecute, kShareRead | kShareDelete) || directory < 0 ||
        !MayOpen(Actor::Setup, directory, kExecute, kShareRead | kShareWrite)) {
        return std::nullopt;
    }
    Acted("start", program);
    started.push_back(
        StartedProgram{applicationPath, commandLine, currentDirectory, PathOf(program), nodes_[program].contents});
    const HandleValue inDirectory =
        NewHandle(Holder::Setup, "directory", directory, kExecute, kShareRead | kShareWrite);
    const std::uint32_t exitCode = installer ? installer(*this, started.back()) : 0;
    openHandles_.erase(inDirectory);
    const HandleValue process = NewHandle(Holder::Setup, "process", -1, 0, 0);
    openHandles_[process].exitCode = exitCode;
    return ProcessHandles{process, NewHandle(Holder::Setup, "thread", -1, 0, 0)};
}

bool SimulatedPlatform::WaitForExit(HandleValue process) {
    return !Enter(Call::WaitForExit, "") && HandleOf(process) != nullptr;
}

bool SimulatedPlatform::ReadExitCode(HandleValue process, std::uint32_t& exitCode) {
    const OpenHandle* open = HandleOf(process);
    if (Enter(Call::ReadExitCode, "") || open == nullptr) {
        return false;
    }
    exitCode = open->exitCode;
    return true;
}

bool SimulatedPlatform::BoxCanBeSeen() {
    return !Enter(Call::BoxCanBeSeen, "") && boxCanBeSeen;
}

void SimulatedPlatform::ShowErrorBox(const WideString& text, const WideString& caption) {
    Enter(Call::ShowErrorBox, Narrow(text));
    boxes.push_back(ShownBox{text, caption, Disk()});
}

void SimulatedPlatform::ReportRun(const WideString& source, const RunRecord& record) {
    if (!Enter(Call::ReportRun, std::to_string(record.eventId))) {
        applicationLog.emplace_back(source, record);
    }
}

}  // namespace kyt::testing
