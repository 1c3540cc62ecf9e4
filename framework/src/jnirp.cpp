#include "jnirp.h"

namespace {
NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

NTSTATUS JnCompleteIrp(PIRP irp, NTSTATUS status) { return JnCompleteIrp(irp, status, irp->IoStatus.Information); }

NTSTATUS JnCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    if (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) IoSetCancelRoutine(irp, nullptr);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS JnForwardIrpSynchronously(PIRP irp, PDEVICE_OBJECT lower)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

bool JnSendIoctlSynchronously(PDEVICE_OBJECT lower, ULONG code, PVOID inBuffer, ULONG inLength, PVOID outBuffer,
                              PULONG inOutLength, BOOLEAN internal, PFILE_OBJECT fileObject)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_UNSUCCESSFUL;
    iosb.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, inBuffer, inLength, outBuffer, inOutLength ? *inOutLength : 0,
                                             internal, &done, &iosb);
    if (!irp) return false;
    if (fileObject) IoGetNextIrpStackLocation(irp)->FileObject = fileObject;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (!NT_SUCCESS(status)) return false;
    if (inOutLength) *inOutLength = (ULONG)iosb.Information;
    return true;
}
