#include "support/run_judge.h"

#include <algorithm>
#include <optional>

#include "package/manifest.h"
#include "setup/messages.h"
#include "setup/run_endings.h"
#include "common/text.h"

namespace kyt::testing {
namespace {

// Returns the ending whose record has this event ID, or nothing.
std::optional<RunEnding> EndingOfEvent(std::uint32_t eventId) {
    for (int ending = 0; ending <= static_cast<int>(RunEnding::CannotStartInstaller); ++ending) {
        if (EndingOf(static_cast<RunEnding>(ending)).eventId == eventId) {
            return static_cast<RunEnding>(ending);
        }
    }
    return std::nullopt;
}

// Returns whether a call of one of these kinds was made to fail.
bool Failed(const SimulatedPlatform& platform, const std::vector<Call>& calls) {
    const auto& log = platform.Log();
    return std::any_of(log.begin(), log.end(), [&](const SimulatedPlatform::LoggedCall& logged) {
        return logged.failed && std::find(calls.begin(), calls.end(), logged.call) != calls.end();
    });
}

// Returns the position in the log of the last call of one of these kinds, or -1.
long LastCall(const SimulatedPlatform& platform, const std::vector<Call>& calls) {
    const auto& log = platform.Log();
    for (long at = static_cast<long>(log.size()) - 1; at >= 0; --at) {
        if (std::find(calls.begin(), calls.end(), log[at].call) != calls.end()) {
            return at;
        }
    }
    return -1;
}

// The calls of cleanup's removals.
const std::vector<Call> kRemovals = {Call::RemoveFile, Call::RemoveFolder, Call::ReferToFolder,
                                    Call::RemoveReferredFolder};

// Adds a line for what the run made and left, besides its base folder, that its record does
// not tell, or tells though it is not there.
void JudgeLeftovers(const SimulatedPlatform& platform, const RunRecord* record, std::vector<std::string>& faults) {
    std::vector<WideString> left;
    int baseFolders = 0;
    for (const auto& [path, createdName] : platform.LeftByRun()) {
        if (NameKey(createdName) == u"KYT_DRIVER_SETUP") {
            ++baseFolders;
        } else {
            left.push_back(path);
        }
    }
    if (baseFolders > 1) {
        faults.push_back("more than one base folder made");
    }
    if (!left.empty() && !Failed(platform, kRemovals) &&
        platform.busyRemovals == 0) {
        faults.push_back("left " + Narrow(left.front()) + " though no removal failed or was refused for now");
    }
    if (record == nullptr) {
        return;
    }
    const WideString& told = record->strings.at(4);
    const std::string count = std::to_string(left.size()) + (left.size() == 1 ? " path " : " paths ");
    const bool agrees =
        left.empty() ? told.starts_with(u"Cleanup left nothing") || told.starts_with(u"Cleanup: none was needed")
                     : Narrow(told).starts_with("Cleanup left " + count) &&
                           std::any_of(left.begin(), left.end(), [&](const WideString& path) {
                               return NameKey(told).ends_with(u": " + NameKey(path));
                           });
    if (!agrees) {
        faults.push_back("the record says \"" + Narrow(told) + "\" but " + std::to_string(left.size()) +
                         " paths are left");
    }
}

// Returns the bytes that the package's manifest places at the staging directory's root as its
// installer, or nothing when it places none there.
std::optional<std::string> InstallerBytes(const SimulatedPlatform& platform) {
    const std::string text = platform.Resource(u"KYT_MANIFEST").value_or("");
    PackageManifest manifest;
    if (!ParseManifest(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), manifest)) {
        return std::nullopt;
    }
    for (const ManifestEntry& entry : manifest) {
        if (NameKey(entry.relativePath) == u"DPINST.EXE") {
            return platform.Resource(entry.resourceName);
        }
    }
    return std::nullopt;
}

// Adds a line for each action of the setup's that was unsafe. The setup may write, make a
// folder or start a program only where every folder this run made above it is still a folder
// no unelevated program of the user can change, in a folder of its own, on an object of its own
// that nobody else can change; it may start only the package's installer with nothing but its
// own objects beside it, and remove only what it made.
void JudgeActions(const SimulatedPlatform& platform, std::vector<std::string>& faults) {
    const std::optional<std::string> installer = InstallerBytes(platform);
    for (const SimulatedPlatform::SetupAction& action : platform.SetupActions()) {
        const std::string where = action.kind + " " + Narrow(action.object.path);
        const bool removal = action.kind == "delete" || action.kind == "remove folder";
        bool safe = action.object.madeByRun && (removal || !action.object.attackerCanChange);
        if (!removal) {
            safe = safe && !action.above.empty() && action.above.front().madeByRun;
            for (std::size_t up = 0; up < action.above.size() && action.above[up].madeByRun; ++up) {
                safe = safe && action.above[up].isFolder && !action.above[up].attackerCanChange;
            }
        }
        if (!safe) {
            faults.push_back("unsafe: " + where);
        }
        if (action.kind != "start") {
            continue;
        }
        for (const SimulatedPlatform::ObjectFacts& other : action.beside) {
            if (!other.madeByRun) {
                faults.push_back("unsafe: start beside " + Narrow(other.path));
            }
        }
        if (installer && action.contents != *installer) {
            faults.push_back("unsafe: start of other bytes at " + Narrow(action.object.path));
        }
    }
}

}  // namespace

