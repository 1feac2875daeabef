#pragma once
// The rules of the Windows file system that the setup's defences rest on, one row each: what is
// done, and whether Windows answers as the rule says. The rows run against the simulated
// platform and, where Wine keeps the rule, against the real Windows layer under Wine, so the
// simulation cannot drift from what it stands for. Only the platform's own calls and a few
// plain acts of another program of the user are used, so both sides read the rows alike.

#include <functional>
#include <vector>

#include "platform/platform.h"

namespace kyt::testing {

// One side of the table: the setup's platform, a fresh scratch folder, and another program.
class FolderWorld {
public:
    virtual ~FolderWorld() = default;
    virtual Platform& Setup() = 0;
    // Returns the path of `name` in the scratch folder.
    virtual WideString Path(const WideString& name) = 0;
    // Another program of the user makes a folder or a file, renames, or opens an object for
    // reading, sharing reading and writing, and deletion only when asked, and keeps it open
    // until the row ends. Each returns whether it was allowed.
    virtual bool OtherMakeFolder(const WideString& path) = 0;
    virtual bool OtherWriteFile(const WideString& path) = 0;
    virtual bool OtherRename(const WideString& from, const WideString& to) = 0;
    virtual bool OtherOpen(const WideString& path, bool shareDelete) = 0;
    virtual bool Exists(const WideString& path) = 0;
};

struct FolderRule {
    const char* rule;
    bool wineKeepsIt;
    std::function<bool(FolderWorld&)> holds;
};

// Returns the setup's hold on the folder at path, or an empty handle.
inline OwnedHandle Hold(FolderWorld& world, const WideString& path) {
    std::optional<HeldFolder> held = world.Setup().HoldFolder(path);
    return held ? std::move(held->hold) : OwnedHandle();
}

inline const std::vector<FolderRule>& FolderRules() {
    static const std::vector<FolderRule> rules = {
        {"a held folder can be neither renamed nor removed, and is free again once released", true,
         [](FolderWorld& w) {
             w.OtherMakeFolder(w.Path(u"held"));
             OwnedHandle hold = Hold(w, w.Path(u"held"));
             const bool kept = hold.value() != 0 && !w.OtherRename(w.Path(u"held"), w.Path(u"moved")) &&
                               w.Setup().RemoveFolder(w.Path(u"held")) == RemoveResult::Busy;
             hold.Close();
             return kept && w.OtherRename(w.Path(u"held"), w.Path(u"moved"));
         }},
        {"a held folder can still be written into, and opened as a process opens its current directory", true,
         [](FolderWorld& w) {
             w.OtherMakeFolder(w.Path(u"held"));
             const OwnedHandle hold = Hold(w, w.Path(u"held"));
             const std::optional<OwnedHandle> file = w.Setup().OpenNewFile(w.Path(u"held\\f.bin"));
             return file.has_value() && w.OtherOpen(w.Path(u"held"), false);
         }},
        {"no folder above a held one can be renamed", false,
         [](FolderWorld& w) {
             w.OtherMakeFolder(w.Path(u"a"));
             w.OtherMakeFolder(w.Path(u"a\\b"));
             const OwnedHandle hold = Hold(w, w.Path(u"a\\b"));
             return hold.value() != 0 && !w.OtherRename(w.Path(u"a"), w.Path(u"x"));
         }},
        {"a file the setup writes can be neither opened nor replaced by another program until it is closed", true,
         [](FolderWorld& w) {
             std::optional<OwnedHandle> file = w.Setup().OpenNewFile(w.Path(u"f.bin"));
             const bool kept = file && !w.OtherOpen(w.Path(u"f.bin"), true) && !w.OtherWriteFile(w.Path(u"f.bin"));
             file.reset();
             return kept && w.OtherWriteFile(w.Path(u"f.bin"));
         }},
        {"a file another program holds without sharing deletion is busy", true,
         [](FolderWorld& w) {
             w.OtherWriteFile(w.Path(u"f.bin"));
             return w.OtherOpen(w.Path(u"f.bin"), false) && w.Setup().RemoveFile(w.Path(u"f.bin")) == RemoveResult::Busy &&
                    w.Exists(w.Path(u"f.bin"));
         }},
        {"a file another program holds sharing deletion can be deleted", true,
         [](FolderWorld& w) {
             w.OtherWriteFile(w.Path(u"f.bin"));
             return w.OtherOpen(w.Path(u"f.bin"), true) && w.Setup().RemoveFile(w.Path(u"f.bin")) == RemoveResult::Removed;
         }},
        {"a folder that holds something cannot be removed", true,
         [](FolderWorld& w) {
             w.OtherMakeFolder(w.Path(u"d"));
             w.OtherWriteFile(w.Path(u"d\\f.bin"));
             return w.Setup().RemoveFolder(w.Path(u"d")) == RemoveResult::Failed && w.Exists(w.Path(u"d\\f.bin"));
         }},
        {"what is not there, or is no folder, is removed already", true,
         [](FolderWorld& w) {
             w.OtherWriteFile(w.Path(u"f.bin"));
             return w.Setup().RemoveFile(w.Path(u"missing.bin")) == RemoveResult::Removed &&
                    w.Setup().RemoveFolder(w.Path(u"missing")) == RemoveResult::Removed &&
                    w.Setup().RemoveFile(w.Path(u"missing\\x.bin")) == RemoveResult::Removed &&
                    w.Setup().RemoveFolder(w.Path(u"f.bin")) == RemoveResult::Removed && w.Exists(w.Path(u"f.bin"));
         }},
        {"names are compared ignoring the case of ASCII letters", true,
         [](FolderWorld& w) {
             return w.Setup().MakeFolder(w.Path(u"amd64")) == FolderResult::Created &&
                    w.Setup().MakeFolder(w.Path(u"AMD64")) == FolderResult::AlreadyExists &&
                    w.Setup().RemoveFolder(w.Path(u"Amd64")) == RemoveResult::Removed && !w.Exists(w.Path(u"amd64"));
         }},
        {"a file in place of a folder counts as there, and nothing can be made below it", true,
         [](FolderWorld& w) {
             w.OtherWriteFile(w.Path(u"f.bin"));
             return w.Setup().MakeFolder(w.Path(u"f.bin")) == FolderResult::AlreadyExists &&
                    !w.Setup().OpenNewFile(w.Path(u"f.bin\\g.bin"));
         }},
        {"a folder made relative to a held one only when new, and found only when asked", true,
         [](FolderWorld& w) {
             const OwnedHandle scratch = Hold(w, w.Path(u""));
             const std::optional<HeldFolder> made = w.Setup().CreateHeldFolder(scratch.value(), u"n", Creation::NewOnly);
             const std::optional<HeldFolder> again = w.Setup().CreateHeldFolder(scratch.value(), u"N", Creation::NewOnly);
             const std::optional<HeldFolder> found =
                 w.Setup().CreateHeldFolder(scratch.value(), u"N", Creation::NewOrExisting);
             return made && made->isRealDirectory && !again && found && found->isRealDirectory &&
                    found->finalPath == made->finalPath;
         }},
    };
    return rules;
}

}  // namespace kyt::testing
