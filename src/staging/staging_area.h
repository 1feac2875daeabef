#pragma once

#include <vector>

#include "common/types.h"

namespace kyt {

// What a run has put on disk, and the holds that keep it where it is, so that cleanup can take
// it away again.
struct StagingArea {
    WideString rootPath;                  // the staging directory, no trailing separator
    std::vector<WideString> directories;  // each folder below rootPath made or found; no two the same folder
    std::vector<WideString> files;        // payload files written completely, in manifest order
    OwnedHandle baseFolderHold;
    OwnedHandle rootHold;
};

}  // namespace kyt
