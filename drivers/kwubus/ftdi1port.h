// CFTDI1Port: the bus side of one serial channel. It implements the channel's ISerial
// operations over its USB transport: settings become the chip's vendor requests,
// received transfers become data and status callbacks, and written data goes out
// through a queue and a pump thread. The chip gives no completion per byte, so the
// engine tells the port driver what counts as written: at 38,400 baud and below it
// models the chip's transmit FIFO and releases credit at the character rate from a
// periodic timer; above, it gives up to one chunk in advance and settles the rest from
// USB completions.
//
// Threads: operations come from the port driver at passive level; read completions at
// up to DISPATCH_LEVEL (they only parse, count and queue); status reports and
// deliveries run on queue A at passive level, one at a time; the delayed half of a
// restore on queue B; the pump on its own thread; emulation ticks in a timer DPC. The
// transmit lock guards the transmit queue, the hold flag and every emulation counter;
// the read lock guards the read-paused flag. Neither is held while calling the port
// driver or the transport.
#pragma once

#include "ftdiprotocol.h"
#include "jndatabuffer.h"
#include "jndeferredqueue.h"
#include "jnremovelock.h"
#include "jnstopwatch.h"
#include "jntimerlist.h"
#include "jnworkerthread.h"
#include "kwiserial.h"
#include "kwubusdevice.h"
#include "usbtransport.h"

// The bus parameters a channel engine uses, with the values a device without its own
// parameter set has.
#define KW_DEFAULT_RX_FIFO_SIZE 256
#define KW_DEFAULT_TX_FIFO_SIZE 128
#define KW_DEFAULT_MAXIMUM_BAUD_RATE 1000000
#define KW_DEFAULT_POLICY_TYPE 0
#define KW_DEFAULT_MAXIMUM_LATENCY 1040
#define KW_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING 0
#define KW_DEFAULT_LOW_CPU_USAGE_FINE_TUNING 192

// The highest rate whose written-byte credit follows the emulated transmit FIFO.
#define KW_EMULATION_MAXIMUM_RATE 38400

// What the bus device's WMI blocks report of a channel.
struct FTDI_CHANNEL_TIMING {
    ULONG ulDataArrivedDuration;  // microseconds the last data-arrived handler took
    ULONG ulDeliveryDelay;        // microseconds from queuing the last delivery to its start
    ULONG ulDeliveryDuration;     // microseconds the last delivery took
    ULONG ulReadInterval;         // milliseconds between the last two read completions
    ULONG ulReadCallbackDuration; // microseconds of the last read-completion callback
    ULONG ulBytesWritten;         // bytes reported written
    ULONG ulBytesReceived;        // raw bytes received
};

struct FTDI_CHANNEL_SNAPSHOT {
    ULONG ulRxTransferSize;
    ULONG ulTxTransferSize;
    ULONG ulLatency;
    ULONG ulLineStatus;
    ULONG ulModemStatus;
    ULONG ulQueuedBytes;
    ULONG ulTransmitNotHeld;
    ULONG ulReadNotPaused;
    ULONG ulModemControl;
    ULONG ulFlowControlIndex;
    ULONG ulDivisor;
    ULONG ulDataFormat;
    BOOLEAN bOpen;
    ULONG ulDuplexMode;
    BOOLEAN bDeliveryInProgress;
    BOOLEAN bWriteInProgress;
    BOOLEAN bXoffSent;
    BOOLEAN bXoffReceived;
};

class CFTDI1Port : public CISerialProvider {
public:
    CFTDI1Port(CKwUsbBusDevice* pParentDevice, ULONG ulPortNumber);
    ~CFTDI1Port() override;

    BOOLEAN m_Init() override;
    BOOLEAN m_DeInit() override;

