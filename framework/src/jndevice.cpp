#include <new>

#include "jndevice.h"

JnDeviceExtension* JnDeviceExtension::sm_Initialize(PDEVICE_OBJECT deviceObject, CJnDevice* device)
{
    auto* extension = new (deviceObject->DeviceExtension) JnDeviceExtension();
    extension->pDevice = device;
    extension->RoutingLock.m_Initialize(TRUE);
    return extension;
}
