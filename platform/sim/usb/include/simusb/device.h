// The device model interface of the simulated USB host: what a simulated USB device
// (the FTDI-compatible chip, a test device) implements, and the one thing it may call
// back (EndpointReady).
//
// Contexts. The host calls a device only with the host's own lock held, from one place
// at a time: at Plug (descriptors, Attached) from the plugging thread, and for every
// transfer from the host's frame callback on the simulated kernel's hardware timeline
// (DISPATCH_LEVEL, outside every sim thread), or, with inline completion, from the
// thread that submitted the request. A device must therefore never wait, and must not
// call the host back except through DeviceLink::EndpointReady, which may be called from
// anywhere at any time (it only schedules work). A device that has other callers of its
// own (its line model, tests) guards its state with its own lock; the host never holds
// that lock, so there is no ordering to keep.
//
// Timing. Requests are served in 1 ms frames in virtual time (see host.h). The device
// sees a control request when its setup stage runs, and each bulk packet in the frame
// that carries it; kwsim::Now() tells the frame's start.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace kwsim::usb {

// The eight bytes of a control transfer's setup stage.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool In() const { return (bmRequestType & 0x80) != 0; }
    uint8_t Type() const { return (bmRequestType >> 5) & 3; }   // 0 standard, 1 class, 2 vendor
    uint8_t Recipient() const { return bmRequestType & 0x1F; }  // 0 device, 1 interface, 2 endpoint, 3 other
    std::array<uint8_t, 8> Bytes() const
    {
        return {bmRequestType, bRequest, uint8_t(wValue), uint8_t(wValue >> 8),
                uint8_t(wIndex), uint8_t(wIndex >> 8), uint8_t(wLength), uint8_t(wLength >> 8)};
    }
};

// A device's handshake to one bulk packet.
enum class Handshake {
    Ack,    // OUT: the packet was taken; IN: `packet` holds the data (0 bytes is a zero-length packet)
    Nak,    // not now: the host stops polling this endpoint until EndpointReady(endpoint)
    Stall   // the endpoint halts: the transfer fails, the pipe needs a reset
};

// A device's answer to a control request (vendor, class, or standard ones the host does
// not answer itself).
struct ControlReply {
    enum class Kind {
        Ack,      // status stage completes; for IN requests `data` is the data stage
        Stall,    // the request is refused (USBD_STATUS_STALL_PID)
        NoAnswer  // the device never completes the status stage: the transfer hangs until cancelled
    };
    Kind kind = Kind::Ack;
    std::vector<uint8_t> data;  // IN data; the host passes on at most wLength bytes

    static ControlReply Ok(std::vector<uint8_t> data = {}) { return {Kind::Ack, std::move(data)}; }
    static ControlReply Stalled() { return {Kind::Stall, {}}; }
    static ControlReply Hung() { return {Kind::NoAnswer, {}}; }
};

// The host side as a device sees it, handed over in Attached and valid until Detached.
class DeviceLink {
public:
    // The device has data for a NAKed IN endpoint, or room for a NAKed OUT endpoint:
    // the host polls the endpoint again from the next frame that starts after this call.
    // Safe from any thread or hardware callback, with any lock of the device held.
    virtual void EndpointReady(uint8_t endpointAddress) = 0;

protected:
    ~DeviceLink() = default;
};

class Device {
public:
    virtual ~Device() = default;

    // ---- descriptors, in wire format ----
    // The 18-byte device descriptor.
    virtual std::vector<uint8_t> DeviceDescriptor() = 0;
    // Configuration `index` (0-based) with all its interface, endpoint and class
    // descriptors (wTotalLength bytes); empty when there is no such configuration.
    virtual std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) = 0;
    // String descriptor `index` (0: the language table); empty: the request stalls.
    virtual std::vector<uint8_t> StringDescriptor(uint8_t index, uint16_t languageId) { return {}; }

    // ---- bus events ----
    // Plugged in: `link` stays valid until Detached.
    virtual void Attached(DeviceLink& link) {}
    // Unplugged: no further calls follow.
    virtual void Detached() {}
    // A port reset (IOCTL_INTERNAL_USB_RESET_PORT): the device returns to its default
    // state; the host then restores the configuration and alternate settings.
    virtual void BusReset() {}
    // Standard requests the host carries out itself and reports: SET_CONFIGURATION (0 =
    // unconfigured), SET_INTERFACE, CLEAR_FEATURE(ENDPOINT_HALT).
    virtual void SetConfiguration(uint8_t value) {}
    virtual void SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {}
    virtual void ClearHalt(uint8_t endpointAddress) {}

    // ---- transfers ----
    // Every other control request (vendor, class, standard ones not listed above), with
    // the OUT data stage if any.
    virtual ControlReply Control(const SetupPacket& setup, std::span<const uint8_t> data) = 0;
    // One bulk (or interrupt) OUT packet of at most wMaxPacketSize bytes; a zero-length
    // packet ends a transfer of length 0.
    virtual Handshake BulkOut(uint8_t endpointAddress, std::span<const uint8_t> packet) = 0;
    // One bulk (or interrupt) IN poll: on Ack, `packet` (empty on entry) holds at most
    // `maxLength` bytes (wMaxPacketSize, or less when the transfer has less room left). A
    // packet shorter than wMaxPacketSize ends the transfer.
    virtual Handshake BulkIn(uint8_t endpointAddress, size_t maxLength, std::vector<uint8_t>& packet) = 0;
};

}  // namespace kwsim::usb
