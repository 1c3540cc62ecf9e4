// The USB driver library (usbd.sys on Windows): building URBs, walking configuration
// descriptors, and the select-configuration request.
#pragma once
#include "simnt/usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                 \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                            \
     ((totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +                        \
     ((totalPipes - totalInterfaces) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes - 1) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - sizeof(USBD_PIPE_INFORMATION))

#define GET_ISO_URB_SIZE(n) (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL, \
                                               transferBufferLength, transferFlags, link)                 \
    do {                                                                                                  \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                              \
        (urb)->UrbHeader.Length = (length);                                                               \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                      \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                  \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                        \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                              \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                               \
    } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                           \
    do {                                                                                                      \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                  \
        (urb)->UrbHeader.Length = (length);                                                                   \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                     \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                           \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                 \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                 \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                         \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                         \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                  \
    } while (0)

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link)        \
    do {                                                                                         \
        (urb)->UrbHeader.Function = (op);                                                        \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);                \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);                 \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);               \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                     \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                       \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                      \
    } while (0)

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)                     \
    do {                                                                                  \
        (urb)->UrbHeader.Function = (op);                                                 \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);            \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);              \
        (urb)->UrbControlFeatureRequest.Index = (index);                                  \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                                 \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor) \
    do {                                                                         \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;           \
        (urb)->UrbHeader.Length = (length);                                      \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
    } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting) \
    do {                                                                                                   \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                         \
        (urb)->UrbHeader.Length = (length);                                                                \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                         \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                           \
        (urb)->UrbSelectInterface.Interface.Length =                                                       \
            (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));           \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                             \
    } while (0)

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value, index, transferBuffer, \
                              transferBufferMDL, transferBufferLength, link)                                      \
    do {                                                                                                          \
        (urb)->UrbHeader.Function = (cmd);                                                                        \
        (urb)->UrbHeader.Length = (length);                                                                       \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);                        \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                              \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                                    \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);                             \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                                  \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                                      \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                                      \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                                      \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                                     \
    } while (0)

#ifdef __cplusplus
extern "C" {
#endif

// Each call finds the first descriptor of the given type from StartPosition on, within
// TotalLength bytes of DescriptorBuffer; null when there is none.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);
// The first interface descriptor from StartPosition on that matches every criterion that
// is not -1; null when there is none.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);
// One select-configuration URB from non-paged pool with room for the pipes of every
// interface in the list (ended by a null InterfaceDescriptor); sets each entry's
// Interface. The caller frees it with ExFreePool. Null when the pool is exhausted.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

#ifdef __cplusplus
}
#endif
