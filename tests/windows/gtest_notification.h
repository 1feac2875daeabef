#pragma once
// GoogleTest's own Notification needs std::mutex, which the compiler's win32 thread model
// lacks; this one waits on a Windows event instead. Included ahead of every source of the
// Windows-side tests and of GoogleTest itself.
#include <windows.h>

namespace testing::internal {

class Notification {
public:
    Notification() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { ::CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { ::SetEvent(event_); }
    void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace testing::internal
