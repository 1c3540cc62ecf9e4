// CUsbDevice: bring-up from the descriptors and the "USB" description, the selected
// configuration and the pipe table.
#include "jndebugmanager.h"
#include "jnregistry.h"
#include "kwusb.h"
#include "kwusbtrace.h"

namespace {

const ULONG kDefaultMaximumTransferSize = 4096;

NTSTATUS ReadRequired(HANDLE key, PCWSTR name, PULONG value, const char* what)
{
    NTSTATUS status = JnRegistryReadDword(key, name, value);
    if (!NT_SUCCESS(status))
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> registry value %s missing (0x%X).", what,
                status);
    return status;
}

}  // namespace

CUsbDevice::CUsbDevice()
    : m_ulDeviceClass(0), m_ulDeviceSubClass(0), m_ulDeviceProtocol(0), m_ulSelectedConfiguration(0),
      m_pConfiguration(nullptr), m_hConfiguration(nullptr), m_ulInterfaceCount(0)
{
    RtlZeroMemory(&m_DeviceDescriptor, sizeof m_DeviceDescriptor);
    RtlZeroMemory(m_Interfaces, sizeof m_Interfaces);
}

CUsbDevice::~CUsbDevice()
{
    m_DeInitTransport();
    for (ULONG i = 0; i < m_ulInterfaceCount; i++) JnFree(m_Interfaces[i]);
    JnFree(m_pConfiguration);
}

BOOLEAN CUsbDevice::m_ReadDescriptor(UCHAR ucType, UCHAR ucIndex, PVOID pvBuffer, ULONG ulLength)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), ucType, ucIndex, 0, pvBuffer,
                                 nullptr, ulLength, nullptr);
    return m_SubmitUrb(&urb, FALSE, TRUE) && urb.UrbControlDescriptorRequest.TransferBufferLength == ulLength;
}

BOOLEAN CUsbDevice::m_ReadEndpoint(HANDLE usbKey, ULONG ulNumber, BOOLEAN* pbPresent)
{
    *pbPresent = FALSE;
    CJnString name;
    if (!NT_SUCCESS(name.m_Copy(KW_W("EndPoint"))) || !NT_SUCCESS(name.m_AppendDecimal(ulNumber))) return FALSE;
    HANDLE key;
    if (!NT_SUCCESS(JnRegistryOpenKey(usbKey, name.m_Get(), KEY_READ, &key))) return TRUE;  // the list ends here
    *pbPresent = TRUE;
    if (m_ulEndpointCount == kMaxEndpoints) {
        ZwClose(key);
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> more than %d endpoints.", kMaxEndpoints);
        return FALSE;
    }
    KwUsbEndpoint& e = m_Endpoints[m_ulEndpointCount];
    RtlZeroMemory(&e, sizeof e);
    BOOLEAN ok = NT_SUCCESS(ReadRequired(key, KW_W("EndPointHandle"), &e.ulEndPointHandle, "EndPointHandle")) &&
                 NT_SUCCESS(ReadRequired(key, KW_W("InterfaceNumber"), &e.ulInterfaceNumber, "InterfaceNumber")) &&
                 NT_SUCCESS(ReadRequired(key, KW_W("AlternateSetting"), &e.ulAlternateSetting, "AlternateSetting")) &&
                 NT_SUCCESS(ReadRequired(key, KW_W("EndPointAddress"), &e.ulEndPointAddress, "EndPointAddress")) &&
                 NT_SUCCESS(ReadRequired(key, KW_W("EndPointType"), &e.ulEndPointType, "EndPointType")) &&
                 NT_SUCCESS(ReadRequired(key, KW_W("CallbackNeeded"), &e.ulCallbackNeeded, "CallbackNeeded"));
    if (ok && !NT_SUCCESS(JnRegistryReadDword(key, KW_W("MaximumTransferSize"), &e.ulMaximumTransferSize)))
        e.ulMaximumTransferSize = kDefaultMaximumTransferSize;
    if (ok && e.ulCallbackNeeded == 0) {
        e.pCallback = nullptr;
        e.pCallbackContext = nullptr;
    }
    ZwClose(key);
    if (ok) m_ulEndpointCount++;
    return ok;
}

