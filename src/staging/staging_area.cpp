#include "staging/staging_area.h"

namespace kyt {

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

}  // namespace kyt
