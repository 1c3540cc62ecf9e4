// Kernel core: IRQL, spin locks, dispatcher objects, waits, timers, DPCs, time, threads,
// interlocked operations. The structure layouts are ours (drivers treat them as opaque);
// the names, values and calling rules are those of the Windows kernel.
#pragma once
#include "simnt/ntdef.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

#define IO_NO_INCREMENT 0
#define IO_SERIAL_INCREMENT 2
#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1
#define MUTANT_INCREMENT 1

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef ULONG_PTR KAFFINITY;

struct _KTHREAD;
struct _ETHREAD;
struct _KPROCESS;
struct _EPROCESS;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;
typedef struct _KPROCESS *PKPROCESS, *PRKPROCESS;
typedef struct _EPROCESS *PEPROCESS;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    WrEventPair,
    WrQueue,
    WrLpcReceive,
    WrLpcReply,
    WrVirtualMemory,
    WrPageOut,
    WrRendezvous,
    MaximumWaitReason = 37
} KWAIT_REASON;

// Object types as the dispatcher header records them.
#define KW_OBJ_EVENT_NOTIFICATION 0
#define KW_OBJ_EVENT_SYNCHRONIZATION 1
#define KW_OBJ_MUTANT 2
#define KW_OBJ_PROCESS 3
#define KW_OBJ_SEMAPHORE 5
#define KW_OBJ_THREAD 6
#define KW_OBJ_TIMER_NOTIFICATION 8
#define KW_OBJ_TIMER_SYNCHRONIZATION 9

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;       // the simulated kernel keeps a check value here
    UCHAR Inserted;   // timers: queued on the timeline
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    struct _KTHREAD* Thread;
    PVOID Object;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR Linked;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    struct _KTHREAD* OwnerThread;
    BOOLEAN Abandoned;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

struct _KDPC;
typedef void (*PKDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                   PVOID SystemArgument2);
typedef void KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance, MediumHighImportance } KDPC_IMPORTANCE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;   // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;   // absolute interrupt time, 100 ns
    ULONGLONG Sequence;       // orders timers that fall due together
    struct _KDPC* Dpc;
    LONG Period;              // ms
} KTIMER, *PKTIMER, *PRKTIMER;

#ifdef __cplusplus
extern "C" {
#endif

// IRQL
KIRQL KeGetCurrentIrql(void);
KIRQL KfRaiseIrql(KIRQL NewIrql);
void KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel(void);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))

// Spin locks
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KeAcquireSpinLockRaiseToDpc(lock))

// Events
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
void KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

// Mutexes
void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);

// Semaphores
void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Waits
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// Timers and DPCs
void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);
void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
void KeSetTargetProcessorDpc(PRKDPC Dpc, CHAR Number);
void KeFlushQueuedDpcs(void);

// Time
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
void KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement(void);
ULONGLONG KeQueryInterruptTime(void);
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);
void KeStallExecutionProcessor(ULONG MicroSeconds);

// Threads
PKTHREAD KeGetCurrentThread(void);
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
LONG KeSetBasePriorityThread(PKTHREAD Thread, LONG Increment);
ULONG KeGetCurrentProcessorNumber(void);
extern volatile CHAR KeNumberProcessors;

// Bug checks end the simulated machine with the given code.
DECLSPEC_NORETURN void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);
DECLSPEC_NORETURN void KeBugCheck(ULONG BugCheckCode);

#ifdef __cplusplus
}
#endif

// Interlocked operations (full barriers, as on Windows).
inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAdd(LONG volatile* p, LONG v) { return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedOr(LONG volatile* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(LONG volatile* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedXor(LONG volatile* p, LONG v) { return __atomic_fetch_xor(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONGLONG InterlockedIncrement64(LONGLONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONGLONG InterlockedDecrement64(LONGLONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONGLONG InterlockedExchange64(LONGLONG volatile* p, LONGLONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONGLONG InterlockedExchangeAdd64(LONGLONG volatile* p, LONGLONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONGLONG InterlockedCompareExchange64(LONGLONG volatile* p, LONGLONG exchange, LONGLONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline BOOLEAN InterlockedBitTestAndSet(LONG volatile* p, LONG bit)
{
    return (BOOLEAN)((__atomic_fetch_or(p, (LONG)(1UL << bit), __ATOMIC_SEQ_CST) >> bit) & 1);
}
inline BOOLEAN InterlockedBitTestAndReset(LONG volatile* p, LONG bit)
{
    return (BOOLEAN)((__atomic_fetch_and(p, (LONG)~(1UL << bit), __ATOMIC_SEQ_CST) >> bit) & 1);
}
inline void KeMemoryBarrier(void) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#define MemoryBarrier KeMemoryBarrier
#define YieldProcessor() __builtin_ia32_pause()
