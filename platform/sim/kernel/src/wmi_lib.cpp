// WMILIB: decodes IRP_MJ_SYSTEM_CONTROL requests for a provider's data blocks into calls
// of its routines, and completes them with the WNODE filled in.
//
// A provider without a function-control routine gets enable and disable requests back
// (IrpNotCompleted, STATUS_SUCCESS) and completes them itself, so that a driver may hand
// them to its trace control.
#include <cstring>
#include <vector>

#include "wmi_internal.h"

namespace {

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

ULONG AllDataOffset(ULONG instances)
{
    return Align8((ULONG)offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + instances * sizeof(OFFSETINSTANCEDATAANDLENGTH));
}

void PutCounted(PUCHAR base, ULONG& offset, const UNICODE_STRING* s)
{
    USHORT length = s && s->Buffer ? s->Length : 0;
    memcpy(base + offset, &length, sizeof length);
    if (length) memcpy(base + offset + sizeof(USHORT), s->Buffer, length);
    offset += sizeof(USHORT) + length;
}

void TooSmall(PWNODE_HEADER header, ULONG needed)
{
    auto* small = reinterpret_cast<PWNODE_TOO_SMALL>(header);
    small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
    small->WnodeHeader.Flags = WNODE_FLAG_TOO_SMALL;
    small->SizeNeeded = needed;
}

NTSTATUS LeaveToDriver(PIRP irp, NTSTATUS status, ULONG_PTR information, PSYSCTL_IRP_DISPOSITION disposition)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    *disposition = IrpNotCompleted;
    return status;
}

NTSTATUS RegInfo(PWMILIB_CONTEXT lib, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack,
                 PSYSCTL_IRP_DISPOSITION disposition)
{
    if (!lib->QueryWmiRegInfo) return LeaveToDriver(irp, STATUS_INVALID_DEVICE_REQUEST, 0, disposition);
    ULONG regFlags = 0;
    UNICODE_STRING instanceName{}, mofName{};
    PUNICODE_STRING registryPath = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = lib->QueryWmiRegInfo(device, &regFlags, &instanceName, &registryPath, &mofName, &pdo);
    if (!NT_SUCCESS(status)) return LeaveToDriver(irp, status, 0, disposition);

    ULONG count = lib->GuidCount;
    ULONG size = (ULONG)offsetof(WMIREGINFOW, WmiRegGuid) + count * sizeof(WMIREGGUIDW);
    ULONG pathOffset = size;
    size += sizeof(USHORT) + (registryPath ? registryPath->Length : 0);
    ULONG mofOffset = size;
    size += sizeof(USHORT) + mofName.Length;
    ULONG baseOffset = size;
    if (regFlags & WMIREG_FLAG_INSTANCE_BASENAME) size += sizeof(USHORT) + instanceName.Length;

    ULONG room = stack->Parameters.WMI.BufferSize;
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    if (room < size) {
        if (room < sizeof(ULONG)) return LeaveToDriver(irp, STATUS_BUFFER_TOO_SMALL, 0, disposition);
        memcpy(buffer, &size, sizeof size);
        return LeaveToDriver(irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), disposition);
    }
    memset(buffer, 0, size);
    auto* info = reinterpret_cast<PWMIREGINFOW>(buffer);
    info->BufferSize = size;
    info->GuidCount = count;
    info->RegistryPath = pathOffset;
    info->MofResourceName = mofOffset;
    for (ULONG i = 0; i < count; i++) {
        WMIREGGUIDW& g = info->WmiRegGuid[i];
        g.Guid = *lib->GuidList[i].Guid;
        g.InstanceCount = lib->GuidList[i].InstanceCount;
        g.Flags = lib->GuidList[i].Flags | regFlags;
        if (g.Flags & WMIREG_FLAG_INSTANCE_PDO) g.Pdo = (ULONG_PTR)pdo;
        else if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME) g.BaseNameOffset = baseOffset;
    }
    ULONG at = pathOffset;
    PutCounted(buffer, at, registryPath);
    PutCounted(buffer, at, &mofName);
    if (regFlags & WMIREG_FLAG_INSTANCE_BASENAME) PutCounted(buffer, at, &instanceName);
    return LeaveToDriver(irp, STATUS_SUCCESS, size, disposition);
}

// A WNODE with one data block at dataOffset: its size and the buffer size are set, or a
// WNODE_TOO_SMALL replaces it. Returns the bytes to report.
ULONG_PTR FinishSized(PWNODE_HEADER header, ULONG dataOffset, PULONG sizeField, NTSTATUS status, ULONG used,
                      NTSTATUS& final)
{
    if (status == STATUS_BUFFER_TOO_SMALL) {
        TooSmall(header, dataOffset + used);
        final = STATUS_SUCCESS;
        return sizeof(WNODE_TOO_SMALL);
    }
    if (!NT_SUCCESS(status)) return 0;
    *sizeField = used;
    header->BufferSize = dataOffset + used;
    return header->BufferSize;
}

}  // namespace

