// CUsbTransport: the continuous read. One IRP and URB are allocated once; every
// submission gets a fresh buffer of the current size. Completions arrive from the USB
// stack at up to DISPATCH_LEVEL; the next read is submitted from the transport's own
// passive-level thread.
//
// Besides the state, the read lock guards two facts a stop must wait for: the IRP is
// with the stack or its completion routine (in flight), and a re-submission is queued.
// The stop event is set exactly while neither holds, so a stop or a delete never frees
// or re-uses the IRP under anyone's feet, whatever order completions, re-submissions,
// disables and enables come in.
#include "jndebugmanager.h"
#include "kwusbtrace.h"
#include "kwusbtransport.h"

namespace {
const char kSourcePath[] = "framework\\usb\\kwusbtransport";
}

const char* CUsbTransport::sm_ReadStateName(LONG state)
{
    switch (state) {
    case kUninitialised: return "Uninitialised";
    case kRegistered: return "Registered";
    case kInitialised: return "Initialised";
    case kStarted: return "Started";
    case kDisabled: return "Disabled";
    case kCancelled: return "Cancelled";
    default: return "?????";
    }
}

void CUsbTransport::m_UpdateIdleLocked()
{
    if (!m_bReadInFlight && !m_bRestartQueued)
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
    else
        KeClearEvent(&m_StopEvent);
}

BOOLEAN CUsbTransport::m_RegisterInterruptUrbCallback(KwUsbReadCallback callback, PVOID context)
{
    m_ReadLock.m_Acquire();
    LONG state = m_lReadState;
    if (state != kUninitialised && state != kRegistered) {
        m_ReadLock.m_Release();
        JnAssertPrint(kSourcePath, __LINE__);
        return FALSE;
    }
    if (state == kRegistered)
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_RegisterInterruptUrbCallback OUT - a callback was already registered");
    m_ReadCallback = callback;
    m_pReadContext = context;
    InterlockedExchange(&m_lReadState, kRegistered);
    m_ReadLock.m_Release();
    return TRUE;
}

BOOLEAN CUsbTransport::m_CreateInterruptUrb()
{
    if (m_lReadState != kRegistered || !m_pLowerDevice) {
        JnAssertPrint(kSourcePath, __LINE__);
        return FALSE;
    }
    PIRP irp = IoAllocateIrp(m_pLowerDevice->StackSize, FALSE);
    if (!irp) {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_CreateInterruptUrb - IoAllocateIrp failed");
        return FALSE;
    }
    PURB urb = static_cast<PURB>(JnAllocate(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), NonPagedPool));
    if (!urb) {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_CreateInterruptUrb - ExAllocate for URB failed");
        IoFreeIrp(irp);
        return FALSE;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    m_ReadLock.m_Acquire();
    m_pReadIrp = irp;
    m_pReadUrb = urb;
    InterlockedExchange(&m_lReadState, kInitialised);
    m_ReadLock.m_Release();
    return TRUE;
}

