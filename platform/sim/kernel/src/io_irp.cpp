// IRPs: allocation, IoCallDriver, the completion walk, cancellation, and the verifier's
// view of them. Every live IRP has an entry in IO.irps; touching one that has none is
// the use of a freed IRP.
#include <cstdio>
#include <cstring>
#include <memory>

#include "io_internal.h"
#include "simkernel/syncpoint.h"

namespace kwsim::detail {

constexpr ULONG kIrpTag = KW_TAG("Irp ");
constexpr ULONG kBufferTag = KW_TAG("IoBf");

static const char* MajorName(UCHAR major)
{
    static const char* names[] = {"IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ",
                                  "IRP_MJ_WRITE", "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION",
                                  "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA", "IRP_MJ_FLUSH_BUFFERS",
                                  "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
                                  "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
                                  "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL",
                                  "IRP_MJ_CLEANUP", "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY",
                                  "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER", "IRP_MJ_SYSTEM_CONTROL",
                                  "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_?";
}

std::string IrpText(PIRP irp)
{
    char buf[96];
    PIO_STACK_LOCATION s = irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)
                                                                   : IoGetNextIrpStackLocation(irp);
    snprintf(buf, sizeof buf, "IRP %p (%s, minor 0x%02X)", (void*)irp, MajorName(s->MajorFunction), s->MinorFunction);
    return buf;
}

static IrpInfo* Live(PIRP irp, const char* routine)
{
    auto it = IO.irps.find(irp);
    if (it == IO.irps.end()) {
        char buf[128];
        snprintf(buf, sizeof buf, "%s on IRP %p, which is not a live IRP (freed already?)", routine, (void*)irp);
        Verify(buf);
        return nullptr;
    }
    return &it->second;
}

void CollectIoLeaks(std::vector<std::string>& out)
{
    for (auto& [irp, info] : IO.irps)
        out.push_back(IrpText(irp) + (info.state == IrpState::InDriver ? " is still held by a driver" : " was not freed"));
}

// Called when both halves of a location's record are known (K.mu held).
void CheckPending(const LocationRecord& r, NTSTATUS status)
{
    if (r.returnedPending < 0 || r.markedPending < 0 || r.returnedPending == r.markedPending) return;
    if (r.returnedPending)
        Verify(r.text + " returned STATUS_PENDING without IoMarkIrpPending");
    else {
        char buf[64];
        snprintf(buf, sizeof buf, " was marked pending but returned 0x%08X", (unsigned)status);
        Verify(r.text + buf);
    }
}

// The I/O manager's own end of a request it built: copy back, status block, event.
static void FinishThreadedIrp(PIRP irp, IrpInfo& info)
{
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) &&
        info.outputBuffer) {
        ULONG_PTR n = irp->IoStatus.Information < info.outputLength ? irp->IoStatus.Information : info.outputLength;
        memcpy(info.outputBuffer, irp->AssociatedIrp.SystemBuffer, n);
    }
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    if (info.onFinish) info.onFinish(irp);
    // The IRP is gone before the waiter wakes: nothing can see it half finished.
    PKEVENT event = irp->UserEvent;
    bool held = false;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        auto it = IO.irps.find(irp);
        if (it != IO.irps.end() && it->second.holds > 0) {
            it->second.freeDeferred = true;
            held = true;
        }
    }
    if (!held) IoFreeIrp(irp);
    if (event) KeSetEvent(event, 0, FALSE);
}

void ReleaseIrpHold(PIRP irp)
{
    {
        std::lock_guard<std::mutex> lk(K.mu);
        auto it = IO.irps.find(irp);
        if (it == IO.irps.end() || --it->second.holds > 0 || !it->second.freeDeferred) return;
    }
    IoFreeIrp(irp);
}

bool AttachSystemBuffer(PIRP irp, ULONG length, const void* input, ULONG inputLength)
{
    if (!length) return true;
    void* system = ExAllocatePoolWithTag(NonPagedPool, length, kBufferTag);
    if (!system) return false;
    if (input && inputLength) memcpy(system, input, inputLength);
    irp->AssociatedIrp.SystemBuffer = system;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

// The simulated PC has one address space: an MDL simply maps the caller's buffer.
bool AttachMdl(PIRP irp, void* buffer, ULONG length)
{
    if (!buffer || !length) return true;
    PMDL mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kBufferTag));
    if (!mdl) return false;
    memset(mdl, 0, sizeof *mdl);
    mdl->StartVa = mdl->MappedSystemVa = buffer;
    mdl->ByteCount = length;
    irp->MdlAddress = mdl;
    return true;
}

}  // namespace kwsim::detail