    // ---- operations 0..23 ----
    BOOLEAN m_ConnectCallback() override;
    BOOLEAN m_DisconnectCallback() override;
    BOOLEAN m_PortWriteCallback(CJnDataBuffer* pBuffer) override;
    BOOLEAN m_RtsCallback(BOOLEAN bOn) override;
    BOOLEAN m_DtrCallback(BOOLEAN bOn) override;
    BOOLEAN m_CommSettingsCallback(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits) override;
    BOOLEAN m_BaudrateCallback(ULONG ulBaudRate) override;
    BOOLEAN m_TriggerLevelsCallback(UCHAR ucTxTriggerLevel, UCHAR ucRxTriggerLevel, UCHAR ucRxFlowTriggerLevel) override;
    BOOLEAN m_HandshakingSettingsCallback(BOOLEAN bCtsOutputFlowControl, BOOLEAN bRtsInputFlowControl,
                                          BOOLEAN bDsrOutputFlowControl, BOOLEAN bDtrInputFlowControl,
                                          BOOLEAN bDsrInputSensitivity, BOOLEAN bRtsToggle,
                                          BOOLEAN bXonXoffOutputFlowControl, BOOLEAN bXonXoffInputFlowControl,
                                          BOOLEAN bXoffContinue, BOOLEAN bErrorCharacterReplacement,
                                          BOOLEAN bNullStripping, BOOLEAN bBreakCharacterReplacement) override;
    BOOLEAN m_InternalLoopbackCallback(BOOLEAN bOn) override;
    BOOLEAN m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue) override;
    BOOLEAN m_SetBreakCallback(BOOLEAN bOn) override;
    BOOLEAN m_PurgeCallback(BOOLEAN bPurgeTransmit, BOOLEAN bPurgeReceive) override;
    BOOLEAN m_IsBaudRateSettableCallback(ULONG ulBaudRate) override;
    BOOLEAN m_SetSpecialCharactersCallback(UCHAR ucBreakChar, UCHAR ucEofChar, UCHAR ucErrorChar, UCHAR ucEventChar,
                                           UCHAR ucXonChar, UCHAR ucXoffChar) override;
    BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN bXoff) override;
    BOOLEAN m_SendImmediateCharacterCallback(UCHAR ucChar) override;
    BOOLEAN m_GetFifoSizesCallback(PULONG pulTxFifoSize, PULONG pulRxFifoSize) override;
    BOOLEAN m_UpdateModemStatusCallback() override;
    BOOLEAN m_SendXonXoffCallback(BOOLEAN bSendXoff) override;
    BOOLEAN m_GetMaximumBaudRateCallback(PULONG pulMaximumBaudRate) override;

    // ---- power, latency and the bus parameters ----
    virtual BOOLEAN m_SaveDeviceState();
    virtual BOOLEAN m_RestoreDeviceState();
    virtual BOOLEAN m_GetLatencyTimerValue(PUCHAR pucLatency);
    virtual BOOLEAN m_SetRxTransferSize(ULONG ulSize);
    virtual ULONG m_GetRxTransferSize();
    virtual BOOLEAN m_SetTxTransferSize(ULONG ulSize);
    virtual ULONG m_GetTxTransferSize();
    virtual BOOLEAN m_SetPolicyType(ULONG ulPolicyType);
    virtual BOOLEAN m_SetMaximumLatency(ULONG ulMaximumLatency);
    virtual BOOLEAN m_SetMaximumLatencyFineTuning(ULONG ulFineTuning);
    virtual BOOLEAN m_SetLowCpuUsageFineTuning(ULONG ulFineTuning);
    virtual BOOLEAN m_SetMaximumBaudRate(ULONG ulMaximumBaudRate);
    virtual BOOLEAN m_SetRxFifoSize(ULONG ulRxFifoSize);
    virtual ULONG m_GetRxFifoSize();
    virtual BOOLEAN m_SetTxFifoSize(ULONG ulTxFifoSize);
    virtual ULONG m_GetTxFifoSize();

    // Applies the latency policy for a rate (also the one step the connect runs for
    // 115,200 baud).
    BOOLEAN m_SetLatencyAndRxTransferSize(ULONG ulBaudRate);

    ULONG m_GetPortNumber() const { return m_ulPortNumber; }
    USHORT m_GetChannelIndex() const { return m_usChannelIndex; }
    BOOLEAN m_IsComposite() const { return m_bCompositeDevice; }
    BOOLEAN m_Is422485() const { return m_pPortProvider && m_pPortProvider->bIs422485; }
    ULONG m_GetBaudRate() const { return m_ulBaudRate; }
    ULONG m_GetLatency() const { return m_ulLatency; }
    void m_GetTiming(FTDI_CHANNEL_TIMING* pTiming);
    void m_GetSnapshot(FTDI_CHANNEL_SNAPSHOT* pSnapshot);

