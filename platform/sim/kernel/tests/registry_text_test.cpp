// The registry's text form: fixtures load, subtrees dump, and a dump loads back to the
// same tree.
#include <string>
#include <vector>

#include "simkernel/registry.h"
#include "simtest.h"

namespace kwsim::test {
namespace {

class RegistryTextTest : public SimTest {};

RegKey Key(const std::u16string& path)
{
    RegKey key;
    EXPECT_EQ(GetRegistry().Open(nullptr, path, &key), STATUS_SUCCESS);
    return key;
}

std::vector<RegValue> Values(const RegKey& key)
{
    std::vector<RegValue> out;
    RegValue v;
    for (ULONG i = 0; NT_SUCCESS(GetRegistry().EnumValue(key, i, &v)); i++) out.push_back(v);
    return out;
}

const char16_t kService[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwUSer36";

TEST_F(RegistryTextTest, LoadThenDumpGivesTheSameTreeBack)
{
    std::string error;
    ASSERT_TRUE(LoadRegistryText(R"(; a fixture
[\Registry\Machine\System\CurrentControlSet\Services\KwUSer36]
"LogLevel"=dword:00000001
"PortName"="COM5"
"Data"=hex:01,02,03
"Multi"=multi:"a","b"
  @ = "default"
"Raw" = unterminated:"C\"5\\"
"Path"=expand:"%SystemRoot%\\inf"
"Big"=qword:ffeeddccbbaa9988
"None"=hex(0):
"Empty"=multi:
"Resources"=hex(8):00,01
"Größe"="Zoll"

[\registry\machine\system\currentcontrolset\services\KwUSer36\Parameters\Deep]
"Zero"=dword:0
)",
                                 &error))
        << error;
    RegKey key = Key(kService);
    // Odd data no readable form can hold comes out as hex with its type.
    const UCHAR three[] = {1, 2, 3};
    const char16_t embedded[] = u"a\0b";
    const char16_t noEnd[] = u"ab";
    ASSERT_EQ(GetRegistry().SetValue(key, u"Short", REG_DWORD, three, 3), STATUS_SUCCESS);
    ASSERT_EQ(GetRegistry().SetValue(key, u"Embedded", REG_SZ, embedded, sizeof embedded), STATUS_SUCCESS);
    ASSERT_EQ(GetRegistry().SetValue(key, u"BadMulti", REG_MULTI_SZ, noEnd, 4), STATUS_SUCCESS);
    ASSERT_EQ(GetRegistry().SetValue(key, u"NoBytes", REG_SZ, nullptr, 0), STATUS_SUCCESS);

    const std::string expected = R"([\Registry\Machine\System\CurrentControlSet\Services\KwUSer36]
"LogLevel"=dword:00000001
"PortName"="COM5"
"Data"=hex:01,02,03
"Multi"=multi:"a","b"
@="default"
"Raw"=unterminated:"C\"5\\"
"Path"=expand:"%SystemRoot%\\inf"
"Big"=qword:ffeeddccbbaa9988
"None"=hex(0):
"Empty"=multi:
"Resources"=hex(8):00,01
"Größe"="Zoll"
"Short"=hex(4):01,02,03
"Embedded"=hex(1):61,00,00,00,62,00,00,00
"BadMulti"=hex(7):61,00,62,00
"NoBytes"=hex(1):

[\Registry\Machine\System\CurrentControlSet\Services\KwUSer36\Parameters]

[\Registry\Machine\System\CurrentControlSet\Services\KwUSer36\Parameters\Deep]
"Zero"=dword:00000000
)";
    const std::string dump = DumpRegistry("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwUSer36");
    EXPECT_EQ(dump, expected);

