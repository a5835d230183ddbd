// Safe string routines: truncation with STATUS_BUFFER_OVERFLOW, parameter checks and the
// counted-string variants.
#include <gtest/gtest.h>
#include <ntstrsafe.h>

namespace {

std::u16string text(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

TEST(StrSafe, CopyAndCatTruncateAndTerminate) {
    WCHAR buf[6];
    EXPECT_EQ(RtlStringCbCopyW(buf, sizeof buf, u"abc"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(RtlStringCbCopyW(buf, sizeof buf, u"abcdefgh"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"abcde");  // truncated, terminated
    EXPECT_EQ(RtlStringCchCopyW(buf, 6, u"abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlStringCchCopyW(buf, 6, u"abcde"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCopyNW(buf, sizeof buf, u"abcdef", 2 * sizeof(WCHAR)), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"ab");
    EXPECT_EQ(RtlStringCbCatW(buf, sizeof buf, u"cd"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"abcd");
    EXPECT_EQ(RtlStringCchCatW(buf, 6, u"efg"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"abcde");

    EXPECT_EQ(RtlStringCbCopyW(buf, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbCopyW(buf, 1, u"x"), STATUS_INVALID_PARAMETER);  // less than one WCHAR
    WCHAR unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(RtlStringCchCatW(unterminated, 3, u"d"), STATUS_INVALID_PARAMETER);

    char a[4];
    EXPECT_EQ(RtlStringCbCopyA(a, sizeof a, "abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(a, "abc");
}

TEST(StrSafe, LengthsFailForAStringLongerThanTheLimit) {
    size_t n = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"modem", 10, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(RtlStringCchLengthW(u"modem", 5, &n),
              STATUS_INVALID_PARAMETER);  // no terminator within 5
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(RtlStringCbLengthW(u"modem", 12, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 10, &n), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(u"x", size_t(NTSTRSAFE_MAX_CCH) + 1, &n),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthA("abc", 4, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 3u);
}

TEST(StrSafe, PrintfTruncatesWithBufferOverflow) {
    WCHAR buf[8];
    EXPECT_EQ(RtlStringCbPrintfW(buf, sizeof buf, u"%s-%u", u"ab", 12u), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"ab-12");
    EXPECT_EQ(RtlStringCbPrintfW(buf, sizeof buf, u"\\Device\\%s%u", u"VRAX", 3u),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"\\Device");
    EXPECT_EQ(RtlStringCchPrintfW(buf, 0, u"x"), STATUS_INVALID_PARAMETER);
    char a[6];
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof a, "%d", -12345), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(a, "-1234");
    EXPECT_EQ(RtlStringCchPrintfA(a, sizeof a, "%x", 0xbeefu), STATUS_SUCCESS);
    EXPECT_STREQ(a, "beef");
}

TEST(StrSafe, CountedStringsTruncateToTheirMaximumLength) {
    WCHAR buf[4];
    UNICODE_STRING dst{0, sizeof buf, buf};
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, u"ab");
    EXPECT_EQ(RtlUnicodeStringCopy(&dst, &src), STATUS_SUCCESS);
    EXPECT_EQ(RtlUnicodeStringCat(&dst, &src), STATUS_SUCCESS);
    EXPECT_EQ(text(dst), u"abab");  // all four characters: no terminator is written
    EXPECT_EQ(RtlUnicodeStringCat(&dst, &src), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dst.Length, sizeof buf);
    EXPECT_EQ(RtlUnicodeStringPrintf(&dst, u"%u", 123456u), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text(dst), u"1234");
    EXPECT_EQ(RtlUnicodeStringPrintf(&dst, u"%u", 7u), STATUS_SUCCESS);
    EXPECT_EQ(text(dst), u"7");
    UNICODE_STRING odd{1, sizeof buf, buf};
    EXPECT_EQ(RtlUnicodeStringCopy(&odd, &src), STATUS_INVALID_PARAMETER);
}

}  // namespace
