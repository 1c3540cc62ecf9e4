#include "kwubuschannel.h"

#include "jndebugmanager.h"
#include "kwubustrace.h"

NTSTATUS KwUBusCreateChannel(CKwUsbBusDevice* pBusDevice, ULONG ulPortNumber,
                             const KW_BUS_CHANNEL_PARAMETERS* pParameters, CFTDI1Port** ppEngine, ISerial** ppRecord)
{
    *ppEngine = nullptr;
    *ppRecord = nullptr;
    CFTDI1Port* engine = new CFTDI1Port(pBusDevice, ulPortNumber);
    if (!engine) return STATUS_UNSUCCESSFUL;
    if (!engine->m_Init()) {
        delete engine;
        return STATUS_UNSUCCESSFUL;
    }
    BOOLEAN is422485 = FALSE;
    if (pParameters) {
        engine->m_SetPolicyType(pParameters->ulPolicyType);
        engine->m_SetMaximumLatency(pParameters->ulMaximumLatency);
        engine->m_SetMaximumLatencyFineTuning(pParameters->ulMaximumLatencyFineTuning);
        engine->m_SetLowCpuUsageFineTuning(pParameters->ulLowCpuUsageFineTuning);
        engine->m_SetRxFifoSize(pParameters->ulRxFifoSize);
        engine->m_SetTxFifoSize(pParameters->ulTxFifoSize);
        engine->m_SetMaximumBaudRate(pParameters->ulMaximumBaudRate);
        // A port number that names no bit is an RS-232 channel.
        if (!FtdiPortIs422485(pParameters->ulPortType, ulPortNumber, &is422485)) is422485 = FALSE;
    }
    ISerial* record = engine->m_CreateInterface(KWISERIAL_INTERFACE_VERSION, is422485, KWISERIAL_BAUD_RATES_NOT_GIVEN,
                                                FALSE, FALSE, FALSE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE);
    if (!record) {
        JnTrace(KW_UBUS_TRACE, "Error: pCreateKwISerialResponseStruct->pISerial is NULL");
        delete engine;
        return STATUS_UNSUCCESSFUL;
    }
    *ppEngine = engine;
    *ppRecord = record;
    return STATUS_SUCCESS;
}
