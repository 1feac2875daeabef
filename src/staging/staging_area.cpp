#include "staging/staging_area.h"

namespace kyt {

StagingArea MakeStagingArea(const WideString& rootPath) {
    return StagingArea{rootPath, {rootPath}, {}};
}

WideString JoinPath(const WideString& parent, const WideString& child) {
    return parent + u'\\' + child;
}

RemoveResult RemoveHeldFolder(Platform& platform, OwnedHandle& hold, OwnedHandle& reference) {
    if (reference.value() == 0) {
        const std::optional<HandleValue> referred = platform.ReferToFolder(hold.value());
        if (!referred) {
            return RemoveResult::Failed;
        }
        reference = OwnedHandle(platform, *referred);
    }
    // The hold shares no deletion, so it would refuse the removal; the reference keeps the
    // object itself, and nothing is looked up by name again.
    hold.Close();
    return platform.RemoveReferredFolder(reference.value());
}

}  // namespace kyt
