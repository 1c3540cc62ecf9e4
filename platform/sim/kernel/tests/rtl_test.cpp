// Run-time library routines, compared with their documented results.
#include <cstring>
#include <string>

#include "simtest.h"

namespace kwsim::test {
namespace {

class RtlTest : public SimTest {};

UNICODE_STRING U(const char16_t* s)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, reinterpret_cast<PCWSTR>(s));
    return u;
}

std::u16string Text(const UNICODE_STRING& u) { return std::u16string(u.Buffer, u.Length / 2); }

TEST_F(RtlTest, UnicodeStringToInteger)
{
    struct Case {
        const char16_t* text;
        ULONG base;
        NTSTATUS status;
        ULONG value;
    } cases[] = {
        {u"1234", 10, STATUS_SUCCESS, 1234},     {u"  42", 0, STATUS_SUCCESS, 42},
        {u"-5", 10, STATUS_SUCCESS, (ULONG)-5},  {u"+7", 0, STATUS_SUCCESS, 7},
        {u"0x1F", 0, STATUS_SUCCESS, 0x1F},      {u"0o17", 0, STATUS_SUCCESS, 15},
        {u"0b101", 0, STATUS_SUCCESS, 5},        {u"ff", 16, STATUS_SUCCESS, 255},
        {u"12ab", 10, STATUS_SUCCESS, 12},       {u"", 10, STATUS_SUCCESS, 0},
        {u"4294967295", 10, STATUS_SUCCESS, 0xFFFFFFFF}, {u"10", 7, STATUS_INVALID_PARAMETER, 0},
    };
    for (auto& c : cases) {
        UNICODE_STRING u = U(c.text);
        ULONG v = 0;
        EXPECT_EQ(RtlUnicodeStringToInteger(&u, c.base, &v), c.status);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(v, c.value) << std::u16string(c.text).size();
        }
    }
}

TEST_F(RtlTest, IntegerToUnicodeString)
{
    WCHAR buf[12];
    UNICODE_STRING u{0, sizeof buf, buf};
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &u), STATUS_SUCCESS);
    EXPECT_EQ(Text(u), u"FF");
    EXPECT_EQ(buf[2], 0) << "terminated when there is room";
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 0, &u), STATUS_SUCCESS);
    EXPECT_EQ(Text(u), u"4294967295");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &u), STATUS_SUCCESS);
    EXPECT_EQ(Text(u), u"101");
    UNICODE_STRING small{0, 4, buf};
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &small), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 3, &u), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlTest, CompareAndCase)
{
    UNICODE_STRING a = U(u"COM5"), b = U(u"com5"), c = U(u"COM50");
    EXPECT_NE(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&a, &c, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&c, &a, TRUE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&b, &c, TRUE));
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00e9'), u'\u00c9');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u0101'), u'\u0100');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u017e'), u'\u017d');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u0436'), u'\u0416');
    EXPECT_EQ(RtlDowncaseUnicodeChar(u'\u0416'), u'\u0436');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'1'), u'1');
}

