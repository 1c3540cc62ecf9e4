// CJnString: a counted wide string that also keeps its 8-bit form. Operations record an
// NTSTATUS (STATUS_NO_MEMORY when the pool refuses) and return it. Its buffers come from
// the driver's pool; an empty string owns no memory.
#pragma once

#include "jnmemorypool.h"

class CJnString : public CJnObject {
public:
    CJnString();
    ~CJnString();
    CJnString(const CJnString&) = delete;
    CJnString& operator=(const CJnString&) = delete;

    NTSTATUS m_Copy(PCUNICODE_STRING source);
    NTSTATUS m_Copy(PCWSTR source);
    NTSTATUS m_Copy(const CJnString& source) { return m_Copy(&source.m_String); }
    NTSTATUS m_Append(PCUNICODE_STRING source);
    NTSTATUS m_Append(PCWSTR source);
    NTSTATUS m_AppendDecimal(ULONG value);
    void m_Clear();

    PUNICODE_STRING m_Get() { return &m_String; }
    PCUNICODE_STRING m_Get() const { return &m_String; }
    PCWSTR m_Buffer() const { return m_String.Buffer; }  // zero-terminated, or null when empty
    USHORT m_Length() const { return m_String.Length; }  // bytes
    bool m_IsEmpty() const { return m_String.Length == 0; }
    // The 8-bit form (Windows-1252), zero-terminated; "" when empty or not convertible.
    const char* m_Ansi() const { return m_pAnsi ? m_pAnsi : ""; }
    NTSTATUS m_Status() const { return m_Status_; }

private:
    NTSTATUS m_Set(PCWSTR first, USHORT firstBytes, PCWSTR second, USHORT secondBytes);
    UNICODE_STRING m_String;
    char* m_pAnsi;
    NTSTATUS m_Status_;
};