BOOLEAN CUsbDevice::m_ReadRegistryDescription(PDEVICE_OBJECT registryDevice)
{
    HANDLE hardwareKey;
    NTSTATUS status = IoOpenDeviceRegistryKey(registryDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &hardwareKey);
    if (!NT_SUCCESS(status)) {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> IoOpenDeviceRegistryKey (0x%X).", status);
        return FALSE;
    }
    UNICODE_STRING usb;
    RtlInitUnicodeString(&usb, KW_W("USB"));
    HANDLE usbKey;
    status = JnRegistryOpenKey(hardwareKey, &usb, KEY_READ, &usbKey);
    ZwClose(hardwareKey);
    if (!NT_SUCCESS(status)) {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> no USB description (0x%X).", status);
        return FALSE;
    }
    BOOLEAN ok =
        NT_SUCCESS(ReadRequired(usbKey, KW_W("DeviceClass"), &m_ulDeviceClass, "DeviceClass")) &&
        NT_SUCCESS(ReadRequired(usbKey, KW_W("DeviceSubClass"), &m_ulDeviceSubClass, "DeviceSubClass")) &&
        NT_SUCCESS(ReadRequired(usbKey, KW_W("DeviceProtocol"), &m_ulDeviceProtocol, "DeviceProtocol")) &&
        NT_SUCCESS(ReadRequired(usbKey, KW_W("SelectedConfiguration"), &m_ulSelectedConfiguration,
                                "SelectedConfiguration"));
    for (ULONG n = 1; ok; n++) {
        BOOLEAN present;
        ok = m_ReadEndpoint(usbKey, n, &present);
        if (!present) break;
    }
    ZwClose(usbKey);
    return ok;
}

void CUsbDevice::m_TraceDescription()
{
    const USB_DEVICE_DESCRIPTOR& d = m_DeviceDescriptor;
    JnTrace(KW_USB_TRACE, "USB Device Descriptor:");
    JnTrace(KW_USB_TRACE, "   bLength                  = 0x%02x", d.bLength);
    JnTrace(KW_USB_TRACE, "   bDescriptorType          = 0x%02x", d.bDescriptorType);
    JnTrace(KW_USB_TRACE, "   bcdUSB                   = 0x%04x", d.bcdUSB);
    JnTrace(KW_USB_TRACE, "   Device Class             = 0x%02x", d.bDeviceClass);
    JnTrace(KW_USB_TRACE, "   Device SubClass          = 0x%02x", d.bDeviceSubClass);
    JnTrace(KW_USB_TRACE, "   Device Protocol          = 0x%02x", d.bDeviceProtocol);
    JnTrace(KW_USB_TRACE, "   bMaxPacketSize0          = 0x%02x", d.bMaxPacketSize0);
    JnTrace(KW_USB_TRACE, "   Vendor ID                = 0x%04x", d.idVendor);
    JnTrace(KW_USB_TRACE, "   Product ID               = 0x%04x", d.idProduct);
    JnTrace(KW_USB_TRACE, "   bcdDevice                = 0x%04x", d.bcdDevice);
    JnTrace(KW_USB_TRACE, "   Number of Configurations = 0x%02x", d.bNumConfigurations);
    JnTrace(KW_USB_TRACE, "USB Device Registry Information:");
    JnTrace(KW_USB_TRACE, "   DeviceClass              = 0x%02x", m_ulDeviceClass);
    JnTrace(KW_USB_TRACE, "   DeviceSubClass           = 0x%02x", m_ulDeviceSubClass);
    JnTrace(KW_USB_TRACE, "   DeviceProtocol           = 0x%02x", m_ulDeviceProtocol);
    JnTrace(KW_USB_TRACE, "   SelectedConfiguration    = %d", m_ulSelectedConfiguration);
    for (ULONG i = 0; i < m_ulEndpointCount; i++) {
        const KwUsbEndpoint& e = m_Endpoints[i];
        JnTrace(KW_USB_TRACE, "   EndPoint%d:", i + 1);
        JnTrace(KW_USB_TRACE, "      EndPointHandle        = %d", e.ulEndPointHandle);
        JnTrace(KW_USB_TRACE, "      InterfaceNumber       = %d", e.ulInterfaceNumber);
        JnTrace(KW_USB_TRACE, "      AlternateSetting      = %d", e.ulAlternateSetting);
        JnTrace(KW_USB_TRACE, "      EndPointAddress       = 0x%02x", e.ulEndPointAddress);
        JnTrace(KW_USB_TRACE, "      EndPointType          = %d", e.ulEndPointType);
        JnTrace(KW_USB_TRACE, "      CallbackNeeded        = %d", e.ulCallbackNeeded);
        JnTrace(KW_USB_TRACE, "      MaximumTransferSize   = %d", e.ulMaximumTransferSize);
    }
}