TEST_F(RtlTest, AnsiUnicodeConversionsAllocateFromPool)
{
    ANSI_STRING a;
    RtlInitAnsiString(&a, "Port \x80");
    UNICODE_STRING u;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(u), u"Port \u20ac") << "the ANSI code page is Windows-1252";
    EXPECT_EQ(LivePoolBlocks().size(), 1u);
    ANSI_STRING back;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &u, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), "Port \x80");
    UNICODE_STRING greek = U(u"\u03a9!");
    char small[8];
    ANSI_STRING out{0, sizeof small, small};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&out, &greek, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(out.Buffer, out.Length), "?!");
    RtlFreeUnicodeString(&u);
    RtlFreeAnsiString(&back);
    EXPECT_EQ(u.Buffer, nullptr);
    PoolFailNth(1);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_NO_MEMORY);
    WCHAR tiny[2];
    UNICODE_STRING t{0, sizeof tiny, tiny};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&t, &a, FALSE), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RtlTest, GuidStrings)
{
    const GUID g = {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
    UNICODE_STRING s;
    ASSERT_EQ(RtlStringFromGUID(g, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"{A0EC11A8-B16C-11D1-BD98-00A0C906BE2D}");
    GUID back{};
    EXPECT_EQ(RtlGUIDFromString(&s, &back), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&g, &back, sizeof g), 0);
    RtlFreeUnicodeString(&s);
    UNICODE_STRING lower = U(u"{a0ec11a8-b16c-11d1-bd98-00a0c906be2d}");
    EXPECT_EQ(RtlGUIDFromString(&lower, &back), STATUS_SUCCESS);
    for (const char16_t* bad : {u"A0EC11A8-B16C-11D1-BD98-00A0C906BE2D", u"{A0EC11A8-B16C-11D1-BD98-00A0C906BE2G}",
                                u"{A0EC11A8-B16C-11D1-BD98_00A0C906BE2D}", u"{}"}) {
        UNICODE_STRING b = U(bad);
        EXPECT_EQ(RtlGUIDFromString(&b, &back), STATUS_INVALID_PARAMETER);
    }
}

std::string Fmt(const char* f, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, f);
    int n = _vsnprintf(buf, sizeof buf - 1, f, ap);
    va_end(ap);
    return n < 0 ? "<overflow>" : std::string(buf, n);
}

TEST_F(RtlTest, KernelPrintfConventions)
{
    UNICODE_STRING u = U(u"\\Device\\KwUSer000");
    ANSI_STRING a;
    RtlInitAnsiString(&a, "ansi");
    EXPECT_EQ(Fmt("%d %i %u", -12, 7, 3000000000u), "-12 7 3000000000");
    EXPECT_EQ(Fmt("%08x|%X|%#x|%-4d|%4d", 0xbeefu, 0xbeefu, 255u, 5, 5), "0000beef|BEEF|0xff|5   |   5");
    EXPECT_EQ(Fmt("%lu %ld", (ULONG)4000000000u, (LONG)-1), "4000000000 -1") << "l is 32 bits";
    EXPECT_EQ(Fmt("%I64d %I64x %lld", (LONGLONG)-5, (ULONGLONG)0x123456789ull, (long long)1 << 40),
              "-5 123456789 1099511627776");
    EXPECT_EQ(Fmt("%p", (void*)0x1234), "0000000000001234");
    EXPECT_EQ(Fmt("%s|%ws|%S|%wZ|%Z", "narrow", u"wide", u"WIDE", &u, &a), "narrow|wide|WIDE|\\Device\\KwUSer000|ansi");
    EXPECT_EQ(Fmt("%s %ws", (char*)nullptr, (WCHAR*)nullptr), "(null) (null)");
    EXPECT_EQ(Fmt("%c%C%%", 'x', u'y'), "xy%");
    EXPECT_EQ(Fmt("%.3s|%5s|%-5s|", "abcdef", "ab", "ab"), "abc|   ab|ab   |");
    EXPECT_EQ(Fmt("%hd %hu", (int)70000, 70000), "4464 4464");

    char buf[4];
    EXPECT_EQ(_snprintf(buf, 4, "abc"), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(_snprintf(buf, 4, "abcd"), 4) << "an exact fit is not terminated";
    EXPECT_EQ(memcmp(buf, "abcd", 4), 0);
    EXPECT_EQ(_snprintf(buf, 4, "abcde"), -1);

    WCHAR w[32];
    EXPECT_EQ(_snwprintf(w, 32, reinterpret_cast<const WCHAR*>(u"%s-%d-%hs"), u"COM", 5, "x"), 7);
    EXPECT_EQ(std::u16string(w), u"COM-5-x");
}

TEST_F(RtlTest, DbgPrintGoesToTheDebugSink)
{
    UNICODE_STRING u = U(u"KwSample");
    DbgPrint("loaded %wZ at %d\n", &u, 3);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "second %s\n", "line");
    EXPECT_EQ(DebugOutput(), "loaded KwSample at 3\nsecond line\n");
    ClearDebugOutput();
    EXPECT_EQ(DebugOutput(), "");
}

}  // namespace
}  // namespace kwsim::test
