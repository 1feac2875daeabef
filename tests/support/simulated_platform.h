#pragma once
// An in-memory stand-in for Windows: resources, a file system that compares names as Windows
// does, a clock, the installer process and the message box. One fault hook can make any call
// fail, and every call is logged with its kind, so a test can say which call fails and check
// what the run then leaves behind. It records what the setup did; whether that was safe is the
// judge's to say (run_judge.h), and tests/support/folder_rules.h checks its rules against Wine.
// The rules are in simulated_rules.cpp; setting a scene, the attacker's acts and reading the
// outcome in simulated_scene.cpp; the platform's calls in simulated_platform.cpp.
//
// The file system keeps what Windows enforces and Wine does not: owners, access lists with
// their inheritance, the owner's implicit rights and the right to delete children, rights fixed
// when a handle is opened, share access as Windows checks it (a scanner's open too), junctions,
// links of the object namespace, volumes that keep no access lists, lie on a server or are
// mounted in a folder of another, and no rename of a folder with an open handle below it on its
// volume. The setup acts with an elevated token; an unelevated program of the same user (the
// attacker) can act between any two platform calls through `beforeCall`.

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kyt::testing {

enum class Call {
    FindResourceBytes, ReadTempPath, MakeFolder, ProcessId, TickCount, OpenNewFile, WriteBytes,
    CloseHandleValue, RemoveFile, RemoveFolder, StartProcess, WaitForExit, ReadExitCode, ShowErrorBox,
    HoldFolder, IsOnLocalVolumeWithAccessLists, IsRealDirectory, CreateHeldFolder,
    ReferToFolder, RemoveReferredFolder, Pause, BoxCanBeSeen, ReportRun,
};

// Returns the call's name, as the log writes it.
std::string CallName(Call call);

// Who an access list entry or an owner names.
enum class Principal { System, Administrators, User };

// The rights of the model, each standing for the Windows rights of its kind.
enum Right : unsigned {
    kReadData = 1,      // read a file, list a folder
    kWriteData = 2,     // write a file, add a file or a folder to a folder, set a reparse point
    kExecute = 4,       // run a file
    kDelete = 8,        // delete or rename the object
    kDeleteChild = 16,  // delete or rename anything in the folder
    kReadControl = 32,  // read the owner and access list
    kWriteDac = 64,     // change the access list
    kWriteAttributes = 128,  // change attributes, set a reparse point on an empty folder
};
inline constexpr unsigned kFullControl = 255;
// What "Modify" grants: everything but deleting children and changing the access list.
inline constexpr unsigned kModify = kReadData | kWriteData | kExecute | kDelete | kReadControl | kWriteAttributes;

// Share access as an open grants it to later opens.
inline constexpr unsigned kShareRead = 1;
inline constexpr unsigned kShareWrite = 2;
inline constexpr unsigned kShareDelete = 4;
inline constexpr unsigned kShareAll = kShareRead | kShareWrite | kShareDelete;

// The kinds of volume: a local NTFS one, FAT, a server's, and the object namespace.
enum class Volume { Ntfs, Fat, Remote, Objects };

// What a kind of volume is and keeps. One without access lists (FAT) lets everyone do
// everything; a remote one's server answers as it likes, so whoever serves it controls all on
// it; the object namespace is no file system and holds links only, which anyone may make in it.
struct VolumeTraits {
    bool fileSystem;
    bool keepsAccessLists;
    bool remote;
};
VolumeTraits TraitsOf(Volume kind);

// One access list entry; every entry is inherited by what is created below. An inherit-only
// entry applies only there, not to its own object.
struct AccessEntry {
    Principal who;
    unsigned rights;
    bool inheritOnly = false;
};

// The default owner of an elevated administrator's new objects, a system-wide policy.
enum class OwnerPolicy { Administrators, ObjectCreator };

// Who acts: the elevated setup (the user with Administrators enabled) or an unelevated
// program of the same user, for whom Administrators is deny-only.
enum class Actor { Setup, Attacker };

// One message box that was shown, with the disk as it was at that moment.
struct ShownBox {
    WideString text;
    WideString caption;
    std::set<WideString> diskAtThatTime;
};

// One process start as the platform received it, and the file it ran.
struct StartedProgram {
    WideString applicationPath;
    WideString commandLine;
    WideString currentDirectory;
    WideString imagePath;  // where the file that ran lies, through no junction
    std::string image;     // its bytes
};

class SimulatedPlatform final : public Platform {
public:
    SimulatedPlatform();

    // --- Setting the scene -------------------------------------------------------------
    void AddResource(const WideString& name, const std::string& bytes);
    // A folder or file as an earlier elevated program left it: owned by its default owner
    // (see SetOwnerPolicy), with the access list of the folder above, or protected when asked.
    void AddFolder(const WideString& path);
    void AddProtectedFolder(const WideString& path);
    void AddFile(const WideString& path, const std::string& bytes = "x");
    void SetTempPath(const WideString& path, std::optional<std::uint32_t> reportedLength = std::nullopt);
    // Adds a drive ("D:") or other root of this kind. "C:" (NTFS) and the object directory
    // "RPC Control" are always there; a path may reach the latter as "\\?\GLOBALROOT\RPC Control".
    // A volume mounted in a folder (`mountFolder`, made as an empty folder of the volume there)
    // is reached through it, and its final paths run through it; its root name ("Volume{1}")
    // is then no drive letter.
    void AddVolume(const WideString& root, Volume kind, const WideString& mountFolder = {});
    // Sets the default owner of what elevated programs made before the run (the setup itself
    // always names Administrators as the owner of what it makes).
    void SetOwnerPolicy(OwnerPolicy policy) { policy_ = policy; }

    // What a call is, as the fault hook sees it: its kind, its number in the run and among the
    // calls of its kind (both counting from 1), and the path it names, if any.
    struct CallFacts {
        Call call;
        int number;
        int occurrence;
        WideString path;
    };
    // The one fault hook: a call fails when this says so. The setters below add to it.
    std::function<bool(const CallFacts&)> failWhen;
    void FailWhen(std::function<bool(const CallFacts&)> rule);
    // Makes the n-th call (counting from 1) of this kind fail.
    void FailCall(Call call, int occurrence = 1);
    // Makes the n-th platform call of the whole run fail, whatever its kind.
    void FailCallNumber(int number);
    // Makes writes report this many bytes fewer than they were given (still succeeding).
    void ShortenWritesBy(std::uint32_t bytes) { shortWriteBy_ = bytes; }
    // A scanner opens the file or folder at this path, without sharing its deletion, when the
    // setup first tries to remove it, and keeps it open for that many of the setup's removals;
    // a negative count keeps it open for good.
    void KeepBusy(const WideString& path, int tries);

    // Where a folder created relative to a folder's handle lands once that folder has become a
    // junction: where the junction leads, or in the junction itself, below its name. Windows
    // does not say; the tests take both.
    bool relativeCreationFollowsJunction = true;

    // Whether a box shown now could be seen (an interactive session on a visible station).
    bool boxCanBeSeen = true;
    // The setup's removals that another program's open refused for now.
    int busyRemovals = 0;
    // The milliseconds the setup has paused for, in all.
    std::uint32_t pausedMilliseconds = 0;

    // What the started installer does while it runs; it returns the exit code.
    std::function<std::uint32_t(SimulatedPlatform&, const StartedProgram&)> installer;
    // Runs before every platform call, with the call's number counting from 1.
    std::function<void(SimulatedPlatform&, int)> beforeCall;

    std::uint32_t processId = 812;
    std::uint64_t tickCount = 977;
    std::uint64_t tickStep = 0;  // added after every tick read; a pause also moves the clock

    // --- The attacker: an unelevated program of the user ---------------------------------
    // Each returns whether Windows would have let it happen, and counts in attackerActs if so.
    int attackerActs = 0;
    bool AttackerRename(const WideString& from, const WideString& to);
    bool AttackerMakeFolder(const WideString& path);
    bool AttackerMakeJunction(const WideString& path, const WideString& target);
    // Makes an empty folder a junction to `target`, points a junction elsewhere, or with an empty
    // target makes a junction a plain folder again.
    bool AttackerSetReparsePoint(const WideString& path, const WideString& target);
    // Makes a link of the object namespace that leads to any path; it is followed even where an
    // open asks for the reparse point itself.
    bool AttackerMakeLink(const WideString& path, const WideString& target);
    // Opens the object for these rights and keeps the handle until the scene ends; its rights
    // stay what they were when it was opened. The attacker's other moves use such a handle
    // where it has the rights they need. Returns whether the open was allowed.
    bool AttackerOpen(const WideString& path, unsigned rights, bool shareDelete = true);
    bool AttackerWriteFile(const WideString& path, const std::string& bytes);
    bool AttackerDelete(const WideString& path);
    // Adds full control for the user to the object's access list.
    bool AttackerGrantSelf(const WideString& path);
    // The names in a folder (the attacker may guess them all: process id and clock are public).
    std::vector<WideString> Children(const WideString& folder) const;

    // --- Reading the outcome ----------------------------------------------------------
    // Every path on disk (folders, files, junctions), through no junction, as created.
    std::set<WideString> Disk() const;
    bool Exists(const WideString& path) const;
    // Whether the folder carries the protected access list.
    bool IsProtected(const WideString& path) const;
    // Whether the object is owned by Administrators.
    bool IsOwnedByAdministrators(const WideString& path) const;
    // Whether a hold is open on the folder.
    bool IsHeld(const WideString& path) const;
    // Whether the attacker could write, delete, rename or re-permit the object.
    bool AttackerCanChange(const WideString& path) const;
    std::string FileContents(const WideString& path) const;
    // One platform call as it was made: its kind, what it named, and whether it was made to fail.
    struct LoggedCall {
        Call call;
        std::string detail;
        bool failed;
        // Returns the call as a line: "MakeFolder C:\\Temp\\x", "CloseHandleValue thread", ...
        std::string Text() const { return CallName(call) + (detail.empty() ? "" : " " + detail); }
    };
    // Every platform call of the run, in order.
    const std::vector<LoggedCall>& Log() const { return log_; }
    int CallCount() const { return callCount_; }
    // The setup's handles still open.
    int OpenHandles() const;
    // Every path that this run made and that is still there, through no junction, with the name
    // it was made with.
    std::map<WideString, WideString> LeftByRun() const;
    // The resource's bytes, or nothing.
    std::optional<std::string> Resource(const WideString& name) const;

    // What the system knew of an object when the setup acted on it: whether this run made it,
    // whether it is a folder, and whether an unelevated program of the user could change it
    // (write into it, re-permit it, make it a junction, or move or delete it).
    struct ObjectFacts {
        WideString path;  // through no junction
        bool madeByRun = false;
        bool isFolder = false;
        bool attackerCanChange = false;
    };
    // One write, folder creation, start or removal of the setup's, with the facts of its object,
    // of each folder above it (the nearest first), and, for a start, of the other objects in its
    // folder and the bytes started. Whether it was safe is the judge's to say.
    struct SetupAction {
        std::string kind;  // "write", "make folder", "start", "delete", "remove folder"
        ObjectFacts object;
        std::vector<ObjectFacts> above;
        std::vector<ObjectFacts> beside;
        std::string contents;
    };
    const std::vector<SetupAction>& SetupActions() const { return actions_; }

    std::vector<ShownBox> boxes;
    std::vector<StartedProgram> started;
    // The Application event log: each record written, with its source.
    std::vector<std::pair<WideString, RunRecord>> applicationLog;

    // --- Platform ----------------------------------------------------------------------
    std::optional<ByteView> FindResourceBytes(const WideString& name) override;
    TempPathReading ReadTempPath() override;
    FolderResult MakeFolder(const WideString& path) override;
    std::optional<HeldFolder> HoldFolder(const WideString& path) override;
    bool IsOnLocalVolumeWithAccessLists(HandleValue folder) override;
    bool IsRealDirectory(HandleValue folder) override;
    std::optional<HeldFolder> CreateHeldFolder(HandleValue parent, const WideString& name, Creation creation) override;
    std::optional<OwnedHandle> ReferToFolder(HandleValue folder) override;
    RemoveResult RemoveReferredFolder(HandleValue reference) override;
    std::uint32_t ProcessId() override;
    std::uint64_t TickCount() override;
    std::optional<OwnedHandle> OpenNewFile(const WideString& path) override;
    bool WriteBytes(HandleValue file, ByteView bytes, std::uint32_t& written) override;
    void CloseHandleValue(HandleValue handle) override;
    RemoveResult RemoveFile(const WideString& path) override;
    RemoveResult RemoveFolder(const WideString& path) override;
    void Pause(std::uint32_t milliseconds) override;
    std::optional<ProcessHandles> StartProcess(const WideString& applicationPath, WideString commandLine,
                                               const WideString& currentDirectory) override;
    bool WaitForExit(HandleValue process) override;
    bool ReadExitCode(HandleValue process, std::uint32_t& exitCode) override;
    bool BoxCanBeSeen() override;
    void ShowErrorBox(const WideString& text, const WideString& caption) override;
    void ReportRun(const WideString& source, const RunRecord& record) override;

private:
    enum class Kind { Folder, File, Junction, Link };
    struct Node {
        int parent = -1;  // -1 for a root and for removed nodes
        bool isRoot = false;
        Volume volume = Volume::Ntfs;
        WideString name;         // as now named
        WideString createdName;  // as created
        Kind kind = Kind::Folder;
        std::map<WideString, int> children;  // by upper-cased name
        Principal owner = Principal::Administrators;
        std::vector<AccessEntry> access;
        bool isProtected = false;
        std::string contents;
        WideString target;       // a junction's or a link's
        bool madeByRun = false;  // created by this run of the setup
        int mountFolder = -1;    // for a volume's root: the folder it is mounted in, or -1
    };
    // Whose a handle is: the setup's, the attacker's, or a scanner's (another program's).
    enum class Holder { Setup, Attacker, Scanner };
    struct OpenHandle {
        Holder holder;
        const char* label;  // what the setup opened, as the log names it: "file", "hold", ...
        int node = -1;
        unsigned access = 0;
        unsigned share = 0;
        std::uint32_t exitCode = 0;
    };

    // Counts the call, lets the attacker act, logs it, and returns whether it is to fail.
    bool Enter(Call call, const std::string& detail, const WideString& path = {});

    // Returns the node of a path, following junctions on the way and, when asked, at its end
    // (links always), or -1.
    int Resolve(const WideString& path, bool followLast, int depth = 0) const;
    // Returns the node that a junction or link leads to, or the node itself.
    int Follow(int node, int depth = 0) const;
    // Returns the folder that holds, or would hold, the path's last name, or -1; and that name.
    int ParentOf(const WideString& path, WideString& name) const;
    WideString PathOf(int node) const;
    // Returns the root of the node's volume, or -1 for a removed node.
    int VolumeRootOf(int node) const;
    int AddNode(int parent, const WideString& name, Kind kind, Principal owner, bool isProtected);
    int AddSceneNode(const WideString& path, Kind kind, bool isProtected);
    void Unlink(int node);

    // The actor's rights on the node by its owner and access list, as its volume keeps them.
    unsigned Granted(Actor actor, int node) const;
    // Those, and for the attacker what the handles it kept got.
    bool May(Actor actor, int node, unsigned rights) const;
    // Whether the actor may open the node for these rights (a right to delete the folder's
    // children grants deletion too) and the open passes share access.
    bool MayOpen(Actor actor, int node, unsigned rights, unsigned share) const;
    bool HasHandleBelow(int folder) const;
    HandleValue NewHandle(Holder holder, const char* label, int node, unsigned access, unsigned share);
    // Returns the setup's new handle as the platform hands it out: owned.
    OwnedHandle Owned(HandleValue handle) { return OwnedHandle(*this, handle); }
    const OpenHandle* HandleOf(HandleValue handle) const;
    // The path of the handle's object, for the log.
    std::string HandlePath(HandleValue handle) const;

    // Creates an object of the actor's named `name` in `folder`: a folder or file on a file
    // system, a link in the object namespace. A link found under the name sends a folder's or
    // file's creation on to where it leads. Returns its node, or -1 with `existed` telling
    // whether the name was taken.
    int CreateIn(Actor actor, int folder, const WideString& name, Kind kind, bool isProtected, bool& existed);
    int CreateAt(Actor actor, const WideString& path, Kind kind, bool& existed);
    // Opens the file at path for writing, creating it when missing; returns its node, or -1.
    int OpenToWrite(Actor actor, const WideString& path, unsigned share);
    bool Rename(Actor actor, int node, const WideString& to);
    // Removes the node as a file or as a folder; a missing node is gone already.
    RemoveResult Remove(Actor actor, int node, bool folder);
    RemoveResult RemovePath(Call call, const WideString& path, bool folder);

    // Records the setup's action on the node, with the facts of it and around it.
    void Acted(const char* kind, int node);
    ObjectFacts FactsOf(int node) const;
    bool AttackerCanChangeNode(int node) const;
    // Returns `done`, counting an act of the attacker that happened.
    bool Counted(bool done) {
        attackerActs += done ? 1 : 0;
        return done;
    }

    std::map<WideString, std::string> resources_;
    std::vector<Node> nodes_;
    std::map<HandleValue, OpenHandle> openHandles_;
    HandleValue nextHandle_ = 0x100;
    WideString tempPath_ = u"C:\\Temp\\";
    std::optional<std::uint32_t> tempLength_;
    OwnerPolicy policy_ = OwnerPolicy::Administrators;
    std::map<WideString, int> scannerTries_;  // by upper-cased path
    std::map<Call, int> occurrences_;
    int callCount_ = 0;
    bool inCallback_ = false;
    std::uint32_t shortWriteBy_ = 0;
    std::vector<LoggedCall> log_;
    std::vector<SetupAction> actions_;
};

// Returns the text with ASCII letters upper-cased: names compared as Windows compares them.
WideString UpperCase(const WideString& text);

// Returns the non-empty components of a path; both separators count. A "\\?\" prefix, and
// "GLOBALROOT" after it, lead to the same roots as the plain path.
std::vector<WideString> Components(const WideString& path);

// Returns the UTF-16 text as UTF-8, for messages and logs.
std::string Narrow(const WideString& text);

}  // namespace kyt::testing
