#include "jnstring.h"

namespace {
USHORT WideBytes(PCWSTR s)
{
    SIZE_T n = 0;
    if (s)
        while (s[n]) n++;
    return (USHORT)(n * sizeof(WCHAR));
}
}  // namespace

CJnString::CJnString() : m_pAnsi(nullptr), m_Status_(STATUS_SUCCESS)
{
    m_String.Length = m_String.MaximumLength = 0;
    m_String.Buffer = nullptr;
}

CJnString::~CJnString() { m_Clear(); }

void CJnString::m_Clear()
{
    if (m_String.Buffer) JnFree(m_String.Buffer);
    if (m_pAnsi) JnFree(m_pAnsi);
    m_String.Buffer = nullptr;
    m_String.Length = m_String.MaximumLength = 0;
    m_pAnsi = nullptr;
}

NTSTATUS CJnString::m_Set(PCWSTR first, USHORT firstBytes, PCWSTR second, USHORT secondBytes)
{
    ULONG total = (ULONG)firstBytes + secondBytes;
    if (total + sizeof(WCHAR) > 0xFFFF) return m_Status_ = STATUS_INVALID_PARAMETER;
    if (total == 0) {
        m_Clear();
        return m_Status_ = STATUS_SUCCESS;
    }
    auto* buffer = static_cast<PWSTR>(JnAllocate(total + sizeof(WCHAR), NonPagedPool));
    char* ansi = static_cast<char*>(JnAllocate(total / sizeof(WCHAR) + 1, NonPagedPool));
    if (!buffer || !ansi) {
        JnFree(buffer);
        JnFree(ansi);
        return m_Status_ = STATUS_NO_MEMORY;
    }
    if (firstBytes) RtlCopyMemory(buffer, first, firstBytes);
    if (secondBytes) RtlCopyMemory(reinterpret_cast<PUCHAR>(buffer) + firstBytes, second, secondBytes);
    buffer[total / sizeof(WCHAR)] = 0;
    UNICODE_STRING wide;
    wide.Buffer = buffer;
    wide.Length = (USHORT)total;
    wide.MaximumLength = (USHORT)(total + sizeof(WCHAR));
    ANSI_STRING narrow;
    narrow.Buffer = ansi;
    narrow.Length = 0;
    narrow.MaximumLength = (USHORT)(total / sizeof(WCHAR) + 1);
    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&narrow, &wide, FALSE))) narrow.Length = 0;
    ansi[narrow.Length] = 0;
    m_Clear();
    m_String = wide;
    m_pAnsi = ansi;
    return m_Status_ = STATUS_SUCCESS;
}

NTSTATUS CJnString::m_Copy(PCUNICODE_STRING source)
{
    if (!source) return m_Set(nullptr, 0, nullptr, 0);
    return m_Set(source->Buffer, source->Length, nullptr, 0);
}

NTSTATUS CJnString::m_Copy(PCWSTR source) { return m_Set(source, WideBytes(source), nullptr, 0); }

NTSTATUS CJnString::m_Append(PCUNICODE_STRING source)
{
    if (!source) return m_Status_ = STATUS_SUCCESS;
    return m_Set(m_String.Buffer, m_String.Length, source->Buffer, source->Length);
}

NTSTATUS CJnString::m_Append(PCWSTR source)
{
    return m_Set(m_String.Buffer, m_String.Length, source, WideBytes(source));
}

NTSTATUS CJnString::m_AppendDecimal(ULONG value)
{
    WCHAR digits[12];
    UNICODE_STRING u;
    u.Buffer = digits;
    u.Length = 0;
    u.MaximumLength = sizeof digits;
    NTSTATUS status = RtlIntegerToUnicodeString(value, 10, &u);
    if (!NT_SUCCESS(status)) return m_Status_ = status;
    return m_Append(&u);
}
