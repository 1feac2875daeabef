#include "package/resource_reader.h"

namespace kyt {

bool LoadResourceBytes(Platform& platform, const WideString& name, ByteBuffer& buffer) {
    const std::optional<ByteView> bytes = platform.FindResourceBytes(name);
    // An empty resource counts as missing: no payload file and no manifest may be empty.
    if (!bytes || bytes->empty()) {
        return false;
    }
    buffer.assign(bytes->begin(), bytes->end());
    return true;
}

}  // namespace kyt
