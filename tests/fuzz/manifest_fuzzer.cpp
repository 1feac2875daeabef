// Fuzzes the manifest parser: any bytes must be either refused or turned into entries that keep
// the manifest's promises, and an accepted manifest written out again must read the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "package/manifest.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Returns the entry's text narrowed back to bytes (each code unit came from one byte).
std::string Narrow(const kyt::WideString& text) {
    std::string bytes;
    for (char16_t unit : text) {
        Require(unit < 0x80 || unit >= 0xFF80);
        bytes += static_cast<char>(unit & 0xFF);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kyt::PackageManifest manifest;
    if (!kyt::ParseManifest(kyt::ByteView(data, size), manifest)) {
        return 0;
    }
    Require(!manifest.empty());
    std::string written;
    for (const kyt::ManifestEntry& entry : manifest) {
        const kyt::WideString& path = entry.relativePath;
        Require(!entry.resourceName.empty() && !path.empty());
        Require(entry.resourceName.find(u'|') == kyt::WideString::npos);
        Require(entry.resourceName.find(u'\n') == kyt::WideString::npos && path.find(u'\n') == kyt::WideString::npos);
        Require(path.find(u"..") == kyt::WideString::npos && path.find(u':') == kyt::WideString::npos);
        Require(path.front() != u'\\' && path.front() != u'/');
        written += Narrow(entry.resourceName) + "|" + Narrow(path) + "\r\n";
    }
    kyt::PackageManifest again;
    Require(kyt::ParseManifest(kyt::ByteView(reinterpret_cast<const std::uint8_t*>(written.data()), written.size()),
                               again));
    Require(again == manifest);
    return 0;
}
