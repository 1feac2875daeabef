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

// Returns whether an open with these rights and share mode can live beside an earlier one.
bool Compatible(unsigned rights, unsigned share, unsigned otherRights, unsigned otherShare) {
    const auto conflicts = [](unsigned wants, unsigned allowed) {
        return ((wants & (kReadData | kExecute)) != 0 && (allowed & kShareRead) == 0) ||
               ((wants & kWriteData) != 0 && (allowed & kShareWrite) == 0) ||
               ((wants & kDelete) != 0 && (allowed & kShareDelete) == 0);
    };
    return !conflicts(rights, otherShare) && !conflicts(otherRights, share);
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
    // The system drive: anyone may make a folder at its top, which its maker then owns.
    AddVolume(u"C:", Volume::Ntfs);
    AddVolume(u"RPC Control", Volume::Objects);
    // The user's temporary folder: the user's own, as in a profile.
    const int temp = AddNode(0, u"Temp", Kind::Folder, Principal::User, false);
    nodes_[temp].access.push_back({Principal::User, kFullControl});
}

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

// --- Setting the scene ------------------------------------------------------------------------

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
    const Parent parent = ResolveParent(path);
    if (parent.folder < 0) {
        return -1;
    }
    // What an earlier elevated program made belongs to whoever the policy names.
    const Principal owner = policy_ == OwnerPolicy::Administrators ? Principal::Administrators : Principal::User;
    return AddNode(parent.folder, parent.name, kind, owner, isProtected);
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

void SimulatedPlatform::FailPath(Call call, const WideString& path) {
    FailWhen([=](const CallFacts& facts) { return facts.call == call && facts.path == path; });
}

void SimulatedPlatform::FailCallNumber(int number) {
    FailWhen([=](const CallFacts& facts) { return facts.number == number; });
}

void SimulatedPlatform::KeepBusy(const WideString& path, int tries) {
    scannerTries_[UpperCase(path)] = tries;
}

// --- The file system's rules ------------------------------------------------------------------

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
        if (nodes_[node].kind == Kind::Link || (i + 1 < parts.size() || followLast)) {
            node = Follow(node, depth);
        }
    }
    return node;
}

int SimulatedPlatform::Follow(int node, int depth) const {
    const Kind kind = nodes_[node].kind;
    return kind == Kind::Junction || kind == Kind::Link ? Resolve(nodes_[node].target, true, depth + 1) : node;
}

SimulatedPlatform::Parent SimulatedPlatform::ResolveParent(const WideString& path) const {
    std::vector<WideString> parts = Components(path);
    if (parts.size() < 2) {
        return {};
    }
    WideString parentPath;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        parentPath += (i == 0 ? u"" : u"\\") + parts[i];
    }
    const int folder = Resolve(parentPath, true);
    if (folder < 0 || nodes_[folder].kind != Kind::Folder) {
        return {};
    }
    return Parent{folder, parts.back()};
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

bool SimulatedPlatform::Has(Actor actor, Principal who) const {
    // The elevated setup's token holds the user and Administrators; the unelevated one holds
    // Administrators only for denying, and SYSTEM is neither.
    return who == Principal::User || (who == Principal::Administrators && actor == Actor::Setup);
}

unsigned SimulatedPlatform::Granted(Actor actor, int node) const {
    unsigned rights = 0;
    for (const AccessEntry& entry : nodes_[node].access) {
        if (!entry.inheritOnly && Has(actor, entry.who)) {
            rights |= entry.rights;
        }
    }
    // An owner may always read and change the access list.
    if (Has(actor, nodes_[node].owner)) {
        rights |= kReadControl | kWriteDac;
    }
    // A volume that keeps no access lists lets everyone do everything, and so, as far as anyone
    // can tell, does a server.
    if (!TraitsOf(nodes_[node].volume).keepsAccessLists) {
        rights = kFullControl;
    }
    return rights;
}

unsigned SimulatedPlatform::AttackerRights(int node) const {
    unsigned rights = 0;
    for (const auto& [value, open] : openHandles_) {
        if (open.kind == HandleKind::Attacker && open.node == node) {
            rights |= open.access;
        }
    }
    return rights;
}

