// Run-time library: counted strings, conversions, integers and GUIDs.
//
// The ANSI code page of the simulated PC is Windows-1252.
#include <cstring>

#include "kernel_internal.h"

namespace {

constexpr ULONG kStringTag = KW_TAG("Strg");
constexpr USHORT kMaxStringBytes = 0xFFFE;

// Windows-1252 0x80..0x9F; 0 marks bytes the code page leaves undefined.
const uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

WCHAR AnsiToWide(unsigned char c)
{
    if (c >= 0x80 && c <= 0x9F) return kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : c;
    return c;
}

char WideToAnsi(WCHAR w)
{
    if (w < 0x80 || (w >= 0xA0 && w <= 0xFF)) return (char)w;
    for (int i = 0; i < 32; i++)
        if (kCp1252High[i] == w) return (char)(0x80 + i);
    return '?';
}

size_t WideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n]) n++;
    return n;
}

int DigitValue(WCHAR c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

template <typename Ch>
NTSTATUS ParseInteger(const Ch* p, size_t len, ULONG base, PULONG value)
{
    if (base != 0 && base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    size_t i = 0;
    while (i < len && (p[i] == ' ' || p[i] == '\t')) i++;
    bool negative = false;
    if (i < len && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
    if (base == 0) {
        base = 10;
        if (i + 1 < len && p[i] == '0') {
            if (p[i + 1] == 'x') base = 16;
            else if (p[i + 1] == 'o') base = 8;
            else if (p[i + 1] == 'b') base = 2;
            if (base != 10) i += 2;
        }
    }
    ULONG v = 0;
    for (; i < len; i++) {
        int d = DigitValue((WCHAR)(std::make_unsigned_t<Ch>)p[i]);
        if (d >= (int)base) break;
        v = v * base + (ULONG)d;
    }
    *value = negative ? (ULONG)(0u - v) : v;
    return STATUS_SUCCESS;
}

template <typename Ch>
size_t IntegerDigits(ULONGLONG value, ULONG base, Ch* digits)
{
    size_t n = 0;
    do {
        digits[n++] = (Ch)"0123456789ABCDEF"[value % base];
        value /= base;
    } while (value);
    for (size_t a = 0, b = n - 1; a < b; a++, b--) {
        Ch t = digits[a];
        digits[a] = digits[b];
        digits[b] = t;
    }
    return n;
}

NTSTATUS IntegerToUnicode(ULONGLONG value, ULONG base, PUNICODE_STRING str)
{
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[65];
    size_t n = IntegerDigits(value, base, digits);
    if (n * sizeof(WCHAR) > str->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    memcpy(str->Buffer, digits, n * sizeof(WCHAR));
    str->Length = (USHORT)(n * sizeof(WCHAR));
    if (str->Length + sizeof(WCHAR) <= str->MaximumLength) str->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

PWSTR AllocateWide(size_t bytes) { return static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag)); }

}  // namespace

extern "C" {

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length)
{
    const UCHAR* a = static_cast<const UCHAR*>(Source1);
    const UCHAR* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) i++;
    return i;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString) {
        size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
        if (bytes > kMaxStringBytes - sizeof(WCHAR)) bytes = kMaxStringBytes - sizeof(WCHAR);
        DestinationString->Length = (USHORT)bytes;
        DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    } else {
        DestinationString->Length = DestinationString->MaximumLength = 0;
    }
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString) {
        size_t len = strlen(SourceString);
        if (len > 0xFFFE) len = 0xFFFE;
        DestinationString->Length = (USHORT)len;
        DestinationString->MaximumLength = (USHORT)(len + 1);
    } else {
        DestinationString->Length = DestinationString->MaximumLength = 0;
    }
}

void RtlInitString(PSTRING DestinationString, PCSZ SourceString) { RtlInitAnsiString(DestinationString, SourceString); }

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                        : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (!Source->Length) return STATUS_SUCCESS;
    if ((size_t)Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length += Source->Length;
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source) return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c)
{
    if (c >= 'a' && c <= 'z') return (WCHAR)(c - 32);
    if (c < 0xE0) return c;
    if (c <= 0xFE && c != 0xF7) return (WCHAR)(c - 32);
    if (c == 0xFF) return 0x178;
    // Latin Extended-A pairs.
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c & 1) ? (WCHAR)(c - 1) : c;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c : (WCHAR)(c - 1);
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return (WCHAR)(c - 32);
    if (c >= 0x430 && c <= 0x44F) return (WCHAR)(c - 32);
    if (c >= 0x450 && c <= 0x45F) return (WCHAR)(c - 80);
    return c;
}

WCHAR RtlDowncaseUnicodeChar(WCHAR c)
{
    if (c >= 'A' && c <= 'Z') return (WCHAR)(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return (WCHAR)(c + 32);
    if (c == 0x178) return 0xFF;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return (WCHAR)(c + 32);
    if (c >= 0x410 && c <= 0x42F) return (WCHAR)(c + 32);
    if (c >= 0x400 && c <= 0x40F) return (WCHAR)(c + 80);
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c & 1) ? c : (WCHAR)(c + 1);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? (WCHAR)(c + 1) : c;
    return c;
}

CHAR RtlUpperChar(CHAR c) { return WideToAnsi(RtlUpcaseUnicodeChar(AnsiToWide((unsigned char)c))); }

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; i++) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) return (LONG)a - (LONG)b;
    }
    return (LONG)n1 - (LONG)n2;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length > String2->Length) return FALSE;
    UNICODE_STRING head = *String2;
    head.Length = String1->Length;
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

