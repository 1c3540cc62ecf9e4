// Key handles and the Zw* key routines: the registry tree seen through kernel handles,
// with the information structures packed as the kernel returns them.
#include <algorithm>
#include <cstring>
#include <new>

#include "kernel_internal.h"
#include "registry_internal.h"

namespace kwsim::detail {

namespace {

struct KeyObject {
    RegKey key;
    ACCESS_MASK access;
    std::string path;  // for the leak report
};

std::string DescribeKey(const void* body) { return "'" + static_cast<const KeyObject*>(body)->path + "'"; }
void DestroyKey(void* body) { static_cast<KeyObject*>(body)->~KeyObject(); }

_OBJECT_TYPE gKeyType{"Key", false, DescribeKey};

ACCESS_MASK MapKeyAccess(ACCESS_MASK a)
{
    const ACCESS_MASK generic = (ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    ACCESS_MASK m = a & ~(generic | (ACCESS_MASK)MAXIMUM_ALLOWED | (ACCESS_MASK)KEY_WOW64_RES);
    if (a & (ACCESS_MASK)GENERIC_READ) m |= KEY_READ;
    if (a & (ACCESS_MASK)GENERIC_WRITE) m |= KEY_WRITE;
    if (a & (ACCESS_MASK)GENERIC_EXECUTE) m |= KEY_EXECUTE;
    if (a & ((ACCESS_MASK)GENERIC_ALL | (ACCESS_MASK)MAXIMUM_ALLOWED)) m |= KEY_ALL_ACCESS;
    return m;
}

// Misuse that would fault inside the kernel on Windows.
bool Missing(const void* p, const char* routine, const char* what)
{
    if (p) return false;
    Verify(std::string(routine) + " with a null " + what);
    return true;
}

ULONG AlignUlong(ULONG n) { return (n + 3u) & ~3u; }

// An information structure as the kernel builds it: `fixed` bytes must fit for
// anything to be returned; when the whole does not fit, the first `partial` bytes are
// (the fixed part and as much of the name as fits).
struct Image {
    std::vector<uint8_t> bytes;
    ULONG fixed = 0;
    ULONG partial = 0;

    template <typename T>
    void Start(const T& header, ULONG fixedSize, size_t total)
    {
        bytes.assign(total, 0);
        memcpy(bytes.data(), &header, fixedSize);
        fixed = fixedSize;
        partial = (ULONG)total;
    }
    void Put(size_t offset, const void* data, size_t size)
    {
        if (size) memcpy(bytes.data() + offset, data, size);
    }
};

NTSTATUS Return(const Image& im, PVOID out, ULONG length, PULONG resultLength)
{
    *resultLength = (ULONG)im.bytes.size();
    if (length < im.fixed) return STATUS_BUFFER_TOO_SMALL;
    if (length < im.bytes.size()) {
        memcpy(out, im.bytes.data(), std::min(length, im.partial));
        return STATUS_BUFFER_OVERFLOW;
    }
    memcpy(out, im.bytes.data(), im.bytes.size());
    return STATUS_SUCCESS;
}

NTSTATUS ValueImage(const RegValue& v, KEY_VALUE_INFORMATION_CLASS cls, Image* im)
{
    const ULONG nameBytes = (ULONG)(v.name.size() * sizeof(WCHAR));
    const ULONG dataBytes = (ULONG)v.data.size();
    switch (cls) {
    case KeyValueBasicInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        KEY_VALUE_BASIC_INFORMATION h{0, v.type, nameBytes, {}};
        im->Start(h, fixed, fixed + nameBytes);
        im->Put(fixed, v.name.data(), nameBytes);
        return STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        const ULONG dataOffset = AlignUlong(fixed + nameBytes);
        KEY_VALUE_FULL_INFORMATION h{0, v.type, dataOffset, dataBytes, nameBytes, {}};
        im->Start(h, fixed, dataOffset + dataBytes);
        im->Put(fixed, v.name.data(), nameBytes);
        im->Put(dataOffset, v.data.data(), dataBytes);
        im->partial = fixed + nameBytes;
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        KEY_VALUE_PARTIAL_INFORMATION h{0, v.type, dataBytes, {}};
        im->Start(h, fixed, fixed + dataBytes);
        im->Put(fixed, v.data.data(), dataBytes);
        im->partial = fixed;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS KeyImage(const RegKeyInfo& k, KEY_INFORMATION_CLASS cls, Image* im)
{
    const ULONG nameBytes = (ULONG)(k.name.size() * sizeof(WCHAR));
    const ULONG classBytes = (ULONG)(k.className.size() * sizeof(WCHAR));
    LARGE_INTEGER written;
    written.QuadPart = k.lastWriteTime;
    switch (cls) {
    case KeyBasicInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        KEY_BASIC_INFORMATION h{written, 0, nameBytes, {}};
        im->Start(h, fixed, fixed + nameBytes);
        im->Put(fixed, k.name.data(), nameBytes);
        return STATUS_SUCCESS;
    }
    case KeyNodeInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        const ULONG classOffset = classBytes ? AlignUlong(fixed + nameBytes) : 0xFFFFFFFFu;
        KEY_NODE_INFORMATION h{written, 0, classOffset, classBytes, nameBytes, {}};
        im->Start(h, fixed, classBytes ? classOffset + classBytes : fixed + nameBytes);
        im->Put(fixed, k.name.data(), nameBytes);
        if (classBytes) im->Put(classOffset, k.className.data(), classBytes);
        im->partial = fixed + nameBytes;
        return STATUS_SUCCESS;
    }
    case KeyFullInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        KEY_FULL_INFORMATION h{written, 0, classBytes ? fixed : 0xFFFFFFFFu, classBytes, k.subKeys,
                               k.maxSubKeyNameBytes, k.maxClassBytes, k.values, k.maxValueNameBytes,
                               k.maxValueDataBytes, {}};
        im->Start(h, fixed, fixed + classBytes);
        im->Put(fixed, k.className.data(), classBytes);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

std::u16string_view NameOf(PCUNICODE_STRING s)
{
    return s && s->Buffer ? std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string_view();
}

NTSTATUS OpenOrCreate(const char* routine, PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, bool create, PUNICODE_STRING Class, ULONG CreateOptions,
                      PULONG Disposition)
{
    RequirePassive(routine);
    if (Missing(KeyHandle, routine, "KeyHandle") || Missing(ObjectAttributes, routine, "ObjectAttributes"))
        return STATUS_ACCESS_VIOLATION;
    *KeyHandle = nullptr;
    if (ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    RegKey base;
    if (ObjectAttributes->RootDirectory) {
        NTSTATUS status = ResolveKeyHandle(ObjectAttributes->RootDirectory, 0, &base);
        if (!NT_SUCCESS(status)) return status;
    }
    PUNICODE_STRING name = ObjectAttributes->ObjectName;
    if (name && (name->Length & 1)) return STATUS_OBJECT_NAME_INVALID;
    RegKey key;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    NTSTATUS status = create ? GetRegistry().Create(base, NameOf(name), CreateOptions, &key, &disposition, NameOf(Class))
                             : GetRegistry().Open(base, NameOf(name), &key);
    if (!NT_SUCCESS(status)) return status;
    *KeyHandle = InsertKeyHandle(key, DesiredAccess);
    if (Disposition) *Disposition = disposition;
    return STATUS_SUCCESS;
}

}  // namespace

void RequirePassive(const char* routine)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify(std::string(routine) + " called above PASSIVE_LEVEL");
}

NTSTATUS ResolveKeyHandle(HANDLE handle, ACCESS_MASK need, RegKey* key)
{
    std::lock_guard<std::mutex> lk(K.mu);
    auto it = K.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == K.handles.end()) return STATUS_INVALID_HANDLE;
    if (HeaderOf(it->second)->type != &gKeyType) return STATUS_OBJECT_TYPE_MISMATCH;
    const KeyObject* k = static_cast<const KeyObject*>(it->second);
    if ((k->access & need) != need) return STATUS_ACCESS_DENIED;
    *key = k->key;
    return STATUS_SUCCESS;
}

HANDLE InsertKeyHandle(const RegKey& key, ACCESS_MASK access)
{
    std::string path = ToUtf8(GetRegistry().PathOf(key));
    std::lock_guard<std::mutex> lk(K.mu);
    void* body = AllocateObject(&gKeyType, sizeof(KeyObject), DestroyKey);
    new (body) KeyObject{key, MapKeyAccess(access), std::move(path)};
    HANDLE h = InsertHandle(body);
    DereferenceLocked(body);  // the handle holds the only reference: ZwClose frees the object
    return h;
}

}  // namespace kwsim::detail

namespace kwsim {

NTSTATUS OpenKeyHandle(std::u16string_view path, ACCESS_MASK access, bool create, HANDLE* handle)
{
    RegKey key;
    NTSTATUS status = create ? GetRegistry().CreatePath(path, &key) : GetRegistry().Open(nullptr, path, &key);
    if (!NT_SUCCESS(status)) return status;
    *handle = detail::InsertKeyHandle(key, access);
    return STATUS_SUCCESS;
}

NTSTATUS KeyFromHandle(HANDLE handle, RegKey* key) { return detail::ResolveKeyHandle(handle, 0, key); }

}  // namespace kwsim

using namespace kwsim;
using namespace kwsim::detail;

extern "C" {

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG,
                     PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    return OpenOrCreate("ZwCreateKey", KeyHandle, DesiredAccess, ObjectAttributes, true, Class, CreateOptions,
                        Disposition);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    return OpenOrCreate("ZwOpenKey", KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr, 0, nullptr);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    RequirePassive("ZwDeleteKey");
    RegKey key;
    NTSTATUS status = ResolveKeyHandle(KeyHandle, DELETE, &key);
    return NT_SUCCESS(status) ? GetRegistry().Delete(key) : status;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    RequirePassive("ZwFlushKey");
    RegKey key;
    NTSTATUS status = ResolveKeyHandle(KeyHandle, 0, &key);
    if (!NT_SUCCESS(status)) return status;
    return GetRegistry().IsDeleted(key) ? STATUS_KEY_DELETED : STATUS_SUCCESS;  // always on "disk"
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength)
{
    RequirePassive("ZwQueryKey");
    if (Missing(ResultLength, "ZwQueryKey", "ResultLength")) return STATUS_ACCESS_VIOLATION;
    *ResultLength = 0;
    RegKey key;
    bool byName = KeyInformationClass == KeyNameInformation;
    NTSTATUS status = ResolveKeyHandle(KeyHandle, byName ? 0 : KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    RegKeyInfo info;
    status = GetRegistry().QueryKey(key, &info);
    if (!NT_SUCCESS(status)) return status;
    Image im;
    if (byName) {
        std::u16string path = GetRegistry().PathOf(key);
        const ULONG fixed = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
        const ULONG bytes = (ULONG)(path.size() * sizeof(WCHAR));
        KEY_NAME_INFORMATION h{bytes, {}};
        im.Start(h, fixed, fixed + bytes);
        im.Put(fixed, path.data(), bytes);
    } else {
        status = KeyImage(info, KeyInformationClass, &im);
        if (!NT_SUCCESS(status)) return status;
    }
    return Return(im, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    RequirePassive("ZwEnumerateKey");
    if (Missing(ResultLength, "ZwEnumerateKey", "ResultLength")) return STATUS_ACCESS_VIOLATION;
    *ResultLength = 0;
    if (KeyInformationClass != KeyBasicInformation && KeyInformationClass != KeyNodeInformation &&
        KeyInformationClass != KeyFullInformation)
        return STATUS_INVALID_PARAMETER;
    RegKey key;
    NTSTATUS status = ResolveKeyHandle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status)) return status;
    RegKeyInfo info;
    status = GetRegistry().EnumKey(key, Index, &info);
    if (!NT_SUCCESS(status)) return status;
    Image im;
    KeyImage(info, KeyInformationClass, &im);
    return Return(im, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    RequirePassive("ZwQueryValueKey");
    if (Missing(ValueName, "ZwQueryValueKey", "ValueName") || Missing(ResultLength, "ZwQueryValueKey", "ResultLength"))
        return STATUS_ACCESS_VIOLATION;
    *ResultLength = 0;
    RegKey key;
    NTSTATUS status = ResolveKeyHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    RegValue v;
    status = GetRegistry().QueryValue(key, NameOf(ValueName), &v);
    if (!NT_SUCCESS(status)) return status;
    Image im;
    status = ValueImage(v, KeyValueInformationClass, &im);
    return NT_SUCCESS(status) ? Return(im, KeyValueInformation, Length, ResultLength) : status;
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    RequirePassive("ZwEnumerateValueKey");
    if (Missing(ResultLength, "ZwEnumerateValueKey", "ResultLength")) return STATUS_ACCESS_VIOLATION;
    *ResultLength = 0;
    RegKey key;
    NTSTATUS status = ResolveKeyHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    RegValue v;
    status = GetRegistry().EnumValue(key, Index, &v);
    if (!NT_SUCCESS(status)) return status;
    Image im;
    status = ValueImage(v, KeyValueInformationClass, &im);
    return NT_SUCCESS(status) ? Return(im, KeyValueInformation, Length, ResultLength) : status;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize)
{
    RequirePassive("ZwSetValueKey");
    if (Missing(ValueName, "ZwSetValueKey", "ValueName")) return STATUS_ACCESS_VIOLATION;
    if (DataSize && Missing(Data, "ZwSetValueKey", "Data")) return STATUS_ACCESS_VIOLATION;
    RegKey key;
    NTSTATUS status = ResolveKeyHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    return GetRegistry().SetValue(key, NameOf(ValueName), Type, Data, DataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    RequirePassive("ZwDeleteValueKey");
    if (Missing(ValueName, "ZwDeleteValueKey", "ValueName")) return STATUS_ACCESS_VIOLATION;
    RegKey key;
    NTSTATUS status = ResolveKeyHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    return GetRegistry().DeleteValue(key, NameOf(ValueName));
}

}  // extern "C"

namespace kwsim::detail {

void ResetRegistry() { GetRegistry().Reset(); }

}  // namespace kwsim::detail
