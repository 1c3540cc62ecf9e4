// CKwUsbBusDevice: the bus device (one USB interface of the adapter) as its channel
// engines see it: the physical device object their USB requests go to, whose hardware
// ID names the chip channel and whose hardware key holds the "USB" description, and the
// device's power requests. The bus driver's functional device provides it.
#pragma once

#include "kwplat/kernel.h"

#define KW_DEVICE_POWER_D0 1
#define KW_DEVICE_POWER_D3 4

class CKwUsbBusDevice {
public:
    virtual PDEVICE_OBJECT m_GetPhysicalDeviceObject() = 0;
    // Sends a set-power request for the device (D0 = 1, D3 = 4) and waits for it.
    virtual BOOLEAN m_GotoPowerState(ULONG ulDevicePowerState) = 0;

protected:
    ~CKwUsbBusDevice() {}
};
