// The receive side of the port object: received chunks with the port's own character
// processing, line and modem status from the bus, the error abort, and the receive flow
// control that holds the peer back (Xoff, DTR, RTS) as the read queue fills.
#include "vcp.h"
#include "jndebugmanager.h"

namespace {
const ULONG kLineErrors = SERIAL_LSR_OE | SERIAL_LSR_PE | SERIAL_LSR_FE | SERIAL_LSR_BI;

// Keeps the bytes `keep` accepts, in order, and shortens the buffer to them.
template <typename Keep>
ULONG Compact(CJnDataBuffer* buffer, Keep keep)
{
    PUCHAR data = buffer->m_GetData();
    ULONG kept = 0;
    for (ULONG i = 0; i < buffer->m_GetLength(); i++)
        if (keep(data[i])) data[kept++] = data[i];
    buffer->m_Truncate(kept);
    return kept;
}

void ReplaceWith(CJnDataBuffer* buffer, UCHAR c)
{
    buffer->m_Truncate(0);
    buffer->m_Append(&c, 1);
}
}  // namespace

// ---- received data ----

BOOLEAN CVCP::m_Read(CJnDataBuffer* pBuffer)
{
    ULONG length = pBuffer ? pBuffer->m_GetLength() : 0;
    JnTrace(kTraceChannel, "CVCP::m_Read - IN ->No. Byte:0x%X", length);
    LARGE_INTEGER start = KeQueryPerformanceCounter(nullptr);
    if (!pBuffer) return FALSE;
    // The bus never touches the buffer after the call: every path below ends it or hands
    // it to the read queue.
    ISerial* record = m_Serial("m_Read");
    if (!record) {
        pBuffer->m_Delete();
        return FALSE;
    }
    if (!length) {
        pBuffer->m_Delete();
        JnTrace(kTraceChannel, "CVCP::m_Read - OUT - Read Length is Zero.");
        return TRUE;
    }
    if (sm_Read(m_bReceiveOverflow)) {
        pBuffer->m_Delete();
        JnTrace(kTraceChannel, "CVCP::m_Read - OUT - Buffer is overflow, can't read");
        sm_Exchange(m_ulOverflowErrors, SERIAL_ERROR_QUEUEOVERRUN);
        m_SetCommEventsReceived(SERIAL_EV_ERR);
        m_ResolveCurrentEventMask();
        if (m_ControlHandShake() & SERIAL_ERROR_ABORT) m_ErrorAbort();
        return FALSE;
    }
    if (CJnDebugManager* debug = CJnDebugManager::sm_Get())
        debug->m_HexDump(kTraceChannel, "Read", pBuffer->m_GetData(), length);

    CJnControlQueue& control = m_pDevice->m_ControlQueue;
    const SERIAL_CHARS chars = m_SpecialChars;
    if (control.m_IsInMask(SERIAL_EV_RXFLAG)) {
        PUCHAR data = pBuffer->m_GetData();
        for (ULONG i = 0; i < length; i++) {
            if (data[i] != chars.EventChar) continue;
            m_SetCommEventsReceived(SERIAL_EV_RXFLAG);
            break;
        }
    }
    ULONG flow = m_FlowReplace();
    bool extended = record->bExtendedCharacterProcessing != 0;
    const char* nothingLeft = nullptr;
    if (!extended && (flow & SERIAL_NULL_STRIPPING) && !Compact(pBuffer, [](UCHAR c) { return c != 0; }))
        nothingLeft = "CVCP::m_Read - OUT - After Null stripping, data length is zero.";
    if (!nothingLeft && (flow & SERIAL_AUTO_TRANSMIT)) {
        // Xon/Xoff output control: the last of them in the chunk decides, and neither is data.
        PUCHAR data = pBuffer->m_GetData();
        for (ULONG i = 0; i < pBuffer->m_GetLength(); i++) {
            if (data[i] == chars.XoffChar) m_SetHold(kXonHold, true);
            else if (data[i] == chars.XonChar) m_SetHold(kXonHold, false);
        }
        if (!Compact(pBuffer, [&](UCHAR c) { return c != chars.XonChar && c != chars.XoffChar; }))
            nothingLeft = "CVCP::m_Read - OUT - After Xon/Xoff, data length is zero.";
    }
    if (nothingLeft) {
        pBuffer->m_Delete();
        JnTrace(kTraceChannel, nothingLeft);
        m_ResolveCurrentEventMask();  // an event character may have come with it
        return TRUE;
    }
    InterlockedExchangeAdd(&m_ReceivedCount, (LONG)pBuffer->m_GetLength());

    UCHAR escape = (UCHAR)sm_Read(m_ucLsrMstEscapeChar);
    if (escape) pBuffer = m_EscapeData(pBuffer, escape);
    if (!pBuffer) {
        JnTrace(kTraceChannel, "CVCP::m_Read - OUT - No memory to insert the escape characters.");
        m_ResolveCurrentEventMask();
        return FALSE;
    }
    ULONG lineStatus = sm_Read(m_ulLineStatus);
    if (lineStatus & kLineErrors) pBuffer = m_ApplyLineErrors(pBuffer, lineStatus, escape);

    ULONG delivered = pBuffer->m_GetLength();
    if (CJnDebugManager* debug = CJnDebugManager::sm_Get())
        debug->m_HexDump(kTraceChannel, "Read Processed", pBuffer->m_GetData(), delivered);
    m_pDevice->m_DataForPendingReadArrived(pBuffer);  // may be used up and deleted at once
    if (delivered && control.m_IsInMask(SERIAL_EV_RXCHAR)) m_SetCommEventsReceived(SERIAL_EV_RXCHAR);
    m_ResolveCurrentEventMask();
    m_ulLastReceiveMicroseconds = CJnIrpQueue::sm_MicrosecondsSince(start);
    JnTrace(kTraceChannel, "CVCP::m_Read - OUT (Success)");
    JnTrace(kTraceChannel, "CVcp::m_Read TD=%dys", m_ulLastReceiveMicroseconds);
    return TRUE;
}

