// CJnSpecificDriver: base of each driver's per-device object (the "context" the
// functional device passes to every callback of its specific driver).
#pragma once

#include "jnmemorypool.h"

class CJnDriver;
class CJnDevice;

class CJnSpecificDriver : public CJnObject {
public:
    CJnSpecificDriver() : m_ulDeviceCounter(0) {}
    virtual ~CJnSpecificDriver() {}
    // Read and advanced by naming policy 1 of the functional device.
    ULONG m_ulDeviceCounter;
};

// Callback slots 0 and 1 of the functional device's table, filled by SpecificDriverCreation.
typedef bool (*JnAddDeviceFunction)(CJnSpecificDriver* context, CJnDriver* driver, CJnDevice* device);
typedef bool (*JnDeviceCreationFunction)(CJnSpecificDriver* context, HANDLE hardwareKey, PCUNICODE_STRING deviceName,
                                         PCUNICODE_STRING symbolicLinkName);
