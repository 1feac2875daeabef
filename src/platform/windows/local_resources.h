#pragma once
// Owners for the Windows layer's own short-lived resources: a kernel handle it opened for
// itself, and memory the system allocated with LocalAlloc.
#include <windows.h>

#include <utility>

namespace kyt {

// Closes the handle exactly once, when it goes out of scope.
class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle = nullptr) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    HANDLE get() const { return handle_; }
    HANDLE* put() { return &handle_; }
    // Hands the handle over to a new owner.
    HANDLE release() { return std::exchange(handle_, nullptr); }

private:
    HANDLE handle_;
};

// Frees LocalAlloc memory exactly once, when it goes out of scope.
template <typename T>
class LocalPointer {
public:
    LocalPointer() = default;
    LocalPointer(const LocalPointer&) = delete;
    LocalPointer& operator=(const LocalPointer&) = delete;
    ~LocalPointer() { ::LocalFree(pointer_); }
    T get() const { return pointer_; }
    T* put() { return &pointer_; }

private:
    T pointer_ = nullptr;
};

}  // namespace kyt
