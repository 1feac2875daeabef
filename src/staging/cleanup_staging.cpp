#include "staging/cleanup_staging.h"

#include <algorithm>

namespace kyt {

void CleanupStaging(Platform& platform, const std::vector<WideString>& files,
                    std::vector<WideString> directories) {
    for (const WideString& file : files) {
        platform.RemoveFile(file);
    }
    // A folder is always longer than each folder that holds it, so longest first empties
    // every sub-folder before its parent.
    std::sort(directories.begin(), directories.end(),
              [](const WideString& a, const WideString& b) { return a.size() > b.size(); });
    directories.erase(std::unique(directories.begin(), directories.end()), directories.end());
    for (const WideString& directory : directories) {
        platform.RemoveFolder(directory);
    }
}

}  // namespace kyt
