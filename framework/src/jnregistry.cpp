#include "jnregistry.h"

namespace {

const PCWSTR kRoots[] = {
    nullptr,
    KW_W("\\Registry\\Machine\\System\\CurrentControlSet\\Services"),
    KW_W("\\Registry\\Machine\\System\\CurrentControlSet\\Control"),
    KW_W("\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"),
    KW_W("\\Registry\\Machine\\Hardware\\DeviceMap"),
    KW_W("\\Registry\\User\\CurrentUser"),
};

NTSTATUS OpenAbsolute(PCUNICODE_STRING path, ACCESS_MASK access, PHANDLE key)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(path), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwOpenKey(key, access, &attributes);
}

// A value name as a counted string.
UNICODE_STRING Name(PCWSTR valueName)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, valueName);
    return u;
}

}  // namespace

NTSTATUS JnRegistryMakeAbsolute(ULONG relativeTo, PCUNICODE_STRING path, CJnString& absolute)
{
    if (!path || !path->Length || !path->Buffer) return STATUS_INVALID_PARAMETER;
    if (relativeTo >= sizeof kRoots / sizeof kRoots[0]) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = absolute.m_Copy(kRoots[relativeTo] ? kRoots[relativeTo] : KW_W(""));
    if (NT_SUCCESS(status) && path->Buffer[0] != KW_W('\\')) status = absolute.m_Append(KW_W("\\"));
    if (NT_SUCCESS(status)) status = absolute.m_Append(path);
    return status;
}

NTSTATUS JnRegistryCreateKey(PCUNICODE_STRING pathBelowServices, PHANDLE key)
{
    CJnString absolute;
    NTSTATUS status = JnRegistryMakeAbsolute(RTL_REGISTRY_SERVICES, pathBelowServices, absolute);
    if (!NT_SUCCESS(status)) return status;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, absolute.m_Get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ULONG disposition;
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
}

NTSTATUS JnRegistryOpenKey(HANDLE parent, PCUNICODE_STRING name, ACCESS_MASK access, PHANDLE key)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(name), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               parent, nullptr);
    return ZwOpenKey(key, access, &attributes);
}

NTSTATUS JnRegistryOpenOrCreateKey(HANDLE parent, PCUNICODE_STRING name, ACCESS_MASK access, PHANDLE key)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(name), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               parent, nullptr);
    ULONG disposition;
    return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
}

NTSTATUS JnRegistryReadDword(HANDLE key, PCWSTR valueName, PULONG value)
{
    UNICODE_STRING name = Name(valueName);
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } buffer;
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, &buffer, sizeof buffer, &length);
    // A value that does not fit is no DWORD either.
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) return STATUS_OBJECT_TYPE_MISMATCH;
    if (!NT_SUCCESS(status)) return status;
    if (buffer.info.Type != REG_DWORD || buffer.info.DataLength != sizeof(ULONG)) return STATUS_OBJECT_TYPE_MISMATCH;
    RtlCopyMemory(value, buffer.info.Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS JnRegistryReadDwordAt(PCUNICODE_STRING absolutePath, PCWSTR valueName, PULONG value)
{
    CJnString path;
    NTSTATUS status = JnRegistryMakeAbsolute(RTL_REGISTRY_ABSOLUTE, absolutePath, path);
    if (!NT_SUCCESS(status)) return status;
    HANDLE key;
    status = OpenAbsolute(path.m_Get(), KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    status = JnRegistryReadDword(key, valueName, value);
    ZwClose(key);
    return status;
}

NTSTATUS JnRegistryReadString(HANDLE key, PCWSTR valueName, CJnString& value)
{
    UNICODE_STRING name = Name(valueName);
    // Most values fit a small first query; a longer one is asked again at its size.
    ULONG size = 16;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(JnAllocate(size, PagedPool));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, size, &length);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        JnFree(info);
        size = length + sizeof(WCHAR);
        info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(JnAllocate(size, PagedPool));
        if (!info) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(info, size);
        status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, size, &length);
    }
    if (NT_SUCCESS(status) && info->Type != REG_SZ) status = STATUS_OBJECT_TYPE_MISMATCH;
    if (NT_SUCCESS(status)) {
        UNICODE_STRING text;
        text.Buffer = reinterpret_cast<PWSTR>(info->Data);
        USHORT bytes = (USHORT)(info->DataLength & ~1u);
        // The stored terminator (if any) is not part of the string.
        while (bytes >= sizeof(WCHAR) && text.Buffer[bytes / sizeof(WCHAR) - 1] == 0) bytes -= sizeof(WCHAR);
        text.Length = text.MaximumLength = bytes;
        status = value.m_Copy(&text);
    }
    JnFree(info);
    return status;
}

NTSTATUS JnRegistryWriteDword(PCUNICODE_STRING absolutePath, PCWSTR valueName, ULONG value)
{
    CJnString path;
    NTSTATUS status = JnRegistryMakeAbsolute(RTL_REGISTRY_ABSOLUTE, absolutePath, path);
    if (!NT_SUCCESS(status)) return status;
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path.m_Buffer(), valueName, REG_DWORD, &value, sizeof value);
}

NTSTATUS JnRegistryWriteString(PCUNICODE_STRING absolutePath, PCWSTR valueName, ULONG type, PCUNICODE_STRING value)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ) return STATUS_INVALID_PARAMETER;
    CJnString path, text;
    NTSTATUS status = JnRegistryMakeAbsolute(RTL_REGISTRY_ABSOLUTE, absolutePath, path);
    if (NT_SUCCESS(status)) status = text.m_Copy(value);  // zero-terminated copy
    if (!NT_SUCCESS(status)) return status;
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path.m_Buffer(), valueName, type,
                                 const_cast<PWSTR>(text.m_Buffer() ? text.m_Buffer() : KW_W("")),
                                 text.m_Length() + sizeof(WCHAR));
}
