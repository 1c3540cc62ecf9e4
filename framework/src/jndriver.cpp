#include "jndriver.h"
#include "jndebugmanager.h"
#include "jnirp.h"
#include "jntracecontrol.h"

namespace {

const ULONG kEntryChannel = 3;
const ULONG kExitChannel = 4;

LONG g_lDriverInstances;

#define JN_ENTRY_POINT(name)                                                 \
    NTSTATUS sm_##name(PDEVICE_OBJECT deviceObject, PIRP irp)               \
    {                                                                         \
        if (!deviceObject) return STATUS_UNSUCCESSFUL;                        \
        CJnDriver* driver = CJnDriver::sm_FromDriverObject(deviceObject->DriverObject); \
        if (!driver) return JnCompleteIrp(irp, STATUS_DELETE_PENDING);       \
        return driver->m_##name(deviceObject, irp);                           \
    }

JN_ENTRY_POINT(Dispatch_Pnp)
JN_ENTRY_POINT(Dispatch_Power)
JN_ENTRY_POINT(Dispatch_Create)
JN_ENTRY_POINT(Dispatch_Cleanup)
JN_ENTRY_POINT(Dispatch_Close)
JN_ENTRY_POINT(Dispatch_Read)
JN_ENTRY_POINT(Dispatch_Write)
JN_ENTRY_POINT(Dispatch_Device_Control)
JN_ENTRY_POINT(Dispatch_InternalDeviceControl)
JN_ENTRY_POINT(Dispatch_FlushBuffers)
JN_ENTRY_POINT(Dispatch_Shutdown)
JN_ENTRY_POINT(Dispatch_SystemControl)
JN_ENTRY_POINT(Dispatch_QueryInformation)
JN_ENTRY_POINT(Dispatch_SetInformation)

#undef JN_ENTRY_POINT

// Destroys the debug manager and gives back `references` pool references.
void ReleaseFrameworkServices(int references)
{
    delete CJnDebugManager::sm_Get();
    for (int i = 0; i < references; i++) CJnMemoryPool::sm_Release();
}

}  // namespace

void JnReleaseFrameworkServices() { ReleaseFrameworkServices(2); }

CJnDriver::CJnDriver()
    : m_FunctionalDevices(m_DeviceNodes),
      m_SpecificDriverCreation(nullptr),
      m_SpecificDriverDeletion(nullptr),
      m_UnloadCallback(nullptr),
      m_pDeviceAdded(nullptr),
      m_pDeviceRemoved(nullptr),
      m_pUnloadEvent(&m_UnloadEvent)
{
    m_Timeout.QuadPart = -5000000;  // 500 ms: the framework's standard wait
    KeInitializeEvent(&m_UnloadEvent, NotificationEvent, FALSE);
}

CJnDriver::~CJnDriver()
{
    m_DriverLock.m_Acquire();
    m_FunctionalDevices.m_RemoveAll();
    m_DriverLock.m_Release();
}

CJnDriver* CJnDriver::sm_FromDriverObject(PDRIVER_OBJECT driverObject)
{
    return driverObject ? reinterpret_cast<CJnDriver*>(driverObject->DriverStartIo) : nullptr;
}

LONG CJnDriver::sm_DriverInstances() { return g_lDriverInstances; }

