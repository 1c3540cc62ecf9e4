// CJnDriver: the framework's driver-level object, one per loaded driver. The specific
// driver's entry routine hands control to it; it installs the dispatch table, routes
// every IRP to the framework device that owns the target device object (holding that
// device's routing lock while the device works on it), adds devices and unloads.
#pragma once

#include "jndevice.h"
#include "jnnodepool.h"
#include "jndrivercontext.h"
#include "jnstring.h"

class CJnDriver;

// The specific driver's per-device object (slots 0 and 1 of the callback table filled).
typedef bool (*JnSpecificDriverCreation)(JnAddDeviceFunction* addDeviceFunction,
                                         JnDeviceCreationFunction* deviceCreation, CJnSpecificDriver** context);
typedef void (*JnSpecificDriverDeletion)(CJnSpecificDriver* context);
typedef void (*JnUnloadCallback)();
// Lets the specific driver attach its parameter set to a new device's user-mode interface.
typedef bool (*JnDeviceAdded)(PVOID userModeInterface);
typedef void (*JnDeviceRemoved)(CJnDevice* device);

struct JnDriverEntryParameters {
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    PCWSTR ServiceName;
    PCWSTR DriverFileName;
    JnSpecificDriverCreation SpecificDriverCreation;
    JnSpecificDriverDeletion SpecificDriverDeletion;
    JnUnloadCallback m_UnloadCallback;
    JnDeviceAdded m_pDeviceAdded;
    JnDeviceRemoved m_pDeviceRemoved;
};

// Creates the functional device object for a physical device given to AddDevice.
// Defined by the functional-device code of the framework (and by drivers that bring
// their own framework device).
CJnDevice* JnNewFunctionalDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                                 CJnString& registryPath, bool& success);

class CJnDriver : public CJnObject {
public:
    static constexpr ULONG kMaxFunctionalDevices = 64;

    CJnDriver();
    virtual ~CJnDriver();

    NTSTATUS m_DriverEntry(const JnDriverEntryParameters& parameters);
    NTSTATUS m_AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);

    // Driver-level handlers (one per major function).
    NTSTATUS m_Dispatch_Pnp(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_Power(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_Create(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_Cleanup(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_Close(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_Read(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_Write(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_Device_Control(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_InternalDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_FlushBuffers(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_Shutdown(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_SystemControl(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_QueryInformation(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS m_Dispatch_SetInformation(PDEVICE_OBJECT deviceObject, PIRP irp);

    // The framework device for an IRP, with its routing lock held (success), or the IRP
    // completed (the status is returned).
    NTSTATUS m_GetDeviceForIrp(PDEVICE_OBJECT deviceObject, PIRP irp, UCHAR majorFunction, bool redirectAllowed,
                               CJnDevice** device);

    // The list of this driver's functional devices (guarded by the driver lock).
    bool m_AddFunctionalDevice(PDEVICE_OBJECT deviceObject);
    void m_RemoveFunctionalDevice(PDEVICE_OBJECT deviceObject);
    ULONG m_FunctionalDeviceCount();
    // Sets a device's redirect pointer under the driver lock.
    void m_SetRedirect(CJnDevice* device, PDEVICE_OBJECT target);
    CJnSpinLock& m_Lock() { return m_DriverLock; }

    const CJnString& m_GetRegistryPath() const { return m_RegistryPath; }
    const CJnString& m_GetServiceName() const { return m_ServiceName; }
    const CJnString& m_GetDriverFileName() const { return m_DriverFileName; }
    JnSpecificDriverCreation m_GetSpecificDriverCreation() const { return m_SpecificDriverCreation; }
    JnSpecificDriverDeletion m_GetSpecificDriverDeletion() const { return m_SpecificDriverDeletion; }
    JnDeviceAdded m_GetDeviceAdded() const { return m_pDeviceAdded; }
    JnDeviceRemoved m_GetDeviceRemoved() const { return m_pDeviceRemoved; }
    LARGE_INTEGER m_StandardTimeout() const { return m_Timeout; }

    // The CJnDriver of a driver object (kept in DriverStartIo), or null.
    static CJnDriver* sm_FromDriverObject(PDRIVER_OBJECT driverObject);
    static LONG sm_DriverInstances();

    // Entry points installed in the driver object.
    static NTSTATUS sm_AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
    static void sm_Unload(PDRIVER_OBJECT driverObject);

private:
    NTSTATUS m_Route(PDEVICE_OBJECT deviceObject, PIRP irp, UCHAR majorFunction, bool redirectAllowed,
                     NTSTATUS (CJnDevice::*method)(PIRP), const char* name);

    CJnString m_RegistryPath;
    LARGE_INTEGER m_Timeout;
    CJnNodePool<kMaxFunctionalDevices> m_DeviceNodes;
    CJnNodeList m_FunctionalDevices;
    CJnSpinLock m_DriverLock;
    CJnString m_ServiceName;
    CJnString m_DriverFileName;
    JnSpecificDriverCreation m_SpecificDriverCreation;
    JnSpecificDriverDeletion m_SpecificDriverDeletion;
    JnUnloadCallback m_UnloadCallback;
    JnDeviceAdded m_pDeviceAdded;
    JnDeviceRemoved m_pDeviceRemoved;
    // Kept for the layout; the framework no longer waits on it (see sm_Unload).
    KEVENT m_UnloadEvent;
    PKEVENT m_pUnloadEvent;
};

// What every framework driver's DriverEntry does: takes the two pool references,
// creates the debug manager, counts the driver instance, creates the CJnDriver and runs
// m_DriverEntry, and from WDM 1.20 on registers the trace providers. Any failure undoes
// all of it and gives STATUS_UNSUCCESSFUL.
NTSTATUS JnFrameworkDriverEntry(JnDriverEntryParameters& parameters);
// What a specific driver's m_UnloadCallback does last: destroys the debug manager and
// gives back both pool references taken at entry (the pool then frees what is left).
void JnReleaseFrameworkServices();
