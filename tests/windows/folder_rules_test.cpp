// The table of folder rules against the real Windows layer: every row on Windows, the rows whose
// rule Wine keeps under Wine. The simulation runs the same table.
#include <gtest/gtest.h>

#include <vector>

#include "platform/windows/windows_platform.h"
#include "support/folder_rules.h"
#include "windows_test_support.h"

namespace kyt {
namespace {

using testing::ToWide;

// The table's real side: a scratch folder, and this test as the other program, with handles of
// its own that it keeps until the row ends.
class WindowsWorld final : public testing::FolderWorld {
public:
    ~WindowsWorld() override {
        for (HANDLE open : opens_) {
            ::CloseHandle(open);
        }
    }
    Platform& Setup() override { return platform_; }
    WideString Path(const WideString& name) override {
        return name.empty() ? scratch_.Path() : scratch_.Path(ToWide(name));
    }
    bool OtherMakeFolder(const WideString& path) override { return ::CreateDirectoryW(ToWide(path).c_str(), nullptr); }
    bool OtherWriteFile(const WideString& path) override {
        const HANDLE file = ::CreateFileW(ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        const bool ok = file != INVALID_HANDLE_VALUE && ::WriteFile(file, "x", 1, &written, nullptr);
        ::CloseHandle(file);
        return ok;
    }
    bool OtherRename(const WideString& from, const WideString& to) override {
        return ::MoveFileW(ToWide(from).c_str(), ToWide(to).c_str());
    }
    bool OtherOpen(const WideString& path, bool shareDelete) override {
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (shareDelete ? FILE_SHARE_DELETE : 0);
        const HANDLE open = ::CreateFileW(ToWide(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (open == INVALID_HANDLE_VALUE) {
            return false;
        }
        opens_.push_back(open);
        return true;
    }
    bool Exists(const WideString& path) override { return testing::ScratchFolder::Exists(path); }

private:
    WindowsPlatform platform_;
    testing::ScratchFolder scratch_;
    std::vector<HANDLE> opens_;
};

TEST(WindowsFolderRules, TheRealLayerKeepsEveryRuleOfTheTableThatThisSystemKeeps) {
    for (const testing::FolderRule& rule : testing::FolderRules()) {
        if (testing::UnderWine() && !rule.wineKeepsIt) {
            continue;
        }
        WindowsWorld world;
        EXPECT_TRUE(rule.holds(world)) << rule.rule;
    }
}

}  // namespace
}  // namespace kyt
