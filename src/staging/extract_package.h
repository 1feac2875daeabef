#pragma once

#include "package/manifest.h"
#include "platform/platform.h"
#include "staging/staging_area.h"

namespace kyt {

// The outcome of extraction: success, or the kind of the first failure.
enum class ExtractResult { Success, FolderFailed, ResourceMissing, WriteFailed };

// Returns true when every folder of relativePath's parent chain exists below rootPath; each
// folder made or found is appended to `directories` unless it is there already, in any spelling.
bool EnsureParentDirectories(Platform& platform, const WideString& rootPath,
                             const WideString& relativePath, std::vector<WideString>& directories);

// Writes every entry's resource to its path below the staging directory, in manifest order;
// returns Success, or the kind of the first failure with the area recording what was made.
ExtractResult ExtractPackage(Platform& platform, const PackageManifest& manifest, StagingArea& area);

}  // namespace kyt