LONG RtlCompareString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive)
{
    size_t n = String1->Length < String2->Length ? String1->Length : String2->Length;
    for (size_t i = 0; i < n; i++) {
        CHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpperChar(a);
            b = RtlUpperChar(b);
        }
        if (a != b) return (LONG)(UCHAR)a - (LONG)(UCHAR)b;
    }
    return (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length && RtlCompareString(String1, String2, CaseInSensitive) == 0;
}

static NTSTATUS MapCase(PUNICODE_STRING Destination, PCUNICODE_STRING Source, BOOLEAN Allocate, bool upper)
{
    if (Allocate) {
        Destination->Buffer = AllocateWide(Source->Length + sizeof(WCHAR));
        if (!Destination->Buffer) return STATUS_NO_MEMORY;
        Destination->MaximumLength = (USHORT)(Source->Length + sizeof(WCHAR));
    } else if (Source->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    size_t n = Source->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n; i++)
        Destination->Buffer[i] = upper ? RtlUpcaseUnicodeChar(Source->Buffer[i]) : RtlDowncaseUnicodeChar(Source->Buffer[i]);
    Destination->Length = Source->Length;
    if (Allocate) Destination->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString)
{
    return MapCase(DestinationString, SourceString, AllocateDestinationString, true);
}

NTSTATUS RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                  BOOLEAN AllocateDestinationString)
{
    return MapCase(DestinationString, SourceString, AllocateDestinationString, false);
}

ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) { return (AnsiString->Length + 1u) * sizeof(WCHAR); }
ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) { return UnicodeString->Length / sizeof(WCHAR) + 1u; }

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    ULONG bytes = RtlxAnsiStringToUnicodeSize(SourceString);
    if (bytes > kMaxStringBytes + sizeof(WCHAR)) return STATUS_INVALID_PARAMETER_2;
    size_t n = SourceString->Length;
    if (AllocateDestinationString) {
        DestinationString->Buffer = AllocateWide(bytes);
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = (USHORT)bytes;
    } else if (n * sizeof(WCHAR) > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; i++) DestinationString->Buffer[i] = AnsiToWide((unsigned char)SourceString->Buffer[i]);
    DestinationString->Length = (USHORT)(n * sizeof(WCHAR));
    if ((n + 1) * sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    size_t n = SourceString->Length / sizeof(WCHAR);
    if (AllocateDestinationString) {
        DestinationString->Buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, n + 1, kStringTag));
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = (USHORT)(n + 1);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (n > DestinationString->MaximumLength) {
        status = STATUS_BUFFER_OVERFLOW;
        n = DestinationString->MaximumLength ? DestinationString->MaximumLength - 1u : 0;
    }
    for (size_t i = 0; i < n; i++) DestinationString->Buffer[i] = WideToAnsi(SourceString->Buffer[i]);
    DestinationString->Length = (USHORT)n;
    if (n < DestinationString->MaximumLength) DestinationString->Buffer[n] = 0;
    return status;
}

BOOLEAN RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    size_t bytes = (WideLength(SourceString) + 1) * sizeof(WCHAR);
    if (bytes > kMaxStringBytes) return FALSE;
    DestinationString->Buffer = AllocateWide(bytes);
    if (!DestinationString->Buffer) return FALSE;
    memcpy(DestinationString->Buffer, SourceString, bytes);
    DestinationString->Length = (USHORT)(bytes - sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)bytes;
    return TRUE;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

void RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    return ParseInteger(String->Buffer, String->Length / sizeof(WCHAR), Base, Value);
}

NTSTATUS RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value)
{
    return ParseInteger(String, strlen(String), Base, Value);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    return IntegerToUnicode(Value, Base, String);
}

NTSTATUS RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String)
{
    return IntegerToUnicode(Value, Base, String);
}

NTSTATUS RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PSZ String)
{
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    char digits[33];
    size_t n = IntegerDigits(Value, Base, digits);
    size_t room = OutputLength < 0 ? (size_t)-OutputLength : (size_t)OutputLength;
    if (n > room) return STATUS_BUFFER_OVERFLOW;
    memcpy(String, digits, n);
    if (n < room) String[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid)
{
    // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
    if (GuidString->Length != 38 * sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
    const WCHAR* s = GuidString->Buffer;
    if (s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-')
        return STATUS_INVALID_PARAMETER;
    auto hex = [&](int pos, int digits, uint64_t* out) {
        uint64_t v = 0;
        for (int i = 0; i < digits; i++) {
            int d = DigitValue(s[pos + i]);
            if (d > 15) return false;
            v = v * 16 + (uint64_t)d;
        }
        *out = v;
        return true;
    };
    uint64_t d1, d2, d3, b;
    if (!hex(1, 8, &d1) || !hex(10, 4, &d2) || !hex(15, 4, &d3)) return STATUS_INVALID_PARAMETER;
    GUID g;
    g.Data1 = (ULONG)d1;
    g.Data2 = (USHORT)d2;
    g.Data3 = (USHORT)d3;
    static const int pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; i++) {
        if (!hex(pos[i], 2, &b)) return STATUS_INVALID_PARAMETER;
        g.Data4[i] = (UCHAR)b;
    }
    *Guid = g;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString)
{
    char text[40];
    _snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
              Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
              Guid.Data4[6], Guid.Data4[7]);
    GuidString->Buffer = AllocateWide(39 * sizeof(WCHAR));
    if (!GuidString->Buffer) return STATUS_NO_MEMORY;
    for (int i = 0; i < 39; i++) GuidString->Buffer[i] = (WCHAR)text[i];
    GuidString->Length = 38 * sizeof(WCHAR);
    GuidString->MaximumLength = 39 * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

}  // extern "C"