CJnDataBuffer* CVCP::m_EscapeData(CJnDataBuffer* pBuffer, UCHAR ucEscape)
{
    // A data byte equal to the escape character becomes {escape, SERIAL_LSRMST_ESCAPE}.
    ULONG length = pBuffer->m_GetLength();
    PUCHAR data = pBuffer->m_GetData();
    ULONG escapes = 0;
    for (ULONG i = 0; i < length; i++) escapes += data[i] == ucEscape;
    if (!escapes) return pBuffer;
    CJnDataBuffer* escaped = CJnDataBuffer::sm_Create(length + escapes);
    if (escaped) {
        PUCHAR out = escaped->m_GetData();
        for (ULONG i = 0; i < length; i++) {
            *out++ = data[i];
            if (data[i] == ucEscape) *out++ = SERIAL_LSRMST_ESCAPE;
        }
    }
    pBuffer->m_Delete();
    return escaped;
}

CJnDataBuffer* CVCP::m_ApplyLineErrors(CJnDataBuffer* pBuffer, ULONG ulLineStatus, UCHAR ucEscape)
{
    // The status goes after the data as {escape, SERIAL_LSRMST_LSR_NODATA, status}: the
    // three-byte form, which carries no data byte of its own.
    if (ucEscape) {
        UCHAR insert[3] = {ucEscape, SERIAL_LSRMST_LSR_NODATA, (UCHAR)ulLineStatus};
        pBuffer->m_Append(insert, sizeof insert);
    }
    if (m_ExtendedProcessing() || !(m_FlowReplace() & SERIAL_ERROR_CHAR)) return pBuffer;
    // Errors are known per chunk, not per byte: a chunk with a parity or framing error
    // becomes one error character; an overrun adds one, losing the chunk unless the
    // device still has data.
    UCHAR errorChar = m_SpecialChars.ErrorChar;
    if (ulLineStatus & SERIAL_LSR_OE) {
        if (!(ulLineStatus & SERIAL_LSR_DR)) pBuffer->m_Truncate(0);
        pBuffer->m_Append(&errorChar, 1);
    }
    if (!(ulLineStatus & SERIAL_LSR_BI) && (ulLineStatus & (SERIAL_LSR_PE | SERIAL_LSR_FE)))
        ReplaceWith(pBuffer, errorChar);
    return pBuffer;
}