using namespace kwsim::detail;

extern "C" {

USHORT IoSizeOfIrp_(CCHAR StackSize) { return (USHORT)(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION)); }

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    InitializeListHead(&Irp->ThreadListEntry);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    if (Current()->irql > DISPATCH_LEVEL) Verify("IoAllocateIrp called above DISPATCH_LEVEL");
    if (StackSize < 1) Verify("IoAllocateIrp with a stack size of " + std::to_string(StackSize));
    USHORT size = IoSizeOfIrp_(StackSize);
    PIRP irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
    if (!irp) return nullptr;
    IoInitializeIrp(irp, size, StackSize);
    std::lock_guard<std::mutex> lk(K.mu);
    IO.irps[irp] = IrpInfo{};
    return irp;
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    {
        std::lock_guard<std::mutex> lk(K.mu);
        IrpInfo* info = Live(Irp, "IoReuseIrp");
        if (!info) return;
        if (info->state == IrpState::InDriver) Verify("IoReuseIrp on " + IrpText(Irp) + " while a driver holds it");
        *info = IrpInfo{};
    }
    UCHAR flags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
}

void IoFreeIrp(PIRP Irp)
{
    {
        std::lock_guard<std::mutex> lk(K.mu);
        IrpInfo* info = Live(Irp, "IoFreeIrp");
        if (!info) return;
        if (info->state == IrpState::InDriver) Verify("IoFreeIrp on " + IrpText(Irp) + " while a driver holds it");
        IO.irps.erase(Irp);
    }
    if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer)
        ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, kBufferTag);
    if (Irp->MdlAddress) ExFreePoolWithTag(Irp->MdlAddress, kBufferTag);
    ExFreePoolWithTag(Irp, kIrpTag);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    SimThread* self = Current();
    if (self->irql > DISPATCH_LEVEL) Verify("IoCallDriver called above DISPATCH_LEVEL");
    {
        std::lock_guard<std::mutex> lk(K.mu);
        IrpInfo* info = Live(Irp, "IoCallDriver");
        if (!info) return STATUS_INVALID_PARAMETER;
        info->state = IrpState::InDriver;
    }
    IoSetNextIrpStackLocation(Irp);
    if (Irp->CurrentLocation <= 0) KeBugCheckEx(0x35 /* NO_MORE_IRP_STACK_LOCATIONS */, (ULONG_PTR)Irp, 0, 0, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    auto record = std::make_shared<LocationRecord>();
    record->text = "dispatch routine " + SymbolName((const void*)dispatch) + " for " + IrpText(Irp);
    {
        std::lock_guard<std::mutex> lk(K.mu);
        IO.irps[Irp].locations[Irp->CurrentLocation] = record;
    }
    KIRQL irql = self->irql;
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (self->irql != irql)
        Verify(record->text + " returned at IRQL " + std::to_string(self->irql) + " instead of " + std::to_string(irql));
    std::lock_guard<std::mutex> lk(K.mu);
    record->returnedPending = status == STATUS_PENDING;
    CheckPending(*record, status);
    return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR)
{
    SimThread* self = Current();
    if (self->irql > DISPATCH_LEVEL) Verify("IoCompleteRequest called above DISPATCH_LEVEL");
    {
        std::lock_guard<std::mutex> lk(K.mu);
        IrpInfo* info = Live(Irp, "IoCompleteRequest");
        if (!info) return;
        if (info->state == IrpState::Done) {
            Verify(IrpText(Irp) + " completed twice");
            return;
        }
        info->state = IrpState::Completing;
    }
    if (Irp->CancelRoutine) {
        Verify(IrpText(Irp) + " completed with a cancel routine set");
        Irp->CancelRoutine = nullptr;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) Verify(IrpText(Irp) + " completed with STATUS_PENDING");
    PassSyncPoint(kwsim::sync::kCompleteRequest);

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        {
            std::lock_guard<std::mutex> lk(K.mu);
            auto it = IO.irps.find(Irp);
            if (it != IO.irps.end()) {
                auto loc = it->second.locations.find(Irp->CurrentLocation);
                if (loc != it->second.locations.end()) {
                    loc->second->markedPending = Irp->PendingReturned;
                    CheckPending(*loc->second, STATUS_SUCCESS);
                    it->second.locations.erase(loc);
                }
            }
        }
        UCHAR control = stack->Control;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS st = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            // The routine was set by the driver of the location above; that is its device.
            PDEVICE_OBJECT device =
                Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                std::lock_guard<std::mutex> lk(K.mu);
                auto it = IO.irps.find(Irp);
                if (it != IO.irps.end() && it->second.state == IrpState::Completing) it->second.state = IrpState::Idle;
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
        }
    }

    IrpInfo info;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        auto it = IO.irps.find(Irp);
        if (it == IO.irps.end()) return;
        it->second.state = IrpState::Done;
        info = it->second;
        it->second.onFinish = nullptr;
    }
    if (info.threaded)
        FinishThreadedIrp(Irp, info);
    else
        Verify(IrpText(Irp) + " from IoAllocateIrp was completed to the top: its owner must stop the completion "
                              "with STATUS_MORE_PROCESSING_REQUIRED and free it");
}

void IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&IO.cancelLock, Irql); }
void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&IO.cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp)
{
    {
        std::lock_guard<std::mutex> lk(K.mu);
        if (!Live(Irp, "IoCancelIrp")) return FALSE;
    }
    // The flag is set before the cancel routine is taken, so a driver that looks at it
    // after installing its routine cannot miss a cancel.
    __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);
    PassSyncPoint(kwsim::sync::kCancelBeforeRoutine);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) KeBugCheckEx(0x48 /* CANCEL_STATE_IN_COMPLETED_IRP */, (ULONG_PTR)Irp, 0, 0, 0);
    Irp->CancelIrql = irql;
    // The cancel routine runs with the cancel spin lock held and releases it.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify("IoBuildDeviceIoControlRequest called above PASSIVE_LEVEL");
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = IoControlCode & 3;
    IrpInfo info;
    info.threaded = true;
    bool ok = true;
    if (method == 0 /* METHOD_BUFFERED */) {
        ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        ok = AttachSystemBuffer(irp, length, InputBuffer, InputBufferLength);
        if (OutputBuffer && OutputBufferLength) {
            irp->Flags |= IRP_INPUT_OPERATION;
            info.outputBuffer = OutputBuffer;
            info.outputLength = OutputBufferLength;
        }
    } else if (method == 3 /* METHOD_NEITHER */) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    } else {
        // Direct I/O: the input is buffered, the output described by an MDL.
        ok = AttachSystemBuffer(irp, InputBufferLength, InputBuffer, InputBufferLength) &&
             AttachMdl(irp, OutputBuffer, OutputBufferLength);
    }
    if (!ok) {
        IoFreeIrp(irp);
        return nullptr;
    }
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    std::lock_guard<std::mutex> lk(K.mu);
    IO.irps[irp] = info;
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = (UCHAR)MajorFunction;
    IrpInfo info;
    info.threaded = true;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        if (!AttachSystemBuffer(irp, Length, MajorFunction == IRP_MJ_WRITE ? Buffer : nullptr, Length)) {
            IoFreeIrp(irp);
            return nullptr;
        }
        if (MajorFunction == IRP_MJ_READ && Length) {
            irp->Flags |= IRP_INPUT_OPERATION;
            info.outputBuffer = Buffer;
            info.outputLength = Length;
        }
        next->Parameters.Read.Length = Length;
        if (StartingOffset) next->Parameters.Read.ByteOffset = *StartingOffset;
    }
    irp->UserBuffer = Buffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    std::lock_guard<std::mutex> lk(K.mu);
    IO.irps[irp] = info;
    return irp;
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                  BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
    return STATUS_SUCCESS;
}

}  // extern "C"

namespace kwsim {
size_t LiveIrpCount()
{
    std::lock_guard<std::mutex> lk(K.mu);
    return IO.irps.size();
}
}  // namespace kwsim