extern "C" {

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT lib, PDEVICE_OBJECT device, PIRP irp, PSYSCTL_IRP_DISPOSITION disposition)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = stack->MinorFunction;
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL || minor > IRP_MN_REGINFO_EX || minor == 0x0a) {
        *disposition = IrpNotWmi;
        return irp->IoStatus.Status;
    }
    if ((PDEVICE_OBJECT)stack->Parameters.WMI.ProviderId != device) {
        *disposition = IrpForward;
        return irp->IoStatus.Status;
    }
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) return RegInfo(lib, device, irp, stack, disposition);

    const GUID* guid = static_cast<const GUID*>(stack->Parameters.WMI.DataPath);
    ULONG index = 0;
    while (index < lib->GuidCount && !kwsim::detail::SameGuid(*lib->GuidList[index].Guid, *guid)) index++;
    if (index == lib->GuidCount) return LeaveToDriver(irp, STATUS_WMI_GUID_NOT_FOUND, 0, disposition);

    ULONG size = stack->Parameters.WMI.BufferSize;
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    *disposition = IrpProcessed;
    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        ULONG instances = lib->GuidList[index].InstanceCount;
        ULONG offset = AllDataOffset(instances);
        if (size < offset) {
            TooSmall(&wnode->WnodeHeader, offset);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = sizeof(WNODE_TOO_SMALL);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_BUFFER_TOO_SMALL;
        }
        wnode->DataBlockOffset = offset;
        wnode->InstanceCount = instances;
        wnode->OffsetInstanceNameOffsets = 0;
        // The provider writes one length per instance; WmiCompleteRequest turns them
        // into the offset/length table in place.
        auto* lengths = reinterpret_cast<PULONG>(wnode->OffsetInstanceDataAndLength);
        if (!lib->QueryWmiDataBlock) return WmiCompleteRequest(device, irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
        return lib->QueryWmiDataBlock(device, irp, index, 0, instances, lengths, size - offset, buffer + offset);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (!(wnode->WnodeHeader.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES))
            return WmiCompleteRequest(device, irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, IO_NO_INCREMENT);
        if (!lib->QueryWmiDataBlock) return WmiCompleteRequest(device, irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
        return lib->QueryWmiDataBlock(device, irp, index, wnode->InstanceIndex, 1, &wnode->SizeDataBlock,
                                      size - wnode->DataBlockOffset, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (!lib->SetWmiDataBlock) return WmiCompleteRequest(device, irp, STATUS_WMI_READ_ONLY, 0, IO_NO_INCREMENT);
        return lib->SetWmiDataBlock(device, irp, index, wnode->InstanceIndex, wnode->SizeDataBlock,
                                    buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto* wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        if (!lib->SetWmiDataItem) return WmiCompleteRequest(device, irp, STATUS_WMI_READ_ONLY, 0, IO_NO_INCREMENT);
        return lib->SetWmiDataItem(device, irp, index, wnode->InstanceIndex, wnode->ItemId, wnode->SizeDataItem,
                                   buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto* wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
        if (!lib->ExecuteWmiMethod) return WmiCompleteRequest(device, irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
        return lib->ExecuteWmiMethod(device, irp, index, wnode->InstanceIndex, wnode->MethodId, wnode->SizeDataBlock,
                                     size - wnode->DataBlockOffset, buffer + wnode->DataBlockOffset);
    }
    default: {  // enable / disable events or collection
        BOOLEAN enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        WMIENABLEDISABLECONTROL what = minor <= IRP_MN_DISABLE_EVENTS ? WmiEventControl : WmiDataBlockControl;
        if (!lib->WmiFunctionControl) return LeaveToDriver(irp, STATUS_SUCCESS, 0, disposition);
        return lib->WmiFunctionControl(device, irp, index, what, enable);
    }
    }
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, ULONG used, CCHAR boost)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG_PTR information = 0;
    NTSTATUS final = status;
    auto header = reinterpret_cast<PWNODE_HEADER>(buffer);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA: {
        auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            TooSmall(header, wnode->DataBlockOffset + used);
            information = sizeof(WNODE_TOO_SMALL);
            final = STATUS_SUCCESS;
        } else if (NT_SUCCESS(status)) {
            ULONG n = wnode->InstanceCount;
            auto* lengths = reinterpret_cast<PULONG>(wnode->OffsetInstanceDataAndLength);
            std::vector<ULONG> copy(lengths, lengths + n);
            ULONG offset = wnode->DataBlockOffset, end = offset;
            for (ULONG i = 0; i < n; i++) {
                wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
                wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = copy[i];
                end = offset + copy[i];
                offset = Align8(end);
            }
            wnode->WnodeHeader.BufferSize = end;
            information = end;
        }
        break;
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        information = FinishSized(header, wnode->DataBlockOffset, &wnode->SizeDataBlock, status, used, final);
        break;
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto* wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
        information = FinishSized(header, wnode->DataBlockOffset, &wnode->SizeDataBlock, status, used, final);
        break;
    }
    default:
        information = NT_SUCCESS(status) ? used : 0;
        break;
    }
    (void)device;
    irp->IoStatus.Status = final;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, boost);
    return status;
}

}  // extern "C"
