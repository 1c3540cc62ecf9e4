// CVCP: the port object. It turns Windows' serial semantics into ISerial operations and the
// bus driver's callbacks back into received data, errors, holds and comm events.
//
// Requests reach it at PASSIVE_LEVEL in their callers' threads (the serial request dispatch
// calls one operation per request); the bus driver's callbacks arrive concurrently from its
// worker, timer and completion paths, the free-space query even at DISPATCH_LEVEL. Every
// status word the callbacks change (the line- and modem-status shadows, the hold words, the
// error words, the escape character) is a 32-bit word written only by atomic exchange, OR
// or AND and read by atomic compare-exchange; the counters are interlocked. The received
// events and the wait mask live in the framework device's control queue under its lock,
// received data in its read queue, writes in its write queue; the port takes their locks
// one at a time and never while it calls the bus.
//
// Settings shadows keep what the application set, so the get requests are answered without
// the device, while the registry's override switches decide what the device gets.
#pragma once

#include "jndeferredqueue.h"
#include "jndevice.h"
#include "vcpbase.h"
#include "vcpbusinterface.h"
#include "vcpparameters.h"

// The line snapshot: modem-control, modem-status and line-status bytes, the transmit and
// receive hold reasons and the wait mask.
struct VcpLineSnapshot {
    UCHAR ucModemControl;
    UCHAR ucModemStatus;
    UCHAR ucLineStatus;
    ULONG ulTransmitHoldReasons;
    ULONG ulReceiveHoldReasons;
    ULONG ulWaitMask;
};
static_assert(sizeof(VcpLineSnapshot) == 16, "VcpLineSnapshot");

class CVCP : public CVcpBase, public ISerialCallback {
public:
    // Received data the port holds for applications, at most (SET_QUEUE_SIZE is clamped).
    static const ULONG kMaximumReceiveBufferSize = 0x100000;
    static const KPRIORITY kPassiveLevelPriority = 31;
    // A wait mask may have no bit above SERIAL_EV_EVENT2.
    static const ULONG kInvalidWaitMask = 0xFFFFE000;
    static const ULONG kAllPurgeBits = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |
                                       SERIAL_PURGE_RXCLEAR;

    // Hold words: zero = not held.
    enum Hold {
        kCtsHold,          // CTS handshake on and CTS low
        kDsrHold,          // DSR handshake on and DSR low
        kDcdHold,          // DCD handshake on and DCD low
        kXonHold,          // transmission waits for Xon
        kXoffSentHold,     // the port sent Xoff for input flow control
        kBreakHold,        // break is on
        kReceiveDsrHold,   // DSR sensitivity on and DSR low
        kDtrReceiveHold,   // DTR dropped for input flow control
        kRtsReceiveHold,   // RTS dropped for input flow control
        kHoldCount
    };

    CVCP();
    // Gives the record back (m_DeInit).
    ~CVCP() override;

    // ---- life cycle ----
    BOOLEAN m_Init(CJnDevice* pDevice, ULONG ulPortNumber) override;
    BOOLEAN m_DeInit() override;
    BOOLEAN m_Connect() override;
    BOOLEAN m_Disconnect() override;

    // ---- settings ----
    NTSTATUS m_SetBaudRate(const SERIAL_BAUD_RATE* pBaudRate) override;
    NTSTATUS m_SetLineControl(const SERIAL_LINE_CONTROL* pLineControl) override;
    NTSTATUS m_SetTimeouts(const SERIAL_TIMEOUTS* pTimeouts) override;
    NTSTATUS m_SetSpecialCharacters(const SERIAL_CHARS* pChars) override;
    NTSTATUS m_SetHandFlow(const SERIAL_HANDFLOW* pHandFlow) override;
    NTSTATUS m_ClearDtr() override;
    NTSTATUS m_SetDtr() override;
    NTSTATUS m_ClearRts() override;
    NTSTATUS m_SetRts() override;
    NTSTATUS m_SetBreakOn() override;
    NTSTATUS m_SetBreakOff() override;
    NTSTATUS m_SetModemControl(UCHAR ucModemControl) override;
    NTSTATUS m_SetXon() override;
    NTSTATUS m_SetXoff() override;
    NTSTATUS m_ResetDevice() override;
    NTSTATUS m_SendImmediateChar(UCHAR ucChar) override;
    NTSTATUS m_GetCommStatus(PSERIAL_STATUS pStatus) override;
    NTSTATUS m_Purge(ULONG ulMask) override;
    NTSTATUS m_SetQueueSize(const SERIAL_QUEUE_SIZE* pQueueSize) override;
    NTSTATUS m_SetLsrMstInsert(UCHAR ucEscapeChar) override;
    NTSTATUS m_SetFifoControl(ULONG ulFifoControl) override;
    BOOLEAN m_SetTriggerLevels(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl) override;
    NTSTATUS m_GetPortProperties(PSERIAL_COMMPROP pCommProp) override;
    NTSTATUS m_SetDuplexMode(ULONG ulDuplexMode, BOOLEAN bCtsTrue) override;
    NTSTATUS m_SetInternalLoopBackMode(BOOLEAN bOn) override;
    NTSTATUS m_ReadEeprom(ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer) override;
    NTSTATUS m_WriteEeprom(ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer) override;
    NTSTATUS m_SetWaitMask(ULONG ulMask) override;
    NTSTATUS m_GetWaitMask(PULONG pulMask) override;
    NTSTATUS m_WaitOnMask(PVOID pOutput, ULONG ulOutputLength, PULONG_PTR pInformation,
                          CJnControlQueue** ppControlQueue) override;
    BOOLEAN m_ResolveCurrentEventMask() override;
    NTSTATUS m_InternalBasicSettings(PSERIAL_BASIC_SETTINGS pSettings) override;
    NTSTATUS m_RestoreBasicSettings(const SERIAL_BASIC_SETTINGS* pSettings) override;
    NTSTATUS m_CancelWaitWake() override;
    NTSTATUS m_DoWaitWake() override;