unsigned SimulatedPlatform::Rights(Actor actor, int node) const {
    return Granted(actor, node) | (actor == Actor::Attacker ? AttackerRights(node) : 0);
}

bool SimulatedPlatform::May(Actor actor, int node, unsigned rights) const {
    return (rights & ~Rights(actor, node)) == 0;
}

int SimulatedPlatform::Create(Actor actor, int folder, const WideString& name, Kind kind, bool isProtected) {
    // The setup names Administrators as the owner of all it makes; the attacker owns its own,
    // with full control for itself.
    const int node = AddNode(folder, name, kind, actor == Actor::Setup ? Principal::Administrators : Principal::User,
                             isProtected);
    nodes_[node].madeByRun = actor == Actor::Setup;
    if (actor == Actor::Attacker) {
        nodes_[node].access.push_back({Principal::User, kFullControl});
    }
    return node;
}

bool SimulatedPlatform::MayOpen(Actor actor, int node, unsigned rights, unsigned share) const {
    // The attacker's rights include what its open handles got; acting through one of them
    // needs no new open, so share access is not asked again.
    if (actor == Actor::Attacker && (rights & ~AttackerRights(node)) == 0) {
        return true;
    }
    unsigned missing = rights & ~Granted(actor, node);
    // Whoever may delete children of a folder may delete or rename any of them, whatever the
    // child's own list says.
    const int parent = nodes_[node].parent;
    if ((missing & kDelete) != 0 && parent >= 0 && May(actor, parent, kDeleteChild)) {
        missing &= ~kDelete;
    }
    return missing == 0 && SharingAllows(node, rights, share);
}