NTSTATUS CJnDriver::m_DriverEntry(const JnDriverEntryParameters& p)
{
    if (!NT_SUCCESS(m_RegistryPath.m_Copy(p.RegistryPath))) return (NTSTATUS)0xC0000150L;  // STATUS_SERIAL_NO_DEVICE_INITED
    m_SpecificDriverCreation = p.SpecificDriverCreation;
    m_SpecificDriverDeletion = p.SpecificDriverDeletion;
    m_UnloadCallback = p.m_UnloadCallback;
    m_pDeviceAdded = p.m_pDeviceAdded;
    m_pDeviceRemoved = p.m_pDeviceRemoved;
    NTSTATUS status = m_ServiceName.m_Copy(p.ServiceName);
    if (!NT_SUCCESS(status)) return status;
    status = m_DriverFileName.m_Copy(p.DriverFileName);
    if (!NT_SUCCESS(status)) return status;
    JnTextTrace("m_DriverEntry IN");

    PDRIVER_OBJECT d = p.DriverObject;
    d->DriverUnload = sm_Unload;
    d->DriverStartIo = reinterpret_cast<PDRIVER_STARTIO>(this);
    d->DriverExtension->AddDevice = sm_AddDevice;
    d->MajorFunction[IRP_MJ_PNP] = sm_Dispatch_Pnp;
    d->MajorFunction[IRP_MJ_POWER] = sm_Dispatch_Power;
    d->MajorFunction[IRP_MJ_CREATE] = sm_Dispatch_Create;
    d->MajorFunction[IRP_MJ_CLEANUP] = sm_Dispatch_Cleanup;
    d->MajorFunction[IRP_MJ_CLOSE] = sm_Dispatch_Close;
    d->MajorFunction[IRP_MJ_READ] = sm_Dispatch_Read;
    d->MajorFunction[IRP_MJ_WRITE] = sm_Dispatch_Write;
    d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = sm_Dispatch_Device_Control;
    d->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = sm_Dispatch_InternalDeviceControl;
    d->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = sm_Dispatch_FlushBuffers;
    d->MajorFunction[IRP_MJ_SHUTDOWN] = sm_Dispatch_Shutdown;
    d->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = sm_Dispatch_SystemControl;
    d->MajorFunction[IRP_MJ_QUERY_INFORMATION] = sm_Dispatch_QueryInformation;
    d->MajorFunction[IRP_MJ_SET_INFORMATION] = sm_Dispatch_SetInformation;
    JnTextTrace("m_DriverEntry OUT - SUCCESS");
    return STATUS_SUCCESS;
}

NTSTATUS CJnDriver::sm_AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject)
{
    CJnDriver* driver = sm_FromDriverObject(driverObject);
    if (!driver) return STATUS_UNSUCCESSFUL;
    return driver->m_AddDevice(driverObject, physicalDeviceObject);
}

NTSTATUS CJnDriver::m_AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject)
{
    JnTrace(kEntryChannel, "m_AddDevice IN");
    driverObject->DriverStartIo = reinterpret_cast<PDRIVER_STARTIO>(this);
    CJnString* path = new CJnString();
    CJnDevice* device = nullptr;
    bool success = false;
    if (path && NT_SUCCESS(path->m_Copy(m_RegistryPath)))
        device = JnNewFunctionalDevice(driverObject, physicalDeviceObject, *path, success);
    delete path;
    if (device && success) {
        JnTrace(kExitChannel, "m_AddDevice OUT - SUCCESS");
        return STATUS_SUCCESS;
    }
    delete device;
    JnTrace(kExitChannel, "m_AddDevice OUT - failure");
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CJnDriver::m_GetDeviceForIrp(PDEVICE_OBJECT deviceObject, PIRP irp, UCHAR majorFunction, bool redirectAllowed,
                                      CJnDevice** device)
{
    *device = nullptr;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != majorFunction) return JnCompleteIrp(irp, STATUS_UNSUCCESSFUL);
    JnDeviceExtension* extension = JnDeviceExtension::sm_From(deviceObject);
    CJnDevice* candidate = extension ? extension->pDevice : nullptr;
    if (!candidate || !extension->RoutingLock.m_Acquire()) return JnCompleteIrp(irp, STATUS_DELETE_PENDING);
    if (redirectAllowed) {
        m_DriverLock.m_Acquire();
        PDEVICE_OBJECT target = candidate->m_pRedirectDeviceObject;
        if (target) {
            JnDeviceExtension* other = JnDeviceExtension::sm_From(target);
            if (other && other->pDevice && other->RoutingLock.m_Acquire()) {
                extension->RoutingLock.m_Release();
                candidate = other->pDevice;
            }
        }
        m_DriverLock.m_Release();
    }
    *device = candidate;
    return STATUS_SUCCESS;
}

