// The WMI library (WMILIB): a provider describes its data blocks once and lets
// WmiSystemControl decode IRP_MJ_SYSTEM_CONTROL requests into calls of its routines.
#pragma once
#include "simnt/io.h"
#include "simnt/wmistr.h"

typedef enum _WMIENABLEDISABLECONTROL { WmiEventControl, WmiDataBlockControl } WMIENABLEDISABLECONTROL, *PWMIENABLEDISABLECONTROL;

typedef enum _SYSCTL_IRP_DISPOSITION {
    IrpProcessed,     // completed by WMILIB or by the provider's routine
    IrpNotCompleted,  // handled but left for the driver to complete (registration info, bad parameters)
    IrpNotWmi,        // not a WMI request: the driver forwards it
    IrpForward        // a WMI request for another device object: the driver forwards it
} SYSCTL_IRP_DISPOSITION, *PSYSCTL_IRP_DISPOSITION;

typedef struct _WMIGUIDREGINFO {
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef NTSTATUS (*PWMI_QUERY_REGINFO)(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                       PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                                       PDEVICE_OBJECT* Pdo);
typedef NTSTATUS (*PWMI_QUERY_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                         ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                                         PUCHAR Buffer);
typedef NTSTATUS (*PWMI_SET_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                       ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_SET_DATAITEM)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                      ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_EXECUTE_METHOD)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                        ULONG MethodId, ULONG InBufferSize, ULONG OutBufferSize, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_FUNCTION_CONTROL)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                          WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);

typedef struct _WMILIB_CONTEXT {
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;
    PWMI_QUERY_REGINFO QueryWmiRegInfo;
    PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
    PWMI_SET_DATABLOCK SetWmiDataBlock;
    PWMI_SET_DATAITEM SetWmiDataItem;
    PWMI_EXECUTE_METHOD ExecuteWmiMethod;
    PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

#ifdef __cplusplus
extern "C" {
#endif
NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                            CCHAR PriorityBoost);
NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition);
#ifdef __cplusplus
}
#endif
