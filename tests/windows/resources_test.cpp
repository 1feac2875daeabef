#include <gtest/gtest.h>

#include "package/resource_reader.h"
#include "platform/windows/windows_platform.h"

namespace kyt {
namespace {

TEST(WindowsResources, ReadsARawDataResourceOfTheOwnImage) {
    WindowsPlatform platform;
    ByteBuffer first;
    ASSERT_TRUE(LoadResourceBytes(platform, u"KYT_TEST_FOUR", first));
    EXPECT_EQ(first, (ByteBuffer{'f', 'o', 'u', 'r'}));
    ByteBuffer again;
    ASSERT_TRUE(LoadResourceBytes(platform, u"KYT_TEST_FOUR", again));
    EXPECT_EQ(again, first);
}

TEST(WindowsResources, ReplacesALongerBuffer) {
    WindowsPlatform platform;
    ByteBuffer buffer(100, 0xCC);
    ASSERT_TRUE(LoadResourceBytes(platform, u"KYT_TEST_FOUR", buffer));
    EXPECT_EQ(buffer.size(), 4u);
}

TEST(WindowsResources, MissingEmptyAndOtherTypedResourcesAreNotRead) {
    WindowsPlatform platform;
    EXPECT_FALSE(platform.FindResourceBytes(u"KYT_TEST_MISSING"));
    EXPECT_FALSE(platform.FindResourceBytes(u"KYT_TEST_OTHER_TYPE"));
    const auto empty = platform.FindResourceBytes(u"KYT_TEST_EMPTY");
    ASSERT_TRUE(empty) << "a zero-length resource exists";
    EXPECT_TRUE(empty->empty());

    const ByteBuffer before{9, 8, 7};
    for (const WideString name : {u"KYT_TEST_MISSING", u"KYT_TEST_OTHER_TYPE", u"KYT_TEST_EMPTY"}) {
        ByteBuffer buffer = before;
        EXPECT_FALSE(LoadResourceBytes(platform, name, buffer));
        EXPECT_EQ(buffer, before);
    }
}

}  // namespace
}  // namespace kyt
