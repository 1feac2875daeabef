#pragma once

#include <vector>

#include "common/types.h"

namespace kyt {

// What a run has put on disk, so that cleanup can take it away again.
struct StagingArea {
    WideString rootPath;                  // the staging directory, no trailing separator
    std::vector<WideString> directories;  // rootPath first, then each folder made or found; no two equal
    std::vector<WideString> files;        // payload files written completely, in manifest order
};

// The outcome of extraction: success, or the kind of the first failure.
enum class ExtractResult { Success, FolderFailed, ResourceMissing, WriteFailed };

// Returns a StagingArea that records only the staging directory itself.
StagingArea MakeStagingArea(const WideString& rootPath);

// Returns the two paths joined with one backslash.
WideString JoinPath(const WideString& parent, const WideString& child);

}  // namespace kyt
