// CFTDI1Port: construction, initialisation, connect and disconnect, destruction, and
// the operations that only answer from the engine's state.
#include "ftdi1port.h"

#include "ftdilatency.h"
#include "jndebugmanager.h"
#include "kwubustrace.h"

namespace {

// The chip channel the bus device addresses, from the first hardware ID of its PDO.
FTDI_CHANNEL ChannelOf(CKwUsbBusDevice* parent)
{
    FTDI_CHANNEL channel = {1, FALSE};
    PDEVICE_OBJECT pdo = parent ? parent->m_GetPhysicalDeviceObject() : nullptr;
    if (!pdo) return channel;
    ULONG length = 0;
    NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &length);
    if (status != STATUS_BUFFER_TOO_SMALL || length < sizeof(WCHAR)) return channel;
    PWCHAR ids = static_cast<PWCHAR>(JnAllocate(length, NonPagedPool));
    if (!ids) return channel;
    if (NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, length, ids, &length)))
        channel = FtdiChannelFromHardwareId(ids, length / sizeof(WCHAR));
    JnFree(ids);
    return channel;
}

}  // namespace

CFTDI1Port::CFTDI1Port(CKwUsbBusDevice* pParentDevice, ULONG ulPortNumber)
    : m_bConstructed(FALSE), m_pUSBTransport(nullptr), m_ulPortNumber(ulPortNumber), m_pParentDevice(pParentDevice),
      m_usChannelIndex(1), m_bCompositeDevice(FALSE), m_bPortOpen(FALSE), m_bOpenCloseInProgress(FALSE),
      m_bSavingState(FALSE),
      // Nothing has been programmed yet: a first request for any rate reaches the chip.
      m_ulBaudRate(0), m_usDivisor(0), m_usFraction(0), m_ulDataBitsCode(3), m_ulParityCode(0), m_ulStopBitsCode(0),
      m_usDataFormat(0), m_bBreakOn(FALSE), m_usModemControl(FTDI_MODEM_CTRL_BOTH_OFF), m_ucModemStatus(0xFF),
      m_ucLineStatus(0xFF), m_ucXonChar(0x11), m_ucXoffChar(0x13), m_usFlowControlIndex(0xFFFF),
      m_usErrorCharSetting(0), m_usEventCharSetting(0), m_bCtsOutputFlowControl(FALSE), m_bRtsInputFlowControl(FALSE),
      m_bDsrOutputFlowControl(FALSE), m_bDtrInputFlowControl(FALSE), m_bDsrInputSensitivity(FALSE),
      m_bRtsToggleFlowControl(FALSE), m_bXonXoffOutputFlowControl(FALSE), m_bXonXoffInputFlowControl(FALSE),
      m_bXoffContinue(FALSE), m_bXoffSent(FALSE), m_bXoffReceived(FALSE), m_ulDuplexMode(0), m_ucTxTriggerLevel(1),
      m_ucRxTriggerLevel(1), m_ulLatency(0), m_ulRxTransferSize(0), m_ulTxTransferSize(4096),
      // A device without a parameter set of its own runs with the registry's defaults.
      m_ulPolicyType(KW_DEFAULT_POLICY_TYPE), m_ulMaximumLatency(KW_DEFAULT_MAXIMUM_LATENCY),
      m_ulMaximumLatencyFineTuning(KW_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING),
      m_ulLowCpuUsageFineTuning(KW_DEFAULT_LOW_CPU_USAGE_FINE_TUNING), m_ulMaximumBaudRate(KW_DEFAULT_MAXIMUM_BAUD_RATE),
      m_ulRxFifoSize(KW_DEFAULT_RX_FIFO_SIZE), m_ulTxFifoSize(KW_DEFAULT_TX_FIFO_SIZE), m_ulQueuedBytes(0),
      m_ulOutstanding(0), m_ulFifoLevel(0), m_ulPreReported(0), m_ulChunk(16), m_ulTickRemainder(0),
      m_pEmulationTimer(nullptr), m_bTransmitHeld(FALSE), m_bWriteInProgress(FALSE), m_bBackOff(FALSE),
      m_bRtsTogglePending(FALSE), m_lRtsToggleAfterRead(0), m_lReadCompletions(0), m_pTimerList(nullptr),
      m_bReadPaused(TRUE), m_lPendingDeliveries(0), m_bDeliveryInProgress(FALSE), m_pQueueA(nullptr),
      m_pQueueB(nullptr), m_lBytesReceived(0), m_lBytesWritten(0), m_ulDataArrivedDuration(0), m_ulDeliveryDelay(0),
      m_ulDeliveryDuration(0)
{
    InitializeListHead(&m_TransmitQueue);
    KeInitializeEvent(&m_WriteFailedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_PumpWake, SynchronizationEvent, FALSE);
    KeInitializeMutex(&m_WrittenMutex, 0);
    KeInitializeMutex(&m_DeliveryMutex, 0);
    m_TimerGuard.m_Initialize(FALSE);

    FTDI_CHANNEL channel = ChannelOf(pParentDevice);
    m_usChannelIndex = channel.usChannelIndex;
    m_bCompositeDevice = channel.bComposite;

    m_pQueueA = new CJnDeferredQueue();
    m_pQueueB = new CJnDeferredQueue();
    m_pTimerList = new CJnTimerList();
    // Both queues have a thread of their own: their calls run one at a time, in order.
    m_bConstructed = m_pQueueA && m_pQueueA->m_Init(nullptr) && m_pQueueB && m_pQueueB->m_Init(nullptr) &&
                     m_pTimerList && m_pTimerList->m_Initialize(false);
}

