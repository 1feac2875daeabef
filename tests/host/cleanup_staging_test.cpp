#include "staging/cleanup_staging.h"

#include <gtest/gtest.h>

#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::SimulatedPlatform;

const WideString kRoot = u"C:\\Temp\\KYT_DRIVER_SETUP\\1-2-0";

std::vector<std::string> Removals(const SimulatedPlatform& platform) {
    std::vector<std::string> removals;
    for (const std::string& call : platform.Log()) {
        if (call.starts_with("Remove")) {
            removals.push_back(call);
        }
    }
    return removals;
}

// Runs the cleanup with no hold on the staging directory.
void Cleanup(SimulatedPlatform& platform, const std::vector<WideString>& files, std::vector<WideString> directories) {
    OwnedHandle noHold;
    CleanupStaging(platform, files, std::move(directories), noHold);
}

TEST(CleanupStaging, DeletesFilesInOrderThenFoldersLongestFirst) {
    SimulatedPlatform platform;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    for (const WideString& folder : {kRoot, kRoot + u"\\amd64", kRoot + u"\\amd64\\x", kRoot + u"\\b"}) {
        platform.AddFolder(folder);
    }
    const std::vector<WideString> files{kRoot + u"\\z.inf", kRoot + u"\\amd64\\x\\a.dll", kRoot + u"\\b\\c.cat"};
    for (const WideString& file : files) {
        platform.AddFile(file);
    }
    Cleanup(platform, files, {kRoot, kRoot + u"\\b", kRoot + u"\\amd64", kRoot + u"\\amd64\\x"});
    const std::string root = "C:\\Temp\\KYT_DRIVER_SETUP\\1-2-0";
    EXPECT_EQ(Removals(platform), (std::vector<std::string>{
                                      "RemoveFile " + root + "\\z.inf",
                                      "RemoveFile " + root + "\\amd64\\x\\a.dll",
                                      "RemoveFile " + root + "\\b\\c.cat",
                                      "RemoveFolder " + root + "\\amd64\\x",
                                      "RemoveFolder " + root + "\\amd64",
                                      "RemoveFolder " + root + "\\b",
                                      "RemoveFolder " + root,
                                  }));
    EXPECT_EQ(platform.Disk(), (std::set<WideString>{u"C:", u"C:\\Temp", u"C:\\Temp\\KYT_DRIVER_SETUP"}));
}

TEST(CleanupStaging, WhatCannotGoStaysWithTheFoldersAboveIt) {
    SimulatedPlatform platform;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    platform.AddFolder(kRoot);
    platform.AddFolder(kRoot + u"\\a");
    platform.AddFolder(kRoot + u"\\b");
    platform.AddFile(kRoot + u"\\a\\kept.log");  // put there by someone else: not recorded
    platform.AddFile(kRoot + u"\\b\\f.inf");
    const std::vector<WideString> directories{kRoot, kRoot + u"\\a", kRoot + u"\\b"};
    Cleanup(platform, {kRoot + u"\\b\\f.inf", kRoot + u"\\b\\f.inf"}, directories);
    EXPECT_EQ(platform.Disk(), (std::set<WideString>{u"C:", u"C:\\Temp", u"C:\\Temp\\KYT_DRIVER_SETUP", kRoot,
                                                     kRoot + u"\\a", kRoot + u"\\a\\kept.log"}));
}

TEST(CleanupStaging, NeverTouchesTheBaseFolderOrAnythingUnrecorded) {
    SimulatedPlatform platform;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    platform.AddFolder(kRoot);
    Cleanup(platform, {}, {kRoot});
    EXPECT_EQ(Removals(platform), (std::vector<std::string>{"RemoveFolder C:\\Temp\\KYT_DRIVER_SETUP\\1-2-0"}));
    EXPECT_TRUE(platform.Exists(u"C:\\Temp\\KYT_DRIVER_SETUP"));

    SimulatedPlatform nothing;
    Cleanup(nothing, {}, {});
    EXPECT_TRUE(Removals(nothing).empty());
}

TEST(CleanupStaging, RemovesAFolderRecordedTwiceOnce) {
    SimulatedPlatform platform;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    platform.AddFolder(kRoot);
    Cleanup(platform, {}, {kRoot, kRoot});
    EXPECT_EQ(Removals(platform).size(), 1u);
}

TEST(CleanupStaging, ReleasesTheHoldJustBeforeTheStagingDirectory) {
    SimulatedPlatform platform;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    platform.AddFolder(kRoot);
    platform.AddFolder(kRoot + u"\\amd64");
    platform.AddFile(kRoot + u"\\amd64\\a.dll");
    OwnedHandle hold(platform, platform.HoldFolder(kRoot)->handle);
    CleanupStaging(platform, {kRoot + u"\\amd64\\a.dll"}, {kRoot, kRoot + u"\\amd64"}, hold);
    const auto& log = platform.Log();
    const std::string root = "C:\\Temp\\KYT_DRIVER_SETUP\\1-2-0";
    EXPECT_EQ((std::vector<std::string>(log.end() - 4, log.end())),
              (std::vector<std::string>{"RemoveFile " + root + "\\amd64\\a.dll", "RemoveFolder " + root + "\\amd64",
                                        "CloseHandleValue hold", "RemoveFolder " + root}));
    EXPECT_FALSE(platform.Exists(kRoot));
}

}  // namespace
}  // namespace kyt
