#include "setup/record_run.h"

#include "common/text.h"

namespace kyt {
namespace {

// Returns whether and how the ending's box reached someone, with its text.
WideString DescribeBox(const EndingRow& row, bool canBeSeen) {
    if (row.message == nullptr) {
        return u"Error box: none; this ending shows no box.";
    }
    if (canBeSeen) {
        return u"Error box shown: " + WideString(row.message);
    }
    return u"Error box left out, because nobody could see it (session 0, or a window station that is "
           u"not visible); its text: " + WideString(row.message);
}

// Returns the installer's whole exit code, decoded by the installer's convention: bit 31
// failure, bit 30 restart needed, and the counts of packages failed (bits 16-23), only staged
// (bits 8-15) and installed (bits 0-7).
WideString DescribeInstaller(const RunSummary& run) {
    if (!run.installerExitCode) {
        return run.ending == RunEnding::InstallerResultUnknown
                   ? u"Installer exit code: unknown; the installer ran, but its end or its exit code could not be read."
                   : u"Installer exit code: none; the installer did not run.";
    }
    const std::uint32_t code = *run.installerExitCode;
    const auto yesOrNo = [code](int bit) { return (code >> bit) & 1u ? u"yes" : u"no"; };
    const auto count = [code](int shift) { return FormatDecimal((code >> shift) & 0xFFu); };
    return u"Installer exit code " + FormatHex(code) + u": failure reported: " + yesOrNo(31) +
           u", restart needed: " + yesOrNo(30) + u"; packages failed: " + count(16) + u", only staged: " +
           count(8) + u", installed: " + count(0) + u".";
}

// Returns what cleanup left behind: how many paths, and the first.
WideString DescribeCleanup(const RunSummary& run) {
    if (!run.leftovers) {
        return u"Cleanup: none was needed; the run had staged nothing.";
    }
    if (run.leftovers->count == 0) {
        return u"Cleanup left nothing behind.";
    }
    return u"Cleanup left " + FormatDecimal(run.leftovers->count) + (run.leftovers->count == 1 ? u" path" : u" paths") +
           u" behind; the first: " + run.leftovers->firstPath;
}

}  // namespace

RunRecord ComposeRunRecord(const RunSummary& run) {
    const EndingRow& row = EndingOf(run.ending);
    RunRecord record{row.type, row.eventId, {}};
    record.strings.push_back(row.outcome + (u"; the setup exits with " + FormatDecimal(row.exitCode) + u"."));
    record.strings.push_back(DescribeBox(row, run.boxCanBeSeen));
    record.strings.push_back(DescribeInstaller(run));
    record.strings.push_back(run.stagingPath.empty() ? u"Staging directory: none was made."
                                                     : u"Staging directory: " + run.stagingPath);
    record.strings.push_back(DescribeCleanup(run));
    record.strings.push_back(u"Duration: " + FormatDecimal(run.endTick - run.startTick) + u" ms.");
    return record;
}

}  // namespace kyt
