// KwSample: the smallest driver that exercises the platform. DriverEntry starts a
// periodic 10 ms timer whose DPC counts ticks and wakes a system thread; the thread
// counts its wake-ups until DriverUnload stops it.
#include "kwplat/kernel.h"

namespace {

const ULONG kTag = KW_TAG("KwSa");
const LONG kPeriodMs = 10;

struct SampleState {
    KTIMER timer;
    KDPC dpc;
    KEVENT tick;
    KEVENT stop;
    PETHREAD thread;
    volatile LONG ticks;
    volatile LONG wakeups;
};

SampleState* g_state;

void SampleDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    SampleState* s = static_cast<SampleState*>(context);
    InterlockedIncrement(&s->ticks);
    KeSetEvent(&s->tick, IO_NO_INCREMENT, FALSE);
}

void SampleThread(PVOID context)
{
    SampleState* s = static_cast<SampleState*>(context);
    PVOID objects[2] = {&s->stop, &s->tick};
    for (;;) {
        NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (status != STATUS_WAIT_1) break;
        InterlockedIncrement(&s->wakeups);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void SampleUnload(PDRIVER_OBJECT)
{
    SampleState* s = g_state;
    KeCancelTimer(&s->timer);
    KeFlushQueuedDpcs();
    KeSetEvent(&s->stop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(s->thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(s->thread);
    DbgPrint("KwSample: unload after %d ticks and %d thread wake-ups\n", (int)s->ticks, (int)s->wakeups);
    ExFreePoolWithTag(s, kTag);
    g_state = NULL;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DbgPrint("KwSample: DriverEntry for %wZ\n", RegistryPath);
    SampleState* s = static_cast<SampleState*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SampleState), kTag));
    if (!s) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(s, sizeof *s);
    KeInitializeTimerEx(&s->timer, NotificationTimer);
    KeInitializeDpc(&s->dpc, SampleDpc, s);
    KeInitializeEvent(&s->tick, SynchronizationEvent, FALSE);
    KeInitializeEvent(&s->stop, NotificationEvent, FALSE);

    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, SampleThread, s);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(s, kTag);
        return status;
    }
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, (PVOID*)&s->thread, NULL);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        // The thread runs with nothing to stop it but the event.
        KeSetEvent(&s->stop, IO_NO_INCREMENT, FALSE);
        return status;
    }

    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)kPeriodMs * 10000;
    KeSetTimerEx(&s->timer, due, kPeriodMs, &s->dpc);
    g_state = s;
    DriverObject->DriverUnload = SampleUnload;
    DbgPrint("KwSample: timer every %d ms started\n", (int)kPeriodMs);
    return STATUS_SUCCESS;
}
