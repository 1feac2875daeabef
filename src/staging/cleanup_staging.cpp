#include "staging/cleanup_staging.h"

#include <algorithm>

#include "common/text.h"

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

// Removes the staging directory, held and empty, through handles only: a reference to the same
// object is taken (kept in `reference`, unless one is there already), the hold closed, since it
// shares no deletion, and the folder removed through the reference. Tells whether it is gone,
// busy, or cannot go; a busy one can be tried again.
RemoveResult RemoveHeldRoot(Platform& platform, OwnedHandle& hold, std::optional<OwnedHandle>& reference) {
    if (!reference) {
        reference = platform.ReferToFolder(hold.value());
        if (!reference) {
            return RemoveResult::Failed;
        }
    }
    hold.Close();
    return platform.RemoveReferredFolder(reference->value());
}

}  // namespace

CleanupLeftovers CleanupStaging(Platform& platform, StagingArea& area) {
    // A folder is always longer than each folder that holds it, so longest first empties
    // every sub-folder before its parent. Among equal lengths two spellings of one folder come
    // together and are removed once. The staging directory itself goes through its handle.
    std::vector<WideString> directories = area.directories;
    std::sort(directories.begin(), directories.end(), [](const WideString& a, const WideString& b) {
        return a.size() != b.size() ? a.size() > b.size() : NameKey(a) < NameKey(b);
    });
    directories.erase(std::unique(directories.begin(), directories.end(),
                                  [](const WideString& a, const WideString& b) { return NameKey(a) == NameKey(b); }),
                      directories.end());
    bool rootLeft = true;

    // A scanner or indexer often opens a freshly written file for a moment; a removal refused
    // for that reason is tried again, with what it kept in place, after a short pause. Paths
    // below the staging directory are used only while it is held (why: see platform.h); it is
    // tried whenever nothing busy remains below it, and once its hold is released only it is
    // tried again.
    std::vector<WideString> filesLeft = area.files;
    std::optional<OwnedHandle> rootReference;
    bool rootHeld = true;
    std::uint32_t waited = 0;
    for (std::uint32_t pause = kFirstPause;; pause = std::min(pause * 2, kLongestPause)) {
        bool busy = false;
        if (rootHeld) {
            filesLeft = RemoveEach(platform, filesLeft, &Platform::RemoveFile, busy);
            directories = RemoveEach(platform, directories, &Platform::RemoveFolder, busy);
        }
        if (rootLeft && !busy) {
            rootHeld = false;
            const RemoveResult result = RemoveHeldRoot(platform, area.rootHold, rootReference);
            rootLeft = result != RemoveResult::Removed;
            busy = result == RemoveResult::Busy;
        }
        if (!busy || waited + pause > kCleanupPatience) {
            break;
        }
        platform.Pause(pause);
        waited += pause;
    }
    area.rootHold.Close();
    rootReference.reset();
    area.baseFolderHold.Close();

    // A file or folder already gone counts as removed, so what is counted is still there.
    CleanupLeftovers left{filesLeft.size() + directories.size() + (rootLeft ? 1 : 0), {}};
    if (!filesLeft.empty()) {
        left.firstPath = filesLeft.front();
    } else if (!directories.empty()) {
        left.firstPath = directories.front();
    } else if (rootLeft) {
        left.firstPath = area.rootPath;
    }
    return left;
}

}  // namespace kyt
