// CUsb: bulk-out transfers on the pipes of the endpoint table, and the spare request.
#include "kwusb.h"

#include "jndebugmanager.h"
#include "kwusbtrace.h"

CUsb::CUsb()
    : m_ulEndpointCount(0), m_lLastSendStatus(USBD_STATUS_SUCCESS), m_pSpareIrp(nullptr), m_pSpareUrb(nullptr), m_bSpareBusy(FALSE), m_bSpareReleased(FALSE)
{
    RtlZeroMemory(m_Endpoints, sizeof m_Endpoints);
    KeInitializeEvent(&m_SpareIdle, NotificationEvent, TRUE);
}

CUsb::~CUsb() { m_FreeSpareBulkRequest(); }

USBD_PIPE_HANDLE CUsb::m_GetPipe(ULONG ulHandle) const
{
    for (ULONG i = 0; i < m_ulEndpointCount; i++)
        if (m_Endpoints[i].ulEndPointHandle == ulHandle && m_Endpoints[i].hPipe) return m_Endpoints[i].hPipe;
    return nullptr;
}

BOOLEAN CUsb::m_AllocateSpareBulkRequest()
{
    if (m_pSpareIrp) return TRUE;
    PDEVICE_OBJECT lower = m_GetLowerDevice();
    if (!lower) return FALSE;
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    PURB urb = static_cast<PURB>(JnAllocate(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), NonPagedPool));
    if (!irp || !urb) {
        if (irp) IoFreeIrp(irp);
        JnFree(urb);
        return FALSE;
    }
    m_SpareLock.m_Acquire();
    m_pSpareIrp = irp;
    m_pSpareUrb = urb;
    m_bSpareBusy = FALSE;
    m_bSpareReleased = FALSE;
    KeSetEvent(&m_SpareIdle, IO_NO_INCREMENT, FALSE);
    m_SpareLock.m_Release();
    return TRUE;
}

void CUsb::m_FreeSpareBulkRequest()
{
    m_SpareLock.m_Acquire();
    PIRP irp = m_bSpareReleased ? nullptr : m_pSpareIrp;
    BOOLEAN busy = m_bSpareBusy;
    m_SpareLock.m_Release();
    if (!irp) return;
    if (busy) {
        // Nothing frees the request before it is released, so it can be cancelled here.
        IoCancelIrp(irp);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -kSpareCancelWait;
        KeWaitForSingleObject(&m_SpareIdle, Executive, KernelMode, FALSE, &timeout);
    }
    m_SpareLock.m_Acquire();
    if (m_bSpareBusy) {
        // The transfer outlived the wait: its sender frees the request when it is back.
        m_bSpareReleased = TRUE;
        m_SpareLock.m_Release();
        return;
    }
    PURB urb = m_pSpareUrb;
    m_pSpareIrp = nullptr;
    m_pSpareUrb = nullptr;
    m_SpareLock.m_Release();
    IoFreeIrp(irp);
    JnFree(urb);
}

BOOLEAN CUsb::m_SendData(ULONG ulHandle, const UCHAR* pucData, ULONG ulLength, PULONG pulWritten)
{
    *pulWritten = 0;
    USBD_PIPE_HANDLE pipe = m_GetPipe(ulHandle);
    if (!pipe) {
        JnTrace(KW_USB_TRACE, "CUsb::m_SendData - no pipe for EndPointHandle %d", ulHandle);
        return FALSE;
    }
    // The spare request carries the transfer when it is free (it is what a disconnect
    // cancels); otherwise the transfer gets a request of its own.
    URB local;
    RtlZeroMemory(&local, sizeof local);
    PURB urb = &local;
    PIRP irp = nullptr;
    m_SpareLock.m_Acquire();
    if (m_pSpareIrp && !m_bSpareBusy && !m_bSpareReleased) {
        m_bSpareBusy = TRUE;
        KeClearEvent(&m_SpareIdle);
        urb = m_pSpareUrb;
        irp = m_pSpareIrp;
    }
    m_SpareLock.m_Release();
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           const_cast<PUCHAR>(pucData), nullptr, ulLength, 0, nullptr);
    BOOLEAN submitted = m_SubmitUrb(urb, FALSE, FALSE, irp);
    *pulWritten = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    m_lLastSendStatus = urb->UrbHeader.Status;
    if (irp) {
        m_SpareLock.m_Acquire();
        m_bSpareBusy = FALSE;
        BOOLEAN freeNow = m_bSpareReleased;
        if (freeNow) {
            m_pSpareIrp = nullptr;
            m_pSpareUrb = nullptr;
            m_bSpareReleased = FALSE;
        }
        KeSetEvent(&m_SpareIdle, IO_NO_INCREMENT, FALSE);
        m_SpareLock.m_Release();
        if (freeNow) {
            IoFreeIrp(irp);
            JnFree(urb);
        }
    }
    if (!submitted) {
        JnTrace(KW_USB_TRACE, "CUsb::m_SendData - m_SubmitUrb failed");
        return FALSE;
    }
    return *pulWritten == ulLength;
}
