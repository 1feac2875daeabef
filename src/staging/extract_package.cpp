#include "staging/extract_package.h"

#include <algorithm>

#include "common/text.h"
#include "package/resource_reader.h"

namespace kyt {
namespace {

// Returns true when the whole buffer went into a new file at target with one write. A file that
// was created but not written completely is closed and deleted here, because cleanup only
// knows complete files and would otherwise leave it, and the folders above it, on disk.
bool WriteNewFile(Platform& platform, const WideString& target, const ByteBuffer& bytes) {
    std::optional<OwnedHandle> file = platform.OpenNewFile(target);
    if (!file) {
        return false;
    }
    std::uint32_t written = 0;
    const bool complete = platform.WriteBytes(file->value(), bytes, written) && written == bytes.size();
    file->Close();
    if (!complete) {
        platform.RemoveFile(target);
    }
    return complete;
}

}  // namespace

bool EnsureParentDirectories(Platform& platform, const WideString& rootPath,
                             const WideString& relativePath, std::vector<WideString>& directories) {
    WideString current = rootPath;
    std::size_t pos = 0;
    // Only the backslash separates folders; the text after the last one is the file name.
    for (std::size_t slash; (slash = relativePath.find(u'\\', pos)) != WideString::npos; pos = slash + 1) {
        current = JoinPath(current, relativePath.substr(pos, slash - pos));
        if (platform.MakeFolder(current) == FolderResult::Failed) {
            return false;
        }
        // Two spellings of one folder are one folder: it is recorded once, as first written.
        const auto same = [&](const WideString& known) { return NameKey(known) == NameKey(current); };
        if (std::none_of(directories.begin(), directories.end(), same)) {
            directories.push_back(current);
        }
    }
    return true;
}

ExtractResult ExtractPackage(Platform& platform, const PackageManifest& manifest, StagingArea& area) {
    for (const ManifestEntry& entry : manifest) {
        if (!EnsureParentDirectories(platform, area.rootPath, entry.relativePath, area.directories)) {
            return ExtractResult::FolderFailed;
        }
        // One payload file's bytes at a time: the buffer goes at the end of each turn.
        ByteBuffer bytes;
        if (!LoadResourceBytes(platform, entry.resourceName, bytes)) {
            return ExtractResult::ResourceMissing;
        }
        const WideString target = JoinPath(area.rootPath, entry.relativePath);
        if (!WriteNewFile(platform, target, bytes)) {
            return ExtractResult::WriteFailed;
        }
        area.files.push_back(target);
    }
    return ExtractResult::Success;
}

}  // namespace kyt
