// Executive: pool, system threads, object references, handles.
#pragma once
#include "simnt/ke.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolNx = 512,
} POOL_TYPE;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// How much memory the machine has, in the memory manager's three classes.
typedef enum _MM_SYSTEM_SIZE { MmSmallSystem = 0, MmMediumSystem = 1, MmLargeSystem = 2 } MM_SYSTEMSIZE;

typedef void (*PKSTART_ROUTINE)(PVOID StartContext);
typedef void KSTART_ROUTINE(PVOID StartContext);

#ifdef __cplusplus
extern "C" {
#endif

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);
MM_SYSTEMSIZE MmQuerySystemSize(void);

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
DECLSPEC_NORETURN NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
PETHREAD PsGetCurrentThread(void);
HANDLE PsGetCurrentThreadId(void);
HANDLE PsGetCurrentProcessId(void);
BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion);

extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* ExEventObjectType;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                    KPROCESSOR_MODE AccessMode);
LONG_PTR ObfReferenceObject(PVOID Object);
LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
NTSTATUS ZwClose(HANDLE Handle);

#ifdef __cplusplus
}
#endif
