#include "simchip/traffic.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <span>
#include <utility>

#include "simchip/chip.h"
#include "simkernel/sim.h"

namespace kwsim::chip {

namespace {

// Bytes of a payload shown before the rest is only counted.
constexpr size_t kShownBytes = 80;

std::string Format(const char* format, auto... args)
{
    char buf[160];
    snprintf(buf, sizeof buf, format, args...);
    return buf;
}

// A column of times: "    12.3456 ms".
std::string Milliseconds(int64_t t)
{
    return Format("%6" PRId64 ".%04" PRId64 " ms", t / kMs, t % kMs);
}

std::string Trimmed(int64_t t)
{
    return Format("%" PRId64 ".%04" PRId64 " ms", t / kMs, t % kMs);
}

}  // namespace

std::string QuoteBytes(std::span<const uint8_t> bytes)
{
    std::string text = "\"";
    for (size_t i = 0; i < bytes.size() && i < kShownBytes; i++) {
        const uint8_t b = bytes[i];
        if (b == '"' || b == '\\') {
            text += '\\';
            text += char(b);
        } else if (b == '\r') {
            text += "\\r";
        } else if (b == '\n') {
            text += "\\n";
        } else if (b >= 0x20 && b < 0x7F) {
            text += char(b);
        } else {
            text += Format("\\x%02X", b);
        }
    }
    text += '"';
    if (bytes.size() > kShownBytes) text += Format(" ... (%zu more)", bytes.size() - kShownBytes);
    return text;
}

std::string RateText(double rate)
{
    const long long tenths = (long long)(rate * 10 + 0.5);
    std::string whole = std::to_string(tenths / 10);
    for (int at = int(whole.size()) - 3; at > 0; at -= 3) whole.insert(size_t(at), ",");
    return whole + "." + std::to_string(tenths % 10);
}

namespace {

std::string Bytes(size_t n, std::span<const uint8_t> data)
{
    std::string text = Format("%zu byte%s", n, n == 1 ? "" : "s");
    if (!data.empty()) text += " " + QuoteBytes(data);
    return text;
}

std::string Flags(std::initializer_list<std::pair<bool, const char*>> flags)
{
    std::string text;
    for (const auto& [on, name] : flags) {
        if (!on) continue;
        if (!text.empty()) text += ' ';
        text += name;
    }
    return text.empty() ? "-" : text;
}

std::string ModemText(uint8_t byte)
{
    std::optional<ModemStatus> m = DecodeModemStatus(byte);
    if (!m) return Format("modem 0x%02X (no status byte)", byte);
    return Format("modem 0x%02X (", byte) +
           Flags({{m->cts, "CTS"}, {m->dsr, "DSR"}, {m->ri, "RI"}, {m->dcd, "DCD"}}) + ")";
}

std::string LineText(uint8_t byte)
{
    LineStatus l = DecodeLineStatus(byte);
    return Format("line 0x%02X (", byte) +
           Flags({{l.dataReady, "DR"}, {l.overrun, "OE"}, {l.parity, "PE"}, {l.framing, "FE"},
                  {l.breakInterrupt, "BI"}, {l.holdingEmpty, "THRE"}, {l.transmitterEmpty, "TEMT"},
                  {l.fifoError, "RXERR"}}) + ")";
}

std::string StatusText(uint8_t modem, uint8_t line) { return ModemText(modem) + " " + LineText(line); }

// The chip's channel for a request's channel byte: 0 and 1 are channel A.
std::string ChannelName(uint8_t index) { return std::string("channel ") + char('A' + (index ? index - 1 : 0)); }

std::string Divisor(const BaudSetting& s)
{
    if (s.integer == 0) return "0 (runs as 1)";
    static const char* const kEighths[8] = {"", " 1/8", " 1/4", " 3/8", " 1/2", " 5/8", " 3/4", " 7/8"};
    return std::to_string(s.integer) + kEighths[s.eighths];
}

std::string FormatText(uint16_t wValue)
{
    std::optional<LineFormat> f = DecodeDataFormat(wValue);
    if (!f) return Format("0x%04X names no setting of the chip", wValue);
    static const char kParity[] = "NOEMS";
    static const char* const kStop[] = {"1", "1.5", "2"};
    return std::to_string(f->dataBits) + kParity[int(f->parity)] + kStop[int(f->stopBits)] +
           (f->breakOn ? ", break on" : ", break off");
}

std::string CharacterText(uint16_t wValue)
{
    return (wValue & 0x100) ? Format("0x%02X, enabled", wValue & 0xFF) : std::string("off");
}

std::string Vendor(const usb::UrbRecord& r, bool composite)
{
    const uint16_t wValue = uint16_t(r.setup[2] | r.setup[3] << 8);
    const uint16_t wIndex = uint16_t(r.setup[4] | r.setup[5] << 8);
    const std::string channel = ChannelName(uint8_t(wIndex));
    const std::span<const uint8_t> reply(r.data);
    const bool answered = !r.Pending() && r.usbdStatus == USBD_STATUS_SUCCESS;
    switch (r.setup[1]) {
    case kReset:
        if (wValue == 0) return "RESET " + channel + ": both directions purged, errors cleared";
        if (wValue == 1) return "RESET " + channel + ": purge transmit";
        if (wValue == 2) return "RESET " + channel + ": purge receive";
        return "RESET " + channel + Format(": 0x%04X is no reset the chip has", wValue);
    case kModemCtrl: {
        ModemControl c = DecodeModemControl(wValue);
        std::string text = "MODEM_CTRL " + channel + ":";
        if (c.setDtr) text += c.dtr ? " DTR on" : " DTR off";
        if (c.setRts) text += std::string(c.setDtr ? "," : "") + (c.rts ? " RTS on" : " RTS off");
        if (!c.setDtr && !c.setRts) text += " changes no line";
        return text;
    }
    case kSetFlowCtrl: {
        FlowControl f = DecodeFlowControl(wValue, wIndex);
        std::string text;
        if (f.rtsCts) text += " RTS/CTS";
        if (f.dtrDsr) text += " DTR/DSR";
        if (f.xonXoff) text += Format(" Xon/Xoff (Xon 0x%02X, Xoff 0x%02X)", f.xonChar, f.xoffChar);
        return "SET_FLOW_CTRL " + channel + ":" + (text.empty() ? std::string(" no handshake") : text);
    }
    case kSetBaudRate: {
        BaudRequest b = DecodeBaudRequest(wValue, wIndex, composite);
        const uint16_t fraction = composite ? uint16_t(wIndex >> 8) : wIndex;
        return "SET_BAUD_RATE " + ChannelName(b.channel) +
               Format(": divisor 0x%04X/0x%04X = ", wValue, fraction) + Divisor(b.setting) + " -> " +
               RateText(b.setting.Rate()) + " baud";
    }
    case kSetData:
        return "SET_DATA " + channel + ": " + FormatText(wValue);
    case kGetModemStatus:
        return "GET_MODEM_STATUS " + channel +
               (answered && reply.size() >= 2 ? " -> " + StatusText(reply[0], reply[1]) : std::string());
    case kSetEventChar:
        return "SET_EVENT_CHAR " + channel + ": " + CharacterText(wValue);
    case kSetErrorChar:
        return "SET_ERROR_CHAR " + channel + ": " + CharacterText(wValue);
    case kSetLatencyTimer:
        return "SET_LATENCY_TIMER " + channel + Format(": %u ms", unsigned(wValue & 0xFF));
    case kGetLatencyTimer:
        return "GET_LATENCY_TIMER " + channel +
               (answered && !reply.empty() ? Format(" -> %u ms", unsigned(reply[0])) : std::string());
    case kSetBitmode:
        return "SET_BITMODE " + channel + Format(": mode 0x%02X, pin mask 0x%02X", wValue >> 8, wValue & 0xFF);
    case kReadPins:
        return "READ_PINS " + channel + (answered && !reply.empty() ? Format(" -> 0x%02X", reply[0]) : std::string());
    case kReadEeprom:
        return Format("READ_EEPROM word 0x%02X", wIndex) +
               (answered && reply.size() >= 2 ? Format(" -> 0x%04X", reply[0] | reply[1] << 8) : std::string());
    case kWriteEeprom:
        return Format("WRITE_EEPROM word 0x%02X = 0x%04X", wIndex, wValue);
    case kEraseEeprom:
        return "ERASE_EEPROM";
    default:
        return Format("vendor request 0x%02X (wValue 0x%04X, wIndex 0x%04X): not the chip's", r.setup[1], wValue,
                      wIndex);
    }
}

std::string BulkIn(std::span<const uint8_t> data)
{
    if (data.empty()) return "no packet";
    struct Packet {
        uint8_t modem, line;
        std::span<const uint8_t> payload;
    };
    std::vector<Packet> packets;
    std::vector<uint8_t> payload;
    for (size_t at = 0; at < data.size(); at += kPacketSize) {
        std::span<const uint8_t> p = data.subspan(at, std::min(kPacketSize, data.size() - at));
        if (p.size() < kStatusBytes) return Format("%zu-byte packet without its status bytes", p.size());
        packets.push_back({p[0], p[1], p.subspan(kStatusBytes)});
        payload.insert(payload.end(), p.begin() + kStatusBytes, p.end());
    }
    const bool sameStatus = std::all_of(packets.begin(), packets.end(), [&](const Packet& p) {
        return p.modem == packets[0].modem && p.line == packets[0].line;
    });
    std::string text = Format("%zu packet%s: ", packets.size(), packets.size() == 1 ? "" : "s");
    if (sameStatus) {
        text += StatusText(packets[0].modem, packets[0].line);
        return text + ", " + Bytes(payload.size(), payload);
    }
    // The status changed within the transfer: each packet with its own, in order.
    for (size_t i = 0; i < packets.size(); i++) {
        if (i) text += "; ";
        text += StatusText(packets[i].modem, packets[i].line) + ", " +
                Bytes(packets[i].payload.size(), packets[i].payload);
    }
    return text;
}

bool IsBulk(const usb::UrbRecord& r)
{
    return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
}

std::string Where(const usb::UrbRecord& r)
{
    if (IsBulk(r)) return Format("ep %02X %s", r.endpoint, r.In() ? "IN" : "OUT");
    return r.interfaceNumber >= 0 ? Format("MI_%02X", r.interfaceNumber) : std::string("device");
}

// A bulk-in transfer that completed with one status-only packet.
bool StatusOnly(const usb::UrbRecord& r)
{
    return IsBulk(r) && r.In() && !r.Pending() && r.usbdStatus == USBD_STATUS_SUCCESS &&
           r.data.size() == kStatusBytes;
}

int64_t When(const usb::UrbRecord& r) { return r.Pending() ? r.submitted : r.completed; }

}  // namespace

std::string DescribeUrb(const usb::UrbRecord& r, bool composite)
{
    std::string text = Where(r) + "  ";
    if (r.ioctl == IOCTL_INTERNAL_USB_RESET_PORT) {
        text += "RESET_PORT";
    } else if (IsBulk(r) && r.In()) {
        text += r.Pending() ? Format("read of %u bytes", unsigned(r.requested)) : BulkIn(r.data);
    } else if (IsBulk(r)) {
        text += r.transferred == r.requested || r.Pending()
                    ? Bytes(r.requested, r.data.empty() ? std::span<const uint8_t>() : std::span(r.data))
                    : Bytes(r.transferred, r.data) + Format(" of %u", unsigned(r.requested));
    } else if (r.hasSetup && ((r.setup[0] >> 5) & 3) == 2) {
        text += Vendor(r, composite);
    } else {
        text += usb::UrbFunctionName(r.function);
        if (r.hasSetup) {
            text += "  setup";
            for (uint8_t b : r.setup) text += Format(" %02X", b);
        }
    }
    if (r.Pending())
        text += "  (pending)";
    else if (r.usbdStatus != USBD_STATUS_SUCCESS)
        text += "  -> " + usb::UsbdStatusName(r.usbdStatus);
    return text;
}

std::vector<std::string> DescribeTraffic(const std::vector<usb::UrbRecord>& log, bool composite)
{
    // In the order things happened on the bus: a read submitted before a write may
    // complete after it.
    std::vector<const usb::UrbRecord*> order;
    for (const usb::UrbRecord& r : log) order.push_back(&r);
    std::stable_sort(order.begin(), order.end(),
                     [](const usb::UrbRecord* a, const usb::UrbRecord* b) { return When(*a) < When(*b); });

    std::vector<std::string> lines;
    std::map<uint8_t, std::pair<uint8_t, uint8_t>> lastStatus;  // per IN endpoint: the last packet's
    for (size_t i = 0; i < order.size();) {
        const usb::UrbRecord& r = *order[i];
        auto known = lastStatus.find(r.endpoint);
        const bool quiet = StatusOnly(r) && known != lastStatus.end() &&
                           known->second == std::pair(r.data[0], r.data[1]);
        size_t run = 1;
        if (quiet)
            while (i + run < order.size() && StatusOnly(*order[i + run]) && order[i + run]->endpoint == r.endpoint &&
                   order[i + run]->data == r.data)
                run++;
        if (run > 1) {
            lines.push_back(Milliseconds(When(r)) + "  " + Where(r) +
                            Format("  %zu status-only packets through ", run) + Trimmed(When(*order[i + run - 1])) +
                            Format(" (modem 0x%02X line 0x%02X)", r.data[0], r.data[1]));
        } else {
            lines.push_back(Milliseconds(When(r)) + "  " + DescribeUrb(r, composite));
        }
        if (IsBulk(r) && r.In() && r.data.size() >= kStatusBytes) {
            const size_t last = (r.data.size() - 1) / kPacketSize * kPacketSize;
            lastStatus[r.endpoint] = {r.data[last], r.data[last + 1]};
        }
        i += run;
    }
    return lines;
}

}  // namespace kwsim::chip