private:
    struct TxItem : CJnObject {
        LIST_ENTRY link;
        CJnDataBuffer* pBuffer;
        UCHAR ucPipe;
    };

    // ---- settings helpers (ftdi1portsettings.cpp) ----
    BOOLEAN m_SetModemLine(UCHAR ucLine, BOOLEAN bOn, const char* pszFailure);
    BOOLEAN m_SetDtr(BOOLEAN bOn);
    BOOLEAN m_SetRts(BOOLEAN bOn);
    BOOLEAN m_SetLatencyTimer(ULONG ulLatency);
    BOOLEAN m_SetErrorChar(UCHAR ucChar, BOOLEAN bEnabled);
    BOOLEAN m_SetEventChar(UCHAR ucChar, BOOLEAN bEnabled);
    void m_ConnectRollback();
    static void sm_RestoreDelayed(PVOID port, PVOID);
    void m_RestoreDelayed();

    // ---- receiving (ftdi1portreceive.cpp) ----
    static BOOLEAN sm_DataArrivedCallback(PVOID port, CJnDataBuffer* pBuffer);
    BOOLEAN m_DataArrivedCallback(CJnDataBuffer* pBuffer);
    void m_ReadSize(ULONG ulFree, ULONG ulDelivering, PULONG pulSize, BOOLEAN* pbStop);
    ULONG m_FittingReadSize();
    static void sm_Deliver(PVOID port, PVOID buffer);
    static void sm_ReportModemStatus(PVOID port, PVOID status);
    static void sm_ReportLineStatus(PVOID port, PVOID status);
    static void sm_ClearRtsAfterTransmit(PVOID port, PVOID);
    void m_ReportModemStatus(UCHAR ucStatus);
    void m_ReportLineStatus(UCHAR ucStatus);
    void m_RestartReading();
    BOOLEAN m_ReadModemStatusAtConnect();
    void m_QueueReport(JnDeferredFunction routine, UCHAR ucStatus);

    // ---- transmitting (ftdi1porttransmit.cpp) ----
    BOOLEAN m_IsEmulated() const { return m_ulBaudRate != 0 && m_ulBaudRate <= KW_EMULATION_MAXIMUM_RATE; }
    void m_Hold(BOOLEAN bRelease);
    void m_ReevaluateHold();
    BOOLEAN m_Enqueue(CJnDataBuffer* pBuffer, UCHAR ucPipe, BOOLEAN bAtHead);
    void m_Requeue(TxItem* pItem);
    void m_Settle(ULONG ulBytes, BOOLEAN bFromTimer);
    void m_ReportWritten(ULONG ulBytes);
    static void sm_ReportWritten(PVOID port, PVOID bytes);
    static void sm_Pump(PVOID port);
    void m_Pump();
    void m_ClearBackOff();
    void m_FlushTransmitQueue(BOOLEAN bReportAsWritten);
    void m_RecomputeChunk();
    LONGLONG m_CharacterTime();
    void m_WaitCharacterTimes(ULONG ulCount);
    void m_StartEmulationTimerIfDue();
    void m_StopEmulationTimer(BOOLEAN bForce);
    static void sm_StopEmulationTimer(PVOID port, PVOID);
    static void sm_FiFoTransmissionEmulationTimerCallback(PVOID port);
    void m_EmulationTick();
    static void sm_SendXonXoff(PVOID port, PVOID xoff);
    BOOLEAN m_IsFlowCharacter(UCHAR ucChar) const
    {
        return m_bXonXoffInputFlowControl && (ucChar == m_ucXonChar || ucChar == m_ucXoffChar);
    }
    BOOLEAN m_ReportsImmediateCharacter(UCHAR ucChar) const;

    // ---- identity and lifecycle ----
    BOOLEAN m_bConstructed;
    CUSBTransport* m_pUSBTransport;
    ULONG m_ulPortNumber;
    CKwUsbBusDevice* m_pParentDevice;
    USHORT m_usChannelIndex;
    BOOLEAN m_bCompositeDevice;
    volatile BOOLEAN m_bPortOpen;
    volatile BOOLEAN m_bOpenCloseInProgress;
    volatile BOOLEAN m_bSavingState;

    // ---- line settings ----
    ULONG m_ulBaudRate;
    USHORT m_usDivisor;
    USHORT m_usFraction;
    ULONG m_ulDataBitsCode;
    ULONG m_ulParityCode;
    ULONG m_ulStopBitsCode;
    USHORT m_usDataFormat;
    BOOLEAN m_bBreakOn;
    USHORT m_usModemControl;
    volatile UCHAR m_ucModemStatus;
    volatile UCHAR m_ucLineStatus;
    UCHAR m_ucXonChar;
    UCHAR m_ucXoffChar;
    USHORT m_usFlowControlIndex;
    USHORT m_usErrorCharSetting;
    USHORT m_usEventCharSetting;
    BOOLEAN m_bCtsOutputFlowControl;
    BOOLEAN m_bRtsInputFlowControl;
    BOOLEAN m_bDsrOutputFlowControl;
    BOOLEAN m_bDtrInputFlowControl;
    BOOLEAN m_bDsrInputSensitivity;
    BOOLEAN m_bRtsToggleFlowControl;
    BOOLEAN m_bXonXoffOutputFlowControl;
    BOOLEAN m_bXonXoffInputFlowControl;
    BOOLEAN m_bXoffContinue;
    volatile BOOLEAN m_bXoffSent;
    volatile BOOLEAN m_bXoffReceived;
    ULONG m_ulDuplexMode;
    UCHAR m_ucTxTriggerLevel;
    UCHAR m_ucRxTriggerLevel;

    // ---- latency and the bus parameters ----
    ULONG m_ulLatency;
    ULONG m_ulRxTransferSize;
    ULONG m_ulTxTransferSize;
    ULONG m_ulPolicyType;
    ULONG m_ulMaximumLatency;
    ULONG m_ulMaximumLatencyFineTuning;
    ULONG m_ulLowCpuUsageFineTuning;
    ULONG m_ulMaximumBaudRate;
    ULONG m_ulRxFifoSize;
    ULONG m_ulTxFifoSize;

    // ---- transmit path (under the transmit lock) ----
    CJnSpinLock m_TransmitLock;
    LIST_ENTRY m_TransmitQueue;
    ULONG m_ulQueuedBytes;
    ULONG m_ulOutstanding;
    ULONG m_ulFifoLevel;
    ULONG m_ulPreReported;
    ULONG m_ulChunk;
    ULONG m_ulTickRemainder;
    JnTimer* m_pEmulationTimer;
    CJnStopwatch m_EmulationStopwatch;
    volatile BOOLEAN m_bTransmitHeld;
    volatile BOOLEAN m_bWriteInProgress;
    // A transfer failed: the pump waits for the next enqueue or status change.
    volatile BOOLEAN m_bBackOff;
    // RTS toggle: RTS goes down once the chip reports its transmitter empty in a read
    // that began after the transfer (read completions are counted).
    volatile BOOLEAN m_bRtsTogglePending;
    volatile LONG m_lRtsToggleAfterRead;
    volatile LONG m_lReadCompletions;
    KEVENT m_WriteFailedEvent;
    KEVENT m_PumpWake;
    CJnWorkerThread m_PumpThread;
    CJnTimerList* m_pTimerList;
    CJnRemoveLock m_TimerGuard;
    KMUTEX m_WrittenMutex;

    // ---- receive path ----
    CJnSpinLock m_ReadLock;
    volatile BOOLEAN m_bReadPaused;
    volatile LONG m_lPendingDeliveries;
    volatile BOOLEAN m_bDeliveryInProgress;
    KMUTEX m_DeliveryMutex;
    CJnDeferredQueue* m_pQueueA;  // status reports and deliveries
    CJnDeferredQueue* m_pQueueB;  // the delayed half of a restore

    // ---- statistics ----
    volatile LONG m_lBytesReceived;
    volatile LONG m_lBytesWritten;
    ULONG m_ulDataArrivedDuration;
    ULONG m_ulDeliveryDelay;
    ULONG m_ulDeliveryDuration;
    CJnStopwatch m_DeliveryStopwatch;
};
