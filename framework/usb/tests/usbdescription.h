// The "USB" description a device installation writes into a USB function's hardware key
// (below its "Device Parameters"), for tests of the USB library and of the drivers on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simkernel/io.h"
#include "simkernel/registry.h"

namespace kwsim::test {

struct UsbEndpointDescription {
    uint32_t handle = 1;
    uint32_t interfaceNumber = 0;
    uint32_t alternateSetting = 0;
    uint32_t address = 0x81;
    uint32_t type = 2;  // bulk
    uint32_t callbackNeeded = 0;
    std::optional<uint32_t> maximumTransferSize;
};

struct UsbDescription {
    uint32_t deviceClass = 0;
    uint32_t deviceSubClass = 0;
    uint32_t deviceProtocol = 0;
    uint32_t selectedConfiguration = 0;
    std::vector<UsbEndpointDescription> endpoints;
    // Values an installation left out ("DeviceClass", "EndPoint2\\InterfaceNumber", ...).
    std::vector<std::u16string> omit;
};

// The description of one channel of the FTDI-compatible adapters: interface k with its
// bulk-in endpoint as handle 1 and its bulk-out endpoint as handle 2.
inline UsbDescription ChannelDescription(uint8_t interfaceNumber, uint8_t inAddress, uint8_t outAddress)
{
    UsbDescription d;
    d.endpoints.push_back({1, interfaceNumber, 0, inAddress, 2, 0, {}});
    d.endpoints.push_back({2, interfaceNumber, 0, outAddress, 2, 0, {}});
    return d;
}

inline bool Omitted(const UsbDescription& d, const std::u16string& name)
{
    for (auto& o : d.omit)
        if (o == name) return true;
    return false;
}

// Writes the description below the hardware key of `pdo` (replacing an earlier one).
inline void WriteUsbDescription(PDEVICE_OBJECT pdo, const UsbDescription& d)
{
    Registry& r = GetRegistry();
    std::u16string path = DeviceParametersKeyPath(pdo) + u"\\USB";
    RegKey old;
    if (NT_SUCCESS(r.Open(nullptr, path, &old))) r.DeleteTree(old);
    RegKey usb;
    r.CreatePath(path, &usb);
    auto put = [&](const RegKey& key, const std::u16string& prefix, const char16_t* name, uint32_t value) {
        if (!Omitted(d, prefix + name)) r.SetValue(key, name, REG_DWORD, &value, sizeof value);
    };
    put(usb, u"", u"DeviceClass", d.deviceClass);
    put(usb, u"", u"DeviceSubClass", d.deviceSubClass);
    put(usb, u"", u"DeviceProtocol", d.deviceProtocol);
    put(usb, u"", u"SelectedConfiguration", d.selectedConfiguration);
    for (size_t i = 0; i < d.endpoints.size(); i++) {
        const UsbEndpointDescription& e = d.endpoints[i];
        std::string n = std::to_string(i + 1);
        std::u16string name = u"EndPoint" + std::u16string(n.begin(), n.end());
        RegKey key;
        r.CreatePath(path + u"\\" + name, &key);
        std::u16string prefix = name + u"\\";
        put(key, prefix, u"EndPointHandle", e.handle);
        put(key, prefix, u"InterfaceNumber", e.interfaceNumber);
        put(key, prefix, u"AlternateSetting", e.alternateSetting);
        put(key, prefix, u"EndPointAddress", e.address);
        put(key, prefix, u"EndPointType", e.type);
        put(key, prefix, u"CallbackNeeded", e.callbackNeeded);
        if (e.maximumTransferSize) put(key, prefix, u"MaximumTransferSize", *e.maximumTransferSize);
    }
}

}  // namespace kwsim::test
