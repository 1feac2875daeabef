// The run's record in the Application event log. The source is not registered (the setup
// writes nothing to the registry), so the record names no message file and Event Viewer shows
// its strings as they are.
#include <vector>

#include "platform/windows/wide.h"
#include "platform/windows/windows_platform.h"

namespace kyt {
namespace {

// Deregisters an event source exactly once, when it goes out of scope.
class EventSource {
public:
    explicit EventSource(HANDLE handle) : handle_(handle) {}
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    ~EventSource() {
        if (handle_ != nullptr) {
            ::DeregisterEventSource(handle_);
        }
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Returns the event-log type of the record's kind.
WORD EventType(RecordType type) {
    switch (type) {
    case RecordType::Information: return EVENTLOG_INFORMATION_TYPE;
    case RecordType::Warning: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_ERROR_TYPE;
    }
}

}  // namespace

void WindowsPlatform::ReportRun(const WideString& source, const RunRecord& record) {
    // A null server name is the local computer; a source without a registry key of its own is
    // filed under the Application log.
    const EventSource log(::RegisterEventSourceW(nullptr, AsWide(source)));
    if (log.get() == nullptr) {
        return;
    }
    std::vector<LPCWSTR> strings;
    for (const WideString& text : record.strings) {
        strings.push_back(AsWide(text));
    }
    // No category, no user, no binary data. A record that cannot be written changes nothing.
    ::ReportEventW(log.get(), EventType(record.type), 0, record.eventId, nullptr, static_cast<WORD>(strings.size()),
                   0, strings.data(), nullptr);
}

}  // namespace kyt
