// Status of the port object: comm events and the wait mask, comm and modem status, purge and
// reset, the transmitter query, the line snapshot and the statistics.
#include "vcp.h"
#include "jndebugmanager.h"

namespace {
const ULONG kTransmitterEmpty = SERIAL_LSR_THRE | SERIAL_LSR_TEMT;

// The HoldReasons bit of each hold word (0: none).
const ULONG kHoldReason[CVCP::kHoldCount] = {
    SERIAL_TX_WAITING_FOR_CTS,   SERIAL_TX_WAITING_FOR_DSR,  SERIAL_TX_WAITING_FOR_DCD,
    SERIAL_TX_WAITING_FOR_XON,   SERIAL_TX_WAITING_XOFF_SENT, SERIAL_TX_WAITING_ON_BREAK,
    SERIAL_RX_WAITING_FOR_DSR,   0,                          0,
};
const ULONG kReceiveHoldReasons = SERIAL_RX_WAITING_FOR_DSR | SERIAL_TX_WAITING_XOFF_SENT;
}  // namespace

// ---- events and the wait mask ----

void CVCP::m_SetCommEventsReceived(ULONG ulEvents) { m_pDevice->m_ControlQueue.m_SetCommEventsReceived(ulEvents); }

BOOLEAN CVCP::m_ResolveCurrentEventMask()
{
    m_pDevice->m_ControlQueue.m_ResolveCurrentEventMask(nullptr);
    return TRUE;
}