CFTDI1Port::~CFTDI1Port()
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::~CFTDI1Port - IN");
    if (m_bPortOpen) {
        m_DisconnectCallback();
        m_FlushTransmitQueue(TRUE);
    }
    // Everything that may still use the transport ends before it goes.
    m_TimerGuard.m_DisableAndWait();
    m_StopEmulationTimer(TRUE);
    if (m_pTimerList) {
        m_pTimerList->m_Destroy();
        delete m_pTimerList;
        m_pTimerList = nullptr;
    }
    m_PumpThread.m_Stop();
    if (m_pQueueA) {
        m_pQueueA->m_Stop();
        delete m_pQueueA;
        m_pQueueA = nullptr;
    }
    if (m_pQueueB) {
        m_pQueueB->m_Stop();
        delete m_pQueueB;
        m_pQueueB = nullptr;
    }
    if (m_pUSBTransport) {
        m_pUSBTransport->m_DeInit();
        delete m_pUSBTransport;
        m_pUSBTransport = nullptr;
    }
    m_FlushTransmitQueue(FALSE);
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::~CFTDI1Port - OUT");
}

BOOLEAN CFTDI1Port::m_Init()
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_Init - IN");
    if (!m_bConstructed || m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_Init - OUT - Fail-> the engine was not built.");
        return FALSE;
    }
    if (m_pParentDevice) m_pParentDevice->m_GotoPowerState(KW_DEVICE_POWER_D0);
    m_pUSBTransport = new CUSBTransport(m_pParentDevice, 1, 2, m_usChannelIndex);
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_Init - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    if (!m_pUSBTransport->m_Init()) {
        delete m_pUSBTransport;
        m_pUSBTransport = nullptr;
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_Init - OUT - Fail-> Error calling m_pTransport->m_Init().");
        return FALSE;
    }
    m_pUSBTransport->m_SetOwner(this, sm_DataArrivedCallback);
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_Init - OUT (Success)");
    return TRUE;
}