NTSTATUS CJnDriver::m_Route(PDEVICE_OBJECT deviceObject, PIRP irp, UCHAR majorFunction, bool redirectAllowed,
                            NTSTATUS (CJnDevice::*method)(PIRP), const char* name)
{
    JnTrace(kEntryChannel, "%s IN", name);
    CJnDevice* device;
    NTSTATUS status = m_GetDeviceForIrp(deviceObject, irp, majorFunction, redirectAllowed, &device);
    if (!device) return status;
    status = (device->*method)(irp);
    JnDeviceExtension::sm_From(device->m_GetDeviceObject())->RoutingLock.m_Release();
    JnTrace(kExitChannel, "%s OUT - %08x", name, status);
    return status;
}

#define JN_ROUTE(name, major, redirect)                                         \
    NTSTATUS CJnDriver::m_##name(PDEVICE_OBJECT deviceObject, PIRP irp)         \
    {                                                                           \
        return m_Route(deviceObject, irp, major, redirect, &CJnDevice::m_##name, "m_" #name); \
    }

JN_ROUTE(Dispatch_Power, IRP_MJ_POWER, false)
JN_ROUTE(Dispatch_Create, IRP_MJ_CREATE, true)
JN_ROUTE(Dispatch_Cleanup, IRP_MJ_CLEANUP, true)
JN_ROUTE(Dispatch_Close, IRP_MJ_CLOSE, true)
JN_ROUTE(Dispatch_Read, IRP_MJ_READ, true)
JN_ROUTE(Dispatch_Write, IRP_MJ_WRITE, true)
JN_ROUTE(Dispatch_Device_Control, IRP_MJ_DEVICE_CONTROL, true)
JN_ROUTE(Dispatch_InternalDeviceControl, IRP_MJ_INTERNAL_DEVICE_CONTROL, true)
JN_ROUTE(Dispatch_FlushBuffers, IRP_MJ_FLUSH_BUFFERS, true)
JN_ROUTE(Dispatch_Shutdown, IRP_MJ_SHUTDOWN, true)
JN_ROUTE(Dispatch_SystemControl, IRP_MJ_SYSTEM_CONTROL, true)

#undef JN_ROUTE

NTSTATUS CJnDriver::m_Dispatch_QueryInformation(PDEVICE_OBJECT, PIRP irp)
{
    JnTrace(kEntryChannel, "m_Dispatch_QueryInformation always STATUS_UNSUCCESSFUL");
    return JnCompleteIrp(irp, STATUS_UNSUCCESSFUL);
}

NTSTATUS CJnDriver::m_Dispatch_SetInformation(PDEVICE_OBJECT, PIRP irp)
{
    JnTrace(kEntryChannel, "m_Dispatch_SetInformation always STATUS_UNSUCCESSFUL");
    return JnCompleteIrp(irp, STATUS_UNSUCCESSFUL);
}

NTSTATUS CJnDriver::m_Dispatch_Pnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    JnTrace(kEntryChannel, "m_Dispatch_Pnp IN");
    CJnDevice* device;
    NTSTATUS status = m_GetDeviceForIrp(deviceObject, irp, IRP_MJ_PNP, false, &device);
    if (!device) {
        JnTrace(kExitChannel, "m_Dispatch_Pnp OUT - failure %08x", status);
        return status;
    }
    bool removal = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    bool functional = device->m_ulDeviceKind == CJnDevice::kFunctionalDevice;
    PDEVICE_OBJECT own = device->m_GetDeviceObject();
    status = device->m_Dispatch_Pnp(irp);
    JnTrace(kExitChannel, "m_Dispatch_Pnp DO = %08x - end - %08x", (ULONG)(ULONG_PTR)own, status);
    JnDeviceExtension* extension = JnDeviceExtension::sm_From(own);
    extension->RoutingLock.m_Release();
    if (removal && !NT_ERROR(status) && (functional || device->m_IsReportedMissing())) {
        // Every request still inside the object drains before it goes.
        extension->RoutingLock.m_DisableAndWait();
        delete device;
        extension->pDevice = nullptr;
        // Before WDM 1.10 this path used to wait for the unload to signal the driver
        // event, which it never does while devices are left: the last removal hung.
        // The unload deletes the CJnDriver on every system instead.
    }
    JnTrace(kExitChannel, "m_Dispatch_Pnp OUT - %08x", status);
    return status;
}

