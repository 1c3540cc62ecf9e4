// Run-time library: memory, counted strings, integers, GUIDs, formatted output, DbgPrint.
#pragma once
#include <stdarg.h>
#include "simnt/ex.h"

#define RtlCopyMemory(d, s, n) ((void)__builtin_memcpy((d), (s), (n)))
#define RtlMoveMemory(d, s, n) ((void)__builtin_memmove((d), (s), (n)))
#define RtlFillMemory(d, n, f) ((void)__builtin_memset((d), (f), (n)))
#define RtlZeroMemory(d, n) ((void)__builtin_memset((d), 0, (n)))
#define RtlSecureZeroMemory(d, n) RtlZeroMemory((d), (n))
#define RtlEqualMemory(a, b, n) (__builtin_memcmp((a), (b), (n)) == 0)
#define RtlCopyBytes RtlCopyMemory
#define RtlZeroBytes RtlZeroMemory

#ifdef __cplusplus
extern "C" {
#endif

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
void RtlInitString(PSTRING DestinationString, PCSZ SourceString);
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
LONG RtlCompareString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
CHAR RtlUpperChar(CHAR Character);
NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString);
NTSTATUS RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                  BOOLEAN AllocateDestinationString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString);
ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString);
#define RtlAnsiStringToUnicodeSize(s) RtlxAnsiStringToUnicodeSize(s)
#define RtlUnicodeStringToAnsiSize(s) RtlxUnicodeStringToAnsiSize(s)
BOOLEAN RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
void RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value);
NTSTATUS RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PSZ String);

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);
NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);

// Formatted output with the kernel's conventions: %ws/%S take 16-bit strings, %wZ a
// UNICODE_STRING, %Z an ANSI_STRING, %I64 a 64-bit integer, l means 32 bits.
// _vsnprintf returns -1 (and does not terminate) when the buffer is too small.
int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Args);
int _snprintf(char* Buffer, size_t Count, const char* Format, ...);
int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, va_list Args);
int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...);

ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
void DbgBreakPoint(void);

#ifdef __cplusplus
}
#endif

#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3

#if defined(DBG) && DBG
#  define KdPrint(x) DbgPrint x
#  define ASSERT(e) ((!(e)) ? (DbgPrint("Assertion failed: %s\n", #e), DbgBreakPoint(), 0) : 1)
#else
#  define KdPrint(x)
#  define ASSERT(e) ((void)0)
#endif
#define KdBreakPoint() DbgBreakPoint()
