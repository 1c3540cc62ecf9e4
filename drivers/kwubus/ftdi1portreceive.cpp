// CFTDI1Port: the receive path. A completed read is parsed packet by packet at up to
// DISPATCH_LEVEL: status bytes become hold decisions and queued status reports, the
// payload is compacted in place and queued for delivery. Deliveries and reports run on
// queue A at passive level, one at a time. The next read's size follows the port
// driver's free receive space; reading pauses while deliveries fall behind.
#include "ftdi1port.h"
#include "jndebugmanager.h"
#include "kwubustrace.h"

namespace {

PVOID StatusArgument(UCHAR status) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(status)); }
UCHAR StatusOf(PVOID argument) { return static_cast<UCHAR>(reinterpret_cast<ULONG_PTR>(argument)); }

// The line-status bits that matter even when the byte did not change.
const UCHAR kLineErrorBits = FTDI_LINE_STATUS_OE | FTDI_LINE_STATUS_PE | FTDI_LINE_STATUS_FE | FTDI_LINE_STATUS_BI |
                             FTDI_LINE_STATUS_RXFIFO_ERROR;
const UCHAR kReceiveErrorBits = FTDI_LINE_STATUS_PE | FTDI_LINE_STATUS_FE | FTDI_LINE_STATUS_BI;

}  // namespace

void CFTDI1Port::m_QueueReport(JnDeferredFunction routine, UCHAR ucStatus)
{
    if (!m_pQueueA->m_Queue(routine, this, StatusArgument(ucStatus)))
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port - a status report could not be queued");
}

void CFTDI1Port::sm_ReportModemStatus(PVOID port, PVOID status)
{
    static_cast<CFTDI1Port*>(port)->m_ReportModemStatus(StatusOf(status));
}

void CFTDI1Port::sm_ReportLineStatus(PVOID port, PVOID status)
{
    static_cast<CFTDI1Port*>(port)->m_ReportLineStatus(StatusOf(status));
}

void CFTDI1Port::m_ReportModemStatus(UCHAR s)
{
    m_CallModemStatus((s & FTDI_MODEM_STATUS_CTS) != 0, (s & FTDI_MODEM_STATUS_DSR) != 0,
                      (s & FTDI_MODEM_STATUS_RI) != 0, (s & FTDI_MODEM_STATUS_RI_TRAILING_EDGE) != 0,
                      (s & FTDI_MODEM_STATUS_DCD) != 0);
}

void CFTDI1Port::m_ReportLineStatus(UCHAR s)
{
    m_CallLineStatus((s & FTDI_LINE_STATUS_OE) != 0, (s & FTDI_LINE_STATUS_PE) != 0, (s & FTDI_LINE_STATUS_FE) != 0,
                     (s & FTDI_LINE_STATUS_BI) != 0, (s & FTDI_LINE_STATUS_DR) != 0,
                     (s & FTDI_LINE_STATUS_THRE) != 0, (s & FTDI_LINE_STATUS_TEMT) != 0,
                     (s & FTDI_LINE_STATUS_RXFIFO_ERROR) != 0);
}

BOOLEAN CFTDI1Port::m_ReadModemStatusAtConnect()
{
    UCHAR status[2] = {0, 0};
    if (!m_pUSBTransport->m_VendorRequestIN(FTDI_GET_MODEM_STATUS, status, sizeof status)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error reading the modem status.");
        return FALSE;
    }
    UCHAR modem = status[0], line = status[1];
    if (m_Is422485() && m_ulDuplexMode == 2) modem |= FTDI_MODEM_STATUS_CTS;
    if (modem != m_ucModemStatus) {
        m_ucModemStatus = modem;
        m_ReportModemStatus(modem);
    }
    if (line != m_ucLineStatus) {
        m_ucLineStatus = line;
        m_ReportLineStatus(line);
    }
    return TRUE;
}

BOOLEAN CFTDI1Port::sm_DataArrivedCallback(PVOID port, CJnDataBuffer* pBuffer)
{
    return static_cast<CFTDI1Port*>(port)->m_DataArrivedCallback(pBuffer);
}

void CFTDI1Port::m_ReadSize(ULONG ulFree, ULONG ulDelivering, PULONG pulSize, BOOLEAN* pbStop)
{
    const ULONG reserve = m_ulRxFifoSize + FTDI_PACKET_PAYLOAD;
    if (ulFree <= ulDelivering || ulFree - ulDelivering <= reserve) {
        *pbStop = TRUE;
        *pulSize = FTDI_PACKET_SIZE;
        return;
    }
    *pbStop = FALSE;
    ULONG packets = (ulFree - ulDelivering - reserve) / FTDI_PACKET_PAYLOAD;
    ULONG size = packets == 0 ? FTDI_PACKET_SIZE : packets * FTDI_PACKET_SIZE;
    if (size > 4096) size = 4096;
    if (m_ulRxTransferSize && size > m_ulRxTransferSize) size = m_ulRxTransferSize;
    *pulSize = size;
}

