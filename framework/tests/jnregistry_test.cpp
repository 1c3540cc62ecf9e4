// The framework's registry helpers: the RelativeTo roots, DWORD and string values.
#include "jnpooledtest.h"
#include "jnregistry.h"
#include "simkernel/registry.h"

namespace kwsim::test {
namespace {

using RegistryHelperTest = PooledTest;

UNICODE_STRING U(const char16_t* s)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, reinterpret_cast<PCWSTR>(s));
    return u;
}

std::u16string Text(const CJnString& s) { return std::u16string(reinterpret_cast<const char16_t*>(s.m_Buffer() ? s.m_Buffer() : KW_W("")), s.m_Length() / 2); }

TEST_F(RegistryHelperTest, PathsBecomeAbsoluteBelowTheirRoot)
{
    struct {
        ULONG relativeTo;
        const char16_t* path;
        NTSTATUS status;
        const char16_t* absolute;
    } cases[] = {
        {0, u"\\Registry\\Machine\\X", STATUS_SUCCESS, u"\\Registry\\Machine\\X"},
        {0, u"Registry\\Y", STATUS_SUCCESS, u"\\Registry\\Y"},
        {1, u"KwUSer36", STATUS_SUCCESS, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwUSer36"},
        {2, u"\\Class", STATUS_SUCCESS, u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class"},
        {3, u"Ports", STATUS_SUCCESS, u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports"},
        {4, u"SERIALCOMM", STATUS_SUCCESS, u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM"},
        {5, u"Console", STATUS_SUCCESS, u"\\Registry\\User\\CurrentUser\\Console"},
        {6, u"X", STATUS_INVALID_PARAMETER, nullptr},
        {1, u"", STATUS_INVALID_PARAMETER, nullptr},
    };
    for (auto& c : cases) {
        CJnString out;
        UNICODE_STRING path = U(c.path);
        EXPECT_EQ(JnRegistryMakeAbsolute(c.relativeTo, &path, out), c.status) << c.relativeTo;
        if (c.absolute) {
            EXPECT_EQ(Text(out), c.absolute) << c.relativeTo;
        }
    }
}

TEST_F(RegistryHelperTest, ValuesAreReadAndWrittenWithTheirTypes)
{
    const char16_t* keyPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\JnRegTest";
    UNICODE_STRING below = U(u"JnRegTest\\Parameters");
    HANDLE key;
    EXPECT_EQ(JnRegistryCreateKey(&below, &key), STATUS_OBJECT_NAME_NOT_FOUND) << "the service key is missing";
    UNICODE_STRING service = U(u"JnRegTest");
    ASSERT_EQ(JnRegistryCreateKey(&service, &key), STATUS_SUCCESS);
    HANDLE child;
    UNICODE_STRING name = U(u"Parameters");
    ASSERT_EQ(JnRegistryOpenOrCreateKey(key, &name, KEY_ALL_ACCESS, &child), STATUS_SUCCESS);
    ZwClose(child);

    UNICODE_STRING path = U(keyPath);
    EXPECT_EQ(JnRegistryWriteDword(&path, KW_W("Count"), 42), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(JnRegistryReadDwordAt(&path, KW_W("Count"), &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(JnRegistryReadDword(key, KW_W("Missing"), &value), STATUS_OBJECT_NAME_NOT_FOUND);

    // Longer than the first 16-byte query: read again at its size.
    UNICODE_STRING text = U(u"A value longer than sixteen bytes");
    EXPECT_EQ(JnRegistryWriteString(&path, KW_W("Name"), REG_SZ, &text), STATUS_SUCCESS);
    CJnString read;
    EXPECT_EQ(JnRegistryReadString(key, KW_W("Name"), read), STATUS_SUCCESS);
    EXPECT_EQ(Text(read), u"A value longer than sixteen bytes");
    EXPECT_STREQ(read.m_Ansi(), "A value longer than sixteen bytes");
    UNICODE_STRING shortText = U(u"ab");
    EXPECT_EQ(JnRegistryWriteString(&path, KW_W("Short"), REG_EXPAND_SZ, &shortText), STATUS_SUCCESS);
    EXPECT_EQ(JnRegistryReadString(key, KW_W("Short"), read), STATUS_OBJECT_TYPE_MISMATCH) << "REG_SZ only";
    EXPECT_EQ(JnRegistryReadDword(key, KW_W("Name"), &value), STATUS_OBJECT_TYPE_MISMATCH) << "a string is no DWORD";
    EXPECT_EQ(JnRegistryWriteString(&path, KW_W("Multi"), REG_MULTI_SZ, &text), STATUS_INVALID_PARAMETER);

    // A DWORD must be exactly 4 bytes.
    RegKey k;
    ASSERT_EQ(GetRegistry().Open(nullptr, keyPath, &k), STATUS_SUCCESS);
    uint64_t eight = 1;
    GetRegistry().SetValue(k, u"Wide", REG_DWORD, &eight, 8);
    EXPECT_EQ(JnRegistryReadDword(key, KW_W("Wide"), &value), STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(key);
}

}  // namespace
}  // namespace kwsim::test