bool SimulatedPlatform::SharingAllows(int node, unsigned rights, unsigned share) const {
    if ((rights & kDataRights) == 0) {
        return true;
    }
    return std::all_of(openHandles_.begin(), openHandles_.end(), [&](const auto& open) {
        const OpenHandle& other = open.second;
        return other.node != node || (other.access & kDataRights) == 0 ||
               Compatible(rights, share, other.access, other.share);
    });
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

bool SimulatedPlatform::IsEmpty(int folder) const {
    return nodes_[folder].children.empty();
}

FolderResult SimulatedPlatform::CreateFolder(Actor actor, const WideString& path, bool isProtected) {
    const Parent parent = ResolveParent(path);
    bool existed = false;
    if (parent.folder < 0 || CreateFolderIn(actor, parent.folder, parent.name, isProtected, existed) < 0) {
        return existed ? FolderResult::AlreadyExists : FolderResult::Failed;
    }
    return FolderResult::Created;
}

int SimulatedPlatform::CreateFolderIn(Actor actor, int folder, const WideString& name, bool isProtected,
                                      bool& existed) {
    if (folder < 0 || nodes_[folder].kind == Kind::File || nodes_[folder].kind == Kind::Link) {
        return -1;
    }
    const auto child = nodes_[folder].children.find(UpperCase(name));
    if (child != nodes_[folder].children.end()) {
        // A link sends the creation on to wherever it leads.
        const int link = child->second;
        if (nodes_[link].kind != Kind::Link) {
            existed = true;
            return -1;
        }
        const Parent target = ResolveParent(nodes_[link].target);
        return target.folder == folder ? -1 : CreateFolderIn(actor, target.folder, target.name, isProtected, existed);
    }
    if (!TraitsOf(nodes_[folder].volume).fileSystem || !May(actor, folder, kWriteData)) {
        return -1;
    }
    return Create(actor, folder, name, Kind::Folder, isProtected);
}

bool SimulatedPlatform::Rename(Actor actor, int node, const WideString& to) {
    if (node < 0 || nodes_[node].isRoot || !MayOpen(actor, node, kDelete, kShareAll)) {
        return false;
    }
    // A folder with an open handle anywhere below it cannot be renamed.
    if (nodes_[node].kind == Kind::Folder && HasHandleBelow(node)) {
        return false;
    }
    const Parent target = ResolveParent(to);
    if (target.folder < 0 || nodes_[target.folder].children.count(UpperCase(target.name)) != 0 ||
        !May(actor, target.folder, kWriteData)) {
        return false;
    }
    for (int up = target.folder; up >= 0; up = nodes_[up].parent) {
        if (up == node) {
            return false;
        }
    }
    Unlink(node);
    nodes_[node].parent = target.folder;
    nodes_[node].name = target.name;
    nodes_[target.folder].children[UpperCase(target.name)] = node;
    return true;
}

RemoveResult SimulatedPlatform::Delete(Actor actor, const WideString& path, bool folder) {
    // Nothing of that kind under the path: it is gone already.
    const int node = Resolve(path, false);
    if (node < 0 || (folder && nodes_[node].kind == Kind::File)) {
        return RemoveResult::Removed;
    }
    return DeleteNode(actor, node, folder);
}

RemoveResult SimulatedPlatform::DeleteNode(Actor actor, int node, bool folder) {
    if (node < 0 || nodes_[node].isRoot) {
        return RemoveResult::Failed;
    }
    // An object that someone else deleted while a handle kept it is gone already.
    if (nodes_[node].parent < 0) {
        return RemoveResult::Removed;
    }
    if ((nodes_[node].kind == Kind::File) == folder || (folder && !IsEmpty(node))) {
        return RemoveResult::Failed;
    }
    // Refused access and another program's open handle both count as busy, as on Windows a
    // file awaiting deletion also refuses access.
    if (actor == Actor::Setup) {
        ScannerBeforeRemoval(node);
    }
    if (!MayOpen(actor, node, kDelete, kShareAll)) {
        if (actor == Actor::Setup) {
            ++busyRemovals;
            ScannerRefused(node);
        }
        return RemoveResult::Busy;
    }
    if (actor == Actor::Setup) {
        Acted(folder ? "remove folder" : "delete", node);
    }
    Unlink(node);
    return RemoveResult::Removed;
}

void SimulatedPlatform::ScannerBeforeRemoval(int node) {
    const auto tries = scannerTries_.find(UpperCase(PathOf(node)));
    const bool open = std::any_of(openHandles_.begin(), openHandles_.end(), [&](const auto& handle) {
        return handle.second.kind == HandleKind::Scanner && handle.second.node == node;
    });
    if (tries != scannerTries_.end() && tries->second != 0 && !open) {
        // A scanner reads what it checks and shares all but its deletion.
        NewHandle(HandleKind::Scanner, node, kReadData, kShareRead | kShareWrite);
    }
}

void SimulatedPlatform::ScannerRefused(int node) {
    const auto tries = scannerTries_.find(UpperCase(PathOf(node)));
    if (tries == scannerTries_.end() || tries->second < 0 || --tries->second > 0) {
        return;
    }
    std::erase_if(openHandles_, [&](const auto& handle) {
        return handle.second.kind == HandleKind::Scanner && handle.second.node == node;
    });
}

// --- What the setup acted on -------------------------------------------------------------

bool SimulatedPlatform::AttackerCanChange(const WideString& path) const {
    const int node = Resolve(path, false);
    return node >= 0 && AttackerCanChangeNode(node);
}

bool SimulatedPlatform::AttackerCanChangeNode(int node) const {
    // Writing into it, re-permitting it or making it a junction needs rights on it, through an
    // open now or a handle kept from before; renaming or deleting it needs them on it or on its
    // folder, share access, and for a folder no handle open below it. Whoever serves a remote
    // volume changes what it likes.
    const bool canMove = MayOpen(Actor::Attacker, node, kDelete, kShareAll) &&
                         (nodes_[node].kind != Kind::Folder || !HasHandleBelow(node));
    const unsigned changing[] = {kWriteData, kDeleteChild, kWriteDac, kWriteAttributes};
    const bool canChange = std::any_of(std::begin(changing), std::end(changing),
                                       [&](unsigned right) { return May(Actor::Attacker, node, right); });
    return canChange || canMove || TraitsOf(nodes_[node].volume).remote;
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

std::optional<std::string> SimulatedPlatform::Resource(const WideString& name) const {
    const auto found = resources_.find(name);
    return found == resources_.end() ? std::nullopt : std::optional<std::string>(found->second);
}

// --- The attacker -----------------------------------------------------------------------------

bool SimulatedPlatform::AttackerRename(const WideString& from, const WideString& to) {
    return Rename(Actor::Attacker, Resolve(from, false), to);
}

bool SimulatedPlatform::AttackerMakeFolder(const WideString& path) {
    return CreateFolder(Actor::Attacker, path, false) == FolderResult::Created;
}

bool SimulatedPlatform::AttackerMakeJunction(const WideString& path, const WideString& target) {
    return AttackerMakeFolder(path) && AttackerSetReparsePoint(path, target);
}

bool SimulatedPlatform::AttackerSetReparsePoint(const WideString& path, const WideString& target) {
    // Setting, changing or removing a junction needs the right to write data or attributes, on
    // an empty folder or a junction; such an open takes no part in sharing.
    const int node = Resolve(path, false);
    if (node < 0 || nodes_[node].isRoot || (nodes_[node].kind != Kind::Folder && nodes_[node].kind != Kind::Junction) ||
        !IsEmpty(node) || !(May(Actor::Attacker, node, kWriteData) || May(Actor::Attacker, node, kWriteAttributes))) {
        return false;
    }
    nodes_[node].kind = target.empty() ? Kind::Folder : Kind::Junction;
    nodes_[node].target = target;
    return true;
}

bool SimulatedPlatform::AttackerMakeLink(const WideString& path, const WideString& target) {
    const Parent parent = ResolveParent(path);
    if (parent.folder < 0 || TraitsOf(nodes_[parent.folder].volume).fileSystem ||
        nodes_[parent.folder].children.count(UpperCase(parent.name)) != 0) {
        return false;
    }
    const int node = Create(Actor::Attacker, parent.folder, parent.name, Kind::Link, false);
    nodes_[node].target = target;
    return true;
}

bool SimulatedPlatform::AttackerOpen(const WideString& path, unsigned rights, bool shareDelete) {
    const int node = Resolve(path, false);
    const unsigned share = shareDelete ? kShareAll : kShareRead | kShareWrite;
    if (node < 0 || !MayOpen(Actor::Attacker, node, rights, share)) {
        return false;
    }
    NewHandle(HandleKind::Attacker, node, rights, share);
    return true;
}

bool SimulatedPlatform::AttackerWriteFile(const WideString& path, const std::string& bytes) {
    const int node = Resolve(path, true);
    if (node >= 0) {
        if (nodes_[node].kind != Kind::File || !MayOpen(Actor::Attacker, node, kWriteData, kShareRead)) {
            return false;
        }
        nodes_[node].contents = bytes;
        nodes_[node].madeByRun = false;
        return true;
    }
    const Parent parent = ResolveParent(path);
    if (parent.folder < 0 || !TraitsOf(nodes_[parent.folder].volume).fileSystem ||
        !May(Actor::Attacker, parent.folder, kWriteData)) {
        return false;
    }
    nodes_[Create(Actor::Attacker, parent.folder, parent.name, Kind::File, false)].contents = bytes;
    return true;
}

bool SimulatedPlatform::AttackerDelete(const WideString& path) {
    const int node = Resolve(path, false);
    return node >= 0 && DeleteNode(Actor::Attacker, node, nodes_[node].kind != Kind::File) == RemoveResult::Removed;
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
    for (std::size_t node = 0; node < nodes_.size(); ++node) {
        int up = static_cast<int>(node);
        while (nodes_[up].parent >= 0) {
            up = nodes_[up].parent;
        }
        if (nodes_[up].isRoot && TraitsOf(nodes_[up].volume).fileSystem) {
            paths.insert(PathOf(static_cast<int>(node)));
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
        return open.second.kind == HandleKind::Hold && open.second.node == node;
    });
}

std::map<WideString, WideString> SimulatedPlatform::LeftByRun() const {
    std::map<WideString, WideString> paths;
    for (std::size_t node = 0; node < nodes_.size(); ++node) {
        if (nodes_[node].madeByRun && VolumeRootOf(static_cast<int>(node)) >= 0) {
            paths[PathOf(static_cast<int>(node))] = nodes_[node].createdName;
        }
    }
    return paths;
}

int SimulatedPlatform::OpenHandles() const {
    return static_cast<int>(std::count_if(openHandles_.begin(), openHandles_.end(), [](const auto& open) {
        return open.second.kind != HandleKind::Attacker && open.second.kind != HandleKind::Scanner;
    }));
}

std::string SimulatedPlatform::FileContents(const WideString& path) const {
    const int node = Resolve(path, true);
    return node >= 0 ? nodes_[node].contents : std::string();
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

HandleValue SimulatedPlatform::NewHandle(HandleKind kind, int node, unsigned access, unsigned share) {
    const HandleValue handle = nextHandle_;
    nextHandle_ += 4;
    openHandles_[handle] = OpenHandle{kind, node, access, share};
    return handle;
}

const SimulatedPlatform::OpenHandle* SimulatedPlatform::HandleOf(HandleValue handle) const {
    const auto open = openHandles_.find(handle);
    return open == openHandles_.end() ? nullptr : &open->second;
}

std::optional<ByteView> SimulatedPlatform::FindResourceBytes(const WideString& name) {
    if (Enter(Call::FindResourceBytes, Narrow(name))) {
        return std::nullopt;
    }
    const auto found = resources_.find(name);
    if (found == resources_.end()) {
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(found->second.data());
    return ByteView(data, found->second.size());
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
    const FolderResult result = CreateFolder(Actor::Setup, path, false);
    if (result == FolderResult::Created) {
        Acted("make folder", Resolve(path, false));
    }
    return result;
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
    const HandleValue handle = NewHandle(HandleKind::Hold, node, kReadData, kShareRead | kShareWrite);
    return HeldFolder{handle, true, PathOf(node)};
}

std::string SimulatedPlatform::HandlePath(HandleValue handle) const {
    const OpenHandle* open = HandleOf(handle);
    return open != nullptr && open->node >= 0 ? Narrow(PathOf(open->node)) : "unknown";
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
    bool existed = false;
    const int folder = relativeCreationFollowsJunction ? Follow(open->node, 0) : open->node;
    const int node = CreateFolderIn(Actor::Setup, folder, name, true, existed);
    if (node < 0 && existed && creation == Creation::NewOrExisting) {
        // Opened as it is, a junction as itself, but a link of the object namespace is followed;
        // a file is no folder.
        const int child = nodes_[folder].children.at(UpperCase(name));
        const int found = nodes_[child].kind == Kind::Link ? Follow(child, 0) : child;
        if (found < 0 || nodes_[found].kind == Kind::File ||
            !MayOpen(Actor::Setup, found, kReadData, kShareRead | kShareWrite)) {
            return std::nullopt;
        }
        const HandleValue handle = NewHandle(HandleKind::Hold, found, kReadData, kShareRead | kShareWrite);
        return HeldFolder{handle, nodes_[found].kind == Kind::Folder, PathOf(found)};
    }
    if (node < 0) {
        return std::nullopt;
    }
    const HandleValue handle = NewHandle(HandleKind::Hold, node, kReadData, kShareRead | kShareWrite);
    return HeldFolder{handle, true, PathOf(node)};
}

std::optional<HandleValue> SimulatedPlatform::ReferToFolder(HandleValue folder) {
    const OpenHandle* open = HandleOf(folder);
    if (Enter(Call::ReferToFolder, HandlePath(folder)) || open == nullptr) {
        return std::nullopt;
    }
    return NewHandle(HandleKind::Reference, open->node, 0, kShareAll);
}

RemoveResult SimulatedPlatform::RemoveReferredFolder(HandleValue reference) {
    const OpenHandle* open = HandleOf(reference);
    if (Enter(Call::RemoveReferredFolder, HandlePath(reference)) || open == nullptr) {
        return RemoveResult::Failed;
    }
    return DeleteNode(Actor::Setup, open->node, true);
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
    int node = Resolve(path, true);
    if (node >= 0) {
        // Replacing a file keeps its owner and access list.
        if (nodes_[node].kind != Kind::File || !MayOpen(Actor::Setup, node, kWriteData, 0)) {
            return std::nullopt;
        }
        nodes_[node].contents.clear();
    } else {
        const Parent parent = ResolveParent(path);
        if (parent.folder < 0 || !May(Actor::Setup, parent.folder, kWriteData)) {
            return std::nullopt;
        }
        node = Create(Actor::Setup, parent.folder, parent.name, Kind::File, false);
    }
    Acted("write", node);
    return NewHandle(HandleKind::File, node, kWriteData, 0);
}

bool SimulatedPlatform::WriteBytes(HandleValue file, ByteView bytes, std::uint32_t& written) {
    const OpenHandle* open = HandleOf(file);
    const WideString path = open != nullptr ? PathOf(open->node) : WideString();
    if (Enter(Call::WriteBytes, Narrow(path), path) || open == nullptr || (open->access & kWriteData) == 0) {
        written = 0;
        return false;
    }
    const std::size_t count = bytes.size() - std::min<std::size_t>(shortWriteBy_, bytes.size());
    nodes_[open->node].contents.append(reinterpret_cast<const char*>(bytes.data()), count);
    written = static_cast<std::uint32_t>(count);
    return true;
}

void SimulatedPlatform::CloseHandleValue(HandleValue handle) {
    const OpenHandle* open = HandleOf(handle);
    static const char* const kinds[] = {"file",      "process",    "thread", "hold",
                                        "reference", "directory", "attacker's", "scanner's"};
    Enter(Call::CloseHandleValue, open == nullptr ? "unknown" : kinds[static_cast<int>(open->kind)]);
    openHandles_.erase(handle);
}

RemoveResult SimulatedPlatform::RemoveFile(const WideString& path) {
    return Enter(Call::RemoveFile, Narrow(path), path) ? FailedRemoval(path, false) : Delete(Actor::Setup, path, false);
}

RemoveResult SimulatedPlatform::RemoveFolder(const WideString& path) {
    return Enter(Call::RemoveFolder, Narrow(path), path) ? FailedRemoval(path, true) : Delete(Actor::Setup, path, true);
}

RemoveResult SimulatedPlatform::FailedRemoval(const WideString& path, bool folder) const {
    // Windows can fail a removal only of something there; of nothing, it says it is not found.
    const int node = Resolve(path, false);
    return node < 0 || (folder && nodes_[node].kind == Kind::File) ? RemoveResult::Removed : RemoveResult::Failed;
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
    const int program = Resolve(applicationPath, true);
    if (program < 0 || nodes_[program].kind != Kind::File ||
        !MayOpen(Actor::Setup, program, kReadData | kExecute, kShareRead | kShareDelete)) {
        return std::nullopt;
    }
    // The new process opens its current directory to traverse it, sharing reading and writing
    // but not deletion, and keeps it open while it runs.
    const int directory = Resolve(currentDirectory, true);
    if (directory < 0 || !MayOpen(Actor::Setup, directory, kExecute, kShareRead | kShareWrite)) {
        return std::nullopt;
    }
    Acted("start", program);
    started.push_back(
        StartedProgram{applicationPath, commandLine, currentDirectory, PathOf(program), nodes_[program].contents});
    const HandleValue currentDirectoryOpen =
        NewHandle(HandleKind::CurrentDirectory, directory, kExecute, kShareRead | kShareWrite);
    const std::uint32_t exitCode = installer ? installer(*this, started.back()) : 0;
    openHandles_.erase(currentDirectoryOpen);
    const HandleValue process = NewHandle(HandleKind::Process, -1, 0, 0);
    openHandles_[process].exitCode = exitCode;
    return ProcessHandles{process, NewHandle(HandleKind::Thread, -1, 0, 0)};
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
