// CUsbTransport: URB submission and the port reset.
#include "kwusbtransport.h"

#include "jndebugmanager.h"
#include "kwusbtrace.h"

namespace {

// What a waiting submitter and the completion routine share.
struct SubmitContext {
    KEVENT done;
};

// A request copied at DISPATCH_LEVEL: the URB, then its data.
struct UrbCopy {
    URB urb;
    BOOLEAN bWaitWithTimeout;
};

BOOLEAN IsVendorOrClassFunction(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

struct CUsbTransport::PassiveSubmission {
    PURB pUrb;
    PIRP pReusableIrp;
    BOOLEAN bWaitWithTimeout;
    BOOLEAN bResult;
    KEVENT done;
};

CUsbTransport::CUsbTransport()
    : m_pLowerDevice(nullptr), m_pQueue(nullptr), m_lReadState(kUninitialised), m_ReadCallback(nullptr),
      m_pReadContext(nullptr), m_pReadIrp(nullptr), m_pReadUrb(nullptr), m_pvInterruptPipeBuffer(nullptr),
      m_ReadPipe(nullptr), m_lReadSize(0), m_bReadInFlight(FALSE), m_bRestartQueued(FALSE),
      m_bReadStopwatchRunning(FALSE), m_ulReadInterval(0), m_ulReadCallbackDuration(0)
{
    KeInitializeEvent(&m_StopEvent, NotificationEvent, TRUE);
}

CUsbTransport::~CUsbTransport() { m_DeInitTransport(); }

BOOLEAN CUsbTransport::m_InitTransport(PDEVICE_OBJECT lowerDevice)
{
    if (!lowerDevice || m_pQueue) return FALSE;
    m_pLowerDevice = lowerDevice;
    // Its own thread: re-submissions and passive-level work run in order, and the
    // thread's priority is the transport's own to raise.
    m_pQueue = new CJnDeferredQueue();
    if (!m_pQueue || !m_pQueue->m_Init(nullptr)) {
        delete m_pQueue;
        m_pQueue = nullptr;
        return FALSE;
    }
    return TRUE;
}

void CUsbTransport::sm_SignalFlushed(PVOID event, PVOID) { KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE); }

void CUsbTransport::m_DeInitTransport()
{
    if (m_lReadState >= kInitialised) m_DeleteInterruptUrb();
    if (m_pQueue) {
        // Requests handed over at DISPATCH_LEVEL are still sent: the queue runs in order,
        // so once this marker has run, everything queued before it has.
        KEVENT flushed;
        KeInitializeEvent(&flushed, NotificationEvent, FALSE);
        if (m_pQueue->m_Queue(sm_SignalFlushed, &flushed, nullptr))
            KeWaitForSingleObject(&flushed, Executive, KernelMode, FALSE, nullptr);
        m_pQueue->m_Stop();
        delete m_pQueue;
        m_pQueue = nullptr;
    }
}

BOOLEAN CUsbTransport::m_QueuePassive(JnDeferredFunction function, PVOID argument1, PVOID argument2)
{
    return m_pQueue && m_pQueue->m_Queue(function, argument1, argument2);
}

NTSTATUS CUsbTransport::sm_OnComplete(PDEVICE_OBJECT, PIRP, PVOID context)
{
    // The submitter frees (or keeps) the IRP once it has seen the result.
    KeSetEvent(&static_cast<SubmitContext*>(context)->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN CUsbTransport::m_SubmitUrb(PURB pUrb, BOOLEAN bForcePassive, BOOLEAN bWaitWithTimeout, PIRP pReusableIrp)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL) return m_SendCopyLater(pUrb);
    if (irql > PASSIVE_LEVEL && (bForcePassive || !IoIsWdmVersionAvailable(1, 0x10))) {
        PassiveSubmission submission;
        submission.pUrb = pUrb;
        submission.pReusableIrp = pReusableIrp;
        submission.bWaitWithTimeout = bWaitWithTimeout;
        submission.bResult = FALSE;
        KeInitializeEvent(&submission.done, NotificationEvent, FALSE);
        DbgPrint("Block here\n");
        if (!m_QueuePassive(sm_SubmitUrbAtPassiveLevel, &submission, this)) return FALSE;
        KeWaitForSingleObject(&submission.done, Executive, KernelMode, FALSE, nullptr);
        DbgPrint("UnBlock here\n");
        return submission.bResult;
    }
    return m_SubmitUsbRequestDispatchLevel(IOCTL_INTERNAL_USB_SUBMIT_URB, pUrb, bWaitWithTimeout, pReusableIrp);
}

void CUsbTransport::sm_SubmitUrbAtPassiveLevel(PVOID submission, PVOID transport)
{
    PassiveSubmission* s = static_cast<PassiveSubmission*>(submission);
    // The caller's own choice of waiting: a bulk transfer may take longer than a second.
    s->bResult = static_cast<CUsbTransport*>(transport)->m_SubmitUsbRequestDispatchLevel(
        IOCTL_INTERNAL_USB_SUBMIT_URB, s->pUrb, s->bWaitWithTimeout, s->pReusableIrp);
    KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
}

BOOLEAN CUsbTransport::m_SendCopyLater(PURB pUrb)
{
    // Nobody may wait here, and the caller's URB and buffer are gone as soon as it
    // returns: only requests that bring no data back can be sent later, from a copy.
    USHORT function = pUrb->UrbHeader.Function;
    ULONG length, flags;
    PVOID data;
    BOOLEAN bWait;
    if (IsVendorOrClassFunction(function)) {
        flags = pUrb->UrbControlVendorClassRequest.TransferFlags;
        length = pUrb->UrbControlVendorClassRequest.TransferBufferLength;
        data = pUrb->UrbControlVendorClassRequest.TransferBuffer;
        bWait = TRUE;
    } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        flags = pUrb->UrbBulkOrInterruptTransfer.TransferFlags;
        length = pUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        data = pUrb->UrbBulkOrInterruptTransfer.TransferBuffer;
        bWait = FALSE;
    } else {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_SubmitUrb - OUT - Fail-> URB function 0x%X at DISPATCH_LEVEL.", function);
        return FALSE;
    }
    if ((flags & USBD_TRANSFER_DIRECTION_IN) || (length && !data)) {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_SubmitUrb - OUT - Fail-> IN transfer at DISPATCH_LEVEL.");
        return FALSE;
    }
    UrbCopy* copy = static_cast<UrbCopy*>(JnAllocate(sizeof(UrbCopy) + length, NonPagedPool));
    if (!copy) return FALSE;
    RtlCopyMemory(&copy->urb, pUrb, sizeof(URB));
    copy->bWaitWithTimeout = bWait;
    PUCHAR bytes = reinterpret_cast<PUCHAR>(copy + 1);
    if (length) RtlCopyMemory(bytes, data, length);
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        copy->urb.UrbBulkOrInterruptTransfer.TransferBuffer = length ? bytes : nullptr;
        copy->urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = nullptr;
    } else {
        copy->urb.UrbControlVendorClassRequest.TransferBuffer = length ? bytes : nullptr;
        copy->urb.UrbControlVendorClassRequest.TransferBufferMDL = nullptr;
    }
    if (!m_QueuePassive(sm_SendCopyAtPassiveLevel, copy, this)) {
        JnFree(copy);
        return FALSE;
    }
    JnTrace(KW_USB_TRACE, "CUsbTransport::m_SubmitUrb - URB function 0x%X sent from passive level.", function);
    return TRUE;
}

