// The Windows C run-time pieces programs use: printf's Windows conventions, the
// case-insensitive comparisons and the safe string routines' results.
#include <gtest/gtest.h>
#include <windows.h>

#include <strsafe.h>

#include <cstdio>
#include <string>

#include "win32/crt_stdio.h"

namespace {

std::string windows_printf(const char* format, ...) {
    std::FILE* f = std::tmpfile();
    va_list args;
    va_start(args, format);
    int n = platform::win32::windows_vfprintf(f, format, args);
    va_end(args);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    std::rewind(f);
    if (!out.empty() && std::fread(out.data(), 1, out.size(), f) != out.size()) {
        out = "<short read>";
    }
    std::fclose(f);
    return n < 0 ? "<refused>" : out;
}

}  // namespace

TEST(WindowsPrintf, WideStringsAndPointerSizedIntegersFollowWindows) {
    WCHAR path[] = u"\\\\?\\ROOT#ECHO#0000";
    EXPECT_EQ(windows_printf("DevicePath: %ws\n", path), "DevicePath: \\\\?\\ROOT#ECHO#0000\n");
    EXPECT_EQ(windows_printf("%S|%s", path, "narrow"), "\\\\?\\ROOT#ECHO#0000|narrow");
    ULONG_PTR big = 0x100000000ull + 5;
    EXPECT_EQ(windows_printf("request %Id is %d", big, 7), "request 4294967301 is 7");
    EXPECT_EQ(windows_printf("%I64u %x", 1ull << 40, 255u), "1099511627776 ff");
    int count = 0;
    EXPECT_EQ(windows_printf("%n", &count), "<refused>");
}

TEST(CaseInsensitive, StrnicmpComparesAsciiLettersWithoutCase) {
    EXPECT_EQ(_strnicmp("-async", "-Async", 6), 0);
    EXPECT_EQ(_strnicmp("-ASYNCX", "-Async", 6), 0);
    EXPECT_LT(_strnicmp("-Asy", "-Async", 6), 0);
    EXPECT_GT(_stricmp("b", "A"), 0);
    EXPECT_NE(_stricmp("\xC4", "\xE4"), 0);  // only ASCII letters fold
}

TEST(StrSafe, CopyTruncatesTerminatesAndReportsIt) {
    WCHAR dest[5];
    EXPECT_EQ(StringCchCopyW(dest, 5, u"abcd"), S_OK);
    EXPECT_EQ(std::u16string(dest), u"abcd");
    EXPECT_EQ(StringCchCopyW(dest, 5, u"abcdef"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(dest), u"abcd");
    dest[0] = u'z';
    EXPECT_EQ(StringCchCopyW(dest, 0, u"a"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(dest[0], u'z');  // a zero-sized destination is never written
    EXPECT_EQ(StringCbCopyW(dest, sizeof dest, u"abcdef"), STRSAFE_E_INSUFFICIENT_BUFFER);
    char narrow[4];
    EXPECT_EQ(StringCchCopyNA(narrow, 4, "abcdef", 2), S_OK);
    EXPECT_EQ(std::string(narrow), "ab");
}

TEST(StrSafe, CatLengthAndPrintf) {
    char buf[8] = "ab";
    EXPECT_EQ(StringCchCatA(buf, sizeof buf, "cde"), S_OK);
    EXPECT_EQ(StringCchCatA(buf, sizeof buf, "fghij"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(buf), "abcdefg");
    size_t n = 0;
    EXPECT_EQ(StringCchLengthA(buf, sizeof buf, &n), S_OK);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(StringCchLengthA(buf, 7, &n), STRSAFE_E_INVALID_PARAMETER);  // no terminator
    EXPECT_EQ(n, 0u);
    WCHAR w[16];
    EXPECT_EQ(StringCchPrintfW(w, 16, u"%d-%ws", 42, u"x"), S_OK);
    EXPECT_EQ(std::u16string(w), u"42-x");
    EXPECT_EQ(StringCchPrintfA(buf, 4, "%d", 123456), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(buf), "123");
    EXPECT_TRUE(FAILED(STRSAFE_E_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(SUCCEEDED(S_OK));
}
