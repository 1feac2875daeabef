#pragma once

#include <vector>

#include "common/types.h"
#include "platform/owned_handle.h"

namespace kyt {

// What a run has put on disk, so that cleanup can take it away again.
struct StagingArea {
    WideString rootPath;                  // the staging directory, no trailing separator
    std::vector<WideString> directories;  // rootPath first, then each folder made or found; no two the same folder
    std::vector<WideString> files;        // payload files written completely, in manifest order
};

// The open handles of a run's folders. The base folder's is held for the whole run. The staging
// directory's hold keeps it, and so every path below it, in place until its contents are gone;
// the staging directory itself is then removed through a reference to it, never by its path.
// While a hold is open, no folder above it can be renamed either.
struct StagingHolds {
    OwnedHandle baseFolder;
    OwnedHandle stagingDirectory;
};

// The outcome of extraction: success, or the kind of the first failure.
enum class ExtractResult { Success, FolderFailed, ResourceMissing, WriteFailed };

// Returns a StagingArea that records only the staging directory itself.
StagingArea MakeStagingArea(const WideString& rootPath);

// Returns the two paths joined with one backslash.
WideString JoinPath(const WideString& parent, const WideString& child);

// Returns the path with ASCII letters upper-cased: two paths name the same file or folder
// when these are equal, as Windows ignores the case of names.
WideString NameKey(const WideString& path);

// Removes the held, empty folder through handles only: a reference to it is taken (kept in
// `reference`, unless one is there already), the hold closed, and the folder removed through
// the reference. Tells whether it is gone, busy, or cannot go; a busy folder can be tried again.
RemoveResult RemoveHeldFolder(Platform& platform, OwnedHandle& hold, OwnedHandle& reference);

}  // namespace kyt