BOOLEAN CUsbDevice::m_SelectConfiguration()
{
    PUSB_CONFIGURATION_DESCRIPTOR cd = m_pConfiguration;
    // One list entry per distinct interface of the description, and the closing one.
    USBD_INTERFACE_LIST_ENTRY list[kMaxEndpoints + 1];
    RtlZeroMemory(list, sizeof list);
    ULONG count = 0;
    for (ULONG i = 0; i < m_ulEndpointCount; i++) {
        ULONG number = m_Endpoints[i].ulInterfaceNumber;
        BOOLEAN seen = FALSE;
        for (ULONG k = 0; k < count; k++)
            if (list[k].InterfaceDescriptor->bInterfaceNumber == number) seen = TRUE;
        if (seen) continue;
        PUSB_INTERFACE_DESCRIPTOR descriptor =
            number > 0xFF ? nullptr : USBD_ParseConfigurationDescriptorEx(cd, cd, static_cast<LONG>(number), -1, -1, -1, -1);
        if (!descriptor) {
            JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> interface %d is not in configuration %d.",
                    number, m_ulSelectedConfiguration);
            return FALSE;
        }
        list[count++].InterfaceDescriptor = descriptor;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    if (!urb) {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> USBD_CreateConfigurationRequestEx.");
        return FALSE;
    }
    for (ULONG k = 0; k < count; k++)
        for (ULONG p = 0; p < list[k].Interface->NumberOfPipes; p++)
            list[k].Interface->Pipes[p].MaximumTransferSize = kDefaultMaximumTransferSize;
    BOOLEAN ok = m_SubmitUrb(urb, FALSE, TRUE);
    if (ok) {
        m_hConfiguration = urb->UrbSelectConfiguration.ConfigurationHandle;
        for (ULONG k = 0; k < count && ok; k++) {
            PUSBD_INTERFACE_INFORMATION info = list[k].Interface;
            m_Interfaces[k] = static_cast<PUSBD_INTERFACE_INFORMATION>(JnAllocate(info->Length, NonPagedPool));
            if (!m_Interfaces[k]) {
                ok = FALSE;
                break;
            }
            RtlCopyMemory(m_Interfaces[k], info, info->Length);
            m_ulInterfaceCount = k + 1;
        }
    } else {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> select configuration (USBD status 0x%X).",
                urb->UrbHeader.Status);
    }
    ExFreePool(urb);
    return ok;
}

