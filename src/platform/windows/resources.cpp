#include "platform/windows/windows_platform.h"
#include "platform/windows/wide.h"

namespace kyt {

std::optional<ByteView> WindowsPlatform::FindResourceBytes(const WideString& name) {
    // A null module is the running program's own image.
    HRSRC found = ::FindResourceW(nullptr, AsWide(name), MAKEINTRESOURCEW(10));
    if (found == nullptr) {
        return std::nullopt;
    }
    HGLOBAL loaded = ::LoadResource(nullptr, found);
    const DWORD size = ::SizeofResource(nullptr, found);
    const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (data == nullptr) {
        return std::nullopt;
    }
    // The bytes stay in the mapped image for the life of the process; nothing is freed.
    return ByteView(static_cast<const std::uint8_t*>(data), size);
}

}  // namespace kyt
