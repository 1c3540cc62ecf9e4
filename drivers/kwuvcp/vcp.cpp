// The port object's life: construction, the ISerial record obtained from and given back to
// the bus driver, connect (registry defaults once, the settings replayed every time) and
// disconnect (the transmitter drained in character times).
#include "vcp.h"
#include "jndebugmanager.h"
#include "jnirp.h"

namespace {
const char kSourcePath[] = "drivers\\kwuvcp\\vcp";
const ULONG kTransmitterEmpty = SERIAL_LSR_THRE | SERIAL_LSR_TEMT;

ULONG MinimumReceiveBufferSize()
{
    switch (MmQuerySystemSize()) {
    case MmMediumSystem: return 4096;
    case MmLargeSystem: return 16384;
    default: return 512;
    }
}

void Delay(LONGLONG time100ns)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -time100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
}  // namespace

CVCP::CVCP()
    : m_pParameters(nullptr), m_bConnected(FALSE), m_bDefaultsApplied(FALSE), m_HandFlow(), m_SpecialChars(),
      m_Timeouts(), m_ulMinimumReceiveBufferSize(MinimumReceiveBufferSize()), m_ucModemControl(0), m_bLoopback(FALSE),
      m_ucSavedReceiveTriggerLevel(0), m_ucLsrMstEscapeChar(0), m_pWaitWakeIrp(nullptr), m_ReceivedCount(0),
      m_TransmittedCount(0), m_FrameErrorCount(0), m_SerialOverrunErrorCount(0), m_BufferOverrunErrorCount(0),
      m_ParityErrorCount(0), m_ulLastReceiveMicroseconds(0), m_bWaitForImmediate(0), m_bReceiveOverflow(0),
      m_ulPendingTransmitCount(0), m_ulLineStatus(0), m_ulModemStatus(0), m_alHolds(), m_ulErrors(0),
      m_ulOverflowErrors(0), m_pExecutionOnPassiveLevel(nullptr)
{
    m_ulReceiveBufferSize = m_ulMinimumReceiveBufferSize;
    m_ulReceiveBuffer80Percent = m_ulReceiveBufferSize * 80 / 100;
    m_ulXonLevel = m_ulReceiveBufferSize / 8;
    m_ulXoffLevel = m_ulReceiveBufferSize / 32;
    m_HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    m_HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    m_HandFlow.XonLimit = (LONG)m_ulXonLevel;
    m_HandFlow.XoffLimit = (LONG)m_ulXoffLevel;
    m_SpecialChars.XonChar = 0x11;
    m_SpecialChars.XoffChar = 0x13;
}

CVCP::~CVCP()
{
    m_DeInit();
    if (m_pExecutionOnPassiveLevel) {
        m_pExecutionOnPassiveLevel->m_Stop();
        delete m_pExecutionOnPassiveLevel;
    }
}

ISerial* CVCP::m_Serial(const char* operation)
{
    ISerial* record = m_pSerialInterface ? m_pSerialInterface->m_GetInterface() : nullptr;
    if (!record) JnTrace(kTraceChannel, "CVCP::%s - OUT - No ISerial interface.", operation);
    return record;
}

bool CVCP::m_HaveParameters()
{
    if (m_pParameters) return true;
    JnAssertPrint(kSourcePath, __LINE__);
    return false;
}

BOOLEAN CVCP::m_ExtendedProcessing()
{
    ISerial* record = m_pSerialInterface ? m_pSerialInterface->m_GetInterface() : nullptr;
    return record ? record->bExtendedCharacterProcessing : FALSE;
}

BOOLEAN CVCP::m_SendToLowerDevice(ULONG code, PVOID input, ULONG inputLength, PVOID output, PULONG outputLength)
{
    PDEVICE_OBJECT lower = m_pDevice ? m_pDevice->m_GetLowerDeviceObject() : nullptr;
    if (!lower) return FALSE;
    return JnSendIoctlSynchronously(lower, code, input, inputLength, output, outputLength, TRUE) ? TRUE : FALSE;
}

