// The registry through kernel handles: key creation and lookup, values in the three
// information classes, enumeration, deletion, access rights, the verifier and leaks.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "simkernel/registry.h"
#include "simtest.h"

namespace kwsim::test {
namespace {

class RegistryTest : public SimTest {};

const char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

struct Name {
    std::u16string text;
    UNICODE_STRING u{};
    explicit Name(std::u16string s) : text(std::move(s))
    {
        u.Buffer = text.data();
        u.Length = u.MaximumLength = (USHORT)(text.size() * 2);
    }
    PUNICODE_STRING operator&() { return &u; }
};

NTSTATUS Create(HANDLE* h, const std::u16string& path, HANDLE root = nullptr, ULONG options = 0,
                ULONG* disposition = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS)
{
    Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(h, access, &oa, 0, nullptr, options, disposition);
}

NTSTATUS Open(HANDLE* h, const std::u16string& path, ACCESS_MASK access = KEY_ALL_ACCESS, HANDLE root = nullptr)
{
    Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(h, access, &oa);
}

NTSTATUS Set(HANDLE h, const std::u16string& name, ULONG type, const void* data, ULONG size)
{
    Name n(name);
    return ZwSetValueKey(h, &n, 0, type, const_cast<void*>(data), size);
}

std::u16string Wide(const WCHAR* p, ULONG bytes) { return std::u16string(p, bytes / 2); }

// The key's own name (KeyBasicInformation) or its full path (KeyNameInformation).
std::u16string KeyName(HANDLE h, KEY_INFORMATION_CLASS cls = KeyBasicInformation)
{
    alignas(8) UCHAR buf[512];
    ULONG len;
    EXPECT_EQ(ZwQueryKey(h, cls, buf, sizeof buf, &len), STATUS_SUCCESS);
    if (cls == KeyNameInformation) {
        auto* info = reinterpret_cast<KEY_NAME_INFORMATION*>(buf);
        return Wide(info->Name, info->NameLength);
    }
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buf);
    return Wide(info->Name, info->NameLength);
}

TEST_F(RegistryTest, CreateAndOpenFollowTheNameAndPathRules)
{
    const std::u16string svc = kServices;
    HANDLE services, vol;
    ASSERT_EQ(Open(&services, svc), STATUS_SUCCESS);
    ULONG disposition;
    ASSERT_EQ(Create(&vol, svc + u"\\KwVolatile", nullptr, REG_OPTION_VOLATILE, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    struct Case {
        const char* what;
        bool create;
        std::u16string path;
        HANDLE root;
        ULONG options;
        NTSTATUS status;
        ULONG disposition;  // create only
        std::u16string name;  // the name the opened key reports
    } cases[] = {
        {"new key", true, svc + u"\\KwTest", nullptr, 0, STATUS_SUCCESS, REG_CREATED_NEW_KEY, u"KwTest"},
        {"same key in other case", true, u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\KWTEST",
         nullptr, 0, STATUS_SUCCESS, REG_OPENED_EXISTING_KEY, u"KwTest"},
        {"opened in other case", false, svc + u"\\kwtest", nullptr, 0, STATUS_SUCCESS, 0, u"KwTest"},
        {"volatile asked of an existing key", true, svc + u"\\KwTest", nullptr, REG_OPTION_VOLATILE,
         STATUS_SUCCESS, REG_OPENED_EXISTING_KEY, u"KwTest"},
        {"relative to a key handle", true, u"KwRel", services, 0, STATUS_SUCCESS, REG_CREATED_NEW_KEY, u"KwRel"},
        {"relative, empty: the root key itself", false, u"", services, 0, STATUS_SUCCESS, 0, u"Services"},
        {"trailing backslash", false, svc + u"\\", nullptr, 0, STATUS_SUCCESS, 0, u"Services"},
        {"the registry root", false, u"\\Registry", nullptr, 0, STATUS_SUCCESS, 0, u"Registry"},
        {"parent missing", true, svc + u"\\KwNoParent\\Child", nullptr, 0, STATUS_OBJECT_NAME_NOT_FOUND},
        {"missing key", false, svc + u"\\KwNothing", nullptr, 0, STATUS_OBJECT_NAME_NOT_FOUND},
        {"missing on the way", false, svc + u"\\KwNothing\\Child", nullptr, 0, STATUS_OBJECT_NAME_NOT_FOUND},
        {"outside the registry", false, u"\\Device\\Serial0", nullptr, 0, STATUS_OBJECT_NAME_NOT_FOUND},
        {"relative path with a root backslash", false, u"\\KwRel", services, 0, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"absolute path without a backslash", false, u"Registry\\Machine", nullptr, 0,
         STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"empty name on the way", false, u"\\Registry\\Machine\\\\System", nullptr, 0, STATUS_OBJECT_NAME_INVALID},
        {"new key beside the hives", true, u"\\Registry\\Machine\\KwHive", nullptr, 0, STATUS_ACCESS_DENIED},
        {"link option", true, svc + u"\\KwLink", nullptr, REG_OPTION_CREATE_LINK, STATUS_INVALID_PARAMETER},
        {"stable child of a volatile key", true, u"Stable", vol, 0, STATUS_CHILD_MUST_BE_VOLATILE},
        {"volatile child of a volatile key", true, u"Fleeting", vol, REG_OPTION_VOLATILE, STATUS_SUCCESS,
         REG_CREATED_NEW_KEY, u"Fleeting"},
    };
    for (const Case& c : cases) {
        HANDLE h = reinterpret_cast<HANDLE>(0x1234);
        disposition = 0;
        NTSTATUS status = c.create ? Create(&h, c.path, c.root, c.options, &disposition) : Open(&h, c.path, KEY_ALL_ACCESS, c.root);
        EXPECT_EQ(status, c.status) << c.what;
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(h, nullptr) << c.what;
            continue;
        }
        if (c.create) { EXPECT_EQ(disposition, c.disposition) << c.what; }
        EXPECT_EQ(KeyName(h), c.name) << c.what;
        ZwClose(h);
    }
    HANDLE test;
    ASSERT_EQ(Open(&test, svc + u"\\KWTEST"), STATUS_SUCCESS);
    EXPECT_EQ(KeyName(test, KeyNameInformation), svc + u"\\KwTest") << "the path keeps the case of creation";
    ZwClose(test);

    OBJECT_ATTRIBUTES unset{};
    HANDLE h;
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &unset), STATUS_INVALID_PARAMETER) << "ObjectAttributes.Length is checked";
    ZwClose(vol);
    ZwClose(services);
}

