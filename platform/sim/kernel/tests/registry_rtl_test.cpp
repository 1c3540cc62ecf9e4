// The Rtl registry helpers: the RelativeTo roots, and RtlQueryRegistryValues with direct
// results, query routines, defaults and required values.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "simkernel/registry.h"
#include "simtest.h"

namespace kwsim::test {
namespace {

class RegistryRtlTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        std::string error;
        ASSERT_TRUE(LoadRegistryText(R"(
[\Registry\Machine\System\CurrentControlSet\Services\KwQuery]
"LogLevel"=dword:00000003
"PortName"="COM5"
"Raw"=unterminated:"COM7"
"Path"=expand:"%SystemRoot%\\inf\\%NoSuchVariable%"
"Multi"=multi:"a","bc"
"Big"=qword:1122334455667788
"Blob"=hex:01,02,03,04,05

[\Registry\Machine\System\CurrentControlSet\Services\KwQuery\Parameters]
"Sub"=dword:00000007
)",
                                     &error))
            << error;
    }

    RegValue Value(const std::u16string& path, const std::u16string& name, NTSTATUS expect = STATUS_SUCCESS)
    {
        RegKey key;
        RegValue v;
        NTSTATUS status = GetRegistry().Open(nullptr, path, &key);
        if (NT_SUCCESS(status)) status = GetRegistry().QueryValue(key, name, &v);
        EXPECT_EQ(status, expect) << std::string(path.begin(), path.end());
        return v;
    }
};

const char16_t kQueryKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwQuery";

std::vector<uint8_t> Bytes(const void* p, size_t n)
{
    auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

std::u16string Text(const UNICODE_STRING& u) { return std::u16string(u.Buffer, u.Length / 2); }

TEST_F(RegistryRtlTest, WriteCheckCreateAndDeleteWithEveryRoot)
{
    HANDLE handle;
    ASSERT_EQ(OpenKeyHandle(u"\\Registry\\Machine\\Software", KEY_ALL_ACCESS, false, &handle), STATUS_SUCCESS);
    HANDLE reader;
    ASSERT_EQ(OpenKeyHandle(u"\\Registry\\Machine\\Software", KEY_READ, false, &reader), STATUS_SUCCESS);
    const char16_t data[] = u"\\Device\\KwSerial0";
    struct Case {
        ULONG relativeTo;
        PCWSTR path;
        NTSTATUS status;
        const char16_t* key;  // where the value lands
    } cases[] = {
        {RTL_REGISTRY_SERVICES, u"KwUSer36", STATUS_SUCCESS,
         u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwUSer36"},
        {RTL_REGISTRY_CONTROL, u"\\KwControl", STATUS_SUCCESS,
         u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\KwControl"},
        {RTL_REGISTRY_WINDOWS_NT, u"", STATUS_SUCCESS,
         u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"},
        {RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", STATUS_SUCCESS, u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM"},
        {RTL_REGISTRY_USER, u"KwUser", STATUS_SUCCESS, u"\\Registry\\User\\.Default\\KwUser"},
        {RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\KwAbsolute", STATUS_SUCCESS,
         u"\\Registry\\Machine\\Software\\KwAbsolute"},
        {RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"KwOptional", STATUS_SUCCESS,
         u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwOptional"},
        {RTL_REGISTRY_HANDLE, (PCWSTR)handle, STATUS_SUCCESS, u"\\Registry\\Machine\\Software"},
        {RTL_REGISTRY_HANDLE, (PCWSTR)reader, STATUS_ACCESS_DENIED},
        {RTL_REGISTRY_MAXIMUM, u"Anything", STATUS_INVALID_PARAMETER},
        {RTL_REGISTRY_SERVICES, u"KwNoParent\\Child", STATUS_OBJECT_NAME_NOT_FOUND},
        {RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\KwBesideTheHives", STATUS_ACCESS_DENIED},
        {RTL_REGISTRY_ABSOLUTE, u"Registry\\Machine\\Software", STATUS_OBJECT_PATH_SYNTAX_BAD},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "RelativeTo 0x" << std::hex << c.relativeTo);
        EXPECT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, u"\\Device\\KwSerial0", REG_SZ, (PVOID)data, sizeof data),
                  c.status);
        if (!NT_SUCCESS(c.status)) {
            if (!(c.relativeTo & RTL_REGISTRY_HANDLE)) {
                EXPECT_NE(RtlCheckRegistryKey(c.relativeTo, const_cast<PWSTR>(c.path)), STATUS_SUCCESS);
            }
            continue;
        }
        RegValue v = Value(c.key, u"\\device\\kwserial0");
        EXPECT_EQ(v.type, (ULONG)REG_SZ);
        EXPECT_EQ(v.data, Bytes(data, sizeof data));
        EXPECT_EQ(RtlCheckRegistryKey(c.relativeTo, const_cast<PWSTR>(c.path)), STATUS_SUCCESS);
        EXPECT_EQ(RtlDeleteRegistryValue(c.relativeTo, c.path, u"\\Device\\KwSerial0"), STATUS_SUCCESS);
        Value(c.key, u"\\Device\\KwSerial0", STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(RtlDeleteRegistryValue(c.relativeTo, c.path, u"\\Device\\KwSerial0"), STATUS_OBJECT_NAME_NOT_FOUND);
    }
    ZwClose(reader);
    ZwClose(handle);

    // Key creation and checks without values.
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)u"KwCreated"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)u"KwCreated"), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)u"kwcreated"), STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)u"KwCreated"), STATUS_SUCCESS) << "existing";
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)u"KwNo\\Deeper"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, u"KwMissing", u"V"), STATUS_OBJECT_NAME_NOT_FOUND);
}