std::optional<RunEnding> RecordedEnding(const SimulatedPlatform& platform) {
    return platform.applicationLog.size() == 1 ? EndingOfEvent(platform.applicationLog.front().second.eventId)
                                               : std::nullopt;
}

std::vector<std::string> JudgeRun(const SimulatedPlatform& platform, SetupExitCode result,
                                  const std::set<WideString>* diskBefore) {
    std::vector<std::string> faults;
    const auto& records = platform.applicationLog;
    if (records.size() != (Failed(platform, {Call::ReportRun}) ? 0u : 1u)) {
        faults.push_back(std::to_string(records.size()) + " records written");
    }
    const RunRecord* record = records.size() == 1 ? &records.front().second : nullptr;
    const std::optional<RunEnding> ending = record ? EndingOfEvent(record->eventId) : std::nullopt;
    if (record && (!ending || EndingOf(*ending).type != record->type || records.front().first != kEventSource)) {
        faults.push_back("a record of no ending: event " + std::to_string(record->eventId));
    }
    if (ending && EndingOf(*ending).exitCode != result) {
        faults.push_back("exit code " + std::to_string(result) + " for event " + std::to_string(record->eventId));
    }
    if (!ending && result != kExitSuccess && result != kExitFailure && result != kExitRestartRequired) {
        faults.push_back("exit code " + std::to_string(result));
    }

    // The record comes after cleanup and before the box, so it is there while a box waits.
    const long reported = LastCall(platform, {Call::ReportRun});
    if (record && reported < LastCall(platform, kRemovals)) {
        faults.push_back("the record comes before a removal");
    }
    const long boxShown = LastCall(platform, {Call::ShowErrorBox});
    if (boxShown >= 0 && boxShown < reported) {
        faults.push_back("the box comes before the record");
    }
    if (ending) {
        const char16_t* message = EndingOf(*ending).message;
        const bool seen = message != nullptr && platform.boxCanBeSeen && !Failed(platform, {Call::BoxCanBeSeen});
        if (platform.boxes.size() != (seen ? 1u : 0u)) {
            faults.push_back(std::to_string(platform.boxes.size()) + " boxes for event " + std::to_string(record->eventId));
        } else if (seen && (platform.boxes[0].text != message || platform.boxes[0].caption != kSetupCaption)) {
            faults.push_back("the box says " + Narrow(platform.boxes[0].text));
        }
    } else if (platform.boxes.size() > 1) {
        faults.push_back(std::to_string(platform.boxes.size()) + " boxes");
    }
    if (!platform.boxes.empty() && result != kExitFailure) {
        faults.push_back("a box, and exit code " + std::to_string(result));
    }

    JudgeActions(platform, faults);
    if (platform.OpenHandles() != 0) {
        faults.push_back(std::to_string(platform.OpenHandles()) + " handles left open");
    }
    if (diskBefore != nullptr) {
        const std::set<WideString> after = platform.Disk();
        if (!std::includes(after.begin(), after.end(), diskBefore->begin(), diskBefore->end())) {
            faults.push_back("something that was on the disk went");
        }
    }
    JudgeLeftovers(platform, record, faults);
    return faults;
}

}  // namespace kyt::testing
