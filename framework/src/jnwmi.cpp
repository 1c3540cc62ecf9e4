#include "jnwmi.h"
#include "jndebugmanager.h"
#include "jndevice.h"
#include "jnirp.h"
#include "jntracecontrol.h"

namespace {

const char kSourcePath[] = "framework\\src\\jnwmi";

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

// The CWmi of a device object, with the device's routing lock taken (release it with
// Done). Without a framework device: STATUS_DELETE_PENDING; without CWmi: STATUS_UNSUCCESSFUL.
CWmi* Lookup(PDEVICE_OBJECT deviceObject, JnDeviceExtension*& extension, NTSTATUS& failure)
{
    extension = JnDeviceExtension::sm_From(deviceObject);
    if (!extension || !extension->pDevice || !extension->RoutingLock.m_Acquire()) {
        failure = STATUS_DELETE_PENDING;
        return nullptr;
    }
    CWmi* wmi = extension->pDevice->m_GetWmi();
    if (!wmi) {
        extension->RoutingLock.m_Release();
        failure = STATUS_UNSUCCESSFUL;
    }
    return wmi;
}

}  // namespace

CWmi::CWmi(CJnSpecificDriver* specificDriver, PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT lowerDeviceObject,
           PDEVICE_OBJECT physicalDeviceObject, PCUNICODE_STRING registryPath, const JnWmiGuidEntry* guidTable,
           ULONG guidCount, const JnWmiCallbacks& callbacks, bool& success)
    : m_pSpecificDriver(specificDriver),
      m_WmiQueryDataBlockCallback(callbacks.m_WmiQueryDataBlockCallback),
      m_WmiGetRequiredSizeCallback(callbacks.m_WmiGetRequiredSizeCallback),
      m_WmiSetDataBlockCallback(callbacks.m_WmiSetDataBlockCallback),
      m_WmiSetDataItemCallback(callbacks.m_WmiSetDataItemCallback),
      m_WmiExecuteMethodCallback(callbacks.m_WmiExecuteMethodCallback),
      m_WmiGetRequiredSizeForMethodCallback(callbacks.m_WmiGetRequiredSizeForMethodCallback),
      m_WmiFunctionControlCallback(callbacks.m_WmiFunctionControlCallback),
      m_pDeviceObject(deviceObject),
      m_pLowerDeviceObject(lowerDeviceObject),
      m_pPhysicalDeviceObject(physicalDeviceObject),
      m_bRegInfoQueried(false),
      m_pGuidRegInfo(nullptr),
      m_pGuidTable(guidTable),
      m_ulTableCount(guidCount),
      m_bRegistered(false)
{
    success = false;
    RtlZeroMemory(&m_RegistryPath, sizeof m_RegistryPath);
    RtlZeroMemory(&m_WmiLibContext, sizeof m_WmiLibContext);
    if (!guidTable && guidCount) {
        JnAssertPrint(kSourcePath, __LINE__);
        m_ulTableCount = 0;
        return;
    }
    USHORT length = registryPath ? registryPath->Length : 0;
    m_RegistryPath.Buffer = static_cast<PWSTR>(JnAllocate(length + sizeof(WCHAR), NonPagedPool));
    if (!m_RegistryPath.Buffer) return;
    if (length) RtlCopyMemory(m_RegistryPath.Buffer, registryPath->Buffer, length);
    m_RegistryPath.Buffer[length / sizeof(WCHAR)] = 0;
    m_RegistryPath.Length = length;
    m_RegistryPath.MaximumLength = (USHORT)(length + sizeof(WCHAR));

    // The specific driver's blocks first, then the trace providers (one instance each).
    ULONG total = guidCount + CJnTraceControl::kProviderCount;
    m_pGuidRegInfo = static_cast<PWMIGUIDREGINFO>(JnAllocate(total * sizeof(WMIGUIDREGINFO), NonPagedPool));
    if (!m_pGuidRegInfo) return;
    for (ULONG i = 0; i < guidCount; i++) {
        m_pGuidRegInfo[i].Guid = guidTable[i].pGuid;
        m_pGuidRegInfo[i].InstanceCount = guidTable[i].ulInstanceCount;
        m_pGuidRegInfo[i].Flags = WMIREG_FLAG_INSTANCE_PDO | ((guidTable[i].ulExpensive & 0xFF) == 1 ? WMIREG_FLAG_EXPENSIVE : 0);
    }
    for (ULONG i = 0; i < CJnTraceControl::kProviderCount; i++) {
        m_pGuidRegInfo[guidCount + i].Guid = &CJnTraceControl::sm_ProviderGuid(i);
        m_pGuidRegInfo[guidCount + i].InstanceCount = 1;
        m_pGuidRegInfo[guidCount + i].Flags = 0;
    }
    m_WmiLibContext.GuidCount = total;
    m_WmiLibContext.GuidList = m_pGuidRegInfo;
    m_WmiLibContext.QueryWmiRegInfo = sm_QueryRegInfo;
    m_WmiLibContext.QueryWmiDataBlock = sm_QueryDataBlock;
    m_WmiLibContext.SetWmiDataBlock = sm_SetDataBlock;
    m_WmiLibContext.SetWmiDataItem = sm_SetDataItem;
    m_WmiLibContext.ExecuteWmiMethod = sm_ExecuteMethod;
    m_WmiLibContext.WmiFunctionControl = nullptr;
    if (!NT_SUCCESS(IoWMIRegistrationControl(deviceObject, WMIREG_ACTION_REGISTER))) return;
    m_bRegistered = true;
    success = true;
}