bool CJnDriver::m_AddFunctionalDevice(PDEVICE_OBJECT deviceObject)
{
    m_DriverLock.m_Acquire();
    bool added = m_FunctionalDevices.m_Contains(deviceObject) || m_FunctionalDevices.m_Add(deviceObject);
    m_DriverLock.m_Release();
    return added;
}

void CJnDriver::m_RemoveFunctionalDevice(PDEVICE_OBJECT deviceObject)
{
    m_DriverLock.m_Acquire();
    m_FunctionalDevices.m_Remove(deviceObject);
    m_DriverLock.m_Release();
}

ULONG CJnDriver::m_FunctionalDeviceCount()
{
    m_DriverLock.m_Acquire();
    ULONG n = m_FunctionalDevices.m_Count();
    m_DriverLock.m_Release();
    return n;
}

void CJnDriver::m_SetRedirect(CJnDevice* device, PDEVICE_OBJECT target)
{
    m_DriverLock.m_Acquire();
    device->m_pRedirectDeviceObject = target;
    m_DriverLock.m_Release();
}

void CJnDriver::sm_Unload(PDRIVER_OBJECT driverObject)
{
    if (!driverObject || !driverObject->DeviceObject || driverObject->Size == 0) {
        // The usual case: every device has been removed. The CJnDriver is left to the
        // pool's final release with everything else still recorded.
        ReleaseFrameworkServices(2);
        CJnTraceControl::sm_Deregister();
        CJnTraceControl::sm_Reset();
        return;
    }
    CJnDriver* driver = sm_FromDriverObject(driverObject);
    if (driver) {
        // Devices are left. The CJnDriver goes now on every system (before WDM 1.10 too:
        // waiting for the last removal to do it could block that removal for ever), and
        // the specific driver releases its services.
        JnUnloadCallback unloadCallback = driver->m_UnloadCallback;
        driverObject->DriverStartIo = nullptr;
        delete driver;
        if (unloadCallback) unloadCallback();
        InterlockedDecrement(&g_lDriverInstances);
    } else {
        ReleaseFrameworkServices(1);
    }
    CJnTraceControl::sm_Deregister();
    CJnTraceControl::sm_Reset();
}

NTSTATUS JnFrameworkDriverEntry(JnDriverEntryParameters& parameters)
{
    // Two references: the framework's and the specific driver's.
    if (!CJnMemoryPool::sm_AddReference()) return STATUS_UNSUCCESSFUL;
    if (!CJnMemoryPool::sm_AddReference()) {
        CJnMemoryPool::sm_Release();
        return STATUS_UNSUCCESSFUL;
    }
    bool created = false;
    CJnDebugManager* debug =
        new CJnDebugManager(parameters.DriverObject, parameters.ServiceName, parameters.RegistryPath, created);
    if (!debug || !created) {
        delete debug;
        ReleaseFrameworkServices(2);
        return STATUS_UNSUCCESSFUL;
    }
    InterlockedIncrement(&g_lDriverInstances);
    CJnDriver* driver = new CJnDriver();
    NTSTATUS status = driver ? driver->m_DriverEntry(parameters) : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status) && IoIsWdmVersionAvailable(1, 0x20)) status = CJnTraceControl::sm_Register();
    if (!NT_SUCCESS(status)) {
        if (parameters.DriverObject->DriverStartIo == reinterpret_cast<PDRIVER_STARTIO>(driver))
            parameters.DriverObject->DriverStartIo = nullptr;
        delete driver;
        InterlockedDecrement(&g_lDriverInstances);
        ReleaseFrameworkServices(2);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}