    BOOLEAN m_IsBaudRateSettable(ULONG ulBaudRate);
    // Rediscover from the device; TRUE when the parameters changed (in memory only).
    BOOLEAN m_CheckSupportedBaudRates();
    BOOLEAN m_CheckSupportedSignals();
    // 1 for an RS-422/485 port, 0 for RS-232 (or without a record).
    ULONG m_GetPortType();
    NTSTATUS m_SetupHandFlowSignal();
    BOOLEAN m_SetFifoEnable(BOOLEAN bEnable);
    void m_ApplyParameterDefaults();

    // ---- data path and status ----
    BOOLEAN m_Read(CJnDataBuffer* pBuffer) override;
    BOOLEAN m_LineStatusCallback(BOOLEAN bOverrunError, BOOLEAN bParityError, BOOLEAN bFramingError, BOOLEAN bBreak,
                                 BOOLEAN bDataReady, BOOLEAN bTransmitterHoldingRegisterEmpty,
                                 BOOLEAN bTransmitterEmpty, BOOLEAN bReceiveFifoError) override;
    BOOLEAN m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge,
                                  BOOLEAN bDcd) override;
    BOOLEAN m_DataWrittenCallback(ULONG ulBytesWritten) override;
    BOOLEAN m_ImmediateCharacterSentCallback() override;
    BOOLEAN m_XoffHoldingCallback(BOOLEAN bHolding) override;
    BOOLEAN m_XoffSentCallback(BOOLEAN bXoffSent) override;
    BOOLEAN m_AvailableReceiveBufferSizeCallback(ULONG ulBytesToDeliver, ULONG ulReserve,
                                                 PULONG pulFreeSpace) override;
    void m_DataAmountChangedInReadQueue(ULONG ulNewAmount, ULONG ulOldAmount) override;
    // The receive flow control that calls the bus, run at PASSIVE_LEVEL.
    void m_ExecutionOnDispatchLevelQueueOverflow();

    // The write queue's write callback (the buffer is the callee's in every case): TRUE when
    // the bus took the bytes.
    BOOLEAN m_Write(CJnDataBuffer* pBuffer);
    // The write queue's Xoff counter sends its character through here.
    BOOLEAN m_SendSerialXoffCounterChar(UCHAR ucXoffChar);
    void m_SetCommEventsReceived(ULONG ulEvents);
    // 0 when the device could not refresh the status.
    ULONG m_GetModemStatus();
    BOOLEAN m_CheckIsTransmitterIsEmpty();
    BOOLEAN m_GetLineSnapshot(VcpLineSnapshot* pSnapshot);
    // SERIAL_ERROR_ABORT is on and errors were recorded: requests other than
    // GET_COMMSTATUS are refused until it clears them.
    BOOLEAN m_IsErrorAbortPending();
    void m_GetStatistics(PSERIALPERF_STATS pStats);
    void m_ClearStatistics();
    void m_TraceStatistics();

    // ---- settings (shadows) ----
    CVcpParameters* m_pParameters;  // this port's parameter set; operations that need it fail while null
    BOOLEAN m_bConnected;
    BOOLEAN m_bDefaultsApplied;
    SERIAL_HANDFLOW m_HandFlow;
    SERIAL_CHARS m_SpecialChars;
    SERIAL_TIMEOUTS m_Timeouts;
    ULONG m_ulReceiveBufferSize;
    ULONG m_ulMinimumReceiveBufferSize;
    ULONG m_ulReceiveBuffer80Percent;
    ULONG m_ulXonLevel;   // at most this much buffered: receive flow control releases
    ULONG m_ulXoffLevel;  // less than this much room: receive flow control holds
    UCHAR m_ucModemControl;  // SERIAL_MCR_* as last set by the application
    BOOLEAN m_bLoopback;
    UCHAR m_ucSavedReceiveTriggerLevel;  // 0: the FIFO is enabled
    volatile LONG m_ucLsrMstEscapeChar;  // the escape character of the port's own LSR/MST insertion (0: off)
    PIRP m_pWaitWakeIrp;

    // ---- run-time status ----
    volatile LONG m_ReceivedCount;
    volatile LONG m_TransmittedCount;
    volatile LONG m_FrameErrorCount;
    volatile LONG m_SerialOverrunErrorCount;
    volatile LONG m_BufferOverrunErrorCount;
    volatile LONG m_ParityErrorCount;
    ULONG m_ulLastReceiveMicroseconds;
    volatile LONG m_bWaitForImmediate;
    volatile LONG m_bReceiveOverflow;
    volatile LONG m_ulPendingTransmitCount;
    volatile LONG m_ulLineStatus;   // SERIAL_LSR_*
    volatile LONG m_ulModemStatus;  // SERIAL_MSR_*, the delta bits of the last change
    volatile LONG m_alHolds[kHoldCount];
    volatile LONG m_ulErrors;          // SERIAL_ERROR_* from the line
    volatile LONG m_ulOverflowErrors;  // SERIAL_ERROR_QUEUEOVERRUN from the port's own buffer
    CJnDeferredQueue* m_pExecutionOnPassiveLevel;

    static ULONG sm_Read(const volatile LONG& word) { return (ULONG)InterlockedCompareExchange((volatile LONG*)&word, 0, 0); }
    static ULONG sm_Exchange(volatile LONG& word, ULONG value) { return (ULONG)InterlockedExchange(&word, (LONG)value); }
    bool m_IsHeld(Hold hold) const { return sm_Read(m_alHolds[hold]) != 0; }
    // Sets or clears a hold; returns whether it was held before.
    bool m_SetHold(Hold hold, bool held) { return sm_Exchange(m_alHolds[hold], held ? 1 : 0) != 0; }