// The read the policy asks for, no larger than the port has room for: a read posted
// before any delivery (at connect, after a baud change) must not overrun a small receive
// queue either, since a transfer once delivered cannot be held back.
ULONG CFTDI1Port::m_FittingReadSize()
{
    ULONG freeSpace = 0;
    if (!m_ulRxTransferSize ||
        !m_CallAvailableReceiveBufferSize(0, m_ulRxFifoSize + FTDI_PACKET_PAYLOAD, &freeSpace))
        return m_ulRxTransferSize;
    ULONG size;
    BOOLEAN stop;
    m_ReadSize(freeSpace, 0, &size, &stop);
    return size;
}

BOOLEAN CFTDI1Port::m_DataArrivedCallback(CJnDataBuffer* pBuffer)
{
    CJnStopwatch duration;
    const ULONG length = pBuffer->m_GetLength();
    InterlockedExchangeAdd(&m_lBytesReceived, static_cast<LONG>(length));
    if (length < FTDI_STATUS_SIZE) {
        pBuffer->m_Delete();
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DataArrivedCallback - OUT - Fail-> Invalid data.FTDI transport need at "
                               "least 2 bye of data.");
        return FALSE;
    }
    const LONG readIndex = InterlockedIncrement(&m_lReadCompletions);
    BOOLEAN statusChanged = FALSE;
    CFTDITransferParser parser(pBuffer->m_GetData(), length);
    FTDI_PACKET_STATUS packet;
    while (parser.m_NextPacket(&packet)) {
        UCHAR modem = packet.ucModemStatus;
        const UCHAR line = packet.ucLineStatus;
        // Hardware output flow control follows this packet's lines as they are.
        if (m_bCtsOutputFlowControl)
            m_Hold((modem & FTDI_MODEM_STATUS_CTS) &&
                   (!m_bDsrOutputFlowControl || (modem & FTDI_MODEM_STATUS_DSR)));
        else if (m_bDsrOutputFlowControl)
            m_Hold((modem & FTDI_MODEM_STATUS_DSR) != 0);
        if (m_Is422485() && m_ulDuplexMode == 2) modem |= FTDI_MODEM_STATUS_CTS;
        const UCHAR stored = m_ucModemStatus;
        if (modem != stored) {
            BOOLEAN riTrailingEdge = ((modem ^ stored) & FTDI_MODEM_STATUS_RI) && !(modem & FTDI_MODEM_STATUS_RI);
            if (riTrailingEdge)
                modem |= FTDI_MODEM_STATUS_RI_TRAILING_EDGE;
            else
                modem &= ~FTDI_MODEM_STATUS_RI_TRAILING_EDGE;
            m_ucModemStatus = modem;
            m_QueueReport(sm_ReportModemStatus, modem);
            statusChanged = TRUE;
        }
        if (line != m_ucLineStatus || ((line & kLineErrorBits) && packet.ulPacket == 0 && length > FTDI_STATUS_SIZE)) {
            if (line != m_ucLineStatus) statusChanged = TRUE;
            m_ucLineStatus = line;
            UCHAR report = line;
            if (line & kReceiveErrorBits) report |= FTDI_LINE_STATUS_DR | FTDI_LINE_STATUS_RXFIFO_ERROR;
            if (line & FTDI_LINE_STATUS_BI) report |= FTDI_LINE_STATUS_FE;
            m_QueueReport(sm_ReportLineStatus, report);
        }
        // RTS toggle: the chip's transmitter ran empty after the last transfer.
        if (m_bRtsTogglePending && (line & FTDI_LINE_STATUS_TEMT) && readIndex >= m_lRtsToggleAfterRead) {
            m_bRtsTogglePending = FALSE;
            m_pQueueA->m_Queue(sm_ClearRtsAfterTransmit, this, nullptr);
        }
        if (packet.ulPacket == 0 && packet.bStatusOnly) {
            pBuffer->m_Delete();
            if (statusChanged) m_ClearBackOff();
            m_ulDataArrivedDuration = duration.m_Read();
            return TRUE;
        }
    }
    if (statusChanged) m_ClearBackOff();
    const ULONG payload = parser.m_GetPayloadLength();
    if ((m_bDsrInputSensitivity && !(m_ucModemStatus & FTDI_MODEM_STATUS_DSR)) || payload == 0) {
        pBuffer->m_Delete();
        m_ulDataArrivedDuration = duration.m_Read();
        return TRUE;
    }
    pBuffer->m_Truncate(payload);

    if (m_bXonXoffOutputFlowControl) {
        const PUCHAR data = pBuffer->m_GetData();
        for (ULONG i = 0; i < payload; i++) {
            if (data[i] == m_ucXoffChar) {
                m_bXoffReceived = TRUE;
                m_Hold(FALSE);
            } else if (data[i] == m_ucXonChar) {
                m_bXoffReceived = FALSE;
                m_Hold(!(m_bXonXoffInputFlowControl && !m_bXoffContinue && m_bXoffSent));
            }
        }
    }

    ULONG freeSpace = 0;
    BOOLEAN stop = FALSE;
    if (m_CallAvailableReceiveBufferSize(payload, m_ulRxFifoSize + FTDI_PACKET_PAYLOAD, &freeSpace)) {
        ULONG size;
        m_ReadSize(freeSpace, payload, &size, &stop);
        m_pUSBTransport->m_SetInterruptPipeBufferSize(size);
    }
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DataArrivedCallback - OUT - RxDataLen:0x%X", payload);
    LONG pending = InterlockedIncrement(&m_lPendingDeliveries);
    if (pending > 1 || stop) {
        m_ReadLock.m_Acquire();
        m_bReadPaused = TRUE;
        m_ReadLock.m_Release();
        m_pUSBTransport->m_DisableRead();
    }
    m_bDeliveryInProgress = TRUE;
    m_DeliveryStopwatch.m_Restart();
    if (!m_pQueueA->m_Queue(sm_Deliver, this, pBuffer)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DataArrivedCallback - the delivery could not be queued");
        InterlockedDecrement(&m_lPendingDeliveries);
        pBuffer->m_Delete();
    }
    m_ulDataArrivedDuration = duration.m_Read();
    return TRUE;
}

