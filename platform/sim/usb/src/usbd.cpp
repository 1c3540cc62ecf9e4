// The USB driver library routines drivers import (usbd.sys on Windows): walking a
// configuration descriptor and building the select-configuration request.
#include <cstring>

#include "kwplat/usb.h"

namespace {
constexpr ULONG kUrbTag = KW_TAG("Usbd");
}

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType)
{
    PUCHAR base = static_cast<PUCHAR>(DescriptorBuffer);
    PUCHAR end = base + TotalLength;
    PUCHAR p = static_cast<PUCHAR>(StartPosition);
    if (!base || p < base) return nullptr;
    // A descriptor that claims no length or runs past the end ends the walk: nothing
    // after it can be trusted, and a length of 0 would never advance.
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + common->bLength > end) return nullptr;
        if (common->bDescriptorType == DescriptorType) return common;
        p += common->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (!ConfigurationDescriptor) return nullptr;
    ULONG total = ConfigurationDescriptor->wTotalLength;
    PVOID start = StartPosition;
    for (;;) {
        auto* common = USBD_ParseDescriptors(ConfigurationDescriptor, total, start, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (!common) return nullptr;
        start = reinterpret_cast<PUCHAR>(common) + common->bLength;
        if (common->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;  // too short to hold the fields
        auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(common);
        if ((InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol))
            return i;
    }
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    size_t length = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e && e->InterfaceDescriptor; e++)
        length += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    if (length > MAXUSHORT) return nullptr;
    // Never smaller than the structure, so its fixed fields are always inside the block.
    size_t allocation = length < sizeof(struct _URB_SELECT_CONFIGURATION) ? sizeof(struct _URB_SELECT_CONFIGURATION) : length;
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocation, kUrbTag));
    if (!urb) return nullptr;
    memset(urb, 0, allocation);
    urb->UrbHeader.Length = (USHORT)length;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    PUCHAR p = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e && e->InterfaceDescriptor; e++) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
        UCHAR pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(pipes);
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (UCHAR k = 0; k < pipes; k++) info->Pipes[k].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        e->Interface = info;
        p += info->Length;
    }
    return urb;
}

}  // extern "C"