// One direct entry per case; every case runs on the KwQuery key of the fixture.
TEST_F(RegistryRtlTest, DirectResultsDefaultsAndRequiredValues)
{
    alignas(8) UCHAR buf[64];
    ULONG ulong;
    UNICODE_STRING str;
    WCHAR small[4];
    const ULONG fallback = 42;
    const char16_t fallbackText[] = u"COM1";
    struct Case {
        const char* what;
        ULONG flags;
        const char16_t* name;
        std::function<PVOID()> prepare;  // returns the EntryContext
        ULONG defaultType;
        const void* defaultData;
        ULONG defaultLength;
        NTSTATUS status;
        std::function<void()> check;
    } cases[] = {
        {"DWORD into the ULONG", 0, u"LogLevel", [&] { ulong = 0xEEEE; return &ulong; }, REG_NONE, nullptr, 0,
         STATUS_SUCCESS, [&] { EXPECT_EQ(ulong, 3u); }},
        {"REG_SZ into a new buffer", 0, u"PortName", [&] { str = {}; return &str; }, REG_NONE, nullptr, 0,
         STATUS_SUCCESS,
         [&] {
             EXPECT_EQ(Text(str), u"COM5");
             EXPECT_EQ(str.MaximumLength, 10);
             EXPECT_EQ(str.Buffer[4], 0);
             RtlFreeUnicodeString(&str);
         }},
        {"REG_SZ into the caller's buffer", 0, u"PortName",
         [&] {
             str.Buffer = reinterpret_cast<PWSTR>(buf);
             str.Length = 0;
             str.MaximumLength = sizeof buf;
             return &str;
         },
         REG_NONE, nullptr, 0, STATUS_SUCCESS,
         [&] {
             EXPECT_EQ(Text(str), u"COM5");
             EXPECT_EQ(str.MaximumLength, sizeof buf);
         }},
        {"REG_SZ into a buffer too small", 0, u"PortName",
         [&] {
             str.Buffer = small;
             str.Length = 0;
             str.MaximumLength = sizeof small;
             return &str;
         },
         REG_NONE, nullptr, 0, STATUS_BUFFER_TOO_SMALL, [&] { EXPECT_EQ(str.Length, 0); }},
        {"REG_SZ stored without its terminator", 0, u"Raw", [&] { str = {}; return &str; }, REG_NONE, nullptr, 0,
         STATUS_SUCCESS,
         [&] {
             EXPECT_EQ(Text(str), u"COM7");
             EXPECT_EQ(str.Buffer[4], 0) << "terminated";
             RtlFreeUnicodeString(&str);
         }},
        {"REG_EXPAND_SZ expanded", 0, u"Path", [&] { str = {}; return &str; }, REG_NONE, nullptr, 0, STATUS_SUCCESS,
         [&] {
             EXPECT_EQ(Text(str), u"C:\\Windows\\inf\\%NoSuchVariable%");
             RtlFreeUnicodeString(&str);
         }},
        {"REG_EXPAND_SZ with NOEXPAND", RTL_QUERY_REGISTRY_NOEXPAND, u"Path", [&] { str = {}; return &str; },
         REG_NONE, nullptr, 0, STATUS_SUCCESS,
         [&] {
             EXPECT_EQ(Text(str), u"%SystemRoot%\\inf\\%NoSuchVariable%");
             RtlFreeUnicodeString(&str);
         }},
        {"REG_MULTI_SZ with NOEXPAND", RTL_QUERY_REGISTRY_NOEXPAND, u"Multi", [&] { str = {}; return &str; },
         REG_NONE, nullptr, 0, STATUS_SUCCESS,
         [&] {
             EXPECT_EQ(Text(str), std::u16string(u"a\0bc\0", 5));
             RtlFreeUnicodeString(&str);
         }},
        {"QWORD, data only", 0, u"Big",
         [&] {
             LONG size = -8;
             memcpy(buf, &size, 4);
             return buf;
         },
         REG_NONE, nullptr, 0, STATUS_SUCCESS,
         [&] {
             ULONGLONG q;
             memcpy(&q, buf, 8);
             EXPECT_EQ(q, 0x1122334455667788ull);
         }},
        {"binary with length and type", 0, u"Blob",
         [&] {
             LONG size = 13;
             memcpy(buf, &size, 4);
             return buf;
         },
         REG_NONE, nullptr, 0, STATUS_SUCCESS,
         [&] {
             ULONG head[2];
             memcpy(head, buf, 8);
             EXPECT_EQ(head[0], 5u);
             EXPECT_EQ(head[1], (ULONG)REG_BINARY);
             EXPECT_EQ(Bytes(buf + 8, 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
         }},
        {"binary into a buffer too small", 0, u"Blob",
         [&] {
             LONG size = 12;  // length, type and 4 of the 5 bytes
             memcpy(buf, &size, 4);
             return buf;
         },
         REG_NONE, nullptr, 0, STATUS_BUFFER_TOO_SMALL, [] {}},
        {"missing, DWORD default", 0, u"Missing", [&] { ulong = 0xEEEE; return &ulong; }, REG_DWORD, &fallback, 4,
         STATUS_SUCCESS, [&] { EXPECT_EQ(ulong, 42u); }},
        {"missing, REG_SZ default of computed length", 0, u"Missing", [&] { str = {}; return &str; }, REG_SZ,
         fallbackText, 0, STATUS_SUCCESS,
         [&] {
             EXPECT_EQ(Text(str), u"COM1");
             RtlFreeUnicodeString(&str);
         }},
        {"missing, no default: untouched", 0, u"Missing", [&] { ulong = 0xEEEE; return &ulong; }, REG_NONE, nullptr,
         0, STATUS_SUCCESS, [&] { EXPECT_EQ(ulong, 0xEEEEu); }},
        {"missing and required", RTL_QUERY_REGISTRY_REQUIRED, u"Missing", [&] { ulong = 0xEEEE; return &ulong; },
         REG_DWORD, &fallback, 4, STATUS_OBJECT_NAME_NOT_FOUND, [&] { EXPECT_EQ(ulong, 0xEEEEu); }},
        {"present and required", RTL_QUERY_REGISTRY_REQUIRED, u"LogLevel", [&] { return &ulong; }, REG_NONE,
         nullptr, 0, STATUS_SUCCESS, [&] { EXPECT_EQ(ulong, 3u); }},
        {"type check passes", RTL_QUERY_REGISTRY_TYPECHECK, u"LogLevel", [&] { return &ulong; },
         REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT, nullptr, 0, STATUS_SUCCESS, [&] { EXPECT_EQ(ulong, 3u); }},
        {"type check refuses a string for a ULONG", RTL_QUERY_REGISTRY_TYPECHECK, u"PortName",
         [&] { ulong = 0xEEEE; return &ulong; }, REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT, nullptr, 0,
         STATUS_OBJECT_TYPE_MISMATCH, [&] { EXPECT_EQ(ulong, 0xEEEEu); }},
        {"delete after reading", RTL_QUERY_REGISTRY_DELETE, u"LogLevel", [&] { return &ulong; }, REG_NONE, nullptr,
         0, STATUS_SUCCESS, [&] { Value(kQueryKey, u"LogLevel", STATUS_OBJECT_NAME_NOT_FOUND); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | c.flags;
        table[0].Name = const_cast<PWSTR>(c.name);
        table[0].EntryContext = c.prepare();
        table[0].DefaultType = c.defaultType;
        table[0].DefaultData = const_cast<void*>(c.defaultData);
        table[0].DefaultLength = c.defaultLength;
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"KwQuery", table, nullptr, nullptr), c.status);
        c.check();
    }

    // SUBKEY moves the following entries to a subkey of the top key, TOPKEY back.
    ULONG sub = 0, top = 0, wrongPlace = 0xEEEE;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_SUBKEY, (PWSTR)u"Parameters", nullptr, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Sub", &sub, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Big", &wrongPlace, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TOPKEY, (PWSTR)u"LogLevel", &top, REG_DWORD,
         (PVOID)&fallback, 4},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Sub", &wrongPlace, REG_NONE, nullptr, 0},
        {},
    };
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kQueryKey, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sub, 7u);
    EXPECT_EQ(top, 42u) << "LogLevel was deleted by the case above: the default";
    EXPECT_EQ(wrongPlace, 0xEEEEu);
    table[0].Name = (PWSTR)u"NoSuchSubkey";
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kQueryKey, table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // Malformed tables and missing keys.
    RTL_QUERY_REGISTRY_TABLE noName[] = {{nullptr, RTL_QUERY_REGISTRY_DIRECT, nullptr, &ulong}, {}};
    noName[0].QueryRoutine = [](PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"KwQuery", noName, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    RTL_QUERY_REGISTRY_TABLE nothingToDo[] = {{nullptr, 0, (PWSTR)u"Sub", nullptr}, {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"KwQuery", nothingToDo, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    RTL_QUERY_REGISTRY_TABLE one[] = {{nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Sub", &ulong}, {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"KwMissing", one, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"KwMissing", one, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "an optional key that is missing is still reported";
}

struct Call {
    std::u16string name;  // "(null)" for a null name
    ULONG type;
    std::vector<uint8_t> data;
    PVOID context;
    PVOID entryContext;
};

std::vector<Call>* gCalls;
NTSTATUS gStatus;

NTSTATUS Record(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                PVOID EntryContext)
{
    gCalls->push_back({ValueName ? std::u16string(ValueName) : u"(null)", ValueType, Bytes(ValueData, ValueLength),
                       Context, EntryContext});
    return gStatus;
}

std::vector<uint8_t> Sz(std::u16string_view s)
{
    std::u16string t(s);
    return Bytes(t.c_str(), (t.size() + 1) * 2);
}

std::vector<uint8_t> Dword(ULONG v) { return Bytes(&v, 4); }

TEST_F(RegistryRtlTest, QueryRoutinesSeeValuesAsDocumented)
{
    std::vector<Call> calls;
    gCalls = &calls;
    int context, entry;
    PVOID ctx = &context, ent = &entry;
    const char16_t fallback[] = u"x\0yz\0";
    const WCHAR environment[] = u"SystemRoot=D:\\W\0Other=1\0";
    HANDLE handle;
    ASSERT_EQ(OpenKeyHandle(kQueryKey, KEY_READ, false, &handle), STATUS_SUCCESS);
    const std::vector<uint8_t> multiRaw = Bytes(u"a\0bc\0", 12);
    struct Case {
        const char* what;
        ULONG flags;
        const char16_t* name;
        ULONG defaultType;
        const void* defaultData;
        ULONG defaultLength;
        NTSTATUS routineStatus;
        NTSTATUS status;
        std::vector<Call> expect;
        const WCHAR* environment = nullptr;
        ULONG relativeTo = RTL_REGISTRY_SERVICES;
    } cases[] = {
        {"one DWORD", 0, u"LogLevel", REG_NONE, nullptr, 0, STATUS_SUCCESS, STATUS_SUCCESS,
         {{u"LogLevel", REG_DWORD, Dword(3), ctx, ent}}},
        {"REG_SZ stored without terminator arrives terminated", 0, u"Raw", REG_NONE, nullptr, 0, STATUS_SUCCESS,
         STATUS_SUCCESS, {{u"Raw", REG_SZ, Sz(u"COM7"), ctx, ent}}},
        {"multi-string, one call per string", 0, u"Multi", REG_NONE, nullptr, 0, STATUS_SUCCESS, STATUS_SUCCESS,
         {{u"Multi", REG_SZ, Sz(u"a"), ctx, ent}, {u"Multi", REG_SZ, Sz(u"bc"), ctx, ent}}},
        {"multi-string with NOEXPAND", RTL_QUERY_REGISTRY_NOEXPAND, u"Multi", REG_NONE, nullptr, 0, STATUS_SUCCESS,
         STATUS_SUCCESS, {{u"Multi", REG_MULTI_SZ, multiRaw, ctx, ent}}},
        {"expanded", 0, u"Path", REG_NONE, nullptr, 0, STATUS_SUCCESS, STATUS_SUCCESS,
         {{u"Path", REG_SZ, Sz(u"C:\\Windows\\inf\\%NoSuchVariable%"), ctx, ent}}},
        {"expanded with the caller's environment", 0, u"Path", REG_NONE, nullptr, 0, STATUS_SUCCESS, STATUS_SUCCESS,
         {{u"Path", REG_SZ, Sz(u"D:\\W\\inf\\%NoSuchVariable%"), ctx, ent}}, environment},
        {"not expanded", RTL_QUERY_REGISTRY_NOEXPAND, u"Path", REG_NONE, nullptr, 0, STATUS_SUCCESS, STATUS_SUCCESS,
         {{u"Path", REG_EXPAND_SZ, Sz(u"%SystemRoot%\\inf\\%NoSuchVariable%"), ctx, ent}}},
        {"missing with a multi-string default", 0, u"Missing", REG_MULTI_SZ, fallback, 0, STATUS_SUCCESS,
         STATUS_SUCCESS, {{u"Missing", REG_SZ, Sz(u"x"), ctx, ent}, {u"Missing", REG_SZ, Sz(u"yz"), ctx, ent}}},
        {"missing without default: no call", 0, u"Missing", REG_NONE, nullptr, 0, STATUS_SUCCESS, STATUS_SUCCESS, {}},
        {"missing and required", RTL_QUERY_REGISTRY_REQUIRED, u"Missing", REG_SZ, fallback, 0, STATUS_SUCCESS,
         STATUS_OBJECT_NAME_NOT_FOUND, {}},
        {"every value of the key", 0, nullptr, REG_NONE, nullptr, 0, STATUS_SUCCESS, STATUS_SUCCESS,
         {{u"LogLevel", REG_DWORD, Dword(3), ctx, ent},
          {u"PortName", REG_SZ, Sz(u"COM5"), ctx, ent},
          {u"Raw", REG_SZ, Sz(u"COM7"), ctx, ent},
          {u"Path", REG_SZ, Sz(u"C:\\Windows\\inf\\%NoSuchVariable%"), ctx, ent},
          {u"Multi", REG_SZ, Sz(u"a"), ctx, ent},
          {u"Multi", REG_SZ, Sz(u"bc"), ctx, ent},
          {u"Big", REG_QWORD, Bytes("\x88\x77\x66\x55\x44\x33\x22\x11", 8), ctx, ent},
          {u"Blob", REG_BINARY, Bytes("\x01\x02\x03\x04\x05", 5), ctx, ent}}},
        {"every value of a subkey", RTL_QUERY_REGISTRY_SUBKEY, u"Parameters", REG_NONE, nullptr, 0, STATUS_SUCCESS,
         STATUS_SUCCESS, {{u"Sub", REG_DWORD, Dword(7), ctx, ent}}},
        {"no value wanted", RTL_QUERY_REGISTRY_NOVALUE, nullptr, REG_NONE, nullptr, 0, STATUS_SUCCESS, STATUS_SUCCESS,
         {{u"(null)", REG_NONE, {}, ctx, ent}}},
        {"the routine's failure ends the query", 0, u"Multi", REG_NONE, nullptr, 0, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, {{u"Multi", REG_SZ, Sz(u"a"), ctx, ent}}},
        {"through a handle", 0, u"PortName", REG_NONE, nullptr, 0, STATUS_SUCCESS, STATUS_SUCCESS,
         {{u"PortName", REG_SZ, Sz(u"COM5"), ctx, ent}}, nullptr, RTL_REGISTRY_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        calls.clear();
        gStatus = c.routineStatus;
        RTL_QUERY_REGISTRY_TABLE table[3] = {};
        table[0] = {Record, c.flags, const_cast<PWSTR>(c.name), ent, c.defaultType, const_cast<void*>(c.defaultData),
                    c.defaultLength};
        // Runs only after a success, in the top key again.
        table[1] = {Record, RTL_QUERY_REGISTRY_TOPKEY, (PWSTR)u"LogLevel", ent, REG_NONE, nullptr, 0};
        PCWSTR path = c.relativeTo == RTL_REGISTRY_HANDLE ? (PCWSTR)handle : u"KwQuery";
        EXPECT_EQ(RtlQueryRegistryValues(c.relativeTo, path, table, ctx, (PVOID)c.environment), c.status);
        std::vector<Call> expect = c.expect;
        if (NT_SUCCESS(c.status)) expect.push_back({u"LogLevel", REG_DWORD, Dword(3), ctx, ent});
        EXPECT_EQ(calls.size(), expect.size());
        for (size_t i = 0; i < std::min(calls.size(), expect.size()); i++) {
            EXPECT_EQ(calls[i].name, expect[i].name) << i;
            EXPECT_EQ(calls[i].type, expect[i].type) << i;
            EXPECT_EQ(calls[i].data, expect[i].data) << i;
            EXPECT_TRUE(calls[i].context == ctx && calls[i].entryContext == ent) << i;
        }
    }
    ZwClose(handle);
}

}  // namespace
}  // namespace kwsim::test