void CVCP::m_ReleaseInterface(ISerial* pISerial)
{
    ReleaseKwISerialRequestStruct request = {};
    request.ulPortNumber = m_ulPortNumber;
    request.pISerial = pISerial;
    m_SendToLowerDevice(IOCTL_RELEASE_KWISERIAL, &request, sizeof request, nullptr, nullptr);
}

BOOLEAN CVCP::m_Init(CJnDevice* pDevice, ULONG ulPortNumber)
{
    JnTrace(kTraceChannel, "VCP Init - IN");
    m_pDevice = pDevice;
    m_ulPortNumber = ulPortNumber;
    CreateKwISerialRequestStruct request = {KWISERIAL_INTERFACE_VERSION, ulPortNumber};
    CreateKwISerialResponseStruct response = {nullptr};
    ULONG length = sizeof response;
    ISerial* record = nullptr;
    if (m_SendToLowerDevice(IOCTL_CREATE_KWISERIAL, &request, sizeof request, &response, &length) &&
        length == sizeof response) {
        record = response.pISerial;
        if (!record) JnAssertPrint("drivers\\kwuvcp\\vcpbusinterface", __LINE__);
    }
    CVcpBusInterface* holder = record ? new CVcpBusInterface() : nullptr;
    if (!holder) {
        if (record) m_ReleaseInterface(record);
        JnTrace(kTraceChannel, "VCP Init - OUT - Error retrieving ISerial interface.");
        return FALSE;
    }
    holder->m_Attach(record, static_cast<ISerialCallback*>(this));
    m_pSerialInterface = holder;

    m_pExecutionOnPassiveLevel = new CJnDeferredQueue();
    if (!m_pExecutionOnPassiveLevel || !m_pExecutionOnPassiveLevel->m_Init(nullptr, kPassiveLevelPriority)) {
        delete m_pExecutionOnPassiveLevel;
        m_pExecutionOnPassiveLevel = nullptr;
        JnTrace(kTraceChannel, "VCP Init - OUT - Error m_pExecutionOnPassiveLevel is NULL.");
        return FALSE;
    }
    JnTrace(kTraceChannel, "VCP Init - OUT");
    return TRUE;
}

BOOLEAN CVCP::m_DeInit()
{
    if (!m_pSerialInterface) {
        JnTrace(kTraceChannel, "VCP m_DeInit - OUT - Error m_pSerialInterface is NULL.");
        return FALSE;
    }
    ISerial* record = m_pSerialInterface->m_GetInterface();
    if (!record) {
        JnTrace(kTraceChannel, "CVCP::m_DeInit - OUT - No ISerial interface.");
        return FALSE;
    }
    m_Disconnect();
    // The deferred flow-control work calls the bus: it ends before the record goes back.
    if (m_pExecutionOnPassiveLevel) {
        m_pExecutionOnPassiveLevel->m_Stop();
        delete m_pExecutionOnPassiveLevel;
        m_pExecutionOnPassiveLevel = nullptr;
    }
    m_ReleaseInterface(record);
    delete m_pSerialInterface;
    m_pSerialInterface = nullptr;
    return TRUE;
}

void CVCP::m_ApplyParameterDefaults()
{
    m_ulBaudRate = m_pParameters->m_ulBaudrate;
    static const UCHAR kWordLengths[] = {5, 6, 7};
    ULONG dataBits = m_pParameters->m_ulDatabits;
    m_LineControl.WordLength = dataBits < 3 ? kWordLengths[dataBits] : 8;
    ULONG parity = m_pParameters->m_ulParity;
    m_LineControl.Parity = parity >= 1 && parity <= 4 ? (UCHAR)parity : NO_PARITY;
    ULONG stopBits = m_pParameters->m_ulStopbits;
    m_LineControl.StopBits = stopBits == 1 || stopBits == 2 ? (UCHAR)stopBits : STOP_BIT_1;
    // Another FlowControl value leaves the handshake as it is.
    CVcpParameters::sm_FlowControlHandshake(m_pParameters->m_ulFlowControl, m_HandFlow.ControlHandShake,
                                            m_HandFlow.FlowReplace);
    m_HandFlow.XonLimit = m_HandFlow.XoffLimit = 100;
    m_ulXonLevel = m_ulXoffLevel = 100;
}

