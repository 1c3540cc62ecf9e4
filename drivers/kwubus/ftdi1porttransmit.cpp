// CFTDI1Port: the transmit path. Writes join the transmit queue; the pump thread sends
// everything queued as one bulk-out transfer per pass while transmission is not held.
// Written-byte credit: at 38,400 baud and below the engine keeps an emulated transmit
// FIFO that a periodic timer drains at the character rate, giving up to one chunk in
// advance; above, one chunk goes in advance and the rest follows the USB completions.
// Immediate characters and software flow control ride on the same path.
#include "ftdi1port.h"
#include "jndebugmanager.h"
#include "kwubustrace.h"

namespace {

PVOID CountArgument(ULONG n) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(n)); }
ULONG CountOf(PVOID argument) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(argument)); }
ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

// The chip's timer resolution while the emulation runs: 1 ms.
const ULONG kEmulationResolution = 10000;

}  // namespace

// ---- holding transmission ----

void CFTDI1Port::m_Hold(BOOLEAN bRelease)
{
    BOOLEAN wake = FALSE;
    m_TransmitLock.m_Acquire();
    if (bRelease && !m_bSavingState) {
        m_bTransmitHeld = FALSE;
        wake = TRUE;
    } else {
        m_bTransmitHeld = TRUE;
    }
    m_TransmitLock.m_Release();
    if (wake) KeSetEvent(&m_PumpWake, IO_NO_INCREMENT, FALSE);
}

void CFTDI1Port::m_ReevaluateHold()
{
    const UCHAR modem = m_ucModemStatus;
    const BOOLEAN cts = (modem & FTDI_MODEM_STATUS_CTS) != 0;
    const BOOLEAN dsr = (modem & FTDI_MODEM_STATUS_DSR) != 0;
    BOOLEAN release;
    if (m_bCtsOutputFlowControl)
        release = cts && (!m_bDsrOutputFlowControl || dsr);
    else if (m_bDsrOutputFlowControl)
        release = dsr;
    else if (m_bXonXoffInputFlowControl)
        release = m_bXoffContinue || !m_bXoffSent;
    else
        release = TRUE;
    if (m_bXoffReceived) release = FALSE;
    m_Hold(release);
}

BOOLEAN CFTDI1Port::m_PretendXoffReceivedCallback(BOOLEAN bXoff)
{
    m_bXoffReceived = bXoff;
    m_ReevaluateHold();
    return TRUE;
}

// ---- the queue ----

BOOLEAN CFTDI1Port::m_PortWriteCallback(CJnDataBuffer* pBuffer)
{
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_PortWriteCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        pBuffer->m_Delete();
        return FALSE;
    }
    const ULONG length = pBuffer->m_GetLength();
    m_TransmitLock.m_Acquire();
    m_ulOutstanding += length;
    m_TransmitLock.m_Release();
    BOOLEAN queued = m_Enqueue(pBuffer, KW_TRANSPORT_WRITE_PIPE, FALSE);
    if (!queued) {
        // Nothing of it will be sent or drained.
        m_TransmitLock.m_Acquire();
        m_ulOutstanding -= Min(length, m_ulOutstanding);
        m_TransmitLock.m_Release();
    }
    if (m_bSavingState) return TRUE;
    m_ReevaluateHold();
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_PortWriteCallback - OUT (%s)", queued ? "Success" : "Fail");
    return queued;
}

BOOLEAN CFTDI1Port::m_Enqueue(CJnDataBuffer* pBuffer, UCHAR ucPipe, BOOLEAN bAtHead)
{
    TxItem* item = new TxItem();
    if (!item) {
        pBuffer->m_Delete();
        return FALSE;
    }
    item->pBuffer = pBuffer;
    item->ucPipe = ucPipe;
    const ULONG length = pBuffer->m_GetLength();
    ULONG credit = 0;
    m_TransmitLock.m_Acquire();
    m_bBackOff = FALSE;
    m_ulQueuedBytes += length;
    if (bAtHead)
        InsertHeadList(&m_TransmitQueue, &item->link);
    else
        InsertTailList(&m_TransmitQueue, &item->link);
    const BOOLEAN emulated = m_IsEmulated();
    if (!m_bTransmitHeld && !m_bXoffReceived) {
        if (emulated && m_ulFifoLevel < m_ulChunk)
            credit = Min(m_ulChunk - m_ulFifoLevel, length);
        else if (!emulated && m_ulPreReported < m_ulChunk)
            credit = Min(m_ulChunk - m_ulPreReported, length);
        m_ulPreReported += credit;
    }
    m_ulFifoLevel += length;
    m_TransmitLock.m_Release();

    m_StartEmulationTimerIfDue();
    if (credit) {
        if (emulated)
            m_ReportWritten(credit);
        else
            m_Settle(credit, TRUE);
    }
    return TRUE;
}

