// The Rtl registry helpers: keys named relative to the well-known roots, and
// RtlQueryRegistryValues with its table of routines and direct results.
#include <cstring>

#include "kernel_internal.h"
#include "registry_internal.h"

namespace kwsim::detail {
namespace {

constexpr ULONG kStringTag = KW_TAG("Strg");  // the tag RtlFreeUnicodeString frees with

// The system environment that REG_EXPAND_SZ values expand against.
const char16_t* const kSystemEnvironment[][2] = {
    {u"SystemRoot", u"C:\\Windows"},
    {u"windir", u"C:\\Windows"},
    {u"SystemDrive", u"C:"},
};

bool IsString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The key named by a RelativeTo/Path pair. With RTL_REGISTRY_HANDLE, Path is an open key
// handle that must grant `need`. Creation creates the last key only.
NTSTATUS RelativeKey(ULONG relativeTo, PCWSTR path, bool create, ACCESS_MASK need, RegKey* key)
{
    if (relativeTo & RTL_REGISTRY_HANDLE) return ResolveKeyHandle((HANDLE)path, need, key);
    // Optional or not, a missing key is an error the caller sees.
    ULONG root = relativeTo & ~(ULONG)RTL_REGISTRY_OPTIONAL;
    if (root >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
    std::u16string full;
    if (root != RTL_REGISTRY_ABSOLUTE) {
        full = kRtlRegistryRoots[root];
        if (!path || path[0] != u'\\') full += u'\\';
    }
    if (path) full += path;
    return create ? GetRegistry().Create(nullptr, full, 0, key) : GetRegistry().Open(nullptr, full, key);
}

size_t WideLength(const WCHAR* s)
{
    size_t n = 0;
    while (s[n]) n++;
    return n;
}

void Terminate(std::vector<uint8_t>& data)
{
    if (data.size() & 1) data.push_back(0);
    size_t n = data.size();
    if (n < 2 || data[n - 1] != 0 || data[n - 2] != 0) data.insert(data.end(), {0, 0});
}

std::u16string_view WideView(const std::vector<uint8_t>& data)
{
    return std::u16string_view(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
}

std::vector<uint8_t> Bytes(std::u16string_view s)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    std::vector<uint8_t> out(p, p + s.size() * 2);
    out.insert(out.end(), {0, 0});
    return out;
}

bool LookupVariable(std::u16string_view name, const WCHAR* environment, std::u16string* value)
{
    if (environment) {
        // NAME=VALUE\0NAME=VALUE\0\0
        for (const WCHAR* p = environment; *p; p += WideLength(p) + 1) {
            std::u16string_view entry(p);
            size_t eq = entry.find(u'=', 1);
            if (eq != std::u16string_view::npos && SameName(entry.substr(0, eq), name)) {
                *value = entry.substr(eq + 1);
                return true;
            }
        }
        return false;
    }
    for (auto& v : kSystemEnvironment)
        if (SameName(v[0], name)) {
            *value = v[1];
            return true;
        }
    return false;
}

// %NAME% is replaced by the variable's value; unknown names stay as they are.
std::u16string Expand(std::u16string_view text, const WCHAR* environment)
{
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t open = text.find(u'%', i);
        size_t close = open == std::u16string_view::npos ? open : text.find(u'%', open + 1);
        if (close == std::u16string_view::npos) break;
        out += text.substr(i, open - i);
        std::u16string value;
        if (LookupVariable(text.substr(open + 1, close - open - 1), environment, &value)) {
            out += value;
            i = close + 1;
        } else {
            out += u'%';
            i = open + 1;
        }
    }
    out += text.substr(i);
    return out;
}

struct Query {
    PVOID context;
    const WCHAR* environment;
};

// Direct results: strings into the caller's UNICODE_STRING (allocated when it has no
// buffer), values of up to four bytes into the ULONG, larger ones into a buffer whose
// first LONG is its size (negative: data only; positive: length, type, data).
NTSTATUS Direct(PVOID entryContext, ULONG type, std::vector<uint8_t>& data)
{
    ULONG length = (ULONG)data.size();
    if (IsString(type)) {
        PUNICODE_STRING s = static_cast<PUNICODE_STRING>(entryContext);
        if (length > MAXUSHORT - 1) {
            length = MAXUSHORT - 1;
            data[length - 1] = data[length - 2] = 0;
        }
        if (!s->Buffer) {
            s->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length, kStringTag));
            if (!s->Buffer) return STATUS_NO_MEMORY;
            s->MaximumLength = (USHORT)length;
        } else if (length > s->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(s->Buffer, data.data(), length);
        s->Length = (USHORT)(length - sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        if (length) memcpy(entryContext, data.data(), length);
        return STATUS_SUCCESS;
    }
    LONG size;
    memcpy(&size, entryContext, sizeof size);
    if (size < 0) {
        if ((ULONG)-(int64_t)size < length) return STATUS_BUFFER_TOO_SMALL;
        memcpy(entryContext, data.data(), length);
        return STATUS_SUCCESS;
    }
    if ((ULONG)size < 2 * sizeof(ULONG) + length) return STATUS_BUFFER_TOO_SMALL;
    ULONG head[2] = {length, type};
    memcpy(entryContext, head, sizeof head);
    memcpy(static_cast<uint8_t*>(entryContext) + sizeof head, data.data(), length);
    return STATUS_SUCCESS;
}

NTSTATUS Call(const RTL_QUERY_REGISTRY_TABLE& e, PWSTR name, ULONG type, std::vector<uint8_t>& data, const Query& q)
{
    if (e.Flags & RTL_QUERY_REGISTRY_DIRECT) return Direct(e.EntryContext, type, data);
    return e.QueryRoutine(name, type, data.empty() ? nullptr : data.data(), (ULONG)data.size(), q.context,
                          e.EntryContext);
}

// Hands one value to the entry: strings terminated, REG_EXPAND_SZ expanded into REG_SZ
// and REG_MULTI_SZ split into one REG_SZ per string, unless NOEXPAND.
NTSTATUS Present(const RTL_QUERY_REGISTRY_TABLE& e, PWSTR name, ULONG type, std::vector<uint8_t> data,
                 const Query& q)
{
    bool expand = !(e.Flags & RTL_QUERY_REGISTRY_NOEXPAND);
    if (IsString(type)) Terminate(data);
    if (expand && type == REG_EXPAND_SZ) {
        std::u16string_view text = WideView(data);
        data = Bytes(Expand(text.substr(0, text.find(u'\0')), q.environment));
        type = REG_SZ;
    }
    if (expand && type == REG_MULTI_SZ) {
        std::u16string_view all = WideView(data);
        for (size_t pos = 0; pos < all.size() && all[pos];) {
            size_t end = all.find(u'\0', pos);
            std::vector<uint8_t> one = Bytes(all.substr(pos, end - pos));
            NTSTATUS status = Call(e, name, REG_SZ, one, q);
            if (!NT_SUCCESS(status)) return status;
            pos = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return Call(e, name, type, data, q);
}

ULONG DefaultType(const RTL_QUERY_REGISTRY_TABLE& e)
{
    return (e.Flags & RTL_QUERY_REGISTRY_TYPECHECK) ? e.DefaultType & ~(ULONG)RTL_QUERY_REGISTRY_TYPECHECK_MASK
                                                    : e.DefaultType;
}

// A value the key does not have: required fails, a default is handed over instead,
// and without a default nothing happens.
NTSTATUS Absent(const RTL_QUERY_REGISTRY_TABLE& e, const Query& q)
{
    if (e.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG type = DefaultType(e);
    if (type == REG_NONE) return STATUS_SUCCESS;
    const uint8_t* p = static_cast<const uint8_t*>(e.DefaultData);
    size_t length = e.DefaultLength;
    if (!length && p && (type == REG_SZ || type == REG_EXPAND_SZ))
        length = (WideLength(static_cast<const WCHAR*>(e.DefaultData)) + 1) * sizeof(WCHAR);
    if (!length && p && type == REG_MULTI_SZ) {
        const WCHAR* w = static_cast<const WCHAR*>(e.DefaultData);
        size_t n = 0;
        while (w[n]) n += WideLength(w + n) + 1;
        length = (n + 1) * sizeof(WCHAR);
    }
    return Present(e, e.Name, type, std::vector<uint8_t>(p, p + (p ? length : 0)), q);
}

NTSTATUS QueryOne(const RegKey& key, const RTL_QUERY_REGISTRY_TABLE& e, const Query& q)
{
    RegValue v;
    NTSTATUS status = GetRegistry().QueryValue(key, e.Name, &v);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return Absent(e, q);
    if (!NT_SUCCESS(status)) return status;
    if ((e.Flags & RTL_QUERY_REGISTRY_DIRECT) && (e.Flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
        v.type != e.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
        return STATUS_OBJECT_TYPE_MISMATCH;
    status = Present(e, e.Name, v.type, std::move(v.data), q);
    if (NT_SUCCESS(status) && (e.Flags & RTL_QUERY_REGISTRY_DELETE)) GetRegistry().DeleteValue(key, e.Name);
    return status;
}

// Every value of the key, in order; a key without values counts as an absent value.
NTSTATUS QueryAll(const RegKey& key, const RTL_QUERY_REGISTRY_TABLE& e, const Query& q)
{
    for (ULONG i = 0;; i++) {
        RegValue v;
        NTSTATUS status = GetRegistry().EnumValue(key, i, &v);
        if (status == STATUS_NO_MORE_ENTRIES) return i == 0 ? Absent(e, q) : STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) return status;
        std::u16string name = v.name;  // the routine gets a terminated name
        status = Present(e, name.data(), v.type, std::move(v.data), q);
        if (!NT_SUCCESS(status)) return status;
    }
}

}  // namespace
}  // namespace kwsim::detail

using namespace kwsim;
using namespace kwsim::detail;

extern "C" {

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    RequirePassive("RtlWriteRegistryValue");
    RegKey key;
    NTSTATUS status = RelativeKey(RelativeTo, Path, true, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    return GetRegistry().SetValue(key, ValueName ? ValueName : u"", ValueType, ValueData, ValueLength);
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    RequirePassive("RtlDeleteRegistryValue");
    RegKey key;
    NTSTATUS status = RelativeKey(RelativeTo, Path, false, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    return GetRegistry().DeleteValue(key, ValueName ? ValueName : u"");
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    RequirePassive("RtlCheckRegistryKey");
    RegKey key;
    return RelativeKey(RelativeTo, Path, false, 0, &key);
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    RequirePassive("RtlCreateRegistryKey");
    RegKey key;
    return RelativeKey(RelativeTo, Path, true, 0, &key);
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment)
{
    RequirePassive("RtlQueryRegistryValues");
    if (!QueryTable) {
        Verify("RtlQueryRegistryValues with a null QueryTable");
        return STATUS_ACCESS_VIOLATION;
    }
    RegKey top;
    NTSTATUS status = RelativeKey(RelativeTo, Path, false, KEY_QUERY_VALUE, &top);
    if (!NT_SUCCESS(status)) return status;
    const Query q{Context, static_cast<const WCHAR*>(Environment)};
    RegKey current = top;
    // The table ends with an entry that has neither a routine nor a name.
    for (PRTL_QUERY_REGISTRY_TABLE e = QueryTable; e->QueryRoutine || e->Name; e++) {
        const bool direct = (e->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (direct ? !e->Name || !e->EntryContext : !e->QueryRoutine && !(e->Flags & RTL_QUERY_REGISTRY_SUBKEY))
            return STATUS_INVALID_PARAMETER;
        if (e->Flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) current = top;
        if (e->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            // Following entries read the subkey (a subkey of the top key, not of the last).
            if (!e->Name) return STATUS_INVALID_PARAMETER;
            status = GetRegistry().Open(top, e->Name, &current);
            if (NT_SUCCESS(status) && e->QueryRoutine) status = QueryAll(current, *e, q);
        } else if (!e->Name && (e->Flags & RTL_QUERY_REGISTRY_NOVALUE)) {
            status = e->QueryRoutine(nullptr, REG_NONE, nullptr, 0, Context, e->EntryContext);
        } else if (e->Name) {
            status = QueryOne(current, *e, q);
        } else {
            status = QueryAll(current, *e, q);
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
