#pragma once

#include <vector>

#include "common/types.h"
#include "platform/owned_handle.h"

namespace kyt {

// What a run has put on disk, so that cleanup can take it away again.
struct StagingArea {
    WideString rootPath;                  // the staging directory, no trailing separator
    std::vector<WideString> directories;  // rootPath first, then each folder made or found; no two equal
    std::vector<WideString> files;        // payload files written completely, in manifest order
};

// The open handles that keep the run's folders where their paths say: the base folder's for the
// whole run, the staging directory's until cleanup removes it. While either is open, no folder
// above it can be renamed, so no path below it can be redirected.
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

}  // namespace kyt
