#include "staging/extract_package.h"

#include <gtest/gtest.h>

#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::Call;
using testing::SimulatedPlatform;

const WideString kRoot = u"C:\\Temp\\KYT_DRIVER_SETUP\\1-2-0";

class ExtractPackageTest : public ::testing::Test {
protected:
    ExtractPackageTest() {
        platform.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
        platform.AddFolder(kRoot);
    }

    // Adds an entry whose resource holds `bytes`.
    void Add(const WideString& name, const WideString& path, const std::string& bytes = "data") {
        manifest.push_back(ManifestEntry{name, path});
        if (!bytes.empty()) {
            platform.AddResource(name, bytes);
        }
    }

    ExtractResult Extract() { return ExtractPackage(platform, manifest, area); }

    SimulatedPlatform platform;
    PackageManifest manifest;
    StagingArea area = StagingArea{kRoot, {kRoot}, {}, {}, {}};
};

TEST_F(ExtractPackageTest, WritesEveryFileAndRecordsEachFolderOnce) {
    Add(u"F0", u"top.inf", "top");
    Add(u"F1", u"a\\b\\deep.dll", "deep");
    Add(u"F2", u"a\\b\\other.dll", "other");
    Add(u"F3", u"a\\side.cat", "side");
    ASSERT_EQ(Extract(), ExtractResult::Success);
    EXPECT_EQ(area.directories, (std::vector<WideString>{kRoot, kRoot + u"\\a", kRoot + u"\\a\\b"}));
    EXPECT_EQ(area.files, (std::vector<WideString>{kRoot + u"\\top.inf", kRoot + u"\\a\\b\\deep.dll",
                                                   kRoot + u"\\a\\b\\other.dll", kRoot + u"\\a\\side.cat"}));
    EXPECT_EQ(platform.FileContents(kRoot + u"\\a\\b\\deep.dll"), "deep");
    EXPECT_EQ(platform.FileContents(kRoot + u"\\top.inf"), "top");
    EXPECT_EQ(platform.OpenHandles(), 0);
}

TEST_F(ExtractPackageTest, EachFileIsWrittenWithOneCall) {
    Add(u"F0", u"big.bin", std::string(3 << 20, 'z'));
    ASSERT_EQ(Extract(), ExtractResult::Success);
    const auto& log = platform.Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const auto& c) { return c.call == Call::WriteBytes; }), 1);
    EXPECT_EQ(platform.FileContents(kRoot + u"\\big.bin").size(), 3u << 20);
}

TEST_F(ExtractPackageTest, TwoSpellingsOfAFolderAreOneFolderAsFirstWritten) {
    Add(u"F0", u"amd64\\a.dll");
    Add(u"F1", u"AMD64\\b.dll");
    ASSERT_EQ(Extract(), ExtractResult::Success);
    EXPECT_EQ(area.directories, (std::vector<WideString>{kRoot, kRoot + u"\\amd64"}));
}

TEST_F(ExtractPackageTest, TheSamePathTwiceIsWrittenTwiceAndRecordedTwice) {
    Add(u"F0", u"x.inf", "first");
    Add(u"F1", u"x.inf", "second");
    ASSERT_EQ(Extract(), ExtractResult::Success);
    EXPECT_EQ(area.files, (std::vector<WideString>{kRoot + u"\\x.inf", kRoot + u"\\x.inf"}));
    EXPECT_EQ(platform.FileContents(kRoot + u"\\x.inf"), "second");
}

TEST_F(ExtractPackageTest, AForwardSlashIsNoSeparator) {
    Add(u"F0", u"sub/file.inf");
    EXPECT_EQ(Extract(), ExtractResult::WriteFailed);
    EXPECT_EQ(area.directories, (std::vector<WideString>{kRoot}));

    platform.AddFolder(kRoot + u"\\sub");
    area = StagingArea{kRoot, {kRoot}, {}, {}, {}};
    EXPECT_EQ(Extract(), ExtractResult::Success);
    EXPECT_EQ(area.files, (std::vector<WideString>{kRoot + u"\\sub/file.inf"}));
}

TEST_F(ExtractPackageTest, AnEmptyOrMissingResourceStopsAfterItsFolders) {
    Add(u"F0", u"a.inf");
    Add(u"EMPTY", u"x\\y\\empty.bin", "");
    platform.AddResource(u"EMPTY", "");
    Add(u"F2", u"never.inf");
    EXPECT_EQ(Extract(), ExtractResult::ResourceMissing);
    EXPECT_EQ(area.directories, (std::vector<WideString>{kRoot, kRoot + u"\\x", kRoot + u"\\x\\y"}));
    EXPECT_EQ(area.files, (std::vector<WideString>{kRoot + u"\\a.inf"}));
    EXPECT_FALSE(platform.Exists(kRoot + u"\\never.inf"));
}

TEST_F(ExtractPackageTest, AFailedOrShortWriteRemovesThePartFileAndRecordsNothing) {
    Add(u"F0", u"ok.inf");
    Add(u"F1", u"a\\part.dll", "0123456789");
    for (const bool shortWrite : {false, true}) {
        SCOPED_TRACE(shortWrite ? "short write" : "failed write");
        SimulatedPlatform fresh;
        fresh.AddFolder(u"C:\\Temp\\KYT_DRIVER_SETUP");
        fresh.AddFolder(kRoot);
        fresh.AddResource(u"F0", "data");
        fresh.AddResource(u"F1", "0123456789");
        if (shortWrite) {
            fresh.ShortenWritesBy(1);
            fresh.AddResource(u"F0", "d");  // shortened too: the first file already fails
        } else {
            fresh.FailCall(Call::WriteBytes, 2);
        }
        StagingArea fresharea = StagingArea{kRoot, {kRoot}, {}, {}, {}};
        EXPECT_EQ(ExtractPackage(fresh, manifest, fresharea), ExtractResult::WriteFailed);
        const WideString failed = shortWrite ? kRoot + u"\\ok.inf" : kRoot + u"\\a\\part.dll";
        // Gone: it was closed before its removal, which its own open would have refused.
        EXPECT_FALSE(fresh.Exists(failed));
        EXPECT_EQ(fresh.OpenHandles(), 0);
        EXPECT_EQ(fresharea.files.size(), shortWrite ? 0u : 1u);
    }
}

}  // namespace
}  // namespace kyt
