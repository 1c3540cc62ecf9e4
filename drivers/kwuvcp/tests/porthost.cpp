#include "porthost.h"

#include <cstring>
#include <string>

#include "jnhostdevice.h"
#include "simkernel/io.h"

namespace kwsim::test {

namespace {

class PortDevice : public JnHostDevice {
public:
    explicit PortDevice(PortHost* host) : JnHostDevice(host->device), m_pHost(host) {}

    NTSTATUS m_Dispatch_Create(PIRP irp) override
    {
        CVCP* vcp = m_pHost->vcp;
        if (m_pHost->opened || !vcp) return sm_Complete(irp, STATUS_UNSUCCESSFUL);
        m_WriteQueue.m_ResetAccounting();
        if (m_pHost->triggerUpdateAtOpen && vcp->m_pParameters) {
            const CVcpParameters* p = vcp->m_pParameters;
            vcp->m_SetTriggerLevels((UCHAR)p->m_ulTransmitTriggerLevel, (UCHAR)p->m_ulReceiveTriggerLevel,
                                    (UCHAR)p->m_ulFlowControlTriggerLevel);
        }
        m_pHost->opened = vcp->m_Connect() != FALSE;
        return sm_Complete(irp, m_pHost->opened ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    }
    NTSTATUS m_Dispatch_Cleanup(PIRP irp) override
    {
        if (m_pHost->opened) {
            m_ControlQueue.m_CancelWait();
            m_ReadQueue.m_CancelAllIrps();
            m_WriteQueue.m_CancelAllIrps();
            m_ReadQueue.m_FlushData();
        }
        return sm_Complete(irp, STATUS_SUCCESS);
    }
    NTSTATUS m_Dispatch_Close(PIRP irp) override
    {
        if (m_pHost->vcp) m_pHost->vcp->m_Disconnect();
        m_pHost->opened = false;
        return sm_Complete(irp, STATUS_SUCCESS);
    }
    NTSTATUS m_Dispatch_Device_Control(PIRP irp) override;
    PDEVICE_OBJECT m_GetLowerDeviceObject() override { return m_pHost->lower; }

    static BOOLEAN sm_Write(PVOID context, CJnDataBuffer* buffer)
    {
        CVCP* vcp = static_cast<PortHost*>(context)->vcp;
        if (vcp) return vcp->m_Write(buffer);
        buffer->m_Delete();
        return FALSE;
    }
    static BOOLEAN sm_TransmitterEmpty(PVOID context)
    {
        CVCP* vcp = static_cast<PortHost*>(context)->vcp;
        return vcp ? vcp->m_CheckIsTransmitterIsEmpty() : TRUE;
    }
    static BOOLEAN sm_SendXoff(PVOID context, UCHAR character)
    {
        return static_cast<CVCP*>(context)->m_SendSerialXoffCounterChar(character);
    }
    static void sm_Amount(PVOID context, ULONG newAmount, ULONG oldAmount)
    {
        auto* host = static_cast<PortHost*>(context);
        if (host->opened && host->vcp) host->vcp->m_DataAmountChangedInReadQueue(newAmount, oldAmount);
    }

private:
    PortHost* m_pHost;
};

// The serial requests the tests send, as the port's request dispatch will map them.
NTSTATUS PortDevice::m_Dispatch_Device_Control(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    CVCP* vcp = m_pHost->vcp;
    if (!m_pHost->opened || !vcp) return sm_Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (vcp->m_IsErrorAbortPending() && code != IOCTL_SERIAL_GET_COMMSTATUS) return sm_Complete(irp, STATUS_CANCELLED);

    auto input = [&](auto& value) {
        if (in < sizeof value) return false;
        memcpy(&value, buffer, sizeof value);
        return true;
    };
    auto output = [&](const auto& value) {
        if (out < sizeof value) return sm_Complete(irp, STATUS_BUFFER_TOO_SMALL);
        memcpy(buffer, &value, sizeof value);
        return sm_Complete(irp, STATUS_SUCCESS, sizeof value);
    };
    auto result = [&](NTSTATUS status) { return sm_Complete(irp, NT_SUCCESS(status) ? STATUS_SUCCESS : status); };
    union {
        SERIAL_BAUD_RATE baud;
        SERIAL_LINE_CONTROL line;
        SERIAL_HANDFLOW handFlow;
        SERIAL_CHARS chars;
        SERIAL_TIMEOUTS timeouts;
        SERIAL_QUEUE_SIZE queueSize;
        SERIAL_XOFF_COUNTER xoff;
        ULONG ul;
        UCHAR uc;
    } v;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: return input(v.baud) ? result(vcp->m_SetBaudRate(&v.baud)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_GET_BAUD_RATE: return output(SERIAL_BAUD_RATE{vcp->m_ulBaudRate});
    case IOCTL_SERIAL_SET_LINE_CONTROL: return input(v.line) ? result(vcp->m_SetLineControl(&v.line)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_GET_LINE_CONTROL: return output(vcp->m_LineControl);
    case IOCTL_SERIAL_SET_HANDFLOW: return input(v.handFlow) ? result(vcp->m_SetHandFlow(&v.handFlow)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_GET_HANDFLOW: return output(vcp->m_HandFlow);
    case IOCTL_SERIAL_SET_CHARS: return input(v.chars) ? result(vcp->m_SetSpecialCharacters(&v.chars)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_GET_CHARS: return output(vcp->m_SpecialChars);
    case IOCTL_SERIAL_SET_TIMEOUTS: return input(v.timeouts) ? result(vcp->m_SetTimeouts(&v.timeouts)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_SET_QUEUE_SIZE: return input(v.queueSize) ? result(vcp->m_SetQueueSize(&v.queueSize)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_SET_DTR: return result(vcp->m_SetDtr());
    case IOCTL_SERIAL_CLR_DTR: return result(vcp->m_ClearDtr());
    case IOCTL_SERIAL_SET_RTS: return result(vcp->m_SetRts());
    case IOCTL_SERIAL_CLR_RTS: return result(vcp->m_ClearRts());
    case IOCTL_SERIAL_GET_DTRRTS: return output((ULONG)(vcp->m_ucModemControl & (SERIAL_DTR_STATE | SERIAL_RTS_STATE)));
    case IOCTL_SERIAL_SET_MODEM_CONTROL: return input(v.ul) ? result(vcp->m_SetModemControl((UCHAR)v.ul)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_GET_MODEM_CONTROL: return output((ULONG)vcp->m_ucModemControl);
    case IOCTL_SERIAL_SET_BREAK_ON: return result(vcp->m_SetBreakOn());
    case IOCTL_SERIAL_SET_BREAK_OFF: return result(vcp->m_SetBreakOff());
    case IOCTL_SERIAL_SET_XON: return result(vcp->m_SetXon());
    case IOCTL_SERIAL_SET_XOFF: return result(vcp->m_SetXoff());
    case IOCTL_SERIAL_IMMEDIATE_CHAR: return input(v.uc) ? result(vcp->m_SendImmediateChar(v.uc)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_SET_WAIT_MASK: return input(v.ul) ? result(vcp->m_SetWaitMask(v.ul)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_GET_WAIT_MASK: vcp->m_GetWaitMask(&v.ul); return output(v.ul);
    case IOCTL_SERIAL_WAIT_ON_MASK: {
        CJnControlQueue* control = nullptr;
        ULONG_PTR information = 0;
        NTSTATUS status = vcp->m_WaitOnMask(buffer, out, &information, &control);
        if (status == STATUS_PENDING && control) return control->m_QueueIrp(irp);
        return sm_Complete(irp, status, information);
    }
    case IOCTL_SERIAL_PURGE: return input(v.ul) ? result(vcp->m_Purge(v.ul)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        SERIAL_STATUS status;
        vcp->m_GetCommStatus(&status);
        return output(status);
    }
    case IOCTL_SERIAL_GET_MODEMSTATUS: return output(vcp->m_GetModemStatus());
    case IOCTL_SERIAL_GET_STATS: {
        SERIALPERF_STATS stats;
        vcp->m_GetStatistics(&stats);
        return output(stats);
    }
    case IOCTL_SERIAL_CLEAR_STATS: vcp->m_ClearStatistics(); return result(STATUS_SUCCESS);
    case IOCTL_SERIAL_LSRMST_INSERT: return input(v.uc) ? result(vcp->m_SetLsrMstInsert(v.uc)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_SET_FIFO_CONTROL: return input(v.uc) ? result(vcp->m_SetFifoControl(v.uc)) : result(STATUS_BUFFER_TOO_SMALL);
    case IOCTL_SERIAL_XOFF_COUNTER:
        if (input(v.xoff) && v.xoff.Counter > 0)
            m_WriteQueue.m_SetXoffCounter(sm_SendXoff, vcp, v.xoff.Timeout, v.xoff.Counter, v.xoff.XoffChar);
        return m_WriteQueue.m_QueueXoffCounterIrp(irp);
    default:
        return sm_Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

}  // namespace

PortHost::PortHost(PDEVICE_OBJECT lowerDevice, unsigned index)
{
    std::u16string number;
    for (char c : std::to_string(index)) number += char16_t(c);
    PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\KwUVcpHost" + number);
    for (auto& f : driver->MajorFunction) f = JnHostDevice::sm_Route;
    std::u16string deviceName = u"\\Device\\KwUVcpHost" + number;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(deviceName.c_str()));
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(JnDeviceExtension), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device)))
        return;
    device->Flags |= DO_BUFFERED_IO;
    lower = IoAttachDeviceToDeviceStack(device, lowerDevice);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    auto* port = new PortDevice(this);
    if (!port) return;
    jn = port;
    JnDeviceExtension::sm_Initialize(device, jn);
    jn->m_InitializeQueues(device);
    jn->m_WriteQueue.m_SetWriteCallback(PortDevice::sm_Write, this);
    jn->m_WriteQueue.m_SetTransmitterEmptyCallback(PortDevice::sm_TransmitterEmpty, this);
    jn->m_ReadQueue.m_SetNotification(PortDevice::sm_Amount, this);
}

PortHost::~PortHost()
{
    DeleteVcp();
    if (jn) {
        jn->m_StopQueues();
        JnDeviceExtension::sm_From(device)->pDevice = nullptr;
        delete jn;
    }
    if (lower) IoDetachDevice(lower);
    if (device) IoDeleteDevice(device);
}

bool PortHost::CreateVcp(CVcpParameters* parameters, ULONG portNumber)
{
    vcp = new CVCP();
    if (!vcp) return false;
    vcp->m_pParameters = parameters;
    return vcp->m_Init(jn, portNumber) != FALSE;
}

void PortHost::DeleteVcp()
{
    CVCP* gone = vcp;
    delete gone;
    vcp = nullptr;
}

}  // namespace kwsim::test