BOOLEAN CFTDI1Port::m_DeInit()
{
    m_DisconnectCallback();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_ConnectCallback()
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_ConnectCallback - IN");
    JnTrace(KW_UBUS_TRACE, "=>Latency:0x%X, RxSize:0x%X, TxSize:0x%X", m_ulLatency, m_ulRxTransferSize,
            m_ulTxTransferSize);
    if (m_bPortOpen) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_ConnectCallback - OUT (Port is Alread Opened)");
        return TRUE;
    }
    if (!m_pUSBTransport) return FALSE;
    m_bOpenCloseInProgress = TRUE;
    m_TransmitLock.m_Acquire();
    m_ulQueuedBytes = 0;
    m_bTransmitHeld = FALSE;
    m_bBackOff = FALSE;
    m_ulOutstanding = 0;
    m_ulFifoLevel = 0;
    m_ulPreReported = 0;
    m_ulTickRemainder = 0;
    m_TransmitLock.m_Release();
    m_ucModemStatus = 0xFF;
    m_ucLineStatus = 0xFF;
    InterlockedExchange(&m_lBytesReceived, 0);
    InterlockedExchange(&m_lBytesWritten, 0);
    m_bXoffReceived = FALSE;
    m_bRtsTogglePending = FALSE;
    m_TimerGuard.m_Initialize(TRUE);

    if (m_pParentDevice) m_pParentDevice->m_GotoPowerState(KW_DEVICE_POWER_D0);

    if (!m_PumpThread.m_Create(sm_Pump, this, &m_PumpWake, 0, 0)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error creating write buffer thread.");
        m_ConnectRollback();
        return FALSE;
    }
    if (!m_pUSBTransport->m_Connect()) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error calling m_pUSBTransport->m_Connect().");
        m_ConnectRollback();
        return FALSE;
    }
    if (!m_pUSBTransport->m_WriteSettings(FTDI_RESET, FTDI_RESET_CHANNEL, m_usChannelIndex)) {
        JnTrace(KW_UBUS_TRACE,
                "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error calling m_pUSBTransport->m_WriteSettings(FTDI_RESET,...).");
        m_ConnectRollback();
        return FALSE;
    }
    m_SetLatencyAndRxTransferSize(115200);
    if (!m_CallDataWritten(m_ulTxTransferSize) || !m_ReadModemStatusAtConnect()) {
        m_ConnectRollback();
        return FALSE;
    }
    m_SetErrorChar(0, FALSE);
    m_SetEventChar(0, FALSE);
    if (!m_pUSBTransport->m_StartRead(FTDI_PACKET_SIZE)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error starting the continuous read.");
        DbgPrint("CFTDI1Port::m_ConnectCallback - Error starting the continuous read\n");
        m_ConnectRollback();
        return FALSE;
    }
    m_ReadLock.m_Acquire();
    m_bReadPaused = FALSE;
    m_ReadLock.m_Release();
    if (!m_pUSBTransport->m_SetInterruptPipeBufferSize(m_FittingReadSize())) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error setting the read size.");
        DbgPrint("CFTDI1Port::m_ConnectCallback - Error setting the read size\n");
        m_ConnectRollback();
        return FALSE;
    }
    m_bPortOpen = TRUE;
    m_bOpenCloseInProgress = FALSE;
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_ConnectCallback - OUT (Success)");
    return TRUE;
}

void CFTDI1Port::m_ConnectRollback()
{
    JnTrace(KW_UBUS_TRACE,
            "CFTDI1Port::m_ConnectCallback - OUT - calling m_pUSBTransport->m_WriteSettings(FTDI_RESET,...) due to port "
            "connection error.");
    m_pUSBTransport->m_WriteSettings(FTDI_RESET, FTDI_RESET_CHANNEL, m_usChannelIndex);
    DbgPrint("Error Opening COM Port\n");
    // Whatever the connect had started stops again, so the next connect starts afresh:
    // the continuous read, the spare request and the pump.
    m_ReadLock.m_Acquire();
    m_bReadPaused = TRUE;
    m_ReadLock.m_Release();
    m_pUSBTransport->m_Disconnect();
    m_PumpThread.m_Stop();
    m_TimerGuard.m_DisableAndWait();
    m_bPortOpen = FALSE;
    m_bOpenCloseInProgress = FALSE;
}

