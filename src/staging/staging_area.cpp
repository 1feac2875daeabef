#include "staging/staging_area.h"

namespace kyt {

StagingArea MakeStagingArea(const WideString& rootPath) {
    return StagingArea{rootPath, {rootPath}, {}};
}

WideString JoinPath(const WideString& parent, const WideString& child) {
    return parent + u'\\' + child;
}

WideString NameKey(const WideString& path) {
    WideString key = path;
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return key;
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