CWmi::~CWmi()
{
    if (m_bRegistered) IoWMIRegistrationControl(m_pDeviceObject, WMIREG_ACTION_DEREGISTER);
    JnFree(m_pGuidRegInfo);
    JnFree(m_RegistryPath.Buffer);
}

NTSTATUS CWmi::m_Dispatch(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if ((PDEVICE_OBJECT)stack->Parameters.WMI.ProviderId == m_pDeviceObject) {
        if (stack->MinorFunction == IRP_MN_REGINFO && !m_bRegInfoQueried) {
            if (stack->Parameters.WMI.Buffer) RtlZeroMemory(stack->Parameters.WMI.Buffer, stack->Parameters.WMI.BufferSize);
            m_bRegInfoQueried = true;
        }
        if (stack->MinorFunction == IRP_MN_REGINFO_EX && !IoIsWdmVersionAvailable(1, 0x20))
            return JnCompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&m_WmiLibContext, m_pDeviceObject, irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        return status;
    case IrpNotCompleted: {
        // Registration information, bad parameters and the trace providers' enable
        // requests: the trace control has its say, its status replaces a failure.
        NTSTATUS traced = CJnTraceControl::sm_ControlIrp(irp);
        if (!NT_SUCCESS(status)) status = traced;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(m_pLowerDeviceObject, irp);
    }
}

NTSTATUS CWmi::sm_QueryRegInfo(PDEVICE_OBJECT deviceObject, PULONG regFlags, PUNICODE_STRING, PUNICODE_STRING* registryPath,
                               PUNICODE_STRING, PDEVICE_OBJECT* pdo)
{
    JnDeviceExtension* extension;
    NTSTATUS failure;
    CWmi* wmi = Lookup(deviceObject, extension, failure);
    if (!wmi) return failure;
    *regFlags = WMIREG_FLAG_INSTANCE_PDO;
    *registryPath = &wmi->m_RegistryPath;
    *pdo = wmi->m_pPhysicalDeviceObject;
    extension->RoutingLock.m_Release();
    return STATUS_SUCCESS;
}

// Runs `work` on the device's CWmi with its routing lock held; without one the request
// completes with the lookup's failure.
template <typename Work>
NTSTATUS WithWmi(PDEVICE_OBJECT deviceObject, PIRP irp, Work work)
{
    JnDeviceExtension* extension;
    NTSTATUS failure;
    CWmi* wmi = Lookup(deviceObject, extension, failure);
    if (!wmi) return WmiCompleteRequest(deviceObject, irp, failure, 0, IO_NO_INCREMENT);
    NTSTATUS status = work(wmi);
    extension->RoutingLock.m_Release();
    return status;
}

NTSTATUS CWmi::sm_QueryDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                 ULONG instanceCount, PULONG instanceLengthArray, ULONG bufferAvail, PUCHAR buffer)
{
    return WithWmi(deviceObject, irp, [&](CWmi* wmi) {
        return wmi->m_QueryDataBlock(deviceObject, irp, guidIndex, instanceIndex, instanceCount, instanceLengthArray,
                                     bufferAvail, buffer);
    });
}

