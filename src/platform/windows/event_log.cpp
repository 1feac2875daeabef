// The run's record in the Application event log. The source is not registered (the setup
// writes nothing to the registry), so the record names no message file and Event Viewer shows
// its strings as they are.
#include <memory>
#include <vector>

#include "platform/windows/wide.h"
#include "platform/windows/windows_platform.h"

namespace kyt {

void WindowsPlatform::ReportRun(const WideString& source, const RunRecord& record) {
    // A null server name is the local computer; a source without a registry key of its own is
    // filed under the Application log. The source is deregistered exactly once, on leaving.
    const std::unique_ptr<void, decltype(&::DeregisterEventSource)> log(
        ::RegisterEventSourceW(nullptr, AsWide(source)), &::DeregisterEventSource);
    if (log == nullptr) {
        return;
    }
    std::vector<LPCWSTR> strings;
    for (const WideString& text : record.strings) {
        strings.push_back(AsWide(text));
    }
    // RecordType holds the event log's own type numbers. No category, no user, no binary data;
    // a record that cannot be written changes nothing.
    ::ReportEventW(log.get(), static_cast<WORD>(record.type), 0, record.eventId, nullptr,
                   static_cast<WORD>(strings.size()), 0, strings.data(), nullptr);
}

}  // namespace kyt