// One value queried in every class with every buffer size that matters.
TEST_F(RegistryTest, ValueQueryFillsWhatFitsAndAlwaysReportsTheNeededLength)
{
    HANDLE h;
    ASSERT_EQ(Create(&h, std::u16string(kServices) + u"\\KwValues"), STATUS_SUCCESS);
    const char16_t data[] = u"COM5";  // 10 bytes with the terminator
    ASSERT_EQ(Set(h, u"PortName", REG_SZ, data, sizeof data), STATUS_SUCCESS);

    const ULONG basicFixed = 12, basicAll = 12 + 16;
    const ULONG fullFixed = 20, fullDataOffset = 36, fullAll = 36 + 10;
    const ULONG partialFixed = 12, partialAll = 12 + 10;
    struct Case {
        KEY_VALUE_INFORMATION_CLASS cls;
        ULONG length;
        NTSTATUS status;
        ULONG needed;
    } cases[] = {
        {KeyValueBasicInformation, 0, STATUS_BUFFER_TOO_SMALL, basicAll},
        {KeyValueBasicInformation, basicFixed - 1, STATUS_BUFFER_TOO_SMALL, basicAll},
        {KeyValueBasicInformation, basicFixed, STATUS_BUFFER_OVERFLOW, basicAll},
        {KeyValueBasicInformation, basicAll - 1, STATUS_BUFFER_OVERFLOW, basicAll},
        {KeyValueBasicInformation, basicAll, STATUS_SUCCESS, basicAll},
        {KeyValueFullInformation, fullFixed - 1, STATUS_BUFFER_TOO_SMALL, fullAll},
        {KeyValueFullInformation, fullFixed, STATUS_BUFFER_OVERFLOW, fullAll},
        {KeyValueFullInformation, fullAll - 1, STATUS_BUFFER_OVERFLOW, fullAll},
        {KeyValueFullInformation, fullAll + 8, STATUS_SUCCESS, fullAll},
        {KeyValuePartialInformation, partialFixed - 1, STATUS_BUFFER_TOO_SMALL, partialAll},
        {KeyValuePartialInformation, partialFixed, STATUS_BUFFER_OVERFLOW, partialAll},
        {KeyValuePartialInformation, 16, STATUS_BUFFER_OVERFLOW, partialAll},  // sizeof the structure
        {KeyValuePartialInformation, partialAll, STATUS_SUCCESS, partialAll},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << c.cls << ", length " << c.length);
        std::vector<UCHAR> buf(c.length + 16, 0xCC);
        ULONG result = 0xDEAD;
        Name name(u"PORTNAME");  // value names are case-insensitive too
        EXPECT_EQ(ZwQueryValueKey(h, &name, c.cls, buf.data(), c.length, &result), c.status);
        EXPECT_EQ(result, c.needed);
        for (size_t i = c.length; i < buf.size(); i++) ASSERT_EQ(buf[i], 0xCC) << "written past the length at " << i;
        if (c.status == STATUS_BUFFER_TOO_SMALL) continue;
        // The fixed part is filled whenever it fits.
        if (c.cls == KeyValueBasicInformation) {
            auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buf.data());
            EXPECT_EQ(info->Type, (ULONG)REG_SZ);
            EXPECT_EQ(info->NameLength, 16u);
            if (c.status == STATUS_SUCCESS) { EXPECT_EQ(Wide(info->Name, info->NameLength), u"PortName"); }
        } else if (c.cls == KeyValueFullInformation) {
            auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buf.data());
            EXPECT_EQ(info->Type, (ULONG)REG_SZ);
            EXPECT_EQ(info->DataOffset, fullDataOffset);
            EXPECT_EQ(info->DataLength, 10u);
            EXPECT_EQ(info->NameLength, 16u);
            if (c.status == STATUS_SUCCESS) {
                EXPECT_EQ(Wide(info->Name, info->NameLength), u"PortName");
                EXPECT_EQ(memcmp(buf.data() + info->DataOffset, data, sizeof data), 0);
            }
        } else {
            auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buf.data());
            EXPECT_EQ(info->Type, (ULONG)REG_SZ);
            EXPECT_EQ(info->DataLength, 10u);
            if (c.status == STATUS_SUCCESS) { EXPECT_EQ(memcmp(info->Data, data, sizeof data), 0); }
        }
    }

    // Types and bytes are kept as written; a rewrite replaces both and keeps the name.
    const UCHAR blob[] = {1, 2, 3};
    const ULONGLONG big = 0x1122334455667788ull;
    struct Stored {
        const char16_t* name;
        ULONG type;
        const void* data;
        ULONG size;
    } stored[] = {
        {u"PortName", REG_BINARY, blob, sizeof blob},  // rewrite through the other case below
        {u"Nothing", REG_NONE, nullptr, 0},
        {u"Big", REG_QWORD, &big, sizeof big},
        {u"", REG_SZ, u"default", 16},
        {u"Odd", 0x12345, blob, 2},
    };
    for (const Stored& s : stored) {
        std::u16string n = s.name;
        if (n == u"PortName") n = u"portname";
        ASSERT_EQ(Set(h, n, s.type, s.data, s.size), STATUS_SUCCESS);
    }
    for (const Stored& s : stored) {
        alignas(8) UCHAR buf[64];
        ULONG len;
        Name name(s.name);
        ASSERT_EQ(ZwQueryValueKey(h, &name, KeyValueFullInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buf);
        EXPECT_EQ(Wide(info->Name, info->NameLength), s.name) << "stored name keeps its first case";
        EXPECT_EQ(info->Type, s.type);
        ASSERT_EQ(info->DataLength, s.size);
        if (s.size) { EXPECT_EQ(memcmp(buf + info->DataOffset, s.data, s.size), 0); }
    }

    ULONG len = 7;
    UCHAR buf[64];
    Name missing(u"NoSuchValue");
    EXPECT_EQ(ZwQueryValueKey(h, &missing, KeyValuePartialInformation, buf, sizeof buf, &len),
              STATUS_OBJECT_NAME_NOT_FOUND);
    Name port(u"PortName");
    EXPECT_EQ(ZwQueryValueKey(h, &port, KeyValueLayerInformation, buf, sizeof buf, &len), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwDeleteValueKey(h, &port), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(h, &port), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwQueryValueKey(h, &port, KeyValuePartialInformation, buf, sizeof buf, &len),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(h);
}

TEST_F(RegistryTest, EnumerationOrderClassesAndEnd)
{
    HANDLE parent;
    ASSERT_EQ(Create(&parent, std::u16string(kServices) + u"\\KwEnum"), STATUS_SUCCESS);
    const int64_t created = SystemTimeAtBoot() + Now();
    // Subkeys come in the order of their upcased names: "_X" after "GAMMA" ('_' is
    // above 'Z' but below 'a').
    for (const char16_t* n : {u"beta", u"Alpha", u"gamma", u"_x", u"ALPHA2"}) {
        HANDLE h;
        ASSERT_EQ(Create(&h, n, parent), STATUS_SUCCESS);
        ZwClose(h);
    }
    HANDLE classed;
    Name cls(u"KwClass");
    Name classedName(u"Classed");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &classedName, OBJ_KERNEL_HANDLE, parent, nullptr);
    ASSERT_EQ(ZwCreateKey(&classed, KEY_ALL_ACCESS, &oa, 0, &cls, 0, nullptr), STATUS_SUCCESS);
    ZwClose(classed);

    std::vector<std::u16string> names;
    alignas(8) UCHAR buf[256];
    ULONG len;
    ULONG i = 0;
    NTSTATUS status;
    while ((status = ZwEnumerateKey(parent, i++, KeyBasicInformation, buf, sizeof buf, &len)) == STATUS_SUCCESS) {
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buf);
        names.push_back(Wide(info->Name, info->NameLength));
        EXPECT_EQ(len, 16 + info->NameLength);
        EXPECT_EQ(info->LastWriteTime.QuadPart, created);
    }
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"ALPHA2", u"beta", u"Classed", u"gamma", u"_x"}));
    EXPECT_EQ(ZwEnumerateKey(parent, 99, KeyBasicInformation, buf, sizeof buf, &len), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwEnumerateKey(parent, 0, KeyBasicInformation, buf, 20, &len), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(len, 16u + 10);
    EXPECT_EQ(ZwEnumerateKey(parent, 0, KeyNameInformation, buf, sizeof buf, &len), STATUS_INVALID_PARAMETER);

    // Node information: the class follows the name at a ULONG boundary.
    ASSERT_EQ(ZwEnumerateKey(parent, 3, KeyNodeInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    auto* node = reinterpret_cast<KEY_NODE_INFORMATION*>(buf);
    EXPECT_EQ(Wide(node->Name, node->NameLength), u"Classed");
    EXPECT_EQ(node->ClassOffset, 24u + 16);
    EXPECT_EQ(node->ClassLength, 14u);
    EXPECT_EQ(Wide(reinterpret_cast<WCHAR*>(buf + node->ClassOffset), node->ClassLength), u"KwClass");
    EXPECT_EQ(len, 24u + 16 + 14);
    ASSERT_EQ(ZwEnumerateKey(parent, 0, KeyNodeInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    EXPECT_EQ(node->ClassOffset, 0xFFFFFFFFu) << "no class";
    EXPECT_EQ(len, 24u + 10);

    // Values come in the order first set; a rewrite keeps the place, a delete closes the gap.
    Advance(5 * kMs);
    const ULONG one = 1;
    for (const char16_t* n : {u"zeta", u"a", u"Mid", u"ZETA"}) ASSERT_EQ(Set(parent, n, REG_DWORD, &one, 4), STATUS_SUCCESS);
    Name a(u"A");
    ASSERT_EQ(ZwDeleteValueKey(parent, &a), STATUS_SUCCESS);
    ASSERT_EQ(Set(parent, u"LongestValueName", REG_BINARY, buf, 40), STATUS_SUCCESS);
    std::vector<std::u16string> values;
    for (i = 0; (status = ZwEnumerateValueKey(parent, i, KeyValueBasicInformation, buf, sizeof buf, &len)) ==
                STATUS_SUCCESS;
         i++) {
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buf);
        values.push_back(Wide(info->Name, info->NameLength));
    }
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(values, (std::vector<std::u16string>{u"zeta", u"Mid", u"LongestValueName"}));
    ASSERT_EQ(ZwEnumerateValueKey(parent, 2, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buf)->DataLength, 40u);
    EXPECT_EQ(ZwEnumerateValueKey(parent, 0, KeyValueFullInformation, buf, 20, &len), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(len, 20u + 8 + 4);

    // Full information counts and measures; the last write is the last value change.
    ASSERT_EQ(ZwQueryKey(parent, KeyFullInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buf);
    EXPECT_EQ(len, 44u);
    EXPECT_EQ(full->ClassOffset, 0xFFFFFFFFu);
    EXPECT_EQ(full->SubKeys, 6u);
    EXPECT_EQ(full->MaxNameLen, 14u);  // "Classed"
    EXPECT_EQ(full->MaxClassLen, 14u);
    EXPECT_EQ(full->Values, 3u);
    EXPECT_EQ(full->MaxValueNameLen, 32u);
    EXPECT_EQ(full->MaxValueDataLen, 40u);
    EXPECT_EQ(full->LastWriteTime.QuadPart, created + 5 * kMs);
    ZwClose(parent);
}

TEST_F(RegistryTest, DeleteRulesAndDeletedKeys)
{
    const std::u16string base = std::u16string(kServices) + u"\\KwDelete";
    HANDLE parent, child, stale;
    ASSERT_EQ(Create(&parent, base), STATUS_SUCCESS);
    ASSERT_EQ(Create(&child, u"Child", parent), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE) << "a key with subkeys stays";
    ASSERT_EQ(Open(&stale, base + u"\\Child"), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);

    // Every handle of the deleted key now reports it deleted; closing still works.
    alignas(8) UCHAR buf[128];
    ULONG len;
    Name value(u"V");
    const ULONG one = 1;
    HANDLE h;
    ULONG disposition;
    struct Op {
        const char* what;
        std::function<NTSTATUS(HANDLE)> run;
    } ops[] = {
        {"ZwQueryValueKey", [&](HANDLE k) { return ZwQueryValueKey(k, &value, KeyValuePartialInformation, buf, sizeof buf, &len); }},
        {"ZwSetValueKey", [&](HANDLE k) { return Set(k, u"V", REG_DWORD, &one, 4); }},
        {"ZwDeleteValueKey", [&](HANDLE k) { return ZwDeleteValueKey(k, &value); }},
        {"ZwEnumerateKey", [&](HANDLE k) { return ZwEnumerateKey(k, 0, KeyBasicInformation, buf, sizeof buf, &len); }},
        {"ZwEnumerateValueKey", [&](HANDLE k) { return ZwEnumerateValueKey(k, 0, KeyValueBasicInformation, buf, sizeof buf, &len); }},
        {"ZwQueryKey", [&](HANDLE k) { return ZwQueryKey(k, KeyFullInformation, buf, sizeof buf, &len); }},
        {"ZwQueryKey by name", [&](HANDLE k) { return ZwQueryKey(k, KeyNameInformation, buf, sizeof buf, &len); }},
        {"ZwFlushKey", [&](HANDLE k) { return ZwFlushKey(k); }},
        {"ZwCreateKey below", [&](HANDLE k) { return Create(&h, u"Grandchild", k); }},
        {"ZwOpenKey itself", [&](HANDLE k) { return Open(&h, u"", KEY_READ, k); }},
        {"ZwDeleteKey again", [&](HANDLE k) { return ZwDeleteKey(k); }},
    };
    for (HANDLE k : {child, stale})
        for (const Op& op : ops) EXPECT_EQ(op.run(k), STATUS_KEY_DELETED) << op.what;
    EXPECT_EQ(ZwClose(stale), STATUS_SUCCESS);
    EXPECT_EQ(Open(&h, base + u"\\Child"), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Create(&h, u"child", parent, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY) << "the name is free again";
    EXPECT_EQ(ZwFlushKey(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryKey(child, KeyBasicInformation, buf, sizeof buf, &len), STATUS_KEY_DELETED)
        << "the old handle still sees the old key";
    ZwClose(child);
    ZwDeleteKey(h);
    ZwClose(h);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS) << "without subkeys";
    ZwClose(parent);

    // Hive keys are never deleted.
    ASSERT_EQ(Open(&h, u"\\Registry\\User\\.Default"), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(h), STATUS_CANNOT_DELETE) << "an empty hive key";
    ZwClose(h);
}

TEST_F(RegistryTest, HandlesGrantOnlyTheirAccess)
{
    HANDLE full;
    ASSERT_EQ(Create(&full, std::u16string(kServices) + u"\\KwAccess"), STATUS_SUCCESS);
    const ULONG one = 1;
    ASSERT_EQ(Set(full, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    alignas(8) UCHAR buf[128];
    ULONG len;
    Name value(u"V");
    struct Op {
        const char* what;
        std::function<NTSTATUS(HANDLE)> run;
    } query{"query", [&](HANDLE k) { return ZwQueryValueKey(k, &value, KeyValuePartialInformation, buf, sizeof buf, &len); }},
        set{"set", [&](HANDLE k) { return Set(k, u"V", REG_DWORD, &one, 4); }},
        enumerate{"enumerate", [&](HANDLE k) { return ZwEnumerateKey(k, 0, KeyBasicInformation, buf, sizeof buf, &len); }},
        info{"query key", [&](HANDLE k) { return ZwQueryKey(k, KeyFullInformation, buf, sizeof buf, &len); }},
        name{"key name", [&](HANDLE k) { return ZwQueryKey(k, KeyNameInformation, buf, sizeof buf, &len); }};
    struct Case {
        ACCESS_MASK access;
        const Op& op;
        NTSTATUS status;
    } cases[] = {
        {KEY_READ, query, STATUS_SUCCESS},
        {KEY_READ, set, STATUS_ACCESS_DENIED},
        {KEY_READ, enumerate, STATUS_NO_MORE_ENTRIES},
        {KEY_WRITE, query, STATUS_ACCESS_DENIED},
        {KEY_WRITE, set, STATUS_SUCCESS},
        {KEY_WRITE, enumerate, STATUS_ACCESS_DENIED},
        {KEY_WRITE, info, STATUS_ACCESS_DENIED},
        {KEY_QUERY_VALUE, enumerate, STATUS_ACCESS_DENIED},
        {GENERIC_READ, query, STATUS_SUCCESS},
        {GENERIC_WRITE, set, STATUS_SUCCESS},
        {GENERIC_ALL, set, STATUS_SUCCESS},
        {MAXIMUM_ALLOWED, set, STATUS_SUCCESS},
        {0, name, STATUS_SUCCESS},
        {0, info, STATUS_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        HANDLE h;
        ASSERT_EQ(Open(&h, u"", c.access, full), STATUS_SUCCESS);
        EXPECT_EQ(c.op.run(h), c.status) << c.op.what << " with access 0x" << std::hex << c.access;
        ZwClose(h);
    }
    HANDLE writer;
    ASSERT_EQ(Open(&writer, u"", KEY_WRITE, full), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(writer), STATUS_ACCESS_DENIED) << "KEY_WRITE lacks DELETE";
    ZwClose(writer);

    // A closed handle, and a handle that is no key.
    HANDLE closed;
    ASSERT_EQ(Open(&closed, u"", KEY_READ, full), STATUS_SUCCESS);
    ZwClose(closed);
    EXPECT_EQ(query.run(closed), STATUS_INVALID_HANDLE);
    HANDLE thread;
    ASSERT_EQ(PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(query.run(thread), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(Open(&closed, u"", KEY_READ, thread), STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(thread);
    EXPECT_EQ(ZwDeleteKey(full), STATUS_SUCCESS);
    ZwClose(full);
}

TEST_F(RegistryTest, RegistryCallsAbovePassiveLevelAreCaught)
{
    HANDLE h;
    ASSERT_EQ(Create(&h, std::u16string(kServices) + u"\\KwIrql"), STATUS_SUCCESS);
    alignas(8) UCHAR buf[64];
    ULONG len;
    const ULONG one = 1;
    Name value(u"V");
    HANDLE spare, opened = nullptr;
    ASSERT_EQ(Open(&spare, u"", KEY_READ, h), STATUS_SUCCESS);
    struct Case {
        const char* routine;
        std::function<void()> call;
    } cases[] = {
        {"ZwSetValueKey", [&] { Set(h, u"V", REG_DWORD, &one, 4); }},
        {"ZwQueryValueKey", [&] { ZwQueryValueKey(h, &value, KeyValuePartialInformation, buf, sizeof buf, &len); }},
        {"ZwOpenKey", [&] { EXPECT_EQ(Open(&opened, u"", KEY_READ, h), STATUS_SUCCESS); }},
        {"RtlWriteRegistryValue", [&] { RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"KwIrql", u"W", REG_DWORD, (PVOID)&one, 4); }},
        {"ZwClose", [&] { ZwClose(spare); }},
    };
    int seen = 0;
    for (const Case& c : cases) {
        ExpectReport(ReportKind::Verifier, std::string(c.routine) + " called above PASSIVE_LEVEL");
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        c.call();
        KeLowerIrql(old);
        EXPECT_EQ(ExpectedReportsSeen(), ++seen) << c.routine;
    }
    ZwClose(opened);
    ZwDeleteKey(h);
    ZwClose(h);
}

TEST_F(RegistryTest, AnOpenKeyHandleIsReportedAtShutdown)
{
    HANDLE h;
    ASSERT_EQ(Create(&h, std::u16string(kServices) + u"\\KwLeak"), STATUS_SUCCESS);
    HANDLE closed;
    ASSERT_EQ(Open(&closed, u"", KEY_READ, h), STATUS_SUCCESS);
    ZwClose(closed);
    ExpectReport(ReportKind::Leak,
                 "to Key '\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwLeak' object is still open");
}

TEST_F(RegistryTest, BootStartsFromTheSkeletonAndLoadingCreatesTheServiceKey)
{
    Registry& reg = GetRegistry();
    RegKey key;
    for (const char* path : {"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                             "\\Registry\\Machine\\System\\CurrentControlSet\\Control",
                             "\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
                             "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
                             "\\Registry\\Machine\\Hardware\\DeviceMap", "\\Registry\\User\\.Default"}) {
        std::u16string wide(path, path + strlen(path));
        EXPECT_EQ(reg.Open(nullptr, wide, &key), STATUS_SUCCESS) << path;
    }
    EXPECT_EQ(reg.Open(nullptr, u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", &key),
              STATUS_OBJECT_NAME_NOT_FOUND) << "created by its users";

    // The loader creates a missing service key and keeps an existing one as it is.
    const std::u16string sample = std::u16string(kServices) + u"\\KwSample";
    EXPECT_EQ(reg.Open(nullptr, sample, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    LoadedDriver d = LoadDriver("KwSample");
    ASSERT_EQ(d.entryStatus, STATUS_SUCCESS);
    ASSERT_TRUE(UnloadDriver(d));
    ASSERT_EQ(reg.Open(nullptr, sample, &key), STATUS_SUCCESS);
    const ULONG start = 3;
    ASSERT_EQ(reg.SetValue(key, u"Start", REG_DWORD, &start, 4), STATUS_SUCCESS);
    d = LoadDriver("KwSample");
    ASSERT_TRUE(UnloadDriver(d));
    RegValue v;
    EXPECT_EQ(reg.QueryValue(key, u"start", &v), STATUS_SUCCESS);

    // The next boot has a fresh tree; references from before see deleted keys.
    ShutdownAndCheck();
    Boot({});
    EXPECT_TRUE(reg.IsDeleted(key));
    EXPECT_EQ(reg.SetValue(key, u"Start", REG_DWORD, &start, 4), STATUS_KEY_DELETED);
    RegKey again;
    EXPECT_EQ(reg.Open(nullptr, sample, &again), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(Shutdown().empty());
}

}  // namespace
}  // namespace kwsim::test