void CVCP::m_DeliverToReadQueue(const UCHAR* pucData, ULONG ulLength)
{
    CJnDataBuffer* buffer = CJnDataBuffer::sm_CreateCopy(pucData, ulLength);
    if (!buffer) return;
    m_pDevice->m_DataForPendingReadArrived(buffer);
    if (m_pDevice->m_ControlQueue.m_IsInMask(SERIAL_EV_RXCHAR)) m_SetCommEventsReceived(SERIAL_EV_RXCHAR);
    m_ResolveCurrentEventMask();
}

// ---- line and modem status ----

BOOLEAN CVCP::m_LineStatusCallback(BOOLEAN bOverrunError, BOOLEAN bParityError, BOOLEAN bFramingError,
                                   BOOLEAN bBreak, BOOLEAN bDataReady, BOOLEAN bTransmitterHoldingRegisterEmpty,
                                   BOOLEAN bTransmitterEmpty, BOOLEAN bReceiveFifoError)
{
    if (!m_Serial("m_LineStatusCallback")) return FALSE;
    if (!bDataReady) bDataReady = m_pDevice->m_ReadQueue.m_GetDataAmount() != 0;
    ULONG status = (bDataReady ? SERIAL_LSR_DR : 0) | (bOverrunError ? SERIAL_LSR_OE : 0) |
                   (bParityError ? SERIAL_LSR_PE : 0) | (bFramingError ? SERIAL_LSR_FE : 0) |
                   (bBreak ? SERIAL_LSR_BI : 0) | (bTransmitterHoldingRegisterEmpty ? SERIAL_LSR_THRE : 0) |
                   (bTransmitterEmpty ? SERIAL_LSR_TEMT : 0) | (bReceiveFifoError ? SERIAL_LSR_FIFOERR : 0);
    ULONG changed = sm_Exchange(m_ulLineStatus, status) ^ status;

    ULONG events = 0, errors = 0;
    if (bOverrunError) {
        InterlockedIncrement(&m_SerialOverrunErrorCount);
        events |= SERIAL_EV_ERR;
        errors |= SERIAL_ERROR_OVERRUN;
    }
    if (bParityError) {
        InterlockedIncrement(&m_ParityErrorCount);
        events |= SERIAL_EV_ERR;
        errors |= SERIAL_ERROR_PARITY;
    }
    if (bFramingError) {
        InterlockedIncrement(&m_FrameErrorCount);
        events |= SERIAL_EV_ERR;
        errors |= SERIAL_ERROR_FRAMING;
    }
    if (bBreak) {
        events |= SERIAL_EV_BREAK;
        errors |= SERIAL_ERROR_BREAK;
    }
    if (errors) InterlockedOr(&m_ulErrors, (LONG)errors);
    if (events) m_SetCommEventsReceived(events);
    if ((status & SERIAL_LSR_THRE) && (changed & SERIAL_LSR_TEMT))
        m_SetCommEventsReceived(SERIAL_EV_TXEMPTY);
    else
        m_pDevice->m_ControlQueue.m_ClearCommEvents(SERIAL_EV_TXEMPTY);
    if (errors && (m_ControlHandShake() & SERIAL_ERROR_ABORT)) m_ErrorAbort();
    if (!m_ExtendedProcessing() && (m_FlowReplace() & SERIAL_BREAK_CHAR) && (changed & SERIAL_LSR_BI) && bBreak) {
        UCHAR breakChar = m_SpecialChars.BreakChar;
        m_DeliverToReadQueue(&breakChar, 1);
    }
    m_ResolveCurrentEventMask();
    return TRUE;
}

