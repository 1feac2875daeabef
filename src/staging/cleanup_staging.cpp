#include "staging/cleanup_staging.h"

#include <algorithm>

namespace kyt {
namespace {

// The first pause before the next try, and the longest; each pause doubles the one before.
constexpr std::uint32_t kFirstPause = 50;
constexpr std::uint32_t kLongestPause = 500;

// Deletes the files and returns those that were busy; `busy` tells whether there were any.
std::vector<WideString> RemoveFiles(Platform& platform, const std::vector<WideString>& files, bool& busy) {
    std::vector<WideString> left;
    for (const WideString& file : files) {
        if (platform.RemoveFile(file) == RemoveResult::Busy) {
            left.push_back(file);
            busy = true;
        }
    }
    return left;
}

// Removes the folders in their order and returns those still there: a folder that still holds
// a busy file goes only once the file has gone.
std::vector<WideString> RemoveFolders(Platform& platform, const std::vector<WideString>& directories, bool& busy) {
    std::vector<WideString> left;
    for (const WideString& directory : directories) {
        const RemoveResult result = platform.RemoveFolder(directory);
        if (result != RemoveResult::Removed) {
            left.push_back(directory);
            busy = busy || result == RemoveResult::Busy;
        }
    }
    return left;
}

}  // namespace

CleanupLeftovers CleanupStaging(Platform& platform, const std::vector<WideString>& files,
                                std::vector<WideString> directories, StagingHolds& holds) {
    // A folder is always longer than each folder that holds it, so longest first empties
    // every sub-folder before its parent, and the staging directory, the shortest, is last.
    std::sort(directories.begin(), directories.end(),
              [](const WideString& a, const WideString& b) { return a.size() > b.size(); });
    directories.erase(std::unique(directories.begin(), directories.end()), directories.end());
    // The staging directory itself goes through its own handle, not its path.
    const WideString stagingPath = directories.empty() ? WideString() : directories.back();
    bool stagingLeft = !directories.empty();
    bool stagingToTry = stagingLeft;
    if (stagingLeft) {
        directories.pop_back();
    }

    // A scanner or indexer often opens a freshly written file for a moment; a removal refused
    // for that reason is tried again, with what it kept in place, after a short pause. The
    // staging directory stays held while anything below it is removed by its path, so those
    // paths still lead where they led.
    std::vector<WideString> filesLeft = files;
    OwnedHandle stagingReference;
    std::uint32_t waited = 0;
    for (std::uint32_t pause = kFirstPause;; pause = std::min(pause * 2, kLongestPause)) {
        bool busy = false;
        filesLeft = RemoveFiles(platform, filesLeft, busy);
        directories = RemoveFolders(platform, directories, busy);
        if (stagingToTry && filesLeft.empty() && directories.empty()) {
            const RemoveResult result = RemoveHeldFolder(platform, holds.stagingDirectory, stagingReference);
            stagingLeft = result != RemoveResult::Removed;
            stagingToTry = result == RemoveResult::Busy;
            busy = busy || stagingToTry;
        }
        if (!busy || waited + pause > kCleanupPatience) {
            break;
        }
        platform.Pause(pause);
        waited += pause;
    }
    holds.stagingDirectory.Close();
    stagingReference.Close();
    holds.baseFolder.Close();

    // A file whose deletion failed for another reason than its use is, as a rule, gone
    // already (a path the list holds twice); if not, its folder stays and is counted.
    CleanupLeftovers left{filesLeft.size() + directories.size() + (stagingLeft ? 1 : 0), {}};
    if (!filesLeft.empty()) {
        left.firstPath = filesLeft.front();
    } else if (!directories.empty()) {
        left.firstPath = directories.front();
    } else if (stagingLeft) {
        left.firstPath = stagingPath;
    }
    return left;
}

}  // namespace kyt
