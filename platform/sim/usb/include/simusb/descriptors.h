// Descriptors for simulated USB devices: specs that build the wire format, and a base
// device that answers the descriptor requests from them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "simusb/device.h"

namespace kwsim::usb {

struct DeviceSpec {
    uint16_t bcdUSB = 0x0200;
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t maxPacketSize0 = 64;
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0x0600;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    uint8_t numConfigurations = 1;
};

struct EndpointSpec {
    uint8_t address = 0;                     // bit 7 set for IN
    uint8_t attributes = 2;                  // USB_ENDPOINT_TYPE_BULK
    uint16_t maxPacketSize = 64;
    uint8_t interval = 0;
};

struct InterfaceSpec {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0xFF;
    uint8_t interfaceProtocol = 0xFF;
    uint8_t iInterface = 0;
    std::vector<uint8_t> classDescriptors;   // raw bytes placed after the interface descriptor
    std::vector<EndpointSpec> endpoints;
};

struct ConfigurationSpec {
    uint8_t value = 1;
    uint8_t iConfiguration = 0;
    uint8_t attributes = 0x80;               // bus powered
    uint8_t maxPower = 45;                   // in 2 mA units
    std::vector<InterfaceSpec> interfaces;   // alternate settings follow their interface
};

std::vector<uint8_t> BuildDeviceDescriptor(const DeviceSpec& spec);
// bNumInterfaces counts distinct interface numbers; wTotalLength is the whole block.
std::vector<uint8_t> BuildConfigurationDescriptor(const ConfigurationSpec& spec);
std::vector<uint8_t> BuildStringDescriptor(std::u16string_view text);
std::vector<uint8_t> BuildLanguageTable(const std::vector<uint16_t>& languages = {0x0409});
// The text of a string descriptor ("" if it is not one).
std::u16string StringDescriptorText(const std::vector<uint8_t>& descriptor);

// A device whose descriptors come from specs; strings are looked up by index (any
// language), index 0 answers the language table. The chip model and test devices derive
// from it and implement the transfers.
class DescribedDevice : public Device {
public:
    DescribedDevice(DeviceSpec device, std::vector<ConfigurationSpec> configurations,
                    std::map<uint8_t, std::u16string> strings = {});

    std::vector<uint8_t> DeviceDescriptor() override;
    std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override;
    std::vector<uint8_t> StringDescriptor(uint8_t index, uint16_t languageId) override;
    void Attached(DeviceLink& link) override { link_ = &link; }
    void Detached() override { link_ = nullptr; }

    const DeviceSpec& Spec() const { return device_; }

protected:
    DeviceLink* Link() const { return link_; }  // null while not plugged in
    // Tells the host a NAKed endpoint can go on (nothing while not plugged in).
    void EndpointReady(uint8_t endpointAddress)
    {
        if (DeviceLink* link = link_) link->EndpointReady(endpointAddress);
    }

private:
    DeviceSpec device_;
    std::vector<ConfigurationSpec> configurations_;
    std::map<uint8_t, std::u16string> strings_;
    std::atomic<DeviceLink*> link_{nullptr};
};

}  // namespace kwsim::usb