BOOLEAN CVCP::m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge, BOOLEAN bDcd)
{
    if (!m_pParameters || (bRi && bRiTrailingEdge)) {
        JnAssertPrint("drivers\\kwuvcp\\vcpreceive", __LINE__);
        return FALSE;
    }
    // In duplex mode 2 the line has no CTS: it reads as on and never changes.
    if (m_pParameters->m_ulDuplexMode == 2) bCts = TRUE;
    ULONG status = (bDcd ? SERIAL_MSR_DCD : 0) | (bRi ? SERIAL_MSR_RI : 0) | (bDsr ? SERIAL_MSR_DSR : 0) |
                   (bCts ? SERIAL_MSR_CTS : 0);
    ULONG changes = ((sm_Read(m_ulModemStatus) ^ status) & (SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD)) |
                    (bRiTrailingEdge ? SERIAL_MSR_RI : 0);
    status |= changes >> 4;  // the delta bits of this change
    sm_Exchange(m_ulModemStatus, status);

    ULONG control = m_ControlHandShake();
    if (control & SERIAL_OUT_HANDSHAKEMASK) {
        m_SetHold(kCtsHold, (control & SERIAL_CTS_HANDSHAKE) && !bCts);
        m_SetHold(kDsrHold, (control & SERIAL_DSR_HANDSHAKE) && !bDsr);
        m_SetHold(kDcdHold, (control & SERIAL_DCD_HANDSHAKE) && !bDcd);
    } else {
        m_SetHold(kCtsHold, false);
        m_SetHold(kDsrHold, false);
        m_SetHold(kDcdHold, false);
    }
    m_SetHold(kReceiveDsrHold, (control & SERIAL_DSR_SENSITIVITY) && !bDsr);

    ULONG events = (changes & SERIAL_MSR_CTS ? SERIAL_EV_CTS : 0) | (changes & SERIAL_MSR_DSR ? SERIAL_EV_DSR : 0) |
                   (bRiTrailingEdge ? SERIAL_EV_RING : 0) | (changes & SERIAL_MSR_DCD ? SERIAL_EV_RLSD : 0);
    if (events) m_SetCommEventsReceived(events);
    if (m_pParameters->m_ulEmulateCTSTrue) {
        m_pDevice->m_ControlQueue.m_ClearCommEvents(SERIAL_EV_CTS);
        m_SetHold(kCtsHold, false);
    }
    if (m_pParameters->m_ulEmulateDSRTrue) {
        m_pDevice->m_ControlQueue.m_ClearCommEvents(SERIAL_EV_DSR);
        m_SetHold(kDsrHold, false);
    }
    UCHAR escape = (UCHAR)sm_Read(m_ucLsrMstEscapeChar);
    if (escape && changes) {
        UCHAR insert[3] = {escape, SERIAL_LSRMST_MST, (UCHAR)status};
        m_DeliverToReadQueue(insert, sizeof insert);
    }
    m_ResolveCurrentEventMask();
    return TRUE;
}

// ---- error abort ----

void CVCP::m_ErrorAbort()
{
    // Until GET_COMMSTATUS collects the errors, reads and writes are refused.
    m_pDevice->m_WriteQueue.m_SetState(FALSE, STATUS_CANCELLED);
    m_pDevice->m_ReadQueue.m_SetState(FALSE, STATUS_CANCELLED);
    m_Purge(kAllPurgeBits);
}

// ---- receive flow control ----

BOOLEAN CVCP::m_AvailableReceiveBufferSizeCallback(ULONG ulBytesToDeliver, ULONG ulReserve, PULONG pulFreeSpace)
{
    if (pulFreeSpace) *pulFreeSpace = 0;
    if (!m_pDevice) return TRUE;
    ULONG queued = m_pDevice->m_ReadQueue.m_GetDataAmount();
    ULONG size = m_ulReceiveBufferSize;
    if (queued > size) return TRUE;
    if (pulFreeSpace) *pulFreeSpace = size - queued;
    // Hold the peer back once what is queued and coming leaves less room than the Xoff
    // limit, or less than the bus may still deliver after the peer stops. A reserve larger
    // than the buffer cannot be kept and would hold the peer for ever.
    ULONGLONG after = (ULONGLONG)queued + ulBytesToDeliver;
    ULONG xoffLevel = m_ulXoffLevel;
    bool hold = after >= (ULONGLONG)(xoffLevel < size ? size - xoffLevel : 0) ||
                (ulReserve < size && after >= size - ulReserve);
    // The bus may call at DISPATCH_LEVEL: the calls into it go to the passive-level queue.
    if (hold && m_pExecutionOnPassiveLevel) m_pExecutionOnPassiveLevel->m_Queue(sm_QueueOverflow, this, nullptr);
    JnTrace(kTraceChannel, "CVCP::m_AvailableReceiveBufferSizeCallback - OUT - free %d", size - queued);
    return TRUE;
}

