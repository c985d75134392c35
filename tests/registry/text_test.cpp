// UTF-8 <-> UTF-16 without loss, and the name comparison the store sorts by.
#include <gtest/gtest.h>

#include "registry/text.h"

using namespace qv::reg;

TEST(Text, Utf8AndUtf16RoundTripEveryUnitIncludingLoneSurrogates) {
    const std::u16string samples[] = {u"", u"plain", u"caf\u00e9 \u4e2d \U0001F600", std::u16string(1, u'\xD800'),
                                      std::u16string(u"a\xDC00" u"b"), std::u16string(u"\0x", 2)};
    for (const auto& s : samples) EXPECT_EQ(utf8ToUtf16(utf16ToUtf8(s)), s);
    EXPECT_EQ(utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    // Bytes that are not UTF-8 at all become U+FFFD, one each, and never swallow what follows.
    EXPECT_EQ(utf8ToUtf16("a\xFF" "b\xC3"), u"a\uFFFDb\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\xC0\x80"), u"\uFFFD\uFFFD");  // overlong forms are refused
}

TEST(Text, StoredBytesAreUtf16LittleEndian) {
    EXPECT_EQ(utf16ToBytes(u"A\u4e2d"), std::string("A\0\x2d\x4e", 4));
    EXPECT_EQ(bytesToUtf16(std::string("A\0\x2d\x4e", 4)), u"A\u4e2d");
    EXPECT_EQ(bytesToUtf16(std::string("A\0B", 3)), u"AB");  // an odd byte is kept, not dropped
}

TEST(Text, NamesCompareWithoutCaseFoldingToLower) {
    EXPECT_EQ(compareNames(u"ShellNew", u"SHELLNEW"), 0);
    EXPECT_LT(compareNames(u"_", u"a"), 0);
    EXPECT_LT(compareNames(u"_", u"A"), 0);  // upper-case folding would say the opposite
    EXPECT_LT(compareNames(u"ab", u"abc"), 0);
    EXPECT_EQ(compareNames(u"\u00c4\u0416", u"\u00e4\u0436"), 0);
    EXPECT_TRUE(namesEqual(u".TXT", u".txt"));
    EXPECT_FALSE(namesEqual(u".txt", u".txt "));
}
