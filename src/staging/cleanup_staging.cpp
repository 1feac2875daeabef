#include "staging/cleanup_staging.h"

#include <algorithm>

namespace kyt {
namespace {

// The first pause before the next try, and the longest; each pause doubles the one before.
constexpr std::uint32_t kFirstPause = 50;
constexpr std::uint32_t kLongestPause = 500;

// Removes each path with `remove` and returns those that stay; `busy` tells whether one of them
// was refused only for now, because another program holds it.
std::vector<WideString> RemoveEach(Platform& platform, const std::vector<WideString>& paths,
                                   RemoveResult (Platform::*remove)(const WideString&), bool& busy) {
    std::vector<WideString> left;
    for (const WideString& path : paths) {
        const RemoveResult result = (platform.*remove)(path);
        if (result != RemoveResult::Removed) {
            left.push_back(path);
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
    // Among equal lengths two spellings of one folder come together and are removed once.
    std::sort(directories.begin(), directories.end(), [](const WideString& a, const WideString& b) {
        return a.size() != b.size() ? a.size() > b.size() : NameKey(a) < NameKey(b);
    });
    directories.erase(std::unique(directories.begin(), directories.end(),
                                  [](const WideString& a, const WideString& b) { return NameKey(a) == NameKey(b); }),
                      directories.end());
    // The staging directory itself goes through its own handle, not its path.
    const WideString stagingPath = directories.empty() ? WideString() : directories.back();
    bool stagingLeft = !directories.empty();
    if (stagingLeft) {
        directories.pop_back();
    }

    // A scanner or indexer often opens a freshly written file for a moment; a removal refused
    // for that reason is tried again, with what it kept in place, after a short pause. Paths
    // below the staging directory are used only while its hold keeps them leading where they
    // led; it is tried whenever nothing busy remains below it (a folder that still holds
    // something refuses anyway), and once its hold is released only it is tried again.
    std::vector<WideString> filesLeft = files;
    OwnedHandle stagingReference;
    bool stagingHeld = stagingLeft;
    std::uint32_t waited = 0;
    for (std::uint32_t pause = kFirstPause;; pause = std::min(pause * 2, kLongestPause)) {
        bool busy = false;
        if (stagingHeld) {
            filesLeft = RemoveEach(platform, filesLeft, &Platform::RemoveFile, busy);
            directories = RemoveEach(platform, directories, &Platform::RemoveFolder, busy);
        }
        if (stagingLeft && !busy) {
            stagingHeld = false;
            const RemoveResult result = RemoveHeldFolder(platform, holds.stagingDirectory, stagingReference);
            stagingLeft = result != RemoveResult::Removed;
            busy = result == RemoveResult::Busy;
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

    // A file or folder already gone counts as removed, so what is counted is still there.
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
