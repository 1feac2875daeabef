#include "staging/staging_area.h"

namespace kyt {

StagingArea MakeStagingArea(const WideString& rootPath) {
    return StagingArea{rootPath, {rootPath}, {}};
}

WideString JoinPath(const WideString& parent, const WideString& child) {
    return parent + u'\\' + child;
}

}  // namespace kyt
