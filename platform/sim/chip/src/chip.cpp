// The chip as a USB device: descriptors, the vendor requests, bulk endpoints by channel.
#include "simchip/chip.h"

namespace kwsim::chip {

using Guard = std::lock_guard<std::recursive_mutex>;
using usb::ControlReply;
using usb::Handshake;

namespace {

constexpr size_t kEepromWords = 64;

uint16_t ProductFor(int channels)
{
    return channels == 1 ? kProductSingle : channels == 2 ? kProductDual : kProductQuad;
}

std::u16string ProductName(int channels)
{
    return channels == 1 ? u"Kwellin USB Serial Adapter"
                         : channels == 2 ? u"Kwellin Dual USB Serial Adapter" : u"Kwellin Quad USB Serial Adapter";
}

}  // namespace

std::shared_ptr<Chip> Chip::Create(const ChipOptions& options)
{
    ChipOptions o = options;
    if (o.channels != 2 && o.channels != 4) o.channels = 1;
    if (!o.productId) o.productId = ProductFor(o.channels);
    if (o.product.empty()) o.product = ProductName(o.channels);

    usb::DeviceSpec d;
    d.vendorId = kVendorId;
    d.productId = o.productId;
    d.bcdDevice = o.bcdDevice;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = o.serialNumber.empty() ? 0 : 3;
    std::map<uint8_t, std::u16string> strings{{1, o.manufacturer}, {2, o.product}};
    if (!o.serialNumber.empty()) strings[3] = o.serialNumber;
    usb::ConfigurationSpec c;
    c.attributes = 0x80;
    c.maxPower = 45;
    for (int k = 0; k < o.channels; k++) {
        uint8_t text = 0;
        if (o.channels > 1) {
            text = uint8_t(4 + k);
            strings[text] = o.product + u" " + char16_t(u'A' + k);
        }
        c.interfaces.push_back({uint8_t(k), 0, 0xFF, 0xFF, 0xFF, text, {},
                                {{uint8_t(0x81 + 2 * k), 2, 64, 0}, {uint8_t(0x02 + 2 * k), 2, 64, 0}}});
    }
    std::shared_ptr<Chip> chip(new Chip(d, {c}, std::move(strings), o));
    return chip;
}

Chip::Chip(usb::DeviceSpec device, std::vector<usb::ConfigurationSpec> configurations,
           std::map<uint8_t, std::u16string> strings, const ChipOptions& options)
    : DescribedDevice(device, std::move(configurations), std::move(strings)), eeprom_(options.eeprom)
{
    if (eeprom_.empty()) {
        eeprom_.assign(kEepromWords, 0xFFFF);
        eeprom_[0] = 0x0000;
        eeprom_[1] = device.vendorId;
        eeprom_[2] = device.productId;
        eeprom_[3] = device.bcdDevice;
        eeprom_[4] = 0x2D80;  // bus powered, 90 mA
    }
    Guard lk(wire::LineMutex());
    for (int k = 0; k < options.channels; k++) channels_.push_back(std::make_unique<ChipChannel>(*this, k, options));
}

Chip::~Chip()
{
    Guard lk(wire::LineMutex());
    channels_.clear();
}

std::vector<uint16_t> Chip::Eeprom() const
{
    Guard lk(wire::LineMutex());
    return eeprom_;
}

ChipChannel* Chip::ChannelFor(uint8_t index)
{
    if (index == 0) index = 1;
    return index <= channels_.size() ? channels_[index - 1].get() : nullptr;
}

ChipChannel* Chip::ChannelForEndpoint(uint8_t endpointAddress)
{
    for (auto& ch : channels_)
        if (ch->InEndpoint() == endpointAddress || ch->OutEndpoint() == endpointAddress) return ch.get();
    return nullptr;
}

void Chip::Detached()
{
    DescribedDevice::Detached();
    Guard lk(wire::LineMutex());
    for (auto& ch : channels_) ch->PowerOn();  // unpowered: the lines drop, the FIFOs are gone
}

void Chip::BusReset()
{
    Guard lk(wire::LineMutex());
    for (auto& ch : channels_) ch->PowerOn();
}

ControlReply Chip::Control(const usb::SetupPacket& s, std::span<const uint8_t>)
{
    Guard lk(wire::LineMutex());
    if (s.Type() != 2 || s.Recipient() > 1) return ControlReply::Stalled();
    switch (s.bRequest) {
    case kReadEeprom:
        if (s.wIndex >= eeprom_.size()) return ControlReply::Stalled();
        return ControlReply::Ok({uint8_t(eeprom_[s.wIndex]), uint8_t(eeprom_[s.wIndex] >> 8)});
    case kWriteEeprom:
        if (s.wIndex >= eeprom_.size()) return ControlReply::Stalled();
        eeprom_[s.wIndex] = s.wValue;
        return ControlReply::Ok();
    case kEraseEeprom:
        std::fill(eeprom_.begin(), eeprom_.end(), 0xFFFF);
        return ControlReply::Ok();
    case kSetBaudRate: {
        BaudRequest r = DecodeBaudRequest(s.wValue, s.wIndex, Composite());
        ChipChannel* ch = ChannelFor(r.channel);
        if (!ch) return ControlReply::Stalled();
        ch->SetBaud(r.setting);
        return ControlReply::Ok();
    }
    default: {
        ChipChannel* ch = ChannelFor(uint8_t(s.wIndex));
        if (!ch) return ControlReply::Stalled();
        return ch->Control(s);
    }
    }
}

Handshake Chip::BulkOut(uint8_t endpointAddress, std::span<const uint8_t> packet)
{
    Guard lk(wire::LineMutex());
    ChipChannel* ch = ChannelForEndpoint(endpointAddress);
    if (!ch || (endpointAddress & 0x80)) return Handshake::Stall;
    return ch->BulkOut(packet);
}

Handshake Chip::BulkIn(uint8_t endpointAddress, size_t maxLength, std::vector<uint8_t>& packet)
{
    Guard lk(wire::LineMutex());
    ChipChannel* ch = ChannelForEndpoint(endpointAddress);
    if (!ch || !(endpointAddress & 0x80)) return Handshake::Stall;
    return ch->BulkIn(maxLength, packet);
}

}  // namespace kwsim::chip