void CFTDI1Port::m_Requeue(TxItem* pItem)
{
    // The bytes were accounted for when they were first queued: only the queue changes.
    m_TransmitLock.m_Acquire();
    m_ulQueuedBytes += pItem->pBuffer->m_GetLength();
    InsertHeadList(&m_TransmitQueue, &pItem->link);
    m_TransmitLock.m_Release();
}

void CFTDI1Port::m_FlushTransmitQueue(BOOLEAN bReportAsWritten)
{
    for (;;) {
        m_TransmitLock.m_Acquire();
        if (IsListEmpty(&m_TransmitQueue)) {
            m_TransmitLock.m_Release();
            return;
        }
        TxItem* item = CONTAINING_RECORD(RemoveHeadList(&m_TransmitQueue), TxItem, link);
        const ULONG length = item->pBuffer->m_GetLength();
        m_ulQueuedBytes -= Min(length, m_ulQueuedBytes);
        m_TransmitLock.m_Release();
        if (bReportAsWritten) m_Settle(length, FALSE);
        item->pBuffer->m_Delete();
        delete item;
    }
}

// ---- written-byte accounting ----

void CFTDI1Port::m_ReportWritten(ULONG ulBytes)
{
    InterlockedExchangeAdd(&m_lBytesWritten, static_cast<LONG>(ulBytes));
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        m_CallDataWritten(ulBytes);
    else if (!m_pQueueA->m_Queue(sm_ReportWritten, this, CountArgument(ulBytes)))
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port - a written report of %d bytes could not be queued", ulBytes);
}

void CFTDI1Port::sm_ReportWritten(PVOID port, PVOID bytes)
{
    CFTDI1Port* self = static_cast<CFTDI1Port*>(port);
    KeWaitForMutexObject(&self->m_WrittenMutex, Executive, KernelMode, FALSE, nullptr);
    self->m_CallDataWritten(CountOf(bytes));
    KeReleaseMutex(&self->m_WrittenMutex, FALSE);
    self->m_ReevaluateHold();
}

void CFTDI1Port::m_Settle(ULONG n, BOOLEAN bFromTimer)
{
    BOOLEAN report;
    m_TransmitLock.m_Acquire();
    const BOOLEAN emulated = m_IsEmulated();
    BOOLEAN consume = FALSE;
    if (emulated) {
        // The timer reports; USB completions are only counted.
        report = bFromTimer;
        if (bFromTimer) {
            m_ulOutstanding -= Min(n, m_ulOutstanding);
            consume = m_ulFifoLevel <= m_ulChunk;
        }
    } else {
        report = TRUE;
        if (!bFromTimer) {
            m_ulOutstanding -= Min(n, m_ulOutstanding);
            m_ulFifoLevel -= Min(n, m_ulFifoLevel);
            consume = m_ulFifoLevel < m_ulChunk;
        }
    }
    // The first bytes of n may have been reported in advance already.
    if (consume && m_ulPreReported > 0) {
        if (n > m_ulPreReported) {
            n -= m_ulPreReported;
            m_ulPreReported = 0;
        } else {
            m_ulPreReported -= n;
            n = 0;
        }
    }
    m_TransmitLock.m_Release();
    if (report && n > 0) {
        m_ReportWritten(n);
        // A report queued from raised level re-evaluates the hold itself.
        if (bFromTimer || KeGetCurrentIrql() != PASSIVE_LEVEL) return;
    }
    m_ReevaluateHold();
}

// ---- the pump ----

void CFTDI1Port::sm_Pump(PVOID port) { static_cast<CFTDI1Port*>(port)->m_Pump(); }

void CFTDI1Port::m_ClearBackOff()
{
    if (!m_bBackOff) return;
    m_TransmitLock.m_Acquire();
    m_bBackOff = FALSE;
    m_TransmitLock.m_Release();
    m_ReevaluateHold();
}

