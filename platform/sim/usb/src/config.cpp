// Configuration descriptors as the host reads them, and the per-interface view that the
// children of a composite device see.
#include <set>

#include "host_internal.h"

namespace kwsim::usb::detail {

const AltSetting* ConfigInfo::Find(uint8_t number, uint8_t alternate) const
{
    for (auto& s : settings)
        if (s.number == number && s.alternate == alternate) return &s;
    return nullptr;
}

bool ParseConfiguration(const std::vector<uint8_t>& bytes, ConfigInfo& out)
{
    out = ConfigInfo{};
    if (bytes.size() < 9 || bytes[0] < 9 || bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return false;
    size_t total = bytes[2] | bytes[3] << 8;
    if (total < 9 || total > bytes.size()) return false;
    out.bytes.assign(bytes.begin(), bytes.begin() + total);
    out.value = bytes[5];
    std::set<uint8_t> numbers;
    AltSetting* current = nullptr;
    for (size_t p = bytes[0]; p + 2 <= total;) {
        uint8_t length = bytes[p], type = bytes[p + 1];
        if (length < 2 || p + length > total) return false;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9) {
            AltSetting s;
            s.number = bytes[p + 2];
            s.alternate = bytes[p + 3];
            s.cls = bytes[p + 5];
            s.subClass = bytes[p + 6];
            s.protocol = bytes[p + 7];
            s.iInterface = bytes[p + 8];
            out.settings.push_back(s);
            current = &out.settings.back();
            numbers.insert(s.number);
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7 && current) {
            EndpointInfo e;
            e.address = bytes[p + 2];
            e.attributes = bytes[p + 3];
            e.maxPacketSize = uint16_t(bytes[p + 4] | bytes[p + 5] << 8) & 0x7FF;
            e.interval = bytes[p + 6];
            if ((e.address & 0x0F) == 0 || e.maxPacketSize == 0) return false;
            current->endpoints.push_back(e);
        }
        p += length;
    }
    out.interfaceNumbers.assign(numbers.begin(), numbers.end());
    return true;
}

std::vector<uint8_t> InterfaceView(const std::vector<uint8_t>& bytes, uint8_t interfaceNumber)
{
    std::vector<uint8_t> view(bytes.begin(), bytes.begin() + bytes[0]);
    bool inside = false;
    for (size_t p = bytes[0]; p + 2 <= bytes.size() && bytes[p] >= 2;) {
        uint8_t length = bytes[p];
        if (bytes[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9) inside = bytes[p + 2] == interfaceNumber;
        // Descriptors before the first interface (association descriptors) are dropped.
        if (inside) view.insert(view.end(), bytes.begin() + p, bytes.begin() + p + length);
        p += length;
    }
    view[2] = uint8_t(view.size());
    view[3] = uint8_t(view.size() >> 8);
    view[4] = 1;
    return view;
}

}  // namespace kwsim::usb::detail
