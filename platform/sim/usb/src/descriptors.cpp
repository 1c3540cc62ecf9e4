// Building descriptors from specs, and the device that answers from them.
#include "simusb/descriptors.h"

#include <set>

namespace kwsim::usb {

namespace {
void Put16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
}  // namespace

std::vector<uint8_t> BuildDeviceDescriptor(const DeviceSpec& s)
{
    std::vector<uint8_t> d{18, 0x01};
    Put16(d, s.bcdUSB);
    d.insert(d.end(), {s.deviceClass, s.deviceSubClass, s.deviceProtocol, s.maxPacketSize0});
    Put16(d, s.vendorId);
    Put16(d, s.productId);
    Put16(d, s.bcdDevice);
    d.insert(d.end(), {s.iManufacturer, s.iProduct, s.iSerialNumber, s.numConfigurations});
    return d;
}

std::vector<uint8_t> BuildConfigurationDescriptor(const ConfigurationSpec& s)
{
    std::set<uint8_t> numbers;
    for (auto& i : s.interfaces) numbers.insert(i.number);
    std::vector<uint8_t> d{9, 0x02, 0, 0, uint8_t(numbers.size()), s.value, s.iConfiguration, s.attributes, s.maxPower};
    for (auto& i : s.interfaces) {
        d.insert(d.end(), {9, 0x04, i.number, i.alternateSetting, uint8_t(i.endpoints.size()), i.interfaceClass,
                           i.interfaceSubClass, i.interfaceProtocol, i.iInterface});
        d.insert(d.end(), i.classDescriptors.begin(), i.classDescriptors.end());
        for (auto& e : i.endpoints) {
            d.insert(d.end(), {7, 0x05, e.address, e.attributes});
            Put16(d, e.maxPacketSize);
            d.push_back(e.interval);
        }
    }
    d[2] = uint8_t(d.size());
    d[3] = uint8_t(d.size() >> 8);
    return d;
}

std::vector<uint8_t> BuildStringDescriptor(std::u16string_view text)
{
    std::vector<uint8_t> d{uint8_t(2 + 2 * text.size()), 0x03};
    for (char16_t c : text) Put16(d, uint16_t(c));
    return d;
}

std::vector<uint8_t> BuildLanguageTable(const std::vector<uint16_t>& languages)
{
    std::vector<uint8_t> d{uint8_t(2 + 2 * languages.size()), 0x03};
    for (uint16_t l : languages) Put16(d, l);
    return d;
}

std::u16string StringDescriptorText(const std::vector<uint8_t>& d)
{
    if (d.size() < 2 || d[1] != 0x03 || d[0] > d.size()) return u"";
    std::u16string text;
    for (size_t i = 2; i + 1 < d[0]; i += 2) text.push_back(char16_t(d[i] | d[i + 1] << 8));
    return text;
}

DescribedDevice::DescribedDevice(DeviceSpec device, std::vector<ConfigurationSpec> configurations,
                                 std::map<uint8_t, std::u16string> strings)
    : device_(device), configurations_(std::move(configurations)), strings_(std::move(strings))
{
    device_.numConfigurations = uint8_t(configurations_.size());
}

std::vector<uint8_t> DescribedDevice::DeviceDescriptor() { return BuildDeviceDescriptor(device_); }

std::vector<uint8_t> DescribedDevice::ConfigurationDescriptor(uint8_t index)
{
    if (index >= configurations_.size()) return {};
    return BuildConfigurationDescriptor(configurations_[index]);
}

std::vector<uint8_t> DescribedDevice::StringDescriptor(uint8_t index, uint16_t)
{
    if (index == 0) return strings_.empty() ? std::vector<uint8_t>{} : BuildLanguageTable();
    auto it = strings_.find(index);
    return it == strings_.end() ? std::vector<uint8_t>{} : BuildStringDescriptor(it->second);
}

}  // namespace kwsim::usb