void CFTDI1Port::m_Pump()
{
    m_TransmitLock.m_Acquire();
    if (m_bTransmitHeld || m_bBackOff || IsListEmpty(&m_TransmitQueue)) {
        m_TransmitLock.m_Release();
        return;
    }
    m_bWriteInProgress = TRUE;
    TxItem* item = CONTAINING_RECORD(RemoveHeadList(&m_TransmitQueue), TxItem, link);
    // Everything queued behind it for the same pipe goes in the same transfer.
    ULONG total = item->pBuffer->m_GetLength();
    ULONG count = 1;
    for (PLIST_ENTRY e = m_TransmitQueue.Flink; e != &m_TransmitQueue; e = e->Flink) {
        TxItem* next = CONTAINING_RECORD(e, TxItem, link);
        if (next->ucPipe != item->ucPipe || next->pBuffer->m_GetLength() > MAXULONG - total) break;
        total += next->pBuffer->m_GetLength();
        count++;
    }
    CJnDataBuffer* merged = count > 1 ? CJnDataBuffer::sm_Create(total) : nullptr;
    if (merged) {
        PUCHAR to = merged->m_GetData();
        ULONG first = item->pBuffer->m_GetLength();
        RtlCopyMemory(to, item->pBuffer->m_GetData(), first);
        to += first;
        for (ULONG i = 1; i < count; i++) {
            TxItem* next = CONTAINING_RECORD(RemoveHeadList(&m_TransmitQueue), TxItem, link);
            ULONG length = next->pBuffer->m_GetLength();
            RtlCopyMemory(to, next->pBuffer->m_GetData(), length);
            to += length;
            next->pBuffer->m_Delete();
            delete next;
        }
        item->pBuffer->m_Delete();
        item->pBuffer = merged;
    }
    const ULONG length = item->pBuffer->m_GetLength();
    m_ulQueuedBytes -= Min(length, m_ulQueuedBytes);
    m_TransmitLock.m_Release();

    const BOOLEAN rtsToggle = m_bRtsToggleFlowControl;
    if (rtsToggle) {
        m_bRtsTogglePending = FALSE;
        m_RtsCallback(TRUE);
    }
    ULONG written = 0;
    BOOLEAN sent = m_pUSBTransport->m_SendData(item->pBuffer, &written, item->ucPipe);
    if (rtsToggle) {
        // RTS stays up while the chip still shifts the tail out: it goes down when a read
        // that began after this transfer shows the transmitter empty.
        m_lRtsToggleAfterRead = m_lReadCompletions + 2;
        m_bRtsTogglePending = TRUE;
    }
    if (sent) {
        m_Settle(written, FALSE);
        item->pBuffer->m_Delete();
        delete item;
    } else {
        const USBD_STATUS usbd = m_pUSBTransport->m_GetLastSendStatus();
        if (usbd == USBD_STATUS_DEVICE_GONE) {
            // Nobody will take these bytes: they count as written, like purged ones.
            JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_Pump - device gone, %d bytes dropped", length - written);
            m_Settle(length, FALSE);
            item->pBuffer->m_Delete();
            delete item;
        } else {
            if (written > 0) {
                m_Settle(written, FALSE);
                item->pBuffer->m_RemoveRange(0, written);
            }
            if (item->pBuffer->m_GetLength()) {
                m_Requeue(item);
            } else {
                item->pBuffer->m_Delete();
                delete item;
            }
            KeSetEvent(&m_WriteFailedEvent, IO_NO_INCREMENT, FALSE);
            // A failed transfer is not tried again at once: the next write or a change of
            // the line status lets the pump go on.
            if (!USBD_SUCCESS(usbd)) {
                m_TransmitLock.m_Acquire();
                m_bBackOff = TRUE;
                m_TransmitLock.m_Release();
                JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_Pump - transfer failed (USBD 0x%X); waiting", usbd);
            }
        }
    }
    m_TransmitLock.m_Acquire();
    m_bWriteInProgress = FALSE;
    m_TransmitLock.m_Release();
    m_ReevaluateHold();
}

// ---- the emulated transmit FIFO ----

void CFTDI1Port::m_RecomputeChunk()
{
    ULONG bits = (m_ulDataBitsCode <= 2 ? 5 + m_ulDataBitsCode : 8) + (m_ulParityCode ? 1 : 0) +
                 (m_ulStopBitsCode == 2 ? 2 : 1);
    m_TransmitLock.m_Acquire();
    m_ulChunk = ((m_ulBaudRate * 1000) / (bits * 1000)) / 1000 + 1;
    m_TransmitLock.m_Release();
}

