#include "support/run_judge.h"

#include <algorithm>

#include "staging/staging_area.h"

namespace kyt::testing {


std::vector<std::string> JudgeLeftovers(const SimulatedPlatform& platform, bool removalsMayFail) {
    std::vector<std::string> faults;
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
    if (!left.empty() && !removalsMayFail) {
        faults.push_back("left " + Narrow(left.front()) + " though no removal failed");
    }
    if (platform.applicationLog.empty()) {
        return faults;
    }
    // The record's cleanup sentence: nothing, or the count and the first path.
    const WideString toldText = platform.applicationLog.front().second.strings.at(4);
    const std::string told = Narrow(toldText);
    const bool toldNothing = told.starts_with("Cleanup left nothing") || told.starts_with("Cleanup: none was needed");
    const std::string count = std::to_string(left.size()) + (left.size() == 1 ? " path " : " paths ");
    const bool agrees = left.empty() ? toldNothing
                                     : told.starts_with("Cleanup left " + count) &&
                                           std::any_of(left.begin(), left.end(), [&](const WideString& path) {
                                               return NameKey(toldText).ends_with(u": " + NameKey(path));
                                           });
    if (!agrees) {
        faults.push_back("the record says \"" + told + "\" but " + std::to_string(left.size()) + " paths are left");
    }
    return faults;
}

}  // namespace kyt::testing
