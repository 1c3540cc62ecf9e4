// Base types shared by kernel code, user-mode code and the simulated PC.
//
// On Windows the platform headers supply them: ntdef.h for kernel code (KW_KERNEL set by
// the build), windows.h for user-mode code. On Linux we declare the same names with the
// widths Windows gives them (LLP64: LONG and ULONG are 32 bits, WCHAR is 16 bits).
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)

#  if defined(KW_KERNEL)
#    include <ntdef.h>
#  else
#    include <windows.h>
#  endif
#  define KW_W(s) L##s

#else  // simulated PC

#  define KW_W(s) u##s

#  ifndef VOID
#    define VOID void
#  endif
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* PCVOID;
typedef const void* LPCVOID;
typedef char CHAR;
typedef signed char SCHAR;
typedef unsigned char UCHAR;
typedef uint8_t BYTE;
typedef uint8_t BOOLEAN;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int INT;
typedef unsigned int UINT;
typedef int BOOL;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef int32_t LONG32;
typedef uint32_t ULONG32;
typedef uint32_t DWORD32;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef intptr_t SSIZE_T;
typedef char16_t WCHAR;
typedef LONG NTSTATUS;
typedef LONG HRESULT;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG LCID;

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef CHAR* LPSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;
typedef CHAR* PSZ;
typedef const CHAR* PCSZ;
typedef UCHAR* PUCHAR;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef BOOLEAN* PBOOLEAN;
typedef SHORT* PSHORT;
typedef USHORT* PUSHORT;
typedef WORD* PWORD;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef INT* PINT;
typedef UINT* PUINT;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef LONG_PTR* PLONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWCH;
typedef NTSTATUS* PNTSTATUS;

#  ifndef TRUE
#    define TRUE 1
#  endif
#  ifndef FALSE
#    define FALSE 0
#  endif
#  ifndef NULL
#    define NULL 0
#  endif
#  define IN
#  define OUT
#  define OPTIONAL
#  define NTAPI
#  define WINAPI
#  define CALLBACK
#  define APIENTRY
#  define STDMETHODCALLTYPE
#  define NTSYSAPI
#  define NTKERNELAPI
#  define DECLSPEC_NORETURN __attribute__((noreturn))
#  define FORCEINLINE inline __attribute__((always_inline))
#  define UNREFERENCED_PARAMETER(p) ((void)(p))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID* PCGUID;
#  ifdef __cplusplus
#    define REFGUID const GUID&
#  else
#    define REFGUID const GUID*
#  endif

#  define MAKEWORD(a, b) ((WORD)(((BYTE)(((DWORD_PTR)(a)) & 0xff)) | ((WORD)((BYTE)(((DWORD_PTR)(b)) & 0xff))) << 8))
#  define MAKELONG(a, b) ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))
#  define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#  define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#  define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#  define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))

#endif  // simulated PC

// Kernel pool tags are written in source as the four characters they show in a pool
// listing; KW_TAG("JnKi") gives the ULONG whose bytes in memory read J, n, K, i.
#define KW_TAG(s) ((ULONG)(UCHAR)(s)[0] | ((ULONG)(UCHAR)(s)[1] << 8) | ((ULONG)(UCHAR)(s)[2] << 16) | ((ULONG)(UCHAR)(s)[3] << 24))
