#include "package/manifest.h"

#include <string_view>

#include "common/text.h"

namespace kyt {
namespace {

// Returns true when the line's two fields pass the tests, in their fixed order.
bool IsAcceptableEntry(const ManifestEntry& entry) {
    const WideString& path = entry.relativePath;
    if (entry.resourceName.empty() || path.empty()) {
        return false;
    }
    // ".." anywhere and ":" anywhere would let a path leave the staging directory or name a
    // drive or a stream; a leading separator would make it absolute.
    if (path.find(u"..") != WideString::npos || path.find(u':') != WideString::npos) {
        return false;
    }
    return path.front() != u'\\' && path.front() != u'/';
}

}  // namespace

bool ParseManifest(ByteView text, PackageManifest& manifest) {
    const std::string_view all(reinterpret_cast<const char*>(text.data()), text.size());
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string_view::npos) {
            end = all.size();
        }
        std::string_view line = all.substr(start, end - start);
        start = end + 1;

        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        const std::size_t bar = line.find('|');
        if (bar == std::string_view::npos) {
            return false;
        }
        ManifestEntry entry{WidenAscii(line.substr(0, bar)), WidenAscii(line.substr(bar + 1))};
        if (!IsAcceptableEntry(entry)) {
            return false;
        }
        manifest.push_back(std::move(entry));
    }
    return !manifest.empty();
}

}  // namespace kyt