void CVCP::sm_QueueOverflow(PVOID vcp, PVOID) { static_cast<CVCP*>(vcp)->m_ExecutionOnDispatchLevelQueueOverflow(); }

void CVCP::m_ExecutionOnDispatchLevelQueueOverflow()
{
    // Work queued before a close finds the port closed: the lines are no longer its.
    if (!m_bConnected) return;
    ULONG flow = m_FlowReplace(), control = m_ControlHandShake();
    if ((flow & SERIAL_AUTO_RECEIVE) && !m_SetHold(kXoffSentHold, true)) {
        if (!m_IsHeld(kXonHold)) m_Bus(&ISerial::m_SendXonXoffCallback, (BOOLEAN)TRUE);
        if (!(flow & SERIAL_XOFF_CONTINUE)) m_SetHold(kXonHold, true);
    }
    if ((control & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE && !m_SetHold(kDtrReceiveHold, true))
        m_Bus(&ISerial::m_DtrCallback, (BOOLEAN)FALSE);
    if ((flow & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && !m_SetHold(kRtsReceiveHold, true))
        m_Bus(&ISerial::m_RtsCallback, (BOOLEAN)FALSE);
}

void CVCP::m_DataAmountChangedInReadQueue(ULONG ulNewAmount, ULONG ulOldAmount)
{
    if (ulNewAmount)
        InterlockedOr(&m_ulLineStatus, SERIAL_LSR_DR);
    else
        InterlockedAnd(&m_ulLineStatus, ~(LONG)SERIAL_LSR_DR);
    if (!m_pSerialInterface || !m_pSerialInterface->m_GetInterface()) return;
    ULONG flow = m_FlowReplace();
    if (ulNewAmount > m_ulReceiveBuffer80Percent) m_SetCommEventsReceived(SERIAL_EV_RX80FULL);
    if (ulNewAmount > m_ulReceiveBufferSize) {
        // One overflow episode lasts until the queue is back within the buffer size: it
        // counts once and brings one error character, whose own arrival lands here again.
        bool newEpisode = sm_Exchange(m_bReceiveOverflow, 1) == 0;
        sm_Exchange(m_ulOverflowErrors, SERIAL_ERROR_QUEUEOVERRUN);
        if (newEpisode) InterlockedIncrement(&m_BufferOverrunErrorCount);
        m_SetCommEventsReceived(SERIAL_EV_ERR);
        if (newEpisode && !m_ExtendedProcessing() && (flow & SERIAL_ERROR_CHAR)) {
            UCHAR errorChar = m_SpecialChars.ErrorChar;
            m_DeliverToReadQueue(&errorChar, 1);
        }
        if ((m_ControlHandShake() & SERIAL_ERROR_ABORT) && (sm_Read(m_ulErrors) || sm_Read(m_ulOverflowErrors)))
            m_ErrorAbort();
    } else {
        sm_Exchange(m_bReceiveOverflow, 0);
    }
    if (ulNewAmount <= m_ulXonLevel) {
        if (m_SetHold(kDtrReceiveHold, false)) m_Bus(&ISerial::m_DtrCallback, (BOOLEAN)TRUE);
        if (m_SetHold(kRtsReceiveHold, false)) m_Bus(&ISerial::m_RtsCallback, (BOOLEAN)TRUE);
        if (m_SetHold(kXoffSentHold, false)) {
            m_Bus(&ISerial::m_SendXonXoffCallback, (BOOLEAN)FALSE);
            if (!(flow & SERIAL_XOFF_CONTINUE)) m_SetHold(kXonHold, false);
        }
    }
    m_ResolveCurrentEventMask();
}