NTSTATUS CVCP::m_SetWaitMask(ULONG ulMask)
{
    CJnControlQueue& control = m_pDevice->m_ControlQueue;
    control.m_ClearCommEvents(0xFFFFFFFF);
    if (ulMask & kInvalidWaitMask) {
        JnTrace(kTraceChannel, "CVCP::m_SetWaitMask - OUT -Fail->setting wait mask.");
        return STATUS_INVALID_PARAMETER;
    }
    control.m_SetWaitMask(ulMask);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_GetWaitMask(PULONG pulMask)
{
    if (!pulMask) {
        JnTrace(kTraceChannel, "CVCP::m_GetWaitMask - OUT - Fail->pulNewWaitMask is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *pulMask = m_pDevice->m_ControlQueue.m_GetWaitMask();
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_WaitOnMask(PVOID pOutput, ULONG ulOutputLength, PULONG_PTR pInformation,
                            CJnControlQueue** ppControlQueue)
{
    if (!ppControlQueue) return STATUS_INVALID_PARAMETER;
    *ppControlQueue = &m_pDevice->m_ControlQueue;
    return STATUS_PENDING;
}

// ---- status ----

ULONG CVCP::m_HoldReasons()
{
    ULONG reasons = 0;
    for (ULONG i = 0; i < kHoldCount; i++)
        if (m_IsHeld((Hold)i)) reasons |= kHoldReason[i];
    return reasons;
}

BOOLEAN CVCP::m_IsErrorAbortPending()
{
    return (m_ControlHandShake() & SERIAL_ERROR_ABORT) && (sm_Read(m_ulErrors) || sm_Read(m_ulOverflowErrors));
}

NTSTATUS CVCP::m_GetCommStatus(PSERIAL_STATUS pStatus)
{
    if (!pStatus) return STATUS_INVALID_PARAMETER;
    pStatus->Errors = sm_Exchange(m_ulErrors, 0) | sm_Exchange(m_ulOverflowErrors, 0);
    // Collecting the errors ends an error abort.
    m_SetQueuesAccepting();
    pStatus->EofReceived = FALSE;
    pStatus->AmountInInQueue = m_pDevice->m_ReadQueue.m_GetDataAmount();
    pStatus->AmountInOutQueue = m_pDevice->m_WriteQueue.m_GetQueuedBytes() + sm_Read(m_ulPendingTransmitCount);
    pStatus->WaitForImmediate = sm_Read(m_bWaitForImmediate) ? TRUE : FALSE;
    pStatus->HoldReasons = m_HoldReasons();
    JnTrace(kTraceChannel, "\tErrors:0x%X HoldReasons:0x%X AmountInInQueue:%d AmountInOutQueue:%d", pStatus->Errors,
            pStatus->HoldReasons, pStatus->AmountInInQueue, pStatus->AmountInOutQueue);
    JnTrace(kTraceChannel, "\tEofReceived:%d WaitForImmediate:%d", pStatus->EofReceived, pStatus->WaitForImmediate);
    return STATUS_SUCCESS;
}

ULONG CVCP::m_GetModemStatus()
{
    if (!m_Serial("m_GetModemStatus") || !m_Bus(&ISerial::m_UpdateModemStatusCallback)) {
        JnTrace(kTraceChannel, "CVCP::m_GetModemStatus - OUT - m_UpdateModemStatus failed");
        return 0;
    }
    ULONG status = sm_Read(m_ulModemStatus);
    if (m_pParameters && m_pParameters->m_ulEmulateCTSTrue) status |= SERIAL_MSR_CTS;
    if (m_pParameters && m_pParameters->m_ulEmulateDSRTrue) status |= SERIAL_MSR_DSR;
    JnTrace(kTraceChannel, "CVCP::m_GetModemStatus - OUT (Success) - ModemStatus:0x%X", status);
    return status;
}

NTSTATUS CVCP::m_Purge(ULONG ulMask)
{
    if (!m_Serial("m_Purge")) return STATUS_UNSUCCESSFUL;
    if (!ulMask || (ulMask & ~kAllPurgeBits)) {
        JnTrace(kTraceChannel, "CVCP::m_Purge - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    if (ulMask & SERIAL_PURGE_RXABORT) m_pDevice->m_ReadQueue.m_CancelAllIrps();
    if (ulMask & SERIAL_PURGE_TXABORT) m_pDevice->m_WriteQueue.m_CancelAllIrps();
    if (!m_Bus(&ISerial::m_PurgeCallback, (BOOLEAN)((ulMask & SERIAL_PURGE_TXABORT) != 0),
               (BOOLEAN)((ulMask & SERIAL_PURGE_RXCLEAR) != 0)))
        JnTrace(kTraceChannel, "CVCP::m_Purge - OUT - Fail-> Error calling m_Purge.");
    if (ulMask & SERIAL_PURGE_RXCLEAR) m_pDevice->m_ReadQueue.m_FlushData();
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_ResetDevice()
{
    if (!m_Serial("m_ResetDevice")) return STATUS_UNSUCCESSFUL;
    if (!m_Bus(&ISerial::m_PurgeCallback, (BOOLEAN)TRUE, (BOOLEAN)TRUE)) {
        JnTrace(kTraceChannel, "CVCP::m_ResetDevice - OUT - Fail-> Error calling m_Purge.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

BOOLEAN CVCP::m_CheckIsTransmitterIsEmpty()
{
    if (!m_pSerialInterface || !m_pSerialInterface->m_GetInterface() || !m_bConnected) return TRUE;
    ULONG txFifo = 0, rxFifo = 0;
    m_Bus(&ISerial::m_GetFifoSizesCallback, &txFifo, &rxFifo);
    return (sm_Read(m_ulLineStatus) & kTransmitterEmpty) == kTransmitterEmpty;
}

BOOLEAN CVCP::m_GetLineSnapshot(VcpLineSnapshot* pSnapshot)
{
    if (!pSnapshot) return FALSE;
    ULONG reasons = m_HoldReasons();
    pSnapshot->ucModemControl = m_ucModemControl;
    pSnapshot->ucModemStatus = (UCHAR)sm_Read(m_ulModemStatus);
    pSnapshot->ucLineStatus = (UCHAR)sm_Read(m_ulLineStatus);
    pSnapshot->ulTransmitHoldReasons = reasons & ~kReceiveHoldReasons;
    pSnapshot->ulReceiveHoldReasons = reasons & kReceiveHoldReasons;
    pSnapshot->ulWaitMask = m_pDevice->m_ControlQueue.m_GetWaitMask();
    return TRUE;
}

// ---- statistics ----

void CVCP::m_GetStatistics(PSERIALPERF_STATS pStats)
{
    pStats->ReceivedCount = sm_Read(m_ReceivedCount);
    pStats->TransmittedCount = sm_Read(m_TransmittedCount);
    pStats->FrameErrorCount = sm_Read(m_FrameErrorCount);
    pStats->SerialOverrunErrorCount = sm_Read(m_SerialOverrunErrorCount);
    pStats->BufferOverrunErrorCount = sm_Read(m_BufferOverrunErrorCount);
    pStats->ParityErrorCount = sm_Read(m_ParityErrorCount);
}

void CVCP::m_ClearStatistics()
{
    sm_Exchange(m_ReceivedCount, 0);
    sm_Exchange(m_TransmittedCount, 0);
    sm_Exchange(m_FrameErrorCount, 0);
    sm_Exchange(m_SerialOverrunErrorCount, 0);
    sm_Exchange(m_BufferOverrunErrorCount, 0);
    sm_Exchange(m_ParityErrorCount, 0);
}

void CVCP::m_TraceStatistics()
{
    SERIALPERF_STATS s;
    m_GetStatistics(&s);
    JnTrace(kTraceChannel, "=================== KwUVCP Tx RX Stat ======================");
    JnTrace(kTraceChannel, "ReceivedCount : %d", s.ReceivedCount);
    JnTrace(kTraceChannel, "TransmittedCount : %d", s.TransmittedCount);
    JnTrace(kTraceChannel, "FrameErrorCount : %d", s.FrameErrorCount);
    JnTrace(kTraceChannel, "SerialOverrunErrorCount : %d", s.SerialOverrunErrorCount);
    JnTrace(kTraceChannel, "BufferOverrunErrorCount : %d", s.BufferOverrunErrorCount);
    JnTrace(kTraceChannel, "ParityErrorCount : %d", s.ParityErrorCount);
}
