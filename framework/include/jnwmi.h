// CWmi: makes a functional device a WMI data provider for the GUIDs its specific driver
// declares, through WMILIB, and carries the software-trace providers in the same
// registration (they are never served as data blocks).
#pragma once

#include "kwplat/wmi.h"
#include "jndrivercontext.h"
#include "jnstring.h"

// One entry of the specific driver's GUID table (32 bytes on 64-bit builds).
struct JnWmiGuidEntry {
    const GUID* pGuid;
    ULONG ulInstanceCount;
    ULONG ulExpensive;    // only the low byte counts: 1 registers the GUID as expensive
    ULONG ulFixedSize;    // size of one instance; 0: ask m_WmiGetRequiredSizeCallback
    ULONG ulReadOnly;     // 1 refuses set requests
    ULONG ulItemCount;    // data items (set-item)
    ULONG ulMethodCount;  // methods (execute-method)
};

typedef bool (*JnWmiQueryDataBlockCallback)(CJnSpecificDriver* context, ULONG guidIndex, ULONG instanceIndex,
                                            PUCHAR buffer);
typedef bool (*JnWmiGetRequiredSizeCallback)(CJnSpecificDriver* context, ULONG guidIndex, ULONG instanceIndex,
                                             PULONG size);
typedef bool (*JnWmiSetDataBlockCallback)(CJnSpecificDriver* context, ULONG guidIndex, ULONG instanceIndex, ULONG size,
                                          PUCHAR buffer);
typedef bool (*JnWmiSetDataItemCallback)(CJnSpecificDriver* context, ULONG guidIndex, ULONG instanceIndex, ULONG itemId,
                                         ULONG size, PUCHAR buffer);
typedef bool (*JnWmiExecuteMethodCallback)(CJnSpecificDriver* context, ULONG guidIndex, ULONG instanceIndex,
                                           ULONG methodId, ULONG inSize, ULONG outSize, PUCHAR buffer);
typedef bool (*JnWmiGetRequiredSizeForMethodCallback)(CJnSpecificDriver* context, ULONG guidIndex, ULONG instanceIndex,
                                                      ULONG methodId, PULONG inSize, PULONG outSize);
typedef bool (*JnWmiFunctionControlCallback)(CJnSpecificDriver* context, ULONG guidIndex, ULONG function, bool enable);

// The seven callbacks in table order (slots 21 to 27 of the functional device's table).
struct JnWmiCallbacks {
    JnWmiQueryDataBlockCallback m_WmiQueryDataBlockCallback;
    JnWmiGetRequiredSizeCallback m_WmiGetRequiredSizeCallback;
    JnWmiSetDataBlockCallback m_WmiSetDataBlockCallback;
    JnWmiSetDataItemCallback m_WmiSetDataItemCallback;
    JnWmiExecuteMethodCallback m_WmiExecuteMethodCallback;
    JnWmiGetRequiredSizeForMethodCallback m_WmiGetRequiredSizeForMethodCallback;
    JnWmiFunctionControlCallback m_WmiFunctionControlCallback;  // stored, never called
};

class CWmi : public CJnObject {
public:
    CWmi(CJnSpecificDriver* specificDriver, PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT lowerDeviceObject,
         PDEVICE_OBJECT physicalDeviceObject, PCUNICODE_STRING registryPath, const JnWmiGuidEntry* guidTable,
         ULONG guidCount, const JnWmiCallbacks& callbacks, bool& success);
    ~CWmi();

    // IRP_MJ_SYSTEM_CONTROL for the device.
    NTSTATUS m_Dispatch(PIRP irp);

    ULONG m_GuidCount() const { return m_WmiLibContext.GuidCount; }

    // WMILIB routines (the device object leads back to this object through its extension).
    static NTSTATUS sm_QueryRegInfo(PDEVICE_OBJECT deviceObject, PULONG regFlags, PUNICODE_STRING instanceName,
                                    PUNICODE_STRING* registryPath, PUNICODE_STRING mofResourceName, PDEVICE_OBJECT* pdo);
    static NTSTATUS sm_QueryDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                      ULONG instanceCount, PULONG instanceLengthArray, ULONG bufferAvail, PUCHAR buffer);
    static NTSTATUS sm_SetDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                    ULONG bufferSize, PUCHAR buffer);
    static NTSTATUS sm_SetDataItem(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                   ULONG dataItemId, ULONG bufferSize, PUCHAR buffer);
    static NTSTATUS sm_ExecuteMethod(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                     ULONG methodId, ULONG inBufferSize, ULONG outBufferSize, PUCHAR buffer);

private:
    NTSTATUS m_QueryDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                              ULONG instanceCount, PULONG instanceLengthArray, ULONG bufferAvail, PUCHAR buffer);
    NTSTATUS m_SetData(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex, bool item,
                       ULONG itemId, ULONG bufferSize, PUCHAR buffer);
    NTSTATUS m_ExecuteMethod(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                             ULONG methodId, ULONG inBufferSize, ULONG outBufferSize, PUCHAR buffer);
    bool m_InstanceSize(ULONG guidIndex, ULONG instanceIndex, ULONG& size, NTSTATUS& failure);

    CJnSpecificDriver* m_pSpecificDriver;
    JnWmiQueryDataBlockCallback m_WmiQueryDataBlockCallback;
    JnWmiGetRequiredSizeCallback m_WmiGetRequiredSizeCallback;
    JnWmiSetDataBlockCallback m_WmiSetDataBlockCallback;
    JnWmiSetDataItemCallback m_WmiSetDataItemCallback;
    JnWmiExecuteMethodCallback m_WmiExecuteMethodCallback;
    JnWmiGetRequiredSizeForMethodCallback m_WmiGetRequiredSizeForMethodCallback;
    JnWmiFunctionControlCallback m_WmiFunctionControlCallback;
    PDEVICE_OBJECT m_pDeviceObject;
    PDEVICE_OBJECT m_pLowerDeviceObject;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    UNICODE_STRING m_RegistryPath;  // owned buffer
    WMILIB_CONTEXT m_WmiLibContext;
    bool m_bRegInfoQueried;
    PWMIGUIDREGINFO m_pGuidRegInfo;  // owned
    // Not part of WMILIB: the specific driver's table, kept for the routing.
    const JnWmiGuidEntry* m_pGuidTable;
    ULONG m_ulTableCount;
    bool m_bRegistered;
};