void CVCP::m_DeviceLineCodes(const SERIAL_LINE_CONTROL& lineControl, ULONG& dataBits, ULONG& parity,
                             ULONG& stopBits)
{
    stopBits = lineControl.StopBits <= STOP_BITS_2 ? lineControl.StopBits : STOP_BIT_1;
    if (m_pParameters->m_ulOverrideStopbits) stopBits = m_pParameters->m_ulStopbits;
    parity = lineControl.Parity <= SPACE_PARITY ? lineControl.Parity : NO_PARITY;
    if (m_pParameters->m_ulOverrideParity) parity = m_pParameters->m_ulParity;
    dataBits = lineControl.WordLength >= 5 && lineControl.WordLength <= 7 ? lineControl.WordLength - 5u : 3u;
    if (m_pParameters->m_ulOverrideDataBits) dataBits = m_pParameters->m_ulDatabits;
}

void CVCP::m_SetQueuesAccepting()
{
    m_pDevice->m_WriteQueue.m_SetState(TRUE, STATUS_CANCELLED);
    m_pDevice->m_ReadQueue.m_SetState(TRUE, STATUS_CANCELLED);
}

void CVCP::m_ClearRunTimeStatus()
{
    m_ClearStatistics();
    m_ucModemControl = 0;
    sm_Exchange(m_bReceiveOverflow, 0);
    sm_Exchange(m_ulPendingTransmitCount, 0);
    sm_Exchange(m_ulLineStatus, 0);
    sm_Exchange(m_ulModemStatus, 0);
    for (ULONG i = 0; i < kHoldCount; i++) sm_Exchange(m_alHolds[i], 0);
    sm_Exchange(m_ucLsrMstEscapeChar, 0);
}

BOOLEAN CVCP::m_Connect()
{
    JnTrace(kTraceChannel, "CVCP::m_Connect - IN");
    if (!m_pParameters || !m_pSerialInterface) {
        JnAssertPrint(kSourcePath, __LINE__);
        return FALSE;
    }
    ISerial* record = m_Serial("m_Connect");
    if (!record) return FALSE;
    if (!m_bDefaultsApplied) {
        m_ApplyParameterDefaults();
        m_bDefaultsApplied = TRUE;
    }
    m_ClearRunTimeStatus();
    sm_Exchange(m_bWaitForImmediate, 0);
    sm_Exchange(m_ulErrors, 0);
    sm_Exchange(m_ulOverflowErrors, 0);
    m_bLoopback = FALSE;
    m_pWaitWakeIrp = nullptr;
    m_ucSavedReceiveTriggerLevel = 0;
    m_ulXonLevel = m_ulReceiveBufferSize / 8;
    m_ulXoffLevel = m_ulReceiveBufferSize / 32;
    m_HandFlow.XonLimit = (LONG)m_ulXonLevel;
    m_HandFlow.XoffLimit = (LONG)m_ulXoffLevel;
    m_SetQueuesAccepting();
    JnTrace(kTraceChannel, "===================KwUVCP UI Parameters======================");
    JnTrace(kTraceChannel, "\tBaudrate:%d Databits:%d Parity:%d Stopbits:%d FlowControl:%d", m_pParameters->m_ulBaudrate,
            m_pParameters->m_ulDatabits, m_pParameters->m_ulParity, m_pParameters->m_ulStopbits,
            m_pParameters->m_ulFlowControl);

    if (!m_Bus(&ISerial::m_ConnectCallback)) {
        JnTrace(kTraceChannel, "CVCP::m_Connect - OUT - Error Connecting.");
        return FALSE;
    }
    m_bConnected = TRUE;
    if (record->bIs422485 == 1) {
        if (!m_pParameters->m_ulDuplexMode) m_pParameters->m_ulDuplexMode = 1;
        m_Bus(&ISerial::m_DuplexModeSettingsCallback, m_pParameters->m_ulDuplexMode,
              (BOOLEAN)(m_pParameters->m_ul422485CtsTrue != 0));
    }
    const char* failure = nullptr;
    ULONG rate = m_pParameters->m_ulOverridBaudRates ? m_pParameters->m_ulBaudrate : m_ulBaudRate;
    ULONG dataBits, parity, stopBits;
    m_DeviceLineCodes(m_LineControl, dataBits, parity, stopBits);
    if (!m_Bus(&ISerial::m_BaudrateCallback, rate))
        failure = "CVCP::m_Connect - OUT - Error Setting Baudrate.";
    else if (!m_Bus(&ISerial::m_CommSettingsCallback, dataBits, parity, stopBits))
        failure = "CVCP::m_Connect - OUT - Error Setting Comm settings.";
    if (failure) {
        JnTrace(kTraceChannel, failure);
        m_Bus(&ISerial::m_DisconnectCallback);
        m_bConnected = FALSE;
        return FALSE;
    }
    JnTrace(kTraceChannel, "CVCP::m_Connect - OUT (Success)");
    return TRUE;
}

