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
    CleanupStaging(platform, files, {kRoot, kRoot + u"\\b", kRoot + u"\\amd64", kRoot + u"\\amd64\\x"});
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
    CleanupStaging(platform, {kRoot + u"\\b\\f.inf", kRoot + u"\\b\\f.inf"}, directories);
    EXPECT_EQ(platform.Disk(), (std::set<WideString>{u"C:", u"C:\\Temp", u"C:\\Temp\\KYT_DRIVER_SETUP", kRoot,
                                                     kRoot + u"\\a", kRoot + u"\\a\\kept.log"}));
}

TEST(CleanupStaging, NeverTouchesTheBaseFolderOrAnythingUnrecorded) {
    SimulatedPlatform platform;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    platform.AddFolder(kRoot);
    CleanupStaging(platform, {}, {kRoot});
    EXPECT_EQ(Removals(platform), (std::vector<std::string>{"RemoveFolder C:\\Temp\\KYT_DRIVER_SETUP\\1-2-0"}));
    EXPECT_TRUE(platform.Exists(u"C:\\Temp\\KYT_DRIVER_SETUP"));

    SimulatedPlatform nothing;
    CleanupStaging(nothing, {}, {});
    EXPECT_TRUE(Removals(nothing).empty());
}

TEST(CleanupStaging, RemovesAFolderRecordedTwiceOnce) {
    SimulatedPlatform platform;
    platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
    platform.AddFolder(kRoot);
    CleanupStaging(platform, {}, {kRoot, kRoot});
    EXPECT_EQ(Removals(platform).size(), 1u);
}

}  // namespace
}  // namespace kyt
