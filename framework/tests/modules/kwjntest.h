// The requests the framework's test driver KwJnTest answers (shared by the driver and
// its tests).
#pragma once

#include "kwplat/kernel.h"

#define KWJNTEST_IOCTL(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output: KwJnTestWho of the device that handled the request.
#define IOCTL_KWJNTEST_WHO KWJNTEST_IOCTL(0)
// Input: KwJnTestBlock. Signals `entered`, then waits for `release` inside the device.
#define IOCTL_KWJNTEST_BLOCK KWJNTEST_IOCTL(1)
// Input: the device object that takes this device's redirectable requests (or null).
#define IOCTL_KWJNTEST_REDIRECT KWJNTEST_IOCTL(2)
// Output: ULONG, the allocations the driver's pool records now.
#define IOCTL_KWJNTEST_POOL KWJNTEST_IOCTL(3)

// Information of every other request the test device completes: 0x1000 + the major
// function + (device index << 8).
#define KWJNTEST_ANSWER(major, index) (0x1000u + (major) + ((index) << 8))
// IRP_MN_START_DEVICE is forwarded synchronously and then completed with this
// information added to what the lower driver returned.
#define KWJNTEST_START_MARK 0x5000u

struct KwJnTestWho {
    PDEVICE_OBJECT handler;
    ULONG index;
    LONG handlerRoutingCount;  // the handler's routing lock during the call
    LONG originRoutingCount;   // the routing lock of the device the request was sent to
};

struct KwJnTestBlock {
    PKEVENT entered;
    PKEVENT release;
};

// The test device's WMI block: 64 bytes, one instance, two items, one method.
// {6A2E3F10-5B7C-4D21-9E8F-0A1B2C3D4E5F}
#define KWJNTEST_WMI_GUID {0x6A2E3F10, 0x5B7C, 0x4D21, {0x9E, 0x8F, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}}
#define KWJNTEST_WMI_SIZE 64