void CUsbTransport::sm_SendCopyAtPassiveLevel(PVOID copy, PVOID transport)
{
    UrbCopy* c = static_cast<UrbCopy*>(copy);
    if (!static_cast<CUsbTransport*>(transport)->m_SubmitUsbRequestDispatchLevel(IOCTL_INTERNAL_USB_SUBMIT_URB, &c->urb,
                                                                                c->bWaitWithTimeout, nullptr))
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_SubmitUrb - deferred URB failed, USBD status 0x%X",
                c->urb.UrbHeader.Status);
    JnFree(c);
}

BOOLEAN CUsbTransport::m_SubmitUsbRequestDispatchLevel(ULONG ulIoControlCode, PURB pUrb, BOOLEAN bWaitWithTimeout,
                                                       PIRP pReusableIrp)
{
    PIRP irp = pReusableIrp;
    if (irp) {
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    } else {
        irp = IoAllocateIrp(m_pLowerDevice->StackSize, FALSE);
        if (!irp) {
            JnTrace(KW_USB_TRACE, "CUsbTransport::m_SubmitUsbRequestDispatchLevel - IoAllocateIrp failed");
            return FALSE;
        }
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ulIoControlCode;
    next->Parameters.Others.Argument1 = pUrb;
    SubmitContext context;
    KeInitializeEvent(&context.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, sm_OnComplete, &context, TRUE, TRUE, TRUE);

    IoCallDriver(m_pLowerDevice, irp);
    BOOLEAN timedOut = FALSE;
    if (bWaitWithTimeout) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -kRequestTimeout;
        if (KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            DbgPrint("STATUS_TIMEOUT\n");
            IoCancelIrp(irp);
            KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
            timedOut = TRUE;
        }
    } else {
        KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (!pReusableIrp) IoFreeIrp(irp);
    if (timedOut) return FALSE;
    if (status != STATUS_SUCCESS) {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_SubmitUsbRequestDispatchLevel - ntstatus != STATUS_SUCCESS");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CUsbTransport::m_SubmitUsbRequest(ULONG ulIoControlCode)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_UNSUCCESSFUL;
    iosb.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(ulIoControlCode, m_pLowerDevice, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    if (!irp) {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_SubmitUsbRequest - IoBuildDeviceIoControlRequest failed");
        return FALSE;
    }
    NTSTATUS status = IoCallDriver(m_pLowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status == STATUS_SUCCESS;
}
