#pragma once

#include <vector>

#include "common/types.h"
#include "platform/owned_handle.h"

namespace kyt {

// What a run has put on disk, and the holds that keep it where it is, so that cleanup can take
// it away again. The base folder's hold lasts the whole run; the staging directory's keeps it,
// and so every path below it, in place until cleanup removes it through its handle.
struct StagingArea {
    WideString rootPath;                  // the staging directory, no trailing separator
    std::vector<WideString> directories;  // rootPath first, then each folder made or found; no two the same folder
    std::vector<WideString> files;        // payload files written completely, in manifest order
    OwnedHandle baseFolderHold;
    OwnedHandle rootHold;
};

// The outcome of extraction: success, or the kind of the first failure.
enum class ExtractResult { Success, FolderFailed, ResourceMissing, WriteFailed };

// Returns the two paths joined with one backslash.
WideString JoinPath(const WideString& parent, const WideString& child);

// Returns the path with ASCII letters upper-cased: two paths name the same file or folder
// when these are equal, as Windows ignores the case of names.
WideString NameKey(const WideString& path);

}  // namespace kyt
