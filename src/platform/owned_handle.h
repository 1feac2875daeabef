#pragma once

#include <utility>

#include "platform/platform.h"

namespace kyt {

// Owns one platform handle and closes it exactly once: on Close() or when it goes out of scope.
class OwnedHandle {
public:
    OwnedHandle() = default;
    OwnedHandle(Platform& platform, HandleValue value) : platform_(&platform), value_(value) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& other) noexcept
        : platform_(std::exchange(other.platform_, nullptr)), value_(std::exchange(other.value_, 0)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Close();
            platform_ = std::exchange(other.platform_, nullptr);
            value_ = std::exchange(other.value_, 0);
        }
        return *this;
    }
    ~OwnedHandle() { Close(); }

    HandleValue value() const { return value_; }

    // Closes the handle now; later calls do nothing.
    void Close() {
        if (platform_ != nullptr) {
            std::exchange(platform_, nullptr)->CloseHandleValue(value_);
        }
    }

private:
    Platform* platform_ = nullptr;
    HandleValue value_ = 0;
};

}  // namespace kyt
