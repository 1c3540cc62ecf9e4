#include "jnqueuehost.h"

#include "jnhostdevice.h"

#include <cstring>

namespace kwsim::test {

namespace {

// The host's framework device: open, cleanup and device control as the port does.
class HostDevice : public JnHostDevice {
public:
    explicit HostDevice(PDEVICE_OBJECT deviceObject) : JnHostDevice(deviceObject) {}

    NTSTATUS m_Dispatch_Create(PIRP irp) override
    {
        m_WriteQueue.m_ResetAccounting();
        m_ReadQueue.m_SetState(TRUE, STATUS_CANCELLED);
        m_WriteQueue.m_SetState(TRUE, STATUS_CANCELLED);
        return sm_Complete(irp, STATUS_SUCCESS);
    }
    NTSTATUS m_Dispatch_Cleanup(PIRP irp) override
    {
        m_ReadQueue.m_CancelAllIrps();
        m_ReadQueue.m_FlushData();
        m_WriteQueue.m_CancelAllIrps();
        m_ControlQueue.m_CancelWait();
        return sm_Complete(irp, STATUS_SUCCESS);
    }
    NTSTATUS m_Dispatch_Close(PIRP irp) override { return sm_Complete(irp, STATUS_SUCCESS); }
    NTSTATUS m_Dispatch_Device_Control(PIRP irp) override;

    QueueHost* m_pHost = nullptr;
    JnSendXoffCharacter m_SendXoff = nullptr;
};

NTSTATUS HostDevice::m_Dispatch_Device_Control(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        if (in < sizeof(SERIAL_TIMEOUTS)) return sm_Complete(irp, STATUS_BUFFER_TOO_SMALL);
        SERIAL_TIMEOUTS t;
        memcpy(&t, buffer, sizeof t);
        m_ReadQueue.m_SetTimeouts(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant);
        m_WriteQueue.m_SetTimeouts(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant);
        return sm_Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_SERIAL_SET_WAIT_MASK: {
        if (in < sizeof(ULONG)) return sm_Complete(irp, STATUS_BUFFER_TOO_SMALL);
        ULONG mask;
        memcpy(&mask, buffer, sizeof mask);
        m_ControlQueue.m_SetWaitMask(mask);
        return sm_Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return m_ControlQueue.m_QueueIrp(irp);
    case IOCTL_SERIAL_PURGE: {
        if (in < sizeof(ULONG)) return sm_Complete(irp, STATUS_BUFFER_TOO_SMALL);
        ULONG mask;
        memcpy(&mask, buffer, sizeof mask);
        if (mask & SERIAL_PURGE_RXABORT) m_ReadQueue.m_CancelAllIrps();
        if (mask & SERIAL_PURGE_TXABORT) m_WriteQueue.m_CancelAllIrps();
        if (mask & SERIAL_PURGE_RXCLEAR) m_ReadQueue.m_FlushData();
        return sm_Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_SERIAL_XOFF_COUNTER: {
        SERIAL_XOFF_COUNTER x;
        if (in >= sizeof x) {
            memcpy(&x, buffer, sizeof x);
            if (x.Counter > 0) m_WriteQueue.m_SetXoffCounter(m_SendXoff, m_pHost, x.Timeout, x.Counter, x.XoffChar);
        }
        return m_WriteQueue.m_QueueXoffCounterIrp(irp);
    }
    default:
        return sm_Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

}  // namespace

QueueHost::QueueHost(const char16_t* name)
{
    PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\JnQueueHost");
    for (auto& f : driver->MajorFunction) f = JnHostDevice::sm_Route;
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, reinterpret_cast<PCWSTR>(name));
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(JnDeviceExtension), &u, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device)))
        return;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    auto* host = new HostDevice(device);
    if (!host) return;
    host->m_pHost = this;
    host->m_SendXoff = sm_SendXoff;
    jn = host;
    JnDeviceExtension::sm_Initialize(device, jn);
    jn->m_InitializeQueues(device);
    writes().m_SetWriteCallback(sm_Write, this);
    writes().m_SetTransmitterEmptyCallback(sm_TransmitterEmpty, this);
    reads().m_SetNotification(sm_Amount, this);
}

QueueHost::~QueueHost()
{
    if (jn) {
        jn->m_StopQueues();
        JnDeviceExtension::sm_From(device)->pDevice = nullptr;
        delete jn;
    }
    if (device) IoDeleteDevice(device);
}

void QueueHost::Receive(const void* bytes, ULONG length)
{
    jn->m_DataForPendingReadArrived(CJnDataBuffer::sm_CreateCopy(bytes, length));
}

void QueueHost::RaiseEvents(ULONG events)
{
    control().m_SetCommEventsReceived(events);
    control().m_ResolveCurrentEventMask(nullptr);
}

// Every callback looks at its queue, as the port's do: one made while the queue holds its
// lock is a spin-lock recursion the verifier reports.
BOOLEAN QueueHost::sm_Write(PVOID context, CJnDataBuffer* buffer)
{
    auto* host = static_cast<QueueHost*>(context);
    host->writes().m_GetQueuedBytes();
    if (!host->deleteWrites) {
        std::lock_guard<std::mutex> lk(host->mu);
        host->chunks.push_back({Now(), std::string(reinterpret_cast<char*>(buffer->m_GetData()), buffer->m_GetLength())});
    }
    buffer->m_Delete();
    if (host->duringWrite) host->duringWrite();
    return host->writeCallbackResult ? TRUE : FALSE;
}

BOOLEAN QueueHost::sm_TransmitterEmpty(PVOID context)
{
    auto* host = static_cast<QueueHost*>(context);
    host->writes().m_GetQueuedBytes();
    std::lock_guard<std::mutex> lk(host->mu);
    host->transmitterQueries.push_back(Now());
    return host->transmitterEmpty ? TRUE : FALSE;
}

void QueueHost::sm_Amount(PVOID context, ULONG newAmount, ULONG oldAmount)
{
    auto* host = static_cast<QueueHost*>(context);
    host->reads().m_GetDataAmount();
    std::lock_guard<std::mutex> lk(host->mu);
    host->amounts.push_back({Now(), newAmount, oldAmount, KeGetCurrentIrql()});
}

BOOLEAN QueueHost::sm_SendXoff(PVOID context, UCHAR character)
{
    auto* host = static_cast<QueueHost*>(context);
    host->writes().m_GetQueuedBytes();
    std::lock_guard<std::mutex> lk(host->mu);
    host->xoffSent.push_back({Now(), character});
    return TRUE;
}

std::string QueueHost::SentBytes()
{
    std::lock_guard<std::mutex> lk(mu);
    std::string all;
    for (auto& c : chunks) all += c.bytes;
    return all;
}

std::vector<size_t> QueueHost::ChunkSizes()
{
    std::lock_guard<std::mutex> lk(mu);
    std::vector<size_t> sizes;
    for (auto& c : chunks) sizes.push_back(c.bytes.size());
    return sizes;
}

std::vector<int64_t> QueueHost::Queries()
{
    std::lock_guard<std::mutex> lk(mu);
    return transmitterQueries;
}

std::vector<QueueHost::Amount> QueueHost::Amounts()
{
    std::lock_guard<std::mutex> lk(mu);
    return amounts;
}

std::vector<QueueHost::XoffSend> QueueHost::XoffSent()
{
    std::lock_guard<std::mutex> lk(mu);
    return xoffSent;
}

}  // namespace kwsim::test
