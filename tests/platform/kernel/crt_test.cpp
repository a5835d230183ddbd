// The kernel run-time's wide-string routines and bounded formatters, with Windows' format
// conventions (16-bit wide strings, %S / %ws / %wZ, 32-bit 'l').
#include <gtest/gtest.h>
#include <wdm.h>

#include <cstdarg>

namespace {

TEST(KernelCrt, ComparisonsAndLengths) {
    EXPECT_EQ(KrtWcslen(u"modem"), 5u);
    EXPECT_EQ(KrtWcsnlen(u"modem", 3), 3u);
    EXPECT_EQ(KrtWcscmp(u"abc", u"abc"), 0);
    EXPECT_LT(KrtWcscmp(u"abc", u"abd"), 0);
    EXPECT_GT(KrtWcscmp(u"abcd", u"abc"), 0);
    EXPECT_EQ(KrtWcsncmp(u"abcX", u"abcY", 3), 0);
    EXPECT_NE(KrtWcsncmp(u"abcX", u"abcY", 4), 0);
    EXPECT_EQ(KrtWcsicmp(u"VRAX", u"vrax"), 0);
    EXPECT_EQ(KrtWcsnicmp(u"VRAX1", u"vrax2", 4), 0);
}

TEST(KernelCrt, CopiesFailAsTheSecureRunTimeDocuments) {
    WCHAR buf[6];
    EXPECT_EQ(KrtWcscpyS(buf, 6, u"hello"), 0);
    EXPECT_EQ(std::u16string(buf), u"hello");
    EXPECT_EQ(KrtWcscpyS(buf, 6, u"hello!"), ERANGE);
    EXPECT_EQ(buf[0], 0);  // the destination is emptied
    EXPECT_EQ(KrtWcscpyS(buf, 6, nullptr), EINVAL);
    EXPECT_EQ(KrtWcscpyS(nullptr, 6, u"x"), EINVAL);
    EXPECT_EQ(KrtWcscpyS(buf, 0, u"x"), EINVAL);

    EXPECT_EQ(KrtWcsncpyS(buf, 6, u"modem-channel", _TRUNCATE), STRUNCATE);
    EXPECT_EQ(std::u16string(buf), u"modem");
    EXPECT_EQ(KrtWcsncpyS(buf, 6, u"modem-channel", 3), 0);
    EXPECT_EQ(std::u16string(buf), u"mod");
    EXPECT_EQ(KrtWcsncpyS(buf, 6, u"modem-channel", 8), ERANGE);
    EXPECT_EQ(buf[0], 0);

    EXPECT_EQ(KrtWcscpyS(buf, 6, u"ab"), 0);
    EXPECT_EQ(KrtWcscatS(buf, 6, u"cde"), 0);
    EXPECT_EQ(std::u16string(buf), u"abcde");
    EXPECT_EQ(KrtWcscatS(buf, 6, u"f"), ERANGE);
    EXPECT_EQ(buf[0], 0);
}

int wide_format(WCHAR* buf, size_t n, const WCHAR* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = KrtVswprintfS(buf, n, fmt, ap);
    va_end(ap);
    return r;
}

int narrow_format(char* buf, size_t n, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = KrtVsprintfS(buf, n, fmt, ap);
    va_end(ap);
    return r;
}

TEST(KernelCrt, FormatsFollowTheKernelConventions) {
    WCHAR w[128];
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, u"\\Device\\VRAX");
    ANSI_STRING as;
    RtlInitAnsiString(&as, "ansi");
    int n = wide_format(w, 128, u"%s|%S|%hs|%ls|%ws|%wZ|%Z", u"wide", "narrow", "h", u"l", u"w",
                        &us, &as);
    EXPECT_EQ(std::u16string(w), u"wide|narrow|h|l|w|\\Device\\VRAX|ansi");
    EXPECT_EQ(n, static_cast<int>(KrtWcslen(w)));

    wide_format(w, 128, u"%d %u %x %X %08x %-4d| %5d %ld %lu %I64x %lld %zu %c %C %%", -5, 7u, 255u,
                255u, 0xABu, 3, 42, -1, 4000000000u, 0x1122334455667788ull, -9ll,
                static_cast<size_t>(12), u'w', 'n');
    EXPECT_EQ(std::u16string(w),
              u"-5 7 ff FF 000000ab 3   |    42 -1 4000000000 1122334455667788 -9 12 w n %");
    wide_format(w, 128, u"%p %.3s %s", reinterpret_cast<void*>(0x1234), u"abcdef",
                static_cast<const WCHAR*>(nullptr));
    EXPECT_EQ(std::u16string(w), u"0000000000001234 abc (null)");

    char a[64];
    EXPECT_EQ(narrow_format(a, sizeof a, "%s=%S #%02u %ls", "k", u"wide", 7u, u"x"), 12);
    EXPECT_STREQ(a, "k=wide #07 x");
}

TEST(KernelCrt, BoundedFormattersEmptyTheBufferWhenTheTextDoesNotFit) {
    WCHAR w[5];
    EXPECT_EQ(KrtSwprintfS(w, 5, u"%d", 1234), 4);
    EXPECT_EQ(KrtSwprintfS(w, 5, u"%d", 12345), -1);
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(wide_format(w, 5, u"%n", nullptr), -1);  // %n is refused
    char a[4];
    EXPECT_EQ(KrtSprintfS(a, sizeof a, "%s", "abcd"), -1);
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(KrtSprintfS(nullptr, 4, "x"), -1);
}

}  // namespace