BOOLEAN CFTDI1Port::m_DisconnectCallback()
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DisconnectCallback - IN");
    if (!m_bPortOpen) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DisconnectCallback - OUT (Port is Alread Closed)");
        return TRUE;
    }
    m_bPortOpen = FALSE;
    m_bOpenCloseInProgress = TRUE;
    m_Hold(FALSE);
    // A transfer still in the spare request (one held back by flow control) is cancelled,
    // so the pump comes back.
    m_pUSBTransport->m_FreeSpareBulkRequest();
    m_TimerGuard.m_DisableAndWait();
    m_StopEmulationTimer(TRUE);

    m_TransmitLock.m_Acquire();
    while (!IsListEmpty(&m_TransmitQueue)) {
        TxItem* item = CONTAINING_RECORD(RemoveHeadList(&m_TransmitQueue), TxItem, link);
        DbgPrint("Flushing%d\n", item->pBuffer->m_GetLength());
        item->pBuffer->m_Delete();
        delete item;
    }
    m_bTransmitHeld = TRUE;
    m_TransmitLock.m_Release();

    m_PumpThread.m_Stop();

    m_usFlowControlIndex = 0xFFFF;
    m_TransmitLock.m_Acquire();
    m_ulQueuedBytes = 0;
    m_TransmitLock.m_Release();
    m_bCtsOutputFlowControl = FALSE;
    m_bRtsInputFlowControl = FALSE;
    m_bDsrOutputFlowControl = FALSE;
    m_bDtrInputFlowControl = FALSE;
    m_bDsrInputSensitivity = FALSE;
    m_bRtsToggleFlowControl = FALSE;
    m_bXonXoffOutputFlowControl = FALSE;
    m_bXonXoffInputFlowControl = FALSE;
    m_bXoffContinue = FALSE;
    m_bXoffSent = FALSE;
    m_bSavingState = FALSE;
    m_bBreakOn = FALSE;
    m_usDataFormat = 0;
    m_ulBaudRate = 0;
    m_ulRxTransferSize = 0;
    m_ulLatency = 0;
    InterlockedExchange(&m_lPendingDeliveries, 0);

    BOOLEAN ok = m_pUSBTransport->m_Disconnect();
    m_ReadLock.m_Acquire();
    m_bReadPaused = TRUE;
    m_ReadLock.m_Release();

    m_ulDataArrivedDuration = 0;
    m_ulDeliveryDelay = 0;
    m_ulDeliveryDuration = 0;
    m_bDeliveryInProgress = FALSE;
    m_bWriteInProgress = FALSE;
    m_bXoffReceived = FALSE;
    m_bRtsTogglePending = FALSE;
    m_bBackOff = FALSE;
    m_bOpenCloseInProgress = FALSE;

    if (m_pParentDevice) m_pParentDevice->m_GotoPowerState(KW_DEVICE_POWER_D3);
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DisconnectCallback - OUT (%s)", ok ? "Success" : "Fail");
    return ok;
}

BOOLEAN CFTDI1Port::m_InternalLoopbackCallback(BOOLEAN)
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_InternalLoopbackCallback - IN - OUT - Fail-> Not Implemented.");
    return FALSE;
}

BOOLEAN CFTDI1Port::m_IsBaudRateSettableCallback(ULONG ulBaudRate)
{
    FTDI_BAUD_DIVISOR divisor;
    return FtdiFindBaudDivisor(ulBaudRate, m_ulMaximumBaudRate, &divisor);
}

BOOLEAN CFTDI1Port::m_GetFifoSizesCallback(PULONG pulTxFifoSize, PULONG pulRxFifoSize)
{
    if (pulTxFifoSize) *pulTxFifoSize = m_ulTxFifoSize;
    if (pulRxFifoSize) *pulRxFifoSize = m_ulRxFifoSize;
    return TRUE;
}

// Status comes with every USB packet: there is nothing to fetch.
BOOLEAN CFTDI1Port::m_UpdateModemStatusCallback() { return TRUE; }

