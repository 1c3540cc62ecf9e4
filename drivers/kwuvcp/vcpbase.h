// CVcpBase: the primary base of the port object. It declares the port's operations in their
// virtual-slot order (the serial requests are dispatched to them) and keeps the two settings
// the character time depends on.
#pragma once

#include "jnmemorypool.h"
#include "kwplat/serial.h"

class CJnDevice;
class CJnControlQueue;

class CVcpBase : public CJnObject {
public:
    static const ULONG kTraceChannel = 7;

    CVcpBase();
    virtual ~CVcpBase() {}

    virtual BOOLEAN m_Init(CJnDevice* pDevice, ULONG ulPortNumber) = 0;  // 1
    virtual BOOLEAN m_DeInit() = 0;
    virtual BOOLEAN m_Connect() = 0;
    virtual BOOLEAN m_Disconnect() = 0;
    virtual NTSTATUS m_SetBaudRate(const SERIAL_BAUD_RATE* pBaudRate) = 0;  // 5
    virtual NTSTATUS m_SetLineControl(const SERIAL_LINE_CONTROL* pLineControl) = 0;
    virtual NTSTATUS m_SetTimeouts(const SERIAL_TIMEOUTS* pTimeouts) = 0;
    virtual NTSTATUS m_SetSpecialCharacters(const SERIAL_CHARS* pChars) = 0;
    virtual NTSTATUS m_SetHandFlow(const SERIAL_HANDFLOW* pHandFlow) = 0;
    virtual NTSTATUS m_ClearDtr() = 0;  // 10
    virtual NTSTATUS m_SetDtr() = 0;
    virtual NTSTATUS m_ClearRts() = 0;
    virtual NTSTATUS m_SetRts() = 0;
    virtual NTSTATUS m_SetBreakOn() = 0;
    virtual NTSTATUS m_SetBreakOff() = 0;  // 15
    virtual NTSTATUS m_SetModemControl(UCHAR ucModemControl) = 0;
    virtual NTSTATUS m_SetXon() = 0;
    virtual NTSTATUS m_SetXoff() = 0;
    virtual NTSTATUS m_ResetDevice() = 0;
    virtual NTSTATUS m_SendImmediateChar(UCHAR ucChar) = 0;  // 20
    virtual NTSTATUS m_GetCommStatus(PSERIAL_STATUS pStatus) = 0;
    virtual NTSTATUS m_Purge(ULONG ulMask) = 0;
    virtual NTSTATUS m_SetQueueSize(const SERIAL_QUEUE_SIZE* pQueueSize) = 0;
    virtual NTSTATUS m_SetLsrMstInsert(UCHAR ucEscapeChar) = 0;
    virtual NTSTATUS m_SetFifoControl(ULONG ulFifoControl) = 0;  // 25
    virtual BOOLEAN m_SetTriggerLevels(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl) = 0;
    virtual NTSTATUS m_GetPortProperties(PSERIAL_COMMPROP pCommProp) = 0;
    virtual NTSTATUS m_SetDuplexMode(ULONG ulDuplexMode, BOOLEAN bCtsTrue) = 0;
    virtual NTSTATUS m_SetInternalLoopBackMode(BOOLEAN bOn) = 0;
    virtual NTSTATUS m_ReadEeprom(ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer) = 0;  // 30
    virtual NTSTATUS m_WriteEeprom(ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer) = 0;
    virtual NTSTATUS m_SetWaitMask(ULONG ulMask) = 0;
    virtual NTSTATUS m_GetWaitMask(PULONG pulMask) = 0;
    // Hands back the control queue, which then holds the request: STATUS_PENDING.
    virtual NTSTATUS m_WaitOnMask(PVOID pOutput, ULONG ulOutputLength, PULONG_PTR pInformation,
                                  CJnControlQueue** ppControlQueue) = 0;
    virtual BOOLEAN m_ResolveCurrentEventMask() = 0;  // 35
    virtual NTSTATUS m_InternalBasicSettings(PSERIAL_BASIC_SETTINGS pSettings) = 0;
    virtual NTSTATUS m_RestoreBasicSettings(const SERIAL_BASIC_SETTINGS* pSettings) = 0;
    virtual NTSTATUS m_CancelWaitWake() = 0;
    virtual NTSTATUS m_DoWaitWake() = 0;  // 39

    // The time one character frame takes on the line, in 100-ns units: start bit, data
    // bits, parity bit, stop bits (1.5 counts as 1), each ceil(10^7 / rate) long.
    LONGLONG m_GetCharTime() const;

    ULONG m_ulBaudRate;                 // last rate an application set (what it asked for)
    SERIAL_LINE_CONTROL m_LineControl;  // last line control an application set
};