BOOLEAN CVCP::m_Disconnect()
{
    if (!m_pSerialInterface || !m_pSerialInterface->m_GetInterface()) {
        JnAssertPrint("drivers\\kwiserial\\kwiserial", __LINE__);
        JnTrace(kTraceChannel, "CVCP::m_Disconnect - OUT - No ISerial interface.");
        return FALSE;
    }
    if (!m_bConnected) return FALSE;
    ULONG txFifo = 0x80, rxFifo = 0;
    m_Bus(&ISerial::m_GetFifoSizesCallback, &txFifo, &rxFifo);
    m_ClearDtr();
    m_ClearRts();

    // Let the line take what is still on its way: at least half the transmit FIFO, then
    // poll the transmitter for up to 20 times as long.
    ULONG pending = sm_Read(m_ulPendingTransmitCount);
    if (pending || (sm_Read(m_ulLineStatus) & kTransmitterEmpty) != kTransmitterEmpty) {
        if (!m_Bus(&ISerial::m_GetFifoSizesCallback, &txFifo, &rxFifo)) txFifo = 256;
        ULONG characters = pending > txFifo / 2 ? pending : txFifo / 2;
        LONGLONG charTime = m_GetCharTime();
        Delay(characters * charTime);
        for (ULONGLONG polls = 20ull * characters; polls; polls--) {
            if ((sm_Read(m_ulLineStatus) & kTransmitterEmpty) == kTransmitterEmpty) break;
            JnTrace(kTraceChannel, "CVCP::m_Disconnect - Waiting for flushing FiFo.");
            Delay(charTime);
        }
    }
    BOOLEAN result = m_Bus(&ISerial::m_DisconnectCallback);
    m_bConnected = FALSE;
    m_TraceStatistics();

    m_pDevice->m_ControlQueue.m_CancelWait();
    m_pDevice->m_ControlQueue.m_ClearCommEvents(0xFFFFFFFF);
    m_ClearRunTimeStatus();
    m_pDevice->m_ReadQueue.m_CancelAllIrps();
    m_pDevice->m_WriteQueue.m_CancelAllIrps();
    m_pDevice->m_ReadQueue.m_FlushData();
    m_SetQueuesAccepting();
    JnTrace(kTraceChannel, "CVCP::m_Disconnect - OUT (%s)", result ? "Success" : "Failed");
    return result;
}