BOOLEAN CUsbDevice::m_Initialize(PDEVICE_OBJECT targetDevice, PDEVICE_OBJECT registryDevice)
{
    JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - IN");
    if (!targetDevice || !m_InitTransport(targetDevice)) return FALSE;
    if (!m_ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, &m_DeviceDescriptor, sizeof m_DeviceDescriptor)) {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> device descriptor.");
        return FALSE;
    }
    if (!m_ReadRegistryDescription(registryDevice)) return FALSE;
    m_TraceDescription();
    if (m_ulEndpointCount == 0) {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> the description names no endpoint.");
        return FALSE;
    }
    if (m_ulDeviceClass != m_DeviceDescriptor.bDeviceClass || m_ulDeviceSubClass != m_DeviceDescriptor.bDeviceSubClass ||
        m_ulDeviceProtocol != m_DeviceDescriptor.bDeviceProtocol) {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> device class does not match the description.");
        return FALSE;
    }
    if (m_ulSelectedConfiguration > 0xFF) return FALSE;
    UCHAR index = static_cast<UCHAR>(m_ulSelectedConfiguration);
    USB_CONFIGURATION_DESCRIPTOR header;
    if (!m_ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, index, &header, sizeof header) ||
        header.wTotalLength < sizeof header) {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> configuration descriptor %d.", index);
        return FALSE;
    }
    m_pConfiguration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(JnAllocate(header.wTotalLength, NonPagedPool));
    if (!m_pConfiguration || !m_ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, index, m_pConfiguration,
                                               header.wTotalLength)) {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT - Fail-> configuration descriptor %d.", index);
        return FALSE;
    }
    if (!m_SelectConfiguration()) return FALSE;
    for (ULONG i = 0; i < m_ulEndpointCount; i++) {
        KwUsbEndpoint& e = m_Endpoints[i];
        for (ULONG k = 0; k < m_ulInterfaceCount && !e.hPipe; k++) {
            PUSBD_INTERFACE_INFORMATION info = m_Interfaces[k];
            if (info->InterfaceNumber != e.ulInterfaceNumber || info->AlternateSetting != e.ulAlternateSetting) continue;
            for (ULONG p = 0; p < info->NumberOfPipes; p++)
                if (info->Pipes[p].EndpointAddress == e.ulEndPointAddress) e.hPipe = info->Pipes[p].PipeHandle;
        }
        if (!e.hPipe) {
            JnTrace(KW_USB_TRACE,
                    "CUsbDevice::m_Initialize - OUT - Fail-> endpoint 0x%02x of interface %d, setting %d not found.",
                    e.ulEndPointAddress, e.ulInterfaceNumber, e.ulAlternateSetting);
            return FALSE;
        }
    }
    JnTrace(KW_USB_TRACE, "CUsbDevice::m_Initialize - OUT (Success)");
    return TRUE;
}

BOOLEAN CUsbDevice::m_RegisterReadCallback(KwUsbReadCallback callback, PVOID context)
{
    return m_RegisterInterruptUrbCallback(callback, context) && m_CreateInterruptUrb();
}

BOOLEAN CUsbDevice::m_StartRead(ULONG ulHandle, ULONG ulSize)
{
    USBD_PIPE_HANDLE pipe = m_GetPipe(ulHandle);
    if (!pipe) {
        JnTrace(KW_USB_TRACE, "CUsbDevice::m_StartRead - no pipe for EndPointHandle %d", ulHandle);
        return FALSE;
    }
    return m_StartInterruptUrb(pipe, ulSize);
}

BOOLEAN CUsbDevice::m_VendorRequest(BOOLEAN bIn, UCHAR ucRequest, USHORT usValue, USHORT usIndex, PVOID pvBuffer,
                                    ULONG ulLength)
{
    for (ULONG attempt = 1;; attempt++) {
        URB urb;
        RtlZeroMemory(&urb, sizeof urb);
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              bIn ? USBD_TRANSFER_DIRECTION_IN : 0, 0, ucRequest, usValue, usIndex,
                              pvBuffer, nullptr, pvBuffer ? ulLength : 0, nullptr);
        if (m_SubmitUrb(&urb, FALSE, TRUE)) return TRUE;
        USBD_STATUS usbd = urb.UrbHeader.Status;
        if (usbd != USBD_STATUS_XACT_ERROR && usbd != USBD_STATUS_CANCELED) return FALSE;
        DbgPrint("USBD_STATUS_XACT_ERROR => Retrying...%d\n", attempt);
        if (attempt >= kVendorRequestAttempts) return FALSE;
        // Retrying needs the thread: only a request made at passive level gets here
        // (one made at DISPATCH_LEVEL was handed to the passive-level queue).
        m_SubmitUsbRequest(IOCTL_INTERNAL_USB_RESET_PORT);
        LARGE_INTEGER pause;
        pause.QuadPart = -10000000;  // 1 s
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

BOOLEAN CUsbDevice::m_VendorInterfaceRequestIN(UCHAR ucRequest, USHORT usValue, USHORT usIndex, PUCHAR pucBuffer,
                                               ULONG ulLength)
{
    return m_VendorRequest(TRUE, ucRequest, usValue, usIndex, pucBuffer, ulLength);
}

BOOLEAN CUsbDevice::m_VendorInterfaceRequestOUT(UCHAR ucRequest, USHORT usValue, USHORT usIndex,
                                                const UCHAR* pucBuffer, ULONG ulLength)
{
    return m_VendorRequest(FALSE, ucRequest, usValue, usIndex, const_cast<UCHAR*>(pucBuffer), ulLength);
}
