#include "staging/cleanup_staging.h"

#include <algorithm>

namespace kyt {

void CleanupStaging(Platform& platform, const std::vector<WideString>& files,
                    std::vector<WideString> directories, OwnedHandle& stagingHold) {
    for (const WideString& file : files) {
        platform.RemoveFile(file);
    }
    // A folder is always longer than each folder that holds it, so longest first empties
    // every sub-folder before its parent, and the staging directory, the shortest, is last.
    std::sort(directories.begin(), directories.end(),
              [](const WideString& a, const WideString& b) { return a.size() > b.size(); });
    directories.erase(std::unique(directories.begin(), directories.end()), directories.end());
    for (std::size_t i = 0; i < directories.size(); ++i) {
        // The hold keeps the staging directory in place while its contents are deleted by path;
        // it has to go before the directory itself can.
        if (i + 1 == directories.size()) {
            stagingHold.Close();
        }
        platform.RemoveFolder(directories[i]);
    }
    stagingHold.Close();
}

}  // namespace kyt
