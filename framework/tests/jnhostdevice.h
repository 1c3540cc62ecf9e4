// The framework device of a test driver that hosts the serial request queues: reads, writes
// and flushes go to the queues as the functional device sends them, and the driver object's
// dispatch routes every request to the device's method. The host supplies open, cleanup,
// close and device control. Shared by the queue tests and the port object's tests.
#pragma once

#include "jndevice.h"

namespace kwsim::test {

class JnHostDevice : public CJnDevice {
public:
    static NTSTATUS sm_Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
    {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    // The driver object's dispatch routine for every major function.
    static NTSTATUS sm_Route(PDEVICE_OBJECT device, PIRP irp)
    {
        CJnDevice* jn = JnDeviceExtension::sm_From(device)->pDevice;
        switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_CREATE: return jn->m_Dispatch_Create(irp);
        case IRP_MJ_CLEANUP: return jn->m_Dispatch_Cleanup(irp);
        case IRP_MJ_CLOSE: return jn->m_Dispatch_Close(irp);
        case IRP_MJ_READ: return jn->m_Dispatch_Read(irp);
        case IRP_MJ_WRITE: return jn->m_Dispatch_Write(irp);
        case IRP_MJ_FLUSH_BUFFERS: return jn->m_Dispatch_FlushBuffers(irp);
        case IRP_MJ_DEVICE_CONTROL: return jn->m_Dispatch_Device_Control(irp);
        default: return jn->m_Dispatch_InternalDeviceControl(irp);
        }
    }

    explicit JnHostDevice(PDEVICE_OBJECT deviceObject) : m_pDeviceObject(deviceObject) {}

    NTSTATUS m_Dispatch_Pnp(PIRP irp) override { return sm_Complete(irp, STATUS_NOT_SUPPORTED); }
    NTSTATUS m_Dispatch_Power(PIRP irp) override { return sm_Complete(irp, STATUS_NOT_SUPPORTED); }
    NTSTATUS m_Dispatch_Read(PIRP irp) override
    {
        if (!IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length) return sm_Complete(irp, STATUS_SUCCESS);
        return m_ReadQueue.m_QueueIrp(irp);
    }
    NTSTATUS m_Dispatch_Write(PIRP irp) override
    {
        if (!IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length) return sm_Complete(irp, STATUS_SUCCESS);
        return m_WriteQueue.m_QueueIrp(irp);
    }
    NTSTATUS m_Dispatch_FlushBuffers(PIRP irp) override { return m_WriteQueue.m_HoldFlushIrp(irp); }
    NTSTATUS m_Dispatch_InternalDeviceControl(PIRP irp) override { return sm_Complete(irp, STATUS_NOT_SUPPORTED); }
    NTSTATUS m_Dispatch_Shutdown(PIRP irp) override { return sm_Complete(irp, STATUS_SUCCESS); }
    NTSTATUS m_Dispatch_SystemControl(PIRP irp) override { return sm_Complete(irp, STATUS_NOT_SUPPORTED); }
    PDEVICE_OBJECT m_GetDeviceObject() override { return m_pDeviceObject; }

private:
    PDEVICE_OBJECT m_pDeviceObject;
};

}  // namespace kwsim::test
