#include "package/manifest.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace kyt {
namespace {

// Returns the entries of the text, or nothing when the parser rejects it.
std::optional<PackageManifest> Parse(const std::string& text) {
    PackageManifest manifest;
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (!ParseManifest(bytes, manifest)) {
        return std::nullopt;
    }
    return manifest;
}

PackageManifest Entries(std::initializer_list<std::pair<std::u16string, std::u16string>> pairs) {
    PackageManifest manifest;
    for (const auto& [name, path] : pairs) {
        manifest.push_back(ManifestEntry{name, path});
    }
    return manifest;
}

TEST(ParseManifest, LineEndsDoNotChangeTheEntries) {
    const auto expected = Entries({{u"KYT_FILE_000", u"a.inf"}, {u"KYT_FILE_080", u"amd64\\dpinst.exe"}});
    for (const std::string text : {
             "KYT_FILE_000|a.inf\nKYT_FILE_080|amd64\\dpinst.exe\n",
             "KYT_FILE_000|a.inf\r\nKYT_FILE_080|amd64\\dpinst.exe\r\n",
             "KYT_FILE_000|a.inf\r\nKYT_FILE_080|amd64\\dpinst.exe",
             "KYT_FILE_000|a.inf\nKYT_FILE_080|amd64\\dpinst.exe\r",
         }) {
        const auto parsed = Parse(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed, expected) << text;
    }
}

TEST(ParseManifest, BlankLinesAreSkippedWhereverTheyStand) {
    const auto parsed = Parse("\n\r\n\rX\nA|a\n\n\r\nB|b\r\n\n\r");
    // "\rX" is a line of its own with a CR inside it and no bar: the whole manifest fails.
    EXPECT_FALSE(parsed);
    const auto good = Parse("\n\r\nA|a\n\n\r\nB|b\r\n\n\r");
    ASSERT_TRUE(good);
    EXPECT_EQ(*good, Entries({{u"A", u"a"}, {u"B", u"b"}}));
}

TEST(ParseManifest, ATextWithoutEntriesIsInvalid) {
    for (const std::string text : {"", "\n", "\r\n\r\n", "\r", "\n\n\n\r"}) {
        EXPECT_FALSE(Parse(text)) << "text of " << text.size() << " bytes";
    }
}

TEST(ParseManifest, TheFirstBarSplitsAndNothingIsTrimmed) {
    const auto parsed = Parse("X|Y|Z\nN||\n A | b\t\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, Entries({{u"X", u"Y|Z"}, {u"N", u"|"}, {u" A ", u" b\t"}}));
}

TEST(ParseManifest, OnlyOneTrailingCarriageReturnIsRemoved) {
    const auto parsed = Parse("A|a\r\r\nB|b\rc\r");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, Entries({{u"A", u"a\r"}, {u"B", u"b\rc"}}));
}

TEST(ParseManifest, CarriageReturnsAloneMakeOneLine) {
    const auto parsed = Parse("A|a\rB|b\r");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, Entries({{u"A", u"a\rB|b"}}));
}

TEST(ParseManifest, AFaultyLineAnywhereRejectsTheWholeManifest) {
    const std::string good = "A|a\r\nB|sub\\b\r\n";
    for (const std::string bad : {
             "no bar here", "|empty-name", "empty-path|", "X|a..b", "X|..\\up", "X|dir\\..", "X|C:\\abs",
             "X|file:stream", "X|\\rooted", "X|/rooted", "X|:",
         }) {
        EXPECT_FALSE(Parse(bad + "\r\n" + good)) << bad;
        EXPECT_FALSE(Parse(good + bad + "\r\n" + good)) << bad;
        EXPECT_FALSE(Parse(good + bad)) << bad;
    }
}

TEST(ParseManifest, SeparatorsAreRefusedOnlyAtThePathsStart) {
    const auto parsed = Parse("A|.\\x\nB|a/b\nC|a\\b\\\nD|.hidden\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, Entries({{u"A", u".\\x"}, {u"B", u"a/b"}, {u"C", u"a\\b\\"}, {u"D", u".hidden"}}));
}

TEST(ParseManifest, DuplicatesStayInLineOrder) {
    const auto parsed = Parse("B|x\nA|x\nB|y\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, Entries({{u"B", u"x"}, {u"A", u"x"}, {u"B", u"y"}}));
}

TEST(ParseManifest, HighBytesAreSignExtendedAndNulIsOrdinary) {
    const auto parsed = Parse(std::string("\xEF\xBB\xBFN\x00|p\xE9\x80\xFF", 10));
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->size(), 1u);
    EXPECT_EQ((*parsed)[0].resourceName, (std::u16string{0xFFEF, 0xFFBB, 0xFFBF, u'N', 0}));
    EXPECT_EQ((*parsed)[0].relativePath, (std::u16string{u'p', 0xFFE9, 0xFF80, 0xFFFF}));
}

TEST(WidenAscii, KeepsAsciiAndSignExtendsTheRest) {
    std::string all;
    for (int byte = 0; byte < 256; ++byte) {
        all += static_cast<char>(byte);
    }
    const WideString wide = WidenAscii(all);
    ASSERT_EQ(wide.size(), 256u);
    for (int byte = 0; byte < 256; ++byte) {
        const char16_t expected = byte < 0x80 ? static_cast<char16_t>(byte) : static_cast<char16_t>(0xFF00 | byte);
        EXPECT_EQ(wide[byte], expected) << byte;
    }
}

TEST(FormatDecimal, WritesPlainDigits) {
    EXPECT_EQ(FormatDecimal(0), u"0");
    EXPECT_EQ(FormatDecimal(7), u"7");
    EXPECT_EQ(FormatDecimal(100), u"100");
    EXPECT_EQ(FormatDecimal(4294967295u), u"4294967295");
    EXPECT_EQ(FormatDecimal(18446744073709551615ull), u"18446744073709551615");
}

}  // namespace
}  // namespace kyt