void CFTDI1Port::sm_Deliver(PVOID port, PVOID buffer)
{
    CFTDI1Port* self = static_cast<CFTDI1Port*>(port);
    self->m_ulDeliveryDelay = self->m_DeliveryStopwatch.m_Read();
    CJnStopwatch duration;
    KeWaitForMutexObject(&self->m_DeliveryMutex, Executive, KernelMode, FALSE, nullptr);
    self->m_CallDataReceived(static_cast<CJnDataBuffer*>(buffer));
    if (InterlockedDecrement(&self->m_lPendingDeliveries) <= 0) {
        InterlockedExchange(&self->m_lPendingDeliveries, 0);
        if (self->m_bReadPaused) self->m_RestartReading();
        self->m_bDeliveryInProgress = FALSE;
    }
    KeSetPriorityThread(KeGetCurrentThread(), 31);
    KeReleaseMutex(&self->m_DeliveryMutex, FALSE);
    self->m_ulDeliveryDuration = duration.m_Read();
}

void CFTDI1Port::m_RestartReading()
{
    if (!m_bPortOpen || m_bSavingState) return;
    ULONG freeSpace = 0;
    if (!m_CallAvailableReceiveBufferSize(0, m_ulRxFifoSize + FTDI_PACKET_PAYLOAD, &freeSpace)) return;
    ULONG size;
    BOOLEAN stop;
    m_ReadSize(freeSpace, 0, &size, &stop);
    m_pUSBTransport->m_SetInterruptPipeBufferSize(size);
    // With Xon/Xoff input flow control the chip itself stops the sender; reading waits
    // for room (the port driver's Xon).
    if (m_bXonXoffInputFlowControl && stop) return;
    m_ReadLock.m_Acquire();
    m_bReadPaused = FALSE;
    m_ReadLock.m_Release();
    if (!m_pUSBTransport->m_EnableRead()) {
        m_pUSBTransport->m_StopRead();
        m_pUSBTransport->m_StartRead(size);
    }
}

void CFTDI1Port::sm_ClearRtsAfterTransmit(PVOID port, PVOID)
{
    CFTDI1Port* self = static_cast<CFTDI1Port*>(port);
    // Only when nothing more went out meanwhile.
    self->m_TransmitLock.m_Acquire();
    BOOLEAN idle = !self->m_bWriteInProgress && IsListEmpty(&self->m_TransmitQueue) && !self->m_bRtsTogglePending;
    self->m_TransmitLock.m_Release();
    if (idle && self->m_bRtsToggleFlowControl && self->m_bPortOpen) self->m_RtsCallback(FALSE);
}
