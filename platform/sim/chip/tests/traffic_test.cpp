// The host's request log told in the chip's terms: each vendor request's name and what
// the chip makes of it, bulk-out bytes, bulk-in packets with their status bytes, and
// quiet polls folded into one line.
#include "simchip/traffic.h"

#include "simchip/chip.h"
#include "simtest.h"

namespace kwsim::chip {
namespace {

using usb::UrbRecord;
using Traffic = test::SimTest;

UrbRecord Vendor(uint8_t request, uint16_t wValue, uint16_t wIndex, std::vector<uint8_t> reply = {},
                 bool in = false, int interfaceNumber = 0)
{
    UrbRecord r;
    r.ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB;
    r.function = interfaceNumber >= 0 ? URB_FUNCTION_VENDOR_INTERFACE : URB_FUNCTION_VENDOR_DEVICE;
    r.interfaceNumber = interfaceNumber;
    r.endpoint = in ? 0x80 : 0x00;
    r.hasSetup = true;
    const uint16_t length = uint16_t(reply.size());
    r.setup = {uint8_t(in ? 0xC1 : 0x41), request, uint8_t(wValue), uint8_t(wValue >> 8),
               uint8_t(wIndex), uint8_t(wIndex >> 8), uint8_t(length), uint8_t(length >> 8)};
    r.requested = r.transferred = length;
    r.data = std::move(reply);
    r.completed = 0;
    r.usbdStatus = USBD_STATUS_SUCCESS;
    r.status = STATUS_SUCCESS;
    return r;
}

UrbRecord Bulk(uint8_t endpoint, std::vector<uint8_t> data, ULONG requested = 0, int64_t at = 0)
{
    UrbRecord r;
    r.ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB;
    r.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r.endpoint = endpoint;
    r.transferred = ULONG(data.size());
    r.requested = requested ? requested : r.transferred;
    r.data = std::move(data);
    r.submitted = at;
    r.completed = at;
    r.usbdStatus = USBD_STATUS_SUCCESS;
    r.status = STATUS_SUCCESS;
    return r;
}

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> Packets(uint8_t modem, uint8_t line, const std::string& payload)
{
    std::vector<uint8_t> bytes(payload.begin(), payload.end());
    return BuildPackets(modem, line, bytes);
}

UrbRecord Failed(UrbRecord r, USBD_STATUS status)
{
    r.usbdStatus = status;
    r.status = STATUS_UNSUCCESSFUL;
    r.data.clear();
    r.transferred = 0;
    return r;
}

TEST_F(Traffic, EachRequestIsToldAsTheChipReadsIt)
{
    std::vector<uint8_t> two(2 * kPayloadPerPacket + 1, 'x');
    std::vector<uint8_t> mixed = BuildPackets(0x31, 0x60, std::vector<uint8_t>(kPayloadPerPacket, 'a'));
    AppendPacket(mixed, 0x31, 0x08, std::vector<uint8_t>{0x00});
    UrbRecord pendingRead = Bulk(0x83, {}, 64);
    pendingRead.completed = -1;
    pendingRead.usbdStatus = USBD_STATUS_PENDING;
    UrbRecord resetPort;
    resetPort.ioctl = IOCTL_INTERNAL_USB_RESET_PORT;
    resetPort.completed = 0;
    resetPort.usbdStatus = USBD_STATUS_SUCCESS;
    UrbRecord select;
    select.ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB;
    select.function = URB_FUNCTION_SELECT_CONFIGURATION;
    select.completed = 0;
    select.usbdStatus = USBD_STATUS_SUCCESS;

    struct Case {
        UrbRecord record;
        bool composite;
        std::string text;
    } cases[] = {
        {Vendor(kReset, 0, 1), true, "MI_00  RESET channel A: both directions purged, errors cleared"},
        {Vendor(kReset, 1, 2, {}, false, 1), true, "MI_01  RESET channel B: purge transmit"},
        {Vendor(kReset, 2, 4, {}, false, 3), true, "MI_03  RESET channel D: purge receive"},
        {Failed(Vendor(kReset, 3, 1), USBD_STATUS_STALL_PID), true,
         "MI_00  RESET channel A: 0x0003 is no reset the chip has  -> STALL_PID"},
        {Vendor(kModemCtrl, 0x0303, 1), true, "MI_00  MODEM_CTRL channel A: DTR on, RTS on"},
        {Vendor(kModemCtrl, 0x0200, 1), true, "MI_00  MODEM_CTRL channel A: RTS off"},
        {Vendor(kModemCtrl, 0x0101, 1), true, "MI_00  MODEM_CTRL channel A: DTR on"},
        {Vendor(kModemCtrl, 0x0003, 1), true, "MI_00  MODEM_CTRL channel A: changes no line"},
        {Vendor(kSetFlowCtrl, 0, 1), true, "MI_00  SET_FLOW_CTRL channel A: no handshake"},
        {Vendor(kSetFlowCtrl, 0x1311, 0x0502), true,
         "MI_00  SET_FLOW_CTRL channel B: RTS/CTS Xon/Xoff (Xon 0x11, Xoff 0x13)"},
        {Vendor(kSetFlowCtrl, 0, 0x0201), true, "MI_00  SET_FLOW_CTRL channel A: DTR/DSR"},
        // 115,200 asked for: 3 MHz / 26 is what the line really runs at.
        {Vendor(kSetBaudRate, 0x001A, 0x0001), true,
         "MI_00  SET_BAUD_RATE channel A: divisor 0x001A/0x0000 = 26 -> 115,384.6 baud"},
        {Vendor(kSetBaudRate, 0x4138, 0x0002, {}, false, 1), true,
         "MI_01  SET_BAUD_RATE channel B: divisor 0x4138/0x0000 = 312 1/2 -> 9,600.0 baud"},
        {Vendor(kSetBaudRate, 0xC001, 0x0104, {}, false, 3), true,
         "MI_03  SET_BAUD_RATE channel D: divisor 0xC001/0x0001 = 1 7/8 -> 1,600,000.0 baud"},
        // One channel: wIndex is the fraction word itself.
        {Vendor(kSetBaudRate, 0xC001, 0x0001, {}, false, -1), false,
         "device  SET_BAUD_RATE channel A: divisor 0xC001/0x0001 = 1 7/8 -> 1,600,000.0 baud"},
        {Vendor(kSetBaudRate, 0x0000, 0x0001), true,
         "MI_00  SET_BAUD_RATE channel A: divisor 0x0000/0x0000 = 0 (runs as 1) -> 3,000,000.0 baud"},
        {Vendor(kSetData, 0x0008, 1), true, "MI_00  SET_DATA channel A: 8N1, break off"},
        {Vendor(kSetData, 0x5407, 1), true, "MI_00  SET_DATA channel A: 7S2, break on"},
        {Vendor(kSetData, 0x0A05, 1), true, "MI_00  SET_DATA channel A: 5E1.5, break off"},
        {Failed(Vendor(kSetData, 0x0009, 1), USBD_STATUS_STALL_PID), true,
         "MI_00  SET_DATA channel A: 0x0009 names no setting of the chip  -> STALL_PID"},
        {Vendor(kGetModemStatus, 0, 1, {0xB1, 0x61}, true), true,
         "MI_00  GET_MODEM_STATUS channel A -> modem 0xB1 (CTS DSR DCD) line 0x61 (DR THRE TEMT)"},
        {Vendor(kSetEventChar, 0x017E, 1), true, "MI_00  SET_EVENT_CHAR channel A: 0x7E, enabled"},
        {Vendor(kSetEventChar, 0x007E, 1), true, "MI_00  SET_EVENT_CHAR channel A: off"},
        {Vendor(kSetErrorChar, 0x013F, 1), true, "MI_00  SET_ERROR_CHAR channel A: 0x3F, enabled"},
        {Vendor(kSetLatencyTimer, 16, 1), true, "MI_00  SET_LATENCY_TIMER channel A: 16 ms"},
        {Vendor(kGetLatencyTimer, 0, 2, {2}, true), true, "MI_00  GET_LATENCY_TIMER channel B -> 2 ms"},
        {Vendor(kSetBitmode, 0x02F0, 1), true, "MI_00  SET_BITMODE channel A: mode 0x02, pin mask 0xF0"},
        {Vendor(kReadPins, 0, 1, {0x5A}, true), true, "MI_00  READ_PINS channel A -> 0x5A"},
        {Vendor(kReadEeprom, 0, 1, {0x09, 0x12}, true, -1), true, "device  READ_EEPROM word 0x01 -> 0x1209"},
        {Vendor(kWriteEeprom, 0x7304, 2, {}, false, -1), true, "device  WRITE_EEPROM word 0x02 = 0x7304"},
        {Vendor(kEraseEeprom, 0, 0, {}, false, -1), true, "device  ERASE_EEPROM"},
        {Failed(Vendor(0x42, 0x1234, 1), USBD_STATUS_STALL_PID), true,
         "MI_00  vendor request 0x42 (wValue 0x1234, wIndex 0x0001): not the chip's  -> STALL_PID"},
        {Bulk(0x02, Text("Hello\r\n\"\x01")), true, "ep 02 OUT  9 bytes \"Hello\\r\\n\\\"\\x01\""},
        {Bulk(0x04, Text("Hel"), 5), true, "ep 04 OUT  3 bytes \"Hel\" of 5"},
        {Bulk(0x81, Packets(0x31, 0x60, "")), true,
         "ep 81 IN  1 packet: modem 0x31 (CTS DSR) line 0x60 (THRE TEMT), 0 bytes"},
        {Bulk(0x81, Packets(0xF1, 0x00, "Hello")), true,
         "ep 81 IN  1 packet: modem 0xF1 (CTS DSR RI DCD) line 0x00 (-), 5 bytes \"Hello\""},
        {Bulk(0x81, BuildPackets(0x01, 0x60, two)), true,
         "ep 81 IN  3 packets: modem 0x01 (-) line 0x60 (THRE TEMT), 125 bytes \"" + std::string(80, 'x') +
             "\" ... (45 more)"},
        {Bulk(0x81, mixed), true,
         "ep 81 IN  2 packets: modem 0x31 (CTS DSR) line 0x60 (THRE TEMT), 62 bytes \"" + std::string(62, 'a') +
             "\"; modem 0x31 (CTS DSR) line 0x08 (FE), 1 byte \"\\x00\""},
        {Bulk(0x81, {0x00, 0x9E, 'z'}), true, "ep 81 IN  1 packet: modem 0x00 (no status byte) line 0x9E (OE PE FE BI RXERR), 1 byte \"z\""},
        {Bulk(0x81, {0x31}), true, "ep 81 IN  1-byte packet without its status bytes"},
        {Failed(Bulk(0x81, {}, 64), USBD_STATUS_CANCELED), true, "ep 81 IN  no packet  -> CANCELED"},
        {pendingRead, true, "ep 83 IN  read of 64 bytes  (pending)"},
        {resetPort, true, "device  RESET_PORT"},
        {select, true, "device  SELECT_CONFIGURATION"},
    };
    for (const Case& c : cases) EXPECT_EQ(DescribeUrb(c.record, c.composite), c.text) << c.record.Text();
}

TEST_F(Traffic, QuietPollsFoldIntoOneLineInTheOrderOfTheBus)
{
    const std::vector<uint8_t> idle = Packets(0x31, 0x60, "");
    const std::vector<uint8_t> busy = Packets(0x31, 0x00, "");
    // A read submitted before the write that its data answers: told after it.
    UrbRecord echo = Bulk(0x81, Packets(0x31, 0x00, "Hi"), 64, 60 * kMs);
    echo.submitted = 40 * kMs;
    std::vector<UrbRecord> log = {
        Bulk(0x81, idle, 64, 16 * kMs),  // the first status is news
        Bulk(0x81, idle, 64, 32 * kMs),  // a lone repeat is told as it is
        Bulk(0x02, Text("Hi"), 0, 33 * kMs),
        Bulk(0x81, busy, 64, 34 * kMs),  // the status changed
        echo,
        Bulk(0x81, busy, 64, 76 * kMs),  // the echo's last packet had this status
        Bulk(0x81, busy, 64, 92 * kMs),
        Bulk(0x83, busy, 64, 93 * kMs),  // another endpoint ends the run
        Bulk(0x81, busy, 64, 108 * kMs),
        Bulk(0x81, idle, 64, 124 * kMs),
        Bulk(0x81, idle, 64, 140 * kMs),
        Bulk(0x81, idle, 64, 156 * kMs),
        Bulk(0x81, idle, 64, 172 * kMs),
    };
    std::vector<std::string> expected = {
        "    16.0000 ms  ep 81 IN  1 packet: modem 0x31 (CTS DSR) line 0x60 (THRE TEMT), 0 bytes",
        "    32.0000 ms  ep 81 IN  1 packet: modem 0x31 (CTS DSR) line 0x60 (THRE TEMT), 0 bytes",
        "    33.0000 ms  ep 02 OUT  2 bytes \"Hi\"",
        "    34.0000 ms  ep 81 IN  1 packet: modem 0x31 (CTS DSR) line 0x00 (-), 0 bytes",
        "    60.0000 ms  ep 81 IN  1 packet: modem 0x31 (CTS DSR) line 0x00 (-), 2 bytes \"Hi\"",
        "    76.0000 ms  ep 81 IN  2 status-only packets through 92.0000 ms (modem 0x31 line 0x00)",
        "    93.0000 ms  ep 83 IN  1 packet: modem 0x31 (CTS DSR) line 0x00 (-), 0 bytes",
        "   108.0000 ms  ep 81 IN  1 packet: modem 0x31 (CTS DSR) line 0x00 (-), 0 bytes",
        "   124.0000 ms  ep 81 IN  1 packet: modem 0x31 (CTS DSR) line 0x60 (THRE TEMT), 0 bytes",
        "   140.0000 ms  ep 81 IN  3 status-only packets through 172.0000 ms (modem 0x31 line 0x60)",
    };
    EXPECT_EQ(DescribeTraffic(log, true), expected);

    // Submitted in another order than completed: the bus's order wins.
    std::vector<UrbRecord> swapped = {echo, Bulk(0x02, Text("Hi"), 0, 33 * kMs)};
    std::vector<std::string> lines = DescribeTraffic(swapped, true);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "    33.0000 ms  ep 02 OUT  2 bytes \"Hi\"");
    EXPECT_EQ(lines[1].substr(0, 15), "    60.0000 ms ");
}

}  // namespace
}  // namespace kwsim::chip
