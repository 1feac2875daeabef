#pragma once

#include <vector>

#include "common/types.h"

namespace kyt {

// One accepted manifest line: which resource holds a file, and where it goes below the
// staging directory (folders separated by backslashes). Both fields are never empty.
struct ManifestEntry {
    WideString resourceName;
    WideString relativePath;

    bool operator==(const ManifestEntry&) const = default;
};

// The entries in line order, which is also the order of extraction.
using PackageManifest = std::vector<ManifestEntry>;

// Returns true and appends one entry per non-blank line when every line is "name|path" with
// a safe relative path and there is at least one; returns false at the first faulty line.
bool ParseManifest(ByteView text, PackageManifest& manifest);

}  // namespace kyt