private:
    // The record, or null with the operation's "No ISerial interface." trace.
    ISerial* m_Serial(const char* operation);
    bool m_HaveParameters();
    template <typename Operation, typename... Args>
    BOOLEAN m_Bus(Operation ISerial::*operation, Args... args)
    {
        return m_pSerialInterface ? m_pSerialInterface->m_Call(operation, args...) : FALSE;
    }
    BOOLEAN m_ExtendedProcessing();
    ULONG m_FlowReplace() const { return m_HandFlow.FlowReplace; }
    ULONG m_ControlHandShake() const { return m_HandFlow.ControlHandShake; }
    BOOLEAN m_SendToLowerDevice(ULONG code, PVOID input, ULONG inputLength, PVOID output, PULONG outputLength);
    void m_ReleaseInterface(ISerial* pISerial);

    // A buffer of the port's own making for the read queue (break and error characters,
    // modem-status insertion), with the event and resolve that received data brings.
    void m_DeliverToReadQueue(const UCHAR* pucData, ULONG ulLength);
    void m_ErrorAbort();
    void m_SetQueuesAccepting();
    void m_ClearRunTimeStatus();
    ULONG m_HoldReasons();
    // Adds to or takes from the pending-transmit count, never below 0.
    void m_AddPending(ULONG ulBytes);
    void m_TakePending(ULONG ulBytes);
    // The codes m_CommSettingsCallback gets for a line control, after the overrides.
    void m_DeviceLineCodes(const SERIAL_LINE_CONTROL& lineControl, ULONG& dataBits, ULONG& parity, ULONG& stopBits);
    NTSTATUS m_SetLine(bool dtr, bool on);
    NTSTATUS m_Eeprom(bool write, ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer);
    // Received-data processing; each may replace the buffer (null: out of memory, dropped).
    CJnDataBuffer* m_EscapeData(CJnDataBuffer* pBuffer, UCHAR ucEscape);
    CJnDataBuffer* m_ApplyLineErrors(CJnDataBuffer* pBuffer, ULONG ulLineStatus, UCHAR ucEscape);

    static void sm_QueueOverflow(PVOID vcp, PVOID);
};