BOOLEAN CUsbTransport::m_PrepareReadLocked(USBD_PIPE_HANDLE pipe, ULONG ulSize)
{
    if (m_pvInterruptPipeBuffer) {
        JnTrace(KW_USB_TRACE, "Error: m_pvInterruptPipeBuffer != NULL");
        JnFree(m_pvInterruptPipeBuffer);
        m_pvInterruptPipeBuffer = nullptr;
    }
    m_pvInterruptPipeBuffer = JnAllocate(ulSize, NonPagedPool);
    if (!m_pvInterruptPipeBuffer) {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_StartInterruptUrb - ExAllocate for m_pvInterruptPipeBuffer failed");
        return FALSE;
    }
    m_ReadPipe = pipe;
    InterlockedExchange(&m_lReadSize, static_cast<LONG>(ulSize));
    UsbBuildInterruptOrBulkTransferRequest(m_pReadUrb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           m_pvInterruptPipeBuffer, nullptr, ulSize,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    IoReuseIrp(m_pReadIrp, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_pReadIrp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = m_pReadUrb;
    IoSetCompletionRoutine(m_pReadIrp, sm_OnInterrupt, this, TRUE, TRUE, TRUE);
    InterlockedExchange(&m_lReadState, kStarted);
    m_bReadInFlight = TRUE;
    m_UpdateIdleLocked();
    return TRUE;
}

void CUsbTransport::m_SendRead()
{
    // A stop that comes between the move to "Started" and this call cancels an IRP that
    // is not sent yet; the stack sees the cancel flag and completes it at once.
    IoCallDriver(m_pLowerDevice, m_pReadIrp);
}

BOOLEAN CUsbTransport::m_StartInterruptUrb(USBD_PIPE_HANDLE pipe, ULONG ulSize)
{
    m_ReadLock.m_Acquire();
    if (m_lReadState != kInitialised || m_bReadInFlight || m_bRestartQueued || !pipe || ulSize == 0) {
        m_ReadLock.m_Release();
        JnAssertPrint(kSourcePath, __LINE__);
        return FALSE;
    }
    BOOLEAN prepared = m_PrepareReadLocked(pipe, ulSize);
    m_ReadLock.m_Release();
    if (!prepared) return FALSE;
    m_SendRead();
    return TRUE;
}

void CUsbTransport::m_SetInterruptUrbSize(ULONG ulSize)
{
    if (ulSize) InterlockedExchange(&m_lReadSize, static_cast<LONG>(ulSize));
}

BOOLEAN CUsbTransport::m_DisableInterruptUrb()
{
    m_ReadLock.m_Acquire();
    LONG previous = m_lReadState;
    if (previous == kInitialised || previous == kStarted) InterlockedExchange(&m_lReadState, kDisabled);
    m_ReadLock.m_Release();
    return previous == kStarted;
}

BOOLEAN CUsbTransport::m_EnableInterruptUrb()
{
    m_ReadLock.m_Acquire();
    LONG state = m_lReadState;
    if (state == kStarted) {
        m_ReadLock.m_Release();
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_EnableInterruptUrb OUT - State: Already started - Status=true");
        return TRUE;
    }
    if (state != kDisabled) {
        m_ReadLock.m_Release();
        JnAssertPrint(kSourcePath, __LINE__);
        return FALSE;
    }
    if (m_bReadInFlight || m_bRestartQueued) {
        // The read disabled a moment ago has not finished yet: it is simply re-submitted
        // after its completion again.
        InterlockedExchange(&m_lReadState, kStarted);
        m_ReadLock.m_Release();
        return TRUE;
    }
    InterlockedExchange(&m_lReadState, kInitialised);
    BOOLEAN prepared = m_PrepareReadLocked(m_ReadPipe, static_cast<ULONG>(m_lReadSize));
    m_ReadLock.m_Release();
    if (!prepared) return FALSE;
    m_SendRead();
    return TRUE;
}

BOOLEAN CUsbTransport::m_StopInterruptUrb()
{
    m_ReadLock.m_Acquire();
    LONG state = m_lReadState;
    BOOLEAN busy = m_bReadInFlight || m_bRestartQueued;
    if (state != kStarted && state != kDisabled && !(state == kInitialised && busy)) {
        m_ReadLock.m_Release();
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_StopInterruptUrb - State: %s", sm_ReadStateName(state));
        JnAssertPrint(kSourcePath, __LINE__);
        return FALSE;
    }
    InterlockedExchange(&m_lReadState, kCancelled);
    BOOLEAN inFlight = m_bReadInFlight;
    m_ReadLock.m_Release();
    if (inFlight) IoCancelIrp(m_pReadIrp);
    KeWaitForSingleObject(&m_StopEvent, Executive, KernelMode, FALSE, nullptr);
    m_ReadLock.m_Acquire();
    InterlockedExchange(&m_lReadState, kInitialised);
    m_ReadLock.m_Release();
    m_ClearStatistics();
    return TRUE;
}

BOOLEAN CUsbTransport::m_DeleteInterruptUrb()
{
    LONG state = m_lReadState;
    if (state == kStarted || state == kDisabled || (state == kInitialised && KeReadStateEvent(&m_StopEvent) == 0)) {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_DeleteInterruptUrb - Need to stop URB first");
        m_StopInterruptUrb();
    }
    m_ReadLock.m_Acquire();
    if (m_lReadState != kInitialised) {
        m_ReadLock.m_Release();
        JnAssertPrint(kSourcePath, __LINE__);
        return FALSE;
    }
    PIRP irp = m_pReadIrp;
    PURB urb = m_pReadUrb;
    m_pReadIrp = nullptr;
    m_pReadUrb = nullptr;
    InterlockedExchange(&m_lReadState, kRegistered);
    m_ReadLock.m_Release();
    if (irp) IoFreeIrp(irp);
    JnFree(urb);
    return TRUE;
}

void CUsbTransport::m_ClearStatistics()
{
    m_ulReadInterval = 0;
    m_ulReadCallbackDuration = 0;
    m_bReadStopwatchRunning = FALSE;
}

NTSTATUS CUsbTransport::sm_OnInterrupt(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    static_cast<CUsbTransport*>(context)->m_OnInterrupt(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CUsbTransport::m_OnInterrupt(PIRP irp)
{
    const BOOLEAN atDispatch = KeGetCurrentIrql() >= DISPATCH_LEVEL;
    NTSTATUS status = irp->IoStatus.Status;
    BOOLEAN cancelled = status == STATUS_CANCELLED || irp->Cancel;

    if (atDispatch)
        m_ReadLock.m_AcquireAtDpcLevel();
    else
        m_ReadLock.m_Acquire();
    PVOID buffer = m_pvInterruptPipeBuffer;
    m_pvInterruptPipeBuffer = nullptr;
    if (cancelled || m_lReadState == kCancelled) {
        InterlockedExchange(&m_lReadState, kInitialised);
        m_bReadInFlight = FALSE;
        m_UpdateIdleLocked();
        m_ReadLock.m_Release();
        JnFree(buffer);
        return;
    }
    if (!NT_SUCCESS(status)) {
        // Reading stays stopped until it is stopped and started again.
        m_bReadInFlight = FALSE;
        m_UpdateIdleLocked();
        m_ReadLock.m_Release();
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_OnInterrupt - IRP was no successful, NTSTATUS=%s",
                CJnDebugManager::sm_StatusName(status));
        JnFree(buffer);
        return;
    }
    ULONG length = m_pReadUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (m_bReadStopwatchRunning) m_ulReadInterval = m_ReadStopwatch.m_Read() / 1000;
    m_ReadStopwatch.m_Restart();
    m_bReadStopwatchRunning = TRUE;
    m_ReadLock.m_Release();

    // The callback runs without the read lock: it may disable the read (and the data
    // path behind it takes locks of its own). The IRP stays "in flight" until the
    // decision below, so a stop meanwhile waits for it.
    if (length) {
        CJnStopwatch duration;
        m_ReadCallback(m_pReadContext, static_cast<PUCHAR>(buffer), length);
        m_ulReadCallbackDuration = duration.m_Read();
    } else {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_OnInterrupt - Data amount received was 0");
    }
    JnFree(buffer);

    if (atDispatch)
        m_ReadLock.m_AcquireAtDpcLevel();
    else
        m_ReadLock.m_Acquire();
    m_bReadInFlight = FALSE;
    LONG state = m_lReadState;
    if (state == kCancelled) {
        InterlockedExchange(&m_lReadState, kInitialised);
        m_UpdateIdleLocked();
        m_ReadLock.m_Release();
        return;
    }
    if (state == kDisabled) {
        m_UpdateIdleLocked();
        m_ReadLock.m_Release();
        JnTrace(KW_USB_TRACE,
                "CUsbTransport::m_OnInterrupt - Not re-starting URB, as state machine state was 'Disabled'");
        return;
    }
    InterlockedExchange(&m_lReadState, kInitialised);
    m_bRestartQueued = TRUE;
    m_UpdateIdleLocked();
    m_ReadLock.m_Release();
    if (!m_QueuePassive(sm_RestartInterruptUrb, this, nullptr)) {
        JnTrace(KW_USB_TRACE, "CUsbTransport::m_OnInterrupt - re-start could not be queued");
        if (atDispatch)
            m_ReadLock.m_AcquireAtDpcLevel();
        else
            m_ReadLock.m_Acquire();
        m_bRestartQueued = FALSE;
        m_UpdateIdleLocked();
        m_ReadLock.m_Release();
    }
}

void CUsbTransport::sm_RestartInterruptUrb(PVOID context, PVOID)
{
    CUsbTransport* transport = static_cast<CUsbTransport*>(context);
    KW_SYNC_POINT("KwUsbReadRestart");
    // Reading keeps up best when the re-submitting thread is not kept waiting: raise it,
    // this transport's own thread, and nothing else.
    KeSetPriorityThread(KeGetCurrentThread(), 31);
    transport->m_ReadLock.m_Acquire();
    transport->m_bRestartQueued = FALSE;
    if (transport->m_lReadState != kInitialised) {
        // Stopped or disabled meanwhile: nothing is re-submitted.
        transport->m_UpdateIdleLocked();
        transport->m_ReadLock.m_Release();
        return;
    }
    BOOLEAN prepared =
        transport->m_PrepareReadLocked(transport->m_ReadPipe, static_cast<ULONG>(transport->m_lReadSize));
    if (!prepared) transport->m_UpdateIdleLocked();
    transport->m_ReadLock.m_Release();
    if (prepared) transport->m_SendRead();
}
