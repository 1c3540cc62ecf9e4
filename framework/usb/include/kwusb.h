// The framework's USB library as drivers use it: CUsbDevice brings a USB function up
// from its descriptors and the "USB" description the device installation wrote into its
// hardware key, selects its configuration, keeps the pipe table by EndPointHandle and
// makes vendor control requests; CUsb moves bulk data. Both ride on CUsbTransport.
//
// The "USB" key (below the device's "Device Parameters"): DeviceClass, DeviceSubClass,
// DeviceProtocol and SelectedConfiguration, and the subkeys "EndPoint1", "EndPoint2", ...
// (read until one is missing), each with EndPointHandle, InterfaceNumber,
// AlternateSetting, EndPointAddress, EndPointType, CallbackNeeded and, optionally,
// MaximumTransferSize (default 4096). All values are REG_DWORD.
#pragma once

#include "kwusbtransport.h"

struct KwUsbEndpoint {
    ULONG ulEndPointHandle;
    ULONG ulInterfaceNumber;
    ULONG ulAlternateSetting;
    ULONG ulEndPointAddress;
    ULONG ulEndPointType;
    ULONG ulCallbackNeeded;
    ULONG ulMaximumTransferSize;
    // Per-endpoint callback, cleared when CallbackNeeded is 0 (nothing here sets one).
    PVOID pCallback;
    PVOID pCallbackContext;
    USBD_PIPE_HANDLE hPipe;  // the pipe the handle is attached to, null until selected
};

// Bulk transfers on the pipes of the device's endpoint table.
class CUsb : public CUsbTransport {
public:
    static const ULONG kMaxEndpoints = 32;
    static const ULONG kDefaultMaximumTransferSize = 4096;
    // Waiting for a cancelled spare request at disconnect.
    static const LONGLONG kSpareCancelWait = 5000000;  // 0.5 s

    CUsb();
    ~CUsb() override;

    // The pipe whose attached EndPointHandle is ulHandle; null when there is none.
    USBD_PIPE_HANDLE m_GetPipe(ULONG ulHandle) const;
    // One bulk-out transfer of the whole buffer on the pipe of ulHandle (flags 0, no
    // time-out). TRUE only when it was sent and every byte written; *pulWritten is what
    // the stack reports. Callers serialise their transfers.
    BOOLEAN m_SendData(ULONG ulHandle, const UCHAR* pucData, ULONG ulLength, PULONG pulWritten);
    // The USB status of the last bulk-out transfer.
    USBD_STATUS m_GetLastSendStatus() const { return m_lLastSendStatus; }

    // The spare bulk request: an IRP and URB kept for bulk-out while the device is
    // connected. The release cancels a transfer still in it (waiting kSpareCancelWait).
    BOOLEAN m_AllocateSpareBulkRequest();
    void m_FreeSpareBulkRequest();
    BOOLEAN m_HasSpareBulkRequest() const { return m_pSpareIrp != nullptr && !m_bSpareReleased; }

protected:
    KwUsbEndpoint m_Endpoints[kMaxEndpoints];
    ULONG m_ulEndpointCount;

private:
    volatile USBD_STATUS m_lLastSendStatus;
    PIRP m_pSpareIrp;
    PURB m_pSpareUrb;
    BOOLEAN m_bSpareBusy;      // a transfer is in the spare request
    BOOLEAN m_bSpareReleased;  // released while busy: the sender frees it
    KEVENT m_SpareIdle;
    CJnSpinLock m_SpareLock;
};

class CUsbDevice : public CUsb {
public:
    CUsbDevice();
    ~CUsbDevice() override;

    // Brings the function up: requests go to `targetDevice` (the PDO), the "USB"
    // description is read from the hardware key of `registryDevice`. FALSE (traced) when
    // a descriptor cannot be read, a required value is missing, the class codes differ,
    // an interface or endpoint of the description is not in the selected configuration
    // or the configuration cannot be selected.
    BOOLEAN m_Initialize(PDEVICE_OBJECT targetDevice, PDEVICE_OBJECT registryDevice);

    // Vendor requests to an interface, each attempt waiting at most one second. A
    // transaction error or a cancelled attempt is tried again after a port reset and a
    // pause of one second, up to kVendorRequestAttempts attempts in all.
    BOOLEAN m_VendorInterfaceRequestIN(UCHAR ucRequest, USHORT usValue, USHORT usIndex, PUCHAR pucBuffer,
                                       ULONG ulLength);
    BOOLEAN m_VendorInterfaceRequestOUT(UCHAR ucRequest, USHORT usValue, USHORT usIndex, const UCHAR* pucBuffer,
                                        ULONG ulLength);

    // The continuous read on the pipe of an EndPointHandle.
    BOOLEAN m_RegisterReadCallback(KwUsbReadCallback callback, PVOID context);
    BOOLEAN m_StartRead(ULONG ulHandle, ULONG ulSize);
    BOOLEAN m_StopRead() { return m_StopInterruptUrb(); }
    BOOLEAN m_EnableRead() { return m_EnableInterruptUrb(); }
    BOOLEAN m_DisableRead() { return m_DisableInterruptUrb(); }
    void m_SetReadSize(ULONG ulSize) { m_SetInterruptUrbSize(ulSize); }

    const USB_DEVICE_DESCRIPTOR& m_GetDeviceDescriptor() const { return m_DeviceDescriptor; }
    ULONG m_GetEndpointCount() const { return m_ulEndpointCount; }
    const KwUsbEndpoint* m_GetEndpoint(ULONG i) const { return i < m_ulEndpointCount ? &m_Endpoints[i] : nullptr; }
    USBD_CONFIGURATION_HANDLE m_GetConfigurationHandle() const { return m_hConfiguration; }

    // Attempts a vendor request makes before it gives up.
    static const ULONG kVendorRequestAttempts = 10;

private:
    BOOLEAN m_VendorRequest(BOOLEAN bIn, UCHAR ucRequest, USHORT usValue, USHORT usIndex, PVOID pvBuffer,
                            ULONG ulLength);
    BOOLEAN m_ReadDescriptor(UCHAR ucType, UCHAR ucIndex, PVOID pvBuffer, ULONG ulLength);
    BOOLEAN m_ReadRegistryDescription(PDEVICE_OBJECT registryDevice);
    BOOLEAN m_ReadEndpoint(HANDLE usbKey, ULONG ulNumber, BOOLEAN* pbPresent);
    BOOLEAN m_SelectConfiguration();
    void m_TraceDescription();

    USB_DEVICE_DESCRIPTOR m_DeviceDescriptor;
    ULONG m_ulDeviceClass;
    ULONG m_ulDeviceSubClass;
    ULONG m_ulDeviceProtocol;
    ULONG m_ulSelectedConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR m_pConfiguration;
    USBD_CONFIGURATION_HANDLE m_hConfiguration;
    // The selected interfaces (each a USBD_INTERFACE_INFORMATION with its pipes).
    PUSBD_INTERFACE_INFORMATION m_Interfaces[kMaxEndpoints];
    ULONG m_ulInterfaceCount;
};
