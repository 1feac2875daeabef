#include "staging/cleanup_staging.h"

#include <gtest/gtest.h>

#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::SimulatedPlatform;

const WideString kRoot = u"C:\\Temp\\KYT_DRIVER_SETUP\\1-2-0";

std::vector<std::string> Removals(const SimulatedPlatform& platform) {
    std::vector<std::string> removals;
    for (const auto& logged : platform.Log()) {
        if (logged.Text().starts_with("Remove")) {
            removals.push_back(logged.Text());
        }
    }
    return removals;
}

// Runs the cleanup of an area with these files and folders below the staging directory, held as
// a run leaves it; returns what it says it left.
CleanupLeftovers Cleanup(SimulatedPlatform& platform, const std::vector<WideString>& files,
                         const std::vector<WideString>& below) {
    StagingArea area{kRoot, below, files, {}, {}};
    if (std::optional<HeldFolder> held = platform.HoldFolder(kRoot)) {
        area.rootHold = std::move(held->hold);
    }
    return CleanupStaging(platform, area);
}

// What stays is what was not recorded, and the folders above it; the base folder is never
// touched, a folder recorded in two spellings is removed once, and what is gone already counts
// as removed. Cleanup counts exactly what stays.
TEST(CleanupStaging, WhatStaysIsWhatItWasNotGivenWithTheFoldersAboveIt) {
    struct Case {
        const char* what;
        std::vector<WideString> onDisk;  // below the staging directory; files have a dot
        std::vector<WideString> files;
        std::vector<WideString> folders;
        std::vector<WideString> stays;
        std::size_t counted;  // what cleanup says it left: what it was given that stays
    };
    const Case cases[] = {
        {"a file someone else put there, and a file recorded twice", {u"a", u"b", u"a\\kept.log", u"b\\f.inf"},
         {u"b\\f.inf", u"b\\f.inf"}, {u"a", u"b"}, {u"", u"a", u"a\\kept.log"}, 2},
        {"only the staging directory", {}, {}, {}, {}, 0},
        {"a folder in two spellings", {u"amd64", u"amd64\\x.sys"}, {u"AMD64\\x.sys"}, {u"amd64", u"AMD64"}, {}, 0},
        {"a file used as a folder", {u"f.bin"}, {u"f.bin"}, {u"f.bin"}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimulatedPlatform platform;
        platform.AddFolder(kRoot);
        const auto below = [](const std::vector<WideString>& names) {
            std::vector<WideString> paths;
            for (const WideString& name : names) paths.push_back(name.empty() ? kRoot : kRoot + u"\\" + name);
            return paths;
        };
        for (const WideString& path : below(c.onDisk)) {
            path.find(u'.') == WideString::npos ? platform.AddFolder(path) : platform.AddFile(path);
        }
        const CleanupLeftovers left = Cleanup(platform, below(c.files), below(c.folders));
        std::set<WideString> disk{u"C:", u"C:\\Temp", u"C:\\Temp\\KYT_DRIVER_SETUP"};
        for (const WideString& path : below(c.stays)) disk.insert(path);
        EXPECT_EQ(platform.Disk(), disk);
        EXPECT_EQ(left.count, c.counted);
        const std::vector<std::string> removals = Removals(platform);
        EXPECT_LE(std::count_if(removals.begin(), removals.end(), [](const std::string& r) { return r.starts_with("RemoveFolder"); }),
                  2) << "each folder once";
    }
}

// No path below the staging directory is used once its hold is released: it is removed by its
// paths while held, and then itself through its handle; the base folder's hold is closed too.
TEST(CleanupStaging, PathsBelowTheStagingDirectoryAreUsedOnlyWhileItIsHeld) {
    SimulatedPlatform platform;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    platform.AddFolder(kRoot + u"\\amd64");
    platform.AddFile(kRoot + u"\\amd64\\a.dll");
    StagingArea area{kRoot, {kRoot + u"\\amd64"}, {kRoot + u"\\amd64\\a.dll"}, {}, {}};
    area.baseFolderHold = std::move(platform.HoldFolder(u"C:\\Temp\\KYT_DRIVER_SETUP")->hold);
    area.rootHold = std::move(platform.HoldFolder(kRoot)->hold);
    std::vector<bool> heldBefore{false};  // by call number
    platform.beforeCall = [&](SimulatedPlatform& p, int) { heldBefore.push_back(p.IsHeld(kRoot)); };
    CleanupStaging(platform, area);
    const auto& log = platform.Log();
    for (std::size_t call = 0; call < log.size(); ++call) {
        if (log[call].call == testing::Call::RemoveFile || log[call].call == testing::Call::RemoveFolder) {
            EXPECT_TRUE(heldBefore.at(call + 1)) << log[call].Text();
        }
    }
    EXPECT_EQ(Removals(platform).size(), 3u);
    EXPECT_FALSE(platform.Exists(kRoot));
    EXPECT_EQ(platform.OpenHandles(), 0);
}

// A scanner holds files open for a moment after they were written: a busy removal is tried
// again after pauses that grow, with the folders above it, within the cleanup's patience.
TEST(CleanupStaging, BusyRemovalsAreTriedAgainWithinTheCleanupsPatience) {
    struct Case {
        const char* what;
        WideString busy;
        int busyTries;  // -1: busy for good
        std::uint32_t pausedFor;
        bool gone;
    };
    const WideString held = kRoot + u"\\amd64\\held.dll";
    const Case cases[] = {
        {"never busy", held, 0, 0, true},
        {"busy once", held, 1, 50, true},
        {"busy for three tries", held, 3, 50 + 100 + 200, true},
        {"busy for good", held, -1, 50 + 100 + 200 + 400 + 500 + 500, false},
        {"the staging directory busy twice", kRoot, 2, 50 + 100, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimulatedPlatform platform;
        platform.AddFolder(kRoot + u"\\amd64");
        platform.AddFile(kRoot + u"\\amd64\\held.dll");
        platform.AddFile(kRoot + u"\\free.inf");
        platform.KeepBusy(c.busy, c.busyTries);
        Cleanup(platform, {kRoot + u"\\amd64\\held.dll", kRoot + u"\\free.inf"}, {kRoot + u"\\amd64"});
        EXPECT_EQ(platform.pausedMilliseconds, c.pausedFor);
        EXPECT_LE(platform.pausedMilliseconds, kCleanupPatience);
        EXPECT_EQ(platform.Exists(kRoot), !c.gone) << "the staging directory goes once what held it has gone";
        EXPECT_EQ(platform.OpenHandles(), 0);
        EXPECT_FALSE(platform.Exists(kRoot + u"\\free.inf"));
        const std::vector<std::string> removals = Removals(platform);
        EXPECT_EQ(std::count(removals.begin(), removals.end(), "RemoveFile " + testing::Narrow(kRoot) + "\\free.inf"), 1)
            << "what went is not tried again";
    }

    // A removal that fails for another reason (a folder someone else filled) is not retried.
    SimulatedPlatform platform;
    platform.AddFile(kRoot + u"\\not ours.log");
    Cleanup(platform, {}, {});
    EXPECT_EQ(platform.pausedMilliseconds, 0u);
    EXPECT_EQ(Removals(platform).size(), 1u);
}

}  // namespace
}  // namespace kyt