LONGLONG CFTDI1Port::m_CharacterTime()
{
    const ULONG rate = m_ulBaudRate;
    // Nothing runs on a line without a rate (before the first setting, after a disconnect).
    if (rate == 0) return 0;
    ULONG bits = (m_ulDataBitsCode <= 2 ? 5 + m_ulDataBitsCode : 8) + (m_ulParityCode ? 1 : 0) +
                 (m_ulStopBitsCode == 2 ? 2 : 1) + 1;
    return static_cast<LONGLONG>(bits) * ((rate + 9999999ULL) / rate);
}

void CFTDI1Port::m_WaitCharacterTimes(ULONG ulCount)
{
    LONGLONG characterTime = m_CharacterTime();
    if (characterTime == 0) return;
    LARGE_INTEGER interval;
    interval.QuadPart = -characterTime * ulCount;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void CFTDI1Port::m_StartEmulationTimerIfDue()
{
    m_TransmitLock.m_Acquire();
    const LONGLONG period = m_CharacterTime();
    if (!m_bPortOpen || m_bSavingState || !m_IsEmulated() || m_pEmulationTimer || period == 0 || !m_pTimerList) {
        m_TransmitLock.m_Release();
        return;
    }
    m_EmulationStopwatch.m_Restart();
    m_pEmulationTimer = m_pTimerList->m_ArmPeriodic(sm_FiFoTransmissionEmulationTimerCallback, this, period);
    const BOOLEAN started = m_pEmulationTimer != nullptr;
    m_TransmitLock.m_Release();
    if (started)
        ExSetTimerResolution(kEmulationResolution, TRUE);
    else
        DbgPrint("m_SetFiFoTransmissionEmulationTimer Failed\n");
}

void CFTDI1Port::m_StopEmulationTimer(BOOLEAN bForce)
{
    m_TransmitLock.m_Acquire();
    if (!bForce && m_ulOutstanding > 0) {
        m_TransmitLock.m_Release();
        return;
    }
    JnTimer* timer = m_pEmulationTimer;
    m_pEmulationTimer = nullptr;
    m_TransmitLock.m_Release();
    if (!timer) return;
    m_pTimerList->m_Cancel(timer);
    ExSetTimerResolution(kEmulationResolution, FALSE);
}

void CFTDI1Port::sm_StopEmulationTimer(PVOID port, PVOID) { static_cast<CFTDI1Port*>(port)->m_StopEmulationTimer(FALSE); }

void CFTDI1Port::sm_FiFoTransmissionEmulationTimerCallback(PVOID port)
{
    CFTDI1Port* self = static_cast<CFTDI1Port*>(port);
    if (!self->m_TimerGuard.m_Acquire()) return;
    self->m_EmulationTick();
    self->m_TimerGuard.m_Release();
}

void CFTDI1Port::m_EmulationTick()
{
    JnTrace(KW_UBUS_TRACE, "sm_FiFoTransmissionEmulationTimerCallback %d", m_ulFifoLevel);
    m_TransmitLock.m_Acquire();
    const LONGLONG characterTime = m_CharacterTime();
    if (!m_bPortOpen || m_bSavingState || characterTime == 0) {
        m_EmulationStopwatch.m_Read();  // nothing drains meanwhile
        BOOLEAN stop = m_ulOutstanding == 0 || characterTime == 0;
        m_TransmitLock.m_Release();
        if (stop) m_pQueueA->m_Queue(sm_StopEmulationTimer, this, nullptr);
        return;
    }
    if (m_ulFifoLevel > 0 && !m_bTransmitHeld) {
        const ULONG elapsed = m_EmulationStopwatch.m_Read() + m_ulTickRemainder;
        const ULONG microseconds = static_cast<ULONG>(characterTime / 10);
        ULONG k = elapsed / microseconds;
        m_ulTickRemainder = k ? elapsed % microseconds : elapsed;
        k = Min(k, m_ulOutstanding);
        if (k > m_ulFifoLevel) k = m_ulFifoLevel;
        m_ulFifoLevel -= k;
        if (k > 0) {
            m_TransmitLock.m_Release();
            m_Settle(k, TRUE);
            return;
        }
        if (m_ulOutstanding == 0) {
            m_ucLineStatus |= FTDI_LINE_STATUS_THRE | FTDI_LINE_STATUS_TEMT;
            const UCHAR line = m_ucLineStatus;
            m_TransmitLock.m_Release();
            m_QueueReport(sm_ReportLineStatus, line);
            return;
        }
        m_TransmitLock.m_Release();
        return;
    }
    // Empty or held: the chip drains nothing of the emulated FIFO meanwhile, so the time
    // that passes now is not counted towards the next drain.
    m_EmulationStopwatch.m_Read();
    BOOLEAN stop = m_ulOutstanding == 0;
    if (stop) m_ulTickRemainder = 0;
    m_TransmitLock.m_Release();
    if (stop) m_pQueueA->m_Queue(sm_StopEmulationTimer, this, nullptr);
}

// ---- immediate characters and software flow control ----

BOOLEAN CFTDI1Port::m_ReportsImmediateCharacter(UCHAR ucChar) const
{
    if (ucChar == m_ucXonChar || ucChar == m_ucXoffChar) return FALSE;
    return static_cast<USHORT>(ucChar) != m_usErrorCharSetting && static_cast<USHORT>(ucChar) != m_usEventCharSetting;
}

BOOLEAN CFTDI1Port::m_SendImmediateCharacterCallback(UCHAR ucChar)
{
    CJnDataBuffer* buffer = CJnDataBuffer::sm_CreateCopy(&ucChar, 1);
    if (!buffer || !m_pUSBTransport) {
        if (buffer) buffer->m_Delete();
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SendImmediateCharacterCallback - OUT (Fail)");
        return FALSE;
    }
    const BOOLEAN isXoff = m_bXonXoffInputFlowControl && ucChar == m_ucXoffChar;
    const BOOLEAN isXon = m_bXonXoffInputFlowControl && ucChar == m_ucXonChar;
    if (isXoff) DbgPrint("**** Xoff Sent\n");
    if (isXon) DbgPrint("**** Xon Sent\n");
    m_TransmitLock.m_Acquire();
    const BOOLEAN held = m_bTransmitHeld;
    m_TransmitLock.m_Release();
    BOOLEAN result;
    if (!held || isXoff || isXon) {
        if (isXoff) {
            if (!m_bXoffContinue) m_Hold(FALSE);
            m_bXoffSent = TRUE;
        }
        m_ReadLock.m_Acquire();
        const BOOLEAN paused = m_bReadPaused;
        m_ReadLock.m_Release();
        // Reading is paused: the chip's own Xon/Xoff handling holds the sender, and an Xon
        // resumes reading instead of going out. An Xon that answers an Xoff of ours still
        // goes out, or the peer would wait for it for ever.
        if (paused && m_bXonXoffInputFlowControl && !(isXon && m_bXoffSent)) {
            if (isXon) m_RestartReading();
            result = TRUE;
        } else {
            if (paused && isXon) m_RestartReading();
            ULONG written = 0;
            result = m_pUSBTransport->m_SendData(buffer, &written, KW_TRANSPORT_WRITE_PIPE) && written == 1;
        }
        if (m_ReportsImmediateCharacter(ucChar)) m_CallImmediateCharacterSent();
        if (isXon) {
            if (!m_bXoffContinue) m_Hold(TRUE);
            m_bXoffSent = FALSE;
        }
        if (isXoff) m_CallXoffSent(m_bXoffSent);
        buffer->m_Delete();
        // Flow-control characters are the engine's own: no write of the port's has them.
        if (!isXoff && !isXon) m_ReportWritten(1);
    } else {
        m_TransmitLock.m_Acquire();
        m_ulOutstanding += 1;
        m_TransmitLock.m_Release();
        result = m_Enqueue(buffer, KW_TRANSPORT_WRITE_PIPE, TRUE);
        if (m_ReportsImmediateCharacter(ucChar)) m_CallImmediateCharacterSent();
        m_StartEmulationTimerIfDue();
    }
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SendImmediateCharacterCallback - OUT (%s)", result ? "Success" : "Fail");
    return result;
}

void CFTDI1Port::sm_SendXonXoff(PVOID port, PVOID xoff)
{
    static_cast<CFTDI1Port*>(port)->m_SendXonXoffCallback(xoff != nullptr);
}

BOOLEAN CFTDI1Port::m_SendXonXoffCallback(BOOLEAN bSendXoff)
{
    if (KeGetCurrentIrql() > APC_LEVEL) {
        m_pQueueA->m_Queue(sm_SendXonXoff, this, bSendXoff ? this : nullptr);
        return TRUE;
    }
    return m_SendImmediateCharacterCallback(bSendXoff ? m_ucXoffChar : m_ucXonChar);
}
