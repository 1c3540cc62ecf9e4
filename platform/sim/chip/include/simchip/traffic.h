// The USB traffic between a host and the chip, told in the chip's terms: what each
// request asks of the chip and what each bulk-in packet reports. The decoding is the
// chip's own (chipprotocol.h), so what is printed is what the chip made of the request,
// not what its sender meant.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "simusb/log.h"

namespace kwsim::chip {

// One request, without its times: where it went ("device", "MI_00", "ep 81 IN"), its
// name and meaning, and how it ended when not in success ("STALL_PID", "pending",
// ...). `composite`: the chip has more than one channel, so the baud-rate request's
// wIndex carries the channel in its low byte.
//
//   MI_00  SET_BAUD_RATE channel A: divisor 0x001A/0x0000 = 26 -> 115,384.6 baud
//   ep 02 OUT  5 bytes "Hello"
//   ep 81 IN  1 packet: modem 0xB1 (CTS DSR DCD) line 0x60 (THRE TEMT), 5 bytes "Hello"
std::string DescribeUrb(const usb::UrbRecord& record, bool composite);

// Every record of `log`, one line each led by its virtual time in milliseconds (its
// completion; a pending one its submission), in that time's order. A bulk-in transfer of
// status bytes only that repeats the status its endpoint reported before carries nothing
// new: a run of them becomes one line at the run's first,
// "ep 81 IN  37 status-only packets through 250.0000 ms (modem 0x31 line 0x60)".
std::vector<std::string> DescribeTraffic(const std::vector<usb::UrbRecord>& log, bool composite);

// Bytes as quoted text: printable characters as they are, \r \n \" \\ and \xNN for the
// rest; past 80 bytes only the count of the rest.
std::string QuoteBytes(std::span<const uint8_t> bytes);
// A rate with thousands grouped and one decimal: "115,384.6".
std::string RateText(double rate);

}  // namespace kwsim::chip
