// The platform's own string helpers: counted strings, name comparison and UTF-8.
#include <gtest/gtest.h>

#include <map>

#include "kernel/strings.h"

namespace k = platform::kernel;

namespace {

TEST(HostStrings, CountedStringsAndNameComparison) {
    k::owned_unicode_string s(u"\\Device\\VRAX");
    EXPECT_EQ(s.get()->Length, 24);
    EXPECT_EQ(s.get()->Buffer[12], 0);
    EXPECT_EQ(k::view(s.get()), u"\\Device\\VRAX");
    k::owned_unicode_string copy = s;
    EXPECT_NE(copy.get()->Buffer, s.get()->Buffer);
    EXPECT_EQ(k::view(static_cast<const UNICODE_STRING*>(nullptr)), u"");

    WCHAR buf[4];
    UNICODE_STRING dest{0, sizeof buf, buf};
    EXPECT_TRUE(k::assign(&dest, u"abcd"));
    EXPECT_FALSE(k::assign(&dest, u"abcde"));
    EXPECT_EQ(k::view(&dest), u"abcd");

    EXPECT_TRUE(k::equal_insensitive(u"\\GLOBAL??\\Vrax", u"\\global??\\VRAX"));
    EXPECT_FALSE(k::equal_insensitive(u"abc", u"abcd"));
    EXPECT_TRUE(k::equal_insensitive(u"\u00e9t\u00e9", u"\u00c9T\u00c9"));
    EXPECT_LT(k::compare_insensitive(u"abc", u"ABD"), 0);
    EXPECT_TRUE(k::starts_with_insensitive(u"\\Device\\X", u"\\DEVICE\\"));
    std::map<std::u16string, int, k::less_insensitive> names{{u"Alpha", 1}};
    EXPECT_EQ(names.count(u"ALPHA"), 1u);
}

TEST(HostStrings, Utf8AndUtf16ConvertBothWaysAndReplaceBadInput) {
    std::u16string wide = u"mod\u00e9m \u041c \U0001F4E1";
    std::string narrow = k::to_utf8(wide);
    EXPECT_EQ(narrow, "mod\xc3\xa9m \xd0\x9c \xf0\x9f\x93\xa1");
    EXPECT_EQ(k::to_utf16(narrow), wide);
    EXPECT_TRUE(k::valid_utf8(narrow));
    EXPECT_TRUE(k::valid_utf16(wide));

    std::u16string lone = u"a";
    lone += static_cast<char16_t>(0xD800);
    EXPECT_FALSE(k::valid_utf16(lone));
    EXPECT_EQ(k::to_utf8(lone), "a\xef\xbf\xbd");
    EXPECT_FALSE(k::valid_utf8("\xc0\xaf"));      // overlong
    EXPECT_FALSE(k::valid_utf8("\xed\xa0\x80"));  // encoded surrogate
    EXPECT_FALSE(k::valid_utf8("\xe2\x82"));      // cut short
    EXPECT_EQ(k::to_utf16("x\xff"), u"x\uFFFD");
}

}  // namespace
