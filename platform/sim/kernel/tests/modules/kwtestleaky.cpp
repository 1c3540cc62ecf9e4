// A test driver that forgets to stop its periodic timer in DriverUnload.
#include "kwplat/kernel.h"

namespace {
KTIMER g_timer;
KDPC g_dpc;
void Tick(PKDPC, PVOID, PVOID, PVOID) {}
void Unload(PDRIVER_OBJECT) {}
}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    KeInitializeTimer(&g_timer);
    KeInitializeDpc(&g_dpc, Tick, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimerEx(&g_timer, due, 1, &g_dpc);
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