NTSTATUS CWmi::sm_SetDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                               ULONG bufferSize, PUCHAR buffer)
{
    return WithWmi(deviceObject, irp, [&](CWmi* wmi) {
        return wmi->m_SetData(deviceObject, irp, guidIndex, instanceIndex, false, 0, bufferSize, buffer);
    });
}

NTSTATUS CWmi::sm_SetDataItem(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                              ULONG dataItemId, ULONG bufferSize, PUCHAR buffer)
{
    return WithWmi(deviceObject, irp, [&](CWmi* wmi) {
        return wmi->m_SetData(deviceObject, irp, guidIndex, instanceIndex, true, dataItemId, bufferSize, buffer);
    });
}

NTSTATUS CWmi::sm_ExecuteMethod(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                ULONG methodId, ULONG inBufferSize, ULONG outBufferSize, PUCHAR buffer)
{
    return WithWmi(deviceObject, irp, [&](CWmi* wmi) {
        return wmi->m_ExecuteMethod(deviceObject, irp, guidIndex, instanceIndex, methodId, inBufferSize, outBufferSize,
                                    buffer);
    });
}

bool CWmi::m_InstanceSize(ULONG guidIndex, ULONG instanceIndex, ULONG& size, NTSTATUS& failure)
{
    size = m_pGuidTable[guidIndex].ulFixedSize;
    if (size) return true;
    if (!m_WmiGetRequiredSizeCallback) {
        JnAssertPrint(kSourcePath, __LINE__);
        failure = STATUS_UNSUCCESSFUL;
        return false;
    }
    if (!m_WmiGetRequiredSizeCallback(m_pSpecificDriver, guidIndex, instanceIndex, &size)) {
        failure = STATUS_UNSUCCESSFUL;
        return false;
    }
    return true;
}