BOOLEAN CFTDI1Port::m_GetMaximumBaudRateCallback(PULONG pulMaximumBaudRate)
{
    if (pulMaximumBaudRate) *pulMaximumBaudRate = m_ulMaximumBaudRate;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetRxTransferSize(ULONG ulSize)
{
    if (!ulSize) return FALSE;
    m_ulRxTransferSize = ulSize;
    return TRUE;
}

ULONG CFTDI1Port::m_GetRxTransferSize() { return m_ulRxTransferSize; }

BOOLEAN CFTDI1Port::m_SetTxTransferSize(ULONG ulSize)
{
    if (!ulSize) return FALSE;
    m_ulTxTransferSize = ulSize;
    return TRUE;
}

ULONG CFTDI1Port::m_GetTxTransferSize() { return m_ulTxTransferSize; }

BOOLEAN CFTDI1Port::m_SetPolicyType(ULONG ulPolicyType)
{
    m_ulPolicyType = ulPolicyType;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetMaximumLatency(ULONG ulMaximumLatency)
{
    m_ulMaximumLatency = ulMaximumLatency;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetMaximumLatencyFineTuning(ULONG ulFineTuning)
{
    m_ulMaximumLatencyFineTuning = ulFineTuning;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetLowCpuUsageFineTuning(ULONG ulFineTuning)
{
    m_ulLowCpuUsageFineTuning = ulFineTuning;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetMaximumBaudRate(ULONG ulMaximumBaudRate)
{
    m_ulMaximumBaudRate = ulMaximumBaudRate;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetRxFifoSize(ULONG ulRxFifoSize)
{
    m_ulRxFifoSize = ulRxFifoSize;
    return TRUE;
}

ULONG CFTDI1Port::m_GetRxFifoSize() { return m_ulRxFifoSize; }

BOOLEAN CFTDI1Port::m_SetTxFifoSize(ULONG ulTxFifoSize)
{
    m_ulTxFifoSize = ulTxFifoSize;
    return TRUE;
}

ULONG CFTDI1Port::m_GetTxFifoSize() { return m_ulTxFifoSize; }

void CFTDI1Port::m_GetTiming(FTDI_CHANNEL_TIMING* pTiming)
{
    pTiming->ulDataArrivedDuration = m_ulDataArrivedDuration;
    pTiming->ulDeliveryDelay = m_ulDeliveryDelay;
    pTiming->ulDeliveryDuration = m_ulDeliveryDuration;
    pTiming->ulReadInterval = m_pUSBTransport ? m_pUSBTransport->m_GetReadInterval() : 0;
    pTiming->ulReadCallbackDuration = m_pUSBTransport ? m_pUSBTransport->m_GetReadCallbackDuration() : 0;
    pTiming->ulBytesWritten = static_cast<ULONG>(m_lBytesWritten);
    pTiming->ulBytesReceived = static_cast<ULONG>(m_lBytesReceived);
}

void CFTDI1Port::m_GetSnapshot(FTDI_CHANNEL_SNAPSHOT* s)
{
    s->ulRxTransferSize = m_ulRxTransferSize;
    s->ulTxTransferSize = m_ulTxTransferSize;
    s->ulLatency = m_ulLatency;
    s->ulLineStatus = m_ucLineStatus;
    s->ulModemStatus = m_ucModemStatus;
    m_TransmitLock.m_Acquire();
    s->ulQueuedBytes = m_ulQueuedBytes;
    s->ulTransmitNotHeld = m_bTransmitHeld ? 0 : 1;
    m_TransmitLock.m_Release();
    m_ReadLock.m_Acquire();
    s->ulReadNotPaused = m_bReadPaused ? 0 : 1;
    m_ReadLock.m_Release();
    s->ulModemControl = m_usModemControl;
    s->ulFlowControlIndex = m_usFlowControlIndex;
    s->ulDivisor = m_usDivisor;
    s->ulDataFormat = m_usDataFormat;
    s->bOpen = m_bPortOpen;
    s->ulDuplexMode = m_ulDuplexMode;
    s->bDeliveryInProgress = m_bDeliveryInProgress;
    s->bWriteInProgress = m_bWriteInProgress;
    s->bXoffSent = m_bXoffSent;
    s->bXoffReceived = m_bXoffReceived;
}
