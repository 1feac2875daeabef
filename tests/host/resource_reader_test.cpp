#include "package/resource_reader.h"

#include <gtest/gtest.h>

#include "support/simulated_platform.h"

namespace kyt {
namespace {

using testing::Call;
using testing::SimulatedPlatform;

TEST(LoadResourceBytes, ReplacesLongerAndShorterContents) {
    SimulatedPlatform platform;
    platform.AddResource(u"KYT_FILE_000", "abc");
    ByteBuffer longer(10, 0xAA);
    ASSERT_TRUE(LoadResourceBytes(platform, u"KYT_FILE_000", longer));
    EXPECT_EQ(longer, (ByteBuffer{'a', 'b', 'c'}));
    ByteBuffer shorter(1, 0xAA);
    ASSERT_TRUE(LoadResourceBytes(platform, u"KYT_FILE_000", shorter));
    EXPECT_EQ(shorter, longer);
}

TEST(LoadResourceBytes, MissingEmptyOrFailingResourcesLeaveTheBufferUntouched) {
    SimulatedPlatform platform;
    platform.AddResource(u"EMPTY", "");
    platform.AddResource(u"FAILS", "bytes");
    platform.FailCall(Call::FindResourceBytes, 3);
    const ByteBuffer before{1, 2, 3};
    for (const WideString name : {u"MISSING", u"EMPTY", u"FAILS"}) {
        ByteBuffer buffer = before;
        EXPECT_FALSE(LoadResourceBytes(platform, name, buffer));
        EXPECT_EQ(buffer, before);
    }
}

}  // namespace
}  // namespace kyt