    // The values hold exactly the bytes the forms describe.
    std::vector<RegValue> before = Values(key);
    ASSERT_GE(before.size(), 8u);
    EXPECT_EQ(before[3].data, (std::vector<uint8_t>{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ(before[4].name, u"");
    EXPECT_EQ(before[5].data, (std::vector<uint8_t>{'C', 0, '"', 0, '5', 0, '\\', 0}));
    EXPECT_EQ(before[7].data, (std::vector<uint8_t>{0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
    EXPECT_EQ(before[9].data, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(before[11].name, u"Gr\u00f6\u00dfe");

    // Loading the dump into an empty place rebuilds the same tree, bytes and all.
    ASSERT_EQ(GetRegistry().DeleteTree(key), STATUS_SUCCESS);
    EXPECT_EQ(DumpRegistry("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwUSer36"),
              "; no key \\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwUSer36\n");
    ASSERT_TRUE(LoadRegistryText(dump, &error)) << error;
    EXPECT_EQ(DumpRegistry("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwUSer36"), expected);
    std::vector<RegValue> after = Values(Key(kService));
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); i++) {
        EXPECT_EQ(after[i].name, before[i].name) << i;
        EXPECT_EQ(after[i].type, before[i].type) << i;
        EXPECT_EQ(after[i].data, before[i].data) << i;
    }
}

TEST_F(RegistryTextTest, DeletionLines)
{
    std::string error;
    ASSERT_TRUE(LoadRegistryText(R"(
[\Registry\Machine\Software\KwGone\Sub\Deeper]
[\Registry\Machine\Software\KwKept]
"Stays"=dword:1
"Goes"=dword:2
)",
                                 &error))
        << error;
    ASSERT_TRUE(LoadRegistryText(R"(
[-\Registry\Machine\Software\KwGone]
[-\Registry\Machine\Software\KwNeverThere]
[\Registry\Machine\Software\KwKept]
"Goes"=-
"NeverThere"=-
)",
                                 &error))
        << error;
    EXPECT_EQ(DumpRegistry("\\Registry\\Machine\\Software\\KwGone"), "; no key \\Registry\\Machine\\Software\\KwGone\n");
    EXPECT_EQ(DumpRegistry("\\Registry\\Machine\\Software\\KwKept"),
              "[\\Registry\\Machine\\Software\\KwKept]\n\"Stays\"=dword:00000001\n");
}

TEST_F(RegistryTextTest, SyntaxErrorsNameTheLineAndStopThere)
{
    const std::string section = "[\\Registry\\Machine\\Software\\KwBad]\n";
    struct Case {
        std::string text;
        std::string error;
    } cases[] = {
        {"\"v\"=dword:1\n", "line 1: a value outside a key section"},
        {section + "\"v\"=dword:123456789\n", "line 2: 1 to 8 hex digits expected"},
        {section + "\"v\"=qword:\n", "line 2: 1 to 16 hex digits expected"},
        {section + "\"v\"=\"abc\n", "line 2: unterminated quoted string"},
        {section + "\"v\"=\"a\\n\"\n", "line 2: only \\\\ and \\\" are escapes"},
        {section + "\"v\"=hex:01,zz\n", "line 2: 1 to 2 hex digits expected"},
        {section + "\"v\"=hex(7:00\n", "line 2: hex(type): expected"},
        {section + "\"v\"=word:1\n", "line 2: unknown value form"},
        {section + "\"v\"=dword:1 extra\n", "line 2: unexpected text after the value"},
        {section + "\"v\" dword:1\n", "line 2: = expected after the value name"},
        {section + "\"v\"=multi:\"a\",\n", "line 2: a quoted string expected"},
        {"; comment\n[\\Registry\\Machine\\Software\\KwBad\n", "line 2: a section is [path]"},
        {"[\\Elsewhere\\KwBad]\n", "line 1: key creation failed with 0xC0000034"},
        {"[\\Registry\\Machine\\\\KwBad]\n", "line 1: key creation failed with 0xC0000033"},
        {section + "\"ok\"=dword:1\n\"bad\"=dword:\n\"late\"=dword:2\n", "line 3:"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(LoadRegistryText(c.text, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error;
    }
    // What came before the bad line is in, nothing after it.
    EXPECT_EQ(DumpRegistry("\\Registry\\Machine\\Software\\KwBad"),
              "[\\Registry\\Machine\\Software\\KwBad]\n\"ok\"=dword:00000001\n");
}

}  // namespace
}  // namespace kwsim::test
