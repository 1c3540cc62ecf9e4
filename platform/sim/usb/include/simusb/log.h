// The simulated USB host's record of each request it received.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kwplat/usb.h"

namespace kwsim::usb {

struct UrbRecord {
    uint64_t id = 0;              // 1, 2, ... in order of submission
    int64_t submitted = 0;        // virtual time
    int64_t completed = -1;       // virtual time; -1 while pending
    int port = 0;
    int interfaceNumber = -1;     // the interface PDO the request came through; -1: the device PDO
    ULONG ioctl = 0;              // IOCTL_INTERNAL_USB_SUBMIT_URB or IOCTL_INTERNAL_USB_RESET_PORT
    USHORT function = 0;          // URB_FUNCTION_* (submitted URBs)
    uint8_t endpoint = 0;         // bEndpointAddress; control transfers: 0x00 OUT, 0x80 IN
    bool hasSetup = false;        // control transfers: the setup packet sent
    std::array<uint8_t, 8> setup{};
    ULONG requested = 0;          // TransferBufferLength asked for
    ULONG transferred = 0;        // bytes moved (TransferBufferLength on completion)
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    std::vector<uint8_t> data;    // OUT: the bytes sent; IN: the bytes received

    bool Pending() const { return completed < 0; }
    bool In() const { return (endpoint & 0x80) != 0; }
    // One line: times, where, function, endpoint, setup, lengths, status and the first
    // data bytes.
    std::string Text() const;
};

const char* UrbFunctionName(USHORT function);  // "VENDOR_INTERFACE", ...
std::string UsbdStatusName(USBD_STATUS status);  // "XACT_ERROR", ... or "0x%08X"

}  // namespace kwsim::usb
