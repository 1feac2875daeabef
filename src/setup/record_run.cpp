#include "setup/record_run.h"

#include <iterator>

#include "common/widen_ascii.h"
#include "launch/launch_driver_installer.h"
#include "setup/messages.h"

namespace kyt {
namespace {

// One ending: its record's type and event ID, the exit code, the text of its box (null: it
// has none) and the words that tell the outcome.
struct EndingRow {
    RecordType type;
    std::uint32_t eventId;
    SetupExitCode exitCode;
    const char16_t* message;
    const char16_t* outcome;
};

// In the order of RunEnding.
constexpr EndingRow kEndings[] = {
    {RecordType::Information, 1000, kExitSuccess, nullptr, u"The driver installer reported success"},
    {RecordType::Warning, 1001, kExitRestartRequired, nullptr,
     u"The driver installer reported success, and that Windows needs a restart"},
    {RecordType::Error, 1002, kExitFailure, nullptr, u"The driver installer reported failure"},
    {RecordType::Error, 1003, kExitFailure, nullptr, u"The driver installer ran, but its result could not be read"},
    {RecordType::Error, 1101, kExitFailure, kMessageInvalidPackage,
     u"The setup's package is invalid: its manifest is missing, empty or malformed"},
    {RecordType::Error, 1102, kExitFailure, kMessageNoTempDirectory,
     u"The setup could not make a staging directory of its own under the temporary folder"},
    {RecordType::Error, 1103, kExitFailure, kMessageNoTempFolder,
     u"The setup could not create a folder of its package in the staging directory"},
    {RecordType::Error, 1104, kExitFailure, kMessageMissingFile,
     u"A file of the setup's package is missing from the setup executable"},
    {RecordType::Error, 1105, kExitFailure, kMessageCannotWrite,
     u"The setup could not write a file of its package into the staging directory"},
    {RecordType::Error, 1106, kExitFailure, kMessageCannotStartInstaller,
     u"The setup could not start the driver installer dpinst.exe"},
};
static_assert(std::size(kEndings) == static_cast<std::size_t>(RunEnding::CannotStartInstaller) + 1);

const EndingRow& RowOf(RunEnding ending) {
    return kEndings[static_cast<std::size_t>(ending)];
}

// Returns the value as "0x" and eight upper-case hexadecimal digits.
WideString FormatHex(std::uint32_t value) {
    WideString text = u"0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += u"0123456789ABCDEF"[(value >> shift) & 0xFu];
    }
    return text;
}

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

SetupExitCode EndingExitCode(RunEnding ending) {
    return RowOf(ending).exitCode;
}

const char16_t* EndingMessage(RunEnding ending) {
    return RowOf(ending).message;
}

RunEnding InstallerEnding(std::uint32_t exitCode) {
    switch (MapInstallerExitCode(exitCode)) {
    case kExitSuccess: return RunEnding::Installed;
    case kExitRestartRequired: return RunEnding::RestartNeeded;
    default: return RunEnding::InstallerFailed;
    }
}

RunRecord ComposeRunRecord(const RunSummary& run) {
    const EndingRow& row = RowOf(run.ending);
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