NTSTATUS CWmi::m_QueryDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                ULONG instanceCount, PULONG lengths, ULONG bufferAvail, PUCHAR buffer)
{
    // The trace providers' GUIDs follow the table: they are not data blocks.
    if (guidIndex >= m_ulTableCount)
        return WmiCompleteRequest(deviceObject, irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
    const JnWmiGuidEntry& entry = m_pGuidTable[guidIndex];
    if (instanceCount == 0 || (instanceIndex != 0 && instanceCount != 1) || instanceIndex >= entry.ulInstanceCount ||
        (instanceIndex == 0 && instanceCount > entry.ulInstanceCount))
        return WmiCompleteRequest(deviceObject, irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, IO_NO_INCREMENT);
    // Instances lie back to back on 8-byte boundaries.
    ULONG total = 0;
    for (ULONG i = 0; i < instanceCount; i++) {
        ULONG size;
        NTSTATUS failure;
        if (!m_InstanceSize(guidIndex, instanceIndex + i, size, failure))
            return WmiCompleteRequest(deviceObject, irp, failure, 0, IO_NO_INCREMENT);
        if (lengths) lengths[i] = size;
        total = i + 1 < instanceCount ? total + Align8(size) : total + size;
    }
    if (total > bufferAvail) return WmiCompleteRequest(deviceObject, irp, STATUS_BUFFER_TOO_SMALL, total, IO_NO_INCREMENT);
    if (!m_WmiQueryDataBlockCallback) {
        JnAssertPrint(kSourcePath, __LINE__);
        return WmiCompleteRequest(deviceObject, irp, STATUS_UNSUCCESSFUL, 0, IO_NO_INCREMENT);
    }
    ULONG position = 0;
    for (ULONG i = 0; i < instanceCount; i++) {
        if (!m_WmiQueryDataBlockCallback(m_pSpecificDriver, guidIndex, instanceIndex + i, buffer + position))
            return WmiCompleteRequest(deviceObject, irp, STATUS_UNSUCCESSFUL, 0, IO_NO_INCREMENT);
        position += Align8(lengths ? lengths[i] : entry.ulFixedSize);
    }
    return WmiCompleteRequest(deviceObject, irp, STATUS_SUCCESS, total, IO_NO_INCREMENT);
}

NTSTATUS CWmi::m_SetData(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex, bool item,
                         ULONG itemId, ULONG bufferSize, PUCHAR buffer)
{
    NTSTATUS status;
    bool missing = item ? !m_WmiSetDataItemCallback : !m_WmiSetDataBlockCallback;
    if (missing) {
        status = STATUS_WMI_READ_ONLY;
    } else if (guidIndex >= m_ulTableCount) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (m_pGuidTable[guidIndex].ulReadOnly == 1) {
        status = STATUS_WMI_READ_ONLY;
    } else if (instanceIndex >= m_pGuidTable[guidIndex].ulInstanceCount) {
        status = STATUS_WMI_INSTANCE_NOT_FOUND;
    } else if (item && itemId >= m_pGuidTable[guidIndex].ulItemCount) {
        status = STATUS_WMI_ITEMID_NOT_FOUND;
    } else {
        ULONG fixed = m_pGuidTable[guidIndex].ulFixedSize;
        if (fixed && bufferSize < fixed) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            // With a fixed size the callback knows the size itself and is given 0.
            ULONG size = fixed ? 0 : bufferSize;
            bool done = item ? m_WmiSetDataItemCallback(m_pSpecificDriver, guidIndex, instanceIndex, itemId, size, buffer)
                             : m_WmiSetDataBlockCallback(m_pSpecificDriver, guidIndex, instanceIndex, size, buffer);
            status = done ? STATUS_SUCCESS : STATUS_WMI_SET_FAILURE;
        }
    }
    return WmiCompleteRequest(deviceObject, irp, status, 0, IO_NO_INCREMENT);
}

NTSTATUS CWmi::m_ExecuteMethod(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                               ULONG methodId, ULONG inBufferSize, ULONG outBufferSize, PUCHAR buffer)
{
    NTSTATUS status;
    ULONG inSize = 0, outSize = 0, used = 0;
    if (!m_WmiExecuteMethodCallback) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (guidIndex >= m_ulTableCount) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (instanceIndex >= m_pGuidTable[guidIndex].ulInstanceCount) {
        status = STATUS_WMI_INSTANCE_NOT_FOUND;
    } else if (methodId >= m_pGuidTable[guidIndex].ulMethodCount) {
        status = STATUS_WMI_ITEMID_NOT_FOUND;
    } else {
        status = STATUS_SUCCESS;
        ULONG fixed = m_pGuidTable[guidIndex].ulFixedSize;
        if (fixed) {
            inSize = outSize = fixed;
        } else if (!m_WmiGetRequiredSizeForMethodCallback) {
            JnAssertPrint(kSourcePath, __LINE__);
            status = STATUS_UNSUCCESSFUL;
        } else if (!m_WmiGetRequiredSizeForMethodCallback(m_pSpecificDriver, guidIndex, instanceIndex, methodId, &inSize,
                                                          &outSize)) {
            status = STATUS_UNSUCCESSFUL;
        }
        if (NT_SUCCESS(status)) {
            ULONG needed = outSize > inSize ? outSize : inSize;
            if (outBufferSize < needed || inBufferSize < inSize) {
                status = STATUS_BUFFER_TOO_SMALL;
                used = needed;
            } else if (!m_WmiExecuteMethodCallback(m_pSpecificDriver, guidIndex, instanceIndex, methodId, inSize, outSize,
                                                   buffer)) {
                status = STATUS_UNSUCCESSFUL;
            } else {
                used = outSize;
            }
        }
    }
    return WmiCompleteRequest(deviceObject, irp, status, used, IO_NO_INCREMENT);
}
