// CJnDevice: the base of every framework device object (functional and physical), as
// far as the driver's routing and the serial request queues need it, and
// JnDeviceExtension, the device extension of every device object the framework creates.
#pragma once

#include "jncontrolqueue.h"
#include "jndeferredqueue.h"
#include "jnmemorypool.h"
#include "jnreadqueue.h"
#include "jnremovelock.h"
#include "jnwritequeue.h"

class CWmi;

class CJnDevice : public CJnObject {
public:
    enum DeviceKind : ULONG { kBaseDevice = 0, kPhysicalDevice = 1, kFunctionalDevice = 2 };

    CJnDevice() : m_ulDeviceKind(kBaseDevice), m_pPhysicalDeviceObject(nullptr), m_pRedirectDeviceObject(nullptr) {}
    virtual ~CJnDevice();

    // Called by the driver's routing with this device's routing lock held.
    virtual NTSTATUS m_Dispatch_Pnp(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_Power(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_Create(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_Cleanup(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_Close(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_Read(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_Write(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_Device_Control(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_InternalDeviceControl(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_FlushBuffers(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_Shutdown(PIRP irp) = 0;
    virtual NTSTATUS m_Dispatch_SystemControl(PIRP irp) = 0;
    virtual PDEVICE_OBJECT m_GetDeviceObject() = 0;
    // The device's WMI provider, if it has one.
    virtual CWmi* m_GetWmi() { return nullptr; }
    // A child device already reported missing to Plug and Play: deleted after its removal.
    virtual bool m_IsReportedMissing() { return false; }
    // The device this one is attached to (requests down the stack go there), if any.
    virtual PDEVICE_OBJECT m_GetLowerDeviceObject() { return nullptr; }

    // Starts the queues' deferred execution: the device's own thread, and the write
    // queue's work items bound to deviceObject. False when either cannot start.
    bool m_InitializeQueues(PDEVICE_OBJECT deviceObject);
    // Ends all deferred work of the queues; called before the callbacks they use go away
    // (the destructor calls it too).
    void m_StopQueues();
    // Received data from the specific driver (ownership passes): to the pending reads, and
    // its length off the countdown of a held Xoff-counter request.
    void m_DataForPendingReadArrived(CJnDataBuffer* buffer);

    ULONG m_ulDeviceKind;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    // A paired device that takes this device's redirectable requests (null: none).
    PDEVICE_OBJECT m_pRedirectDeviceObject;
    // Without a device object, so it runs its own thread: the read queue's notifications
    // that fall due at raised IRQL.
    CJnDeferredQueue m_DeferredQueue;
    CJnReadQueue m_ReadQueue;
    CJnWriteQueue m_WriteQueue;
    CJnControlQueue m_ControlQueue;
};

struct JnDeviceExtension {
    CJnDevice* pDevice;         // null once the framework object is deleted
    CJnRemoveLock RoutingLock;  // held by every request inside the object

    // Sets up the (zeroed) extension of a new device object for `device`, routing lock enabled.
    static JnDeviceExtension* sm_Initialize(PDEVICE_OBJECT deviceObject, CJnDevice* device);
    static JnDeviceExtension* sm_From(PDEVICE_OBJECT deviceObject)
    {
        return static_cast<JnDeviceExtension*>(deviceObject->DeviceExtension);
    }
};
