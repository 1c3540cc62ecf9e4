// The driver's side of the chip protocol, checked against the chip's side: what the driver
// encodes, the chip model must read back as meant.
#include <numeric>
#include <string>
#include <vector>

#include "ftdiprotocol.h"
#include "simchip/chipprotocol.h"
#include "simtest.h"

namespace kwsim::test {
namespace {

using FtdiProtocolTest = SimTest;

const ULONG kDefaultMaximumBaudRate = 1000000;

TEST_F(FtdiProtocolTest, DivisorSearchWorkedExamples)
{
    struct Case {
        ULONG rate;
        USHORT divisor, fraction;
        UCHAR code;
        ULONG bestDifference;
    } cases[] = {
        {9600, 0x4138, 0, 1, 0},        // code 0 would give 9,615
        {19200, 0x809C, 0, 2, 0},
        {38400, 0xC04E, 0, 3, 2},
        {115200, 0x001A, 0, 0, 184},    // only code 0 qualifies: 115,384
        {921600, 0x8003, 0, 2, 1476},
        {1600000, 0xC001, 1, 7, 4278},  // only code 7 qualifies: 1,604,278
        {3000000, 0x0001, 0, 0, 0},
    };
    for (const Case& c : cases) {
        FTDI_BAUD_DIVISOR d{};
        ASSERT_TRUE(FtdiFindBaudDivisor(c.rate, 3000000, &d)) << c.rate;
        EXPECT_EQ(d.usDivisor, c.divisor) << c.rate;
        EXPECT_EQ(d.usFraction, c.fraction) << c.rate;
        EXPECT_EQ(d.ucCode, c.code) << c.rate;
        EXPECT_EQ(d.ulBestDifference, c.bestDifference) << c.rate;
        EXPECT_TRUE(chip::DecodeBaudDivisor(d.usDivisor, d.usFraction).Within(c.rate, 1)) << c.rate;
    }
    EXPECT_DOUBLE_EQ(chip::DecodeBaudDivisor(0xC001, 1).Rate(), 1600000.0) << "the chip runs 1.6 MBd exactly";
}

TEST_F(FtdiProtocolTest, DivisorSearchLimits)
{
    struct Case {
        ULONG rate, maximum;
        bool ok;
    } cases[] = {
        {0, kDefaultMaximumBaudRate, false},
        {183, kDefaultMaximumBaudRate, false},  // the integer divisor 16,393 needs 15 bits
        {184, kDefaultMaximumBaudRate, true},   // 16,304 fits 14
        {1000000, kDefaultMaximumBaudRate, true},
        {1000001, kDefaultMaximumBaudRate, false},
        {1600000, kDefaultMaximumBaudRate, false},
        {3000000, 3000000, true},
        {3000001, 0xFFFFFFFF, false},
    };
    for (const Case& c : cases) {
        FTDI_BAUD_DIVISOR d{0x5555, 0x5555, 0x55, 0x5555};
        EXPECT_EQ(FtdiFindBaudDivisor(c.rate, c.maximum, &d), c.ok ? TRUE : FALSE) << c.rate << " max " << c.maximum;
        if (!c.ok) {
            EXPECT_EQ(d.usDivisor, 0x5555) << "a refused rate writes nothing";
        }
    }
}

TEST_F(FtdiProtocolTest, StandardRatesFrom184UpAreSettableAndSlowerOnesAreNot)
{
    // What the port driver probes, in its order.
    const ULONG probed[] = {75,    110,   150,   300,   600,    135,    1200,   1800,   2400,   4800,  7200,
                            9600,  14400, 19200, 38400, 56000,  128000, 115200, 57600,  230400, 460800, 921600};
    for (ULONG rate : probed) {
        FTDI_BAUD_DIVISOR d{};
        BOOLEAN ok = FtdiFindBaudDivisor(rate, kDefaultMaximumBaudRate, &d);
        EXPECT_EQ(ok, rate >= 184 ? TRUE : FALSE) << rate;
        if (ok) {
            EXPECT_TRUE(chip::DecodeBaudDivisor(d.usDivisor, d.usFraction).Within(rate, 1)) << rate;
        }
    }
}

// Every integer rate: an accepted rate runs within 1 % on the chip; for a refused one the
// chip confirms that none of the eight codes for its integer divisor would.
TEST_F(FtdiProtocolTest, DivisorSearchAgreesWithTheChipForEveryRate)
{
    uint64_t accepted = 0, refused = 0;
    std::vector<std::string> wrong;
    for (ULONG rate = 1; rate <= 3000001; rate++) {
        FTDI_BAUD_DIVISOR d;
        if (FtdiFindBaudDivisor(rate, 3000000, &d)) {
            accepted++;
            if (!chip::DecodeBaudDivisor(d.usDivisor, d.usFraction).Within(rate, 1))
                wrong.push_back("accepted " + std::to_string(rate));
            continue;
        }
        refused++;
        if (rate > 3000000) continue;  // refused before there is a divisor
        ULONG integer = 3000000 / rate;
        for (USHORT code = 0; code < 8; code++) {
            USHORT word = static_cast<USHORT>((integer & 0x3FFF) | (code & 3) << 14);
            if (chip::DecodeBaudDivisor(word, code >> 2).Within(rate, 1)) {
                wrong.push_back("refused " + std::to_string(rate) + " code " + std::to_string(code));
                break;
            }
        }
        if (wrong.size() > 20) break;
    }
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " rates, first " << wrong.front();
    EXPECT_EQ(accepted + refused, 3000001u);
    EXPECT_GT(accepted, 1'000'000u);
}

TEST_F(FtdiProtocolTest, BaudRequestIndexByDeviceKind)
{
    EXPECT_EQ(FtdiBaudRateIndex(1, 2, FALSE), 0x0001) << "fraction alone";
    EXPECT_EQ(FtdiBaudRateIndex(1, 2, TRUE), 0x0102);
    EXPECT_EQ(FtdiBaudRateIndex(0, 5, TRUE), 0x0005);
    for (BOOLEAN composite : {FALSE, TRUE}) {
        chip::BaudRequest r = chip::DecodeBaudRequest(0xC001, FtdiBaudRateIndex(1, 3, composite), composite);
        EXPECT_DOUBLE_EQ(r.setting.Rate(), 1600000.0) << int(composite);
        EXPECT_EQ(r.channel, composite ? 3 : 0);
    }
}

TEST_F(FtdiProtocolTest, DataFormatWordsForEveryCode)
{
    const chip::StopBits stops[] = {chip::StopBits::One, chip::StopBits::OneAndHalf, chip::StopBits::Two};
    for (ULONG bits = 0; bits <= 4; bits++)
        for (ULONG parity = 0; parity <= 4; parity++)
            for (ULONG stop = 0; stop <= 2; stop++)
                for (BOOLEAN brk : {FALSE, TRUE}) {
                    USHORT word = 0;
                    ASSERT_TRUE(FtdiDataFormatValue(bits, parity, stop, brk, &word));
                    int dataBits = bits <= 2 ? int(5 + bits) : 8;
                    EXPECT_EQ(word, dataBits | parity << 8 | stop << 11 | (brk ? 0x4000 : 0));
                    auto format = chip::DecodeDataFormat(word);
                    ASSERT_TRUE(format) << std::hex << word;
                    EXPECT_EQ(*format, (chip::LineFormat{dataBits, static_cast<chip::Parity>(parity), stops[stop], brk != 0}));
                }
    USHORT word = 0x7777;
    EXPECT_TRUE(FtdiDataFormatValue(0xFFFFFFFF, 0, 0, FALSE, &word)) << "any other data-bits code is 8";
    EXPECT_EQ(word, 0x0008);
    EXPECT_FALSE(FtdiDataFormatValue(3, 5, 0, FALSE, &word));
    EXPECT_FALSE(FtdiDataFormatValue(3, 0, 3, FALSE, &word));
    EXPECT_EQ(word, 0x0008) << "a refused code writes nothing";
}

TEST_F(FtdiProtocolTest, ModemControlWords)
{
    struct Case {
        USHORT word, built;
        chip::ModemLines fromBoth, fromNone;
    } cases[] = {
        {FTDI_MODEM_CTRL_DTR_ON, FtdiModemControlValue(TRUE, TRUE, FALSE, FALSE), {true, true}, {true, false}},
        {FTDI_MODEM_CTRL_DTR_OFF, FtdiModemControlValue(TRUE, FALSE, FALSE, FALSE), {false, true}, {false, false}},
        {FTDI_MODEM_CTRL_RTS_ON, FtdiModemControlValue(FALSE, FALSE, TRUE, TRUE), {true, true}, {false, true}},
        {FTDI_MODEM_CTRL_RTS_OFF, FtdiModemControlValue(FALSE, TRUE, TRUE, FALSE), {true, false}, {false, false}},
        {FTDI_MODEM_CTRL_BOTH_OFF, FtdiModemControlValue(TRUE, FALSE, TRUE, FALSE), {false, false}, {false, false}},
        {FTDI_MODEM_CTRL_DTR_ON_RTS_OFF, FtdiModemControlValue(TRUE, TRUE, TRUE, FALSE), {true, false}, {true, false}},
    };
    const USHORT expected[] = {0x0101, 0x0100, 0x0202, 0x0200, 0x0300, 0x0301};
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case& c = cases[i];
        EXPECT_EQ(c.word, expected[i]);
        EXPECT_EQ(c.built, c.word) << std::hex << c.word;
        EXPECT_EQ(chip::ApplyModemControl({true, true}, c.word), c.fromBoth) << std::hex << c.word;
        EXPECT_EQ(chip::ApplyModemControl({false, false}, c.word), c.fromNone) << std::hex << c.word;
    }
}

TEST_F(FtdiProtocolTest, FlowControlAndSpecialCharacterWords)
{
    EXPECT_EQ(FtdiFlowControlValue(0x11, 0x13), 0x1311);
    struct Case {
        USHORT channel;
        BOOLEAN rtsCts, dtrDsr, xonXoff;
        USHORT index;
    } cases[] = {
        {1, FALSE, FALSE, FALSE, 0x0001}, {1, TRUE, FALSE, FALSE, 0x0101}, {2, FALSE, TRUE, FALSE, 0x0202},
        {3, FALSE, FALSE, TRUE, 0x0403},  {4, TRUE, TRUE, TRUE, 0x0704},
        {0x100, FALSE, FALSE, FALSE, 0x0000},  // a channel never reaches into the handshake bits
    };
    for (const Case& c : cases) {
        USHORT index = FtdiFlowControlIndex(c.channel, c.rtsCts, c.dtrDsr, c.xonXoff);
        EXPECT_EQ(index, c.index) << c.channel;
        EXPECT_EQ(chip::DecodeFlowControl(FtdiFlowControlValue(0x11, 0x13), index),
                  (chip::FlowControl{0x11, 0x13, static_cast<uint8_t>(c.channel), c.rtsCts != 0, c.dtrDsr != 0,
                                     c.xonXoff != 0}));
    }
    EXPECT_EQ(FtdiSpecialCharValue('~', TRUE), 0x017E);
    EXPECT_EQ(FtdiSpecialCharValue('~', FALSE), 0x007E);
    EXPECT_EQ(FtdiSpecialCharValue(0, FALSE), 0x0000);
}

TEST_F(FtdiProtocolTest, VendorRequestTable)
{
    struct Case {
        UCHAR request;
        const char* name;
        bool in;
        USHORT length;
    } cases[] = {
        {0, "FTDI_RESET", false, 0},          {1, "FTDI_MODEM_CTRL", false, 0},
        {2, "FTDI_SET_FLOW_CTRL", false, 0},  {3, "FTDI_SET_BAUD_RATE", false, 0},
        {4, "FTDI_SET_DATA", false, 0},       {5, "FTDI_GET_MODEM_STATUS", true, 2},
        {6, "FTDI_SET_EVENT_CHAR", false, 0}, {7, "FTDI_SET_ERROR_CHAR", false, 0},
        {9, "FTDI_SET_LATENCY_TIMER", false, 0}, {10, "FTDI_READ_LATENCY_TIMER", true, 2},
    };
    for (const Case& c : cases) {
        const FTDI_VENDOR_REQUEST_INFO* info = FtdiGetVendorRequestInfo(c.request);
        ASSERT_NE(info, nullptr) << int(c.request);
        EXPECT_STREQ(info->pszName, c.name);
        EXPECT_EQ(info->bIn != 0, c.in) << c.name;
        EXPECT_EQ(info->usTransferLength, c.length) << c.name;
    }
    for (UCHAR unused : {8, 11, 12, 0x90, 0xFF}) EXPECT_EQ(FtdiGetVendorRequestInfo(unused), nullptr) << int(unused);

    EXPECT_TRUE(FtdiIsRetryableUsbStatus(static_cast<LONG>(0xC0000011)));
    EXPECT_TRUE(FtdiIsRetryableUsbStatus(static_cast<LONG>(0xC0010000)));
    EXPECT_FALSE(FtdiIsRetryableUsbStatus(static_cast<LONG>(0xC0000004)));  // stall
    EXPECT_FALSE(FtdiIsRetryableUsbStatus(0));
}

TEST_F(FtdiProtocolTest, ChannelFromHardwareId)
{
    struct Case {
        const char16_t* id;
        ULONG cch;
        USHORT channel;
        bool composite;
    } cases[] = {
        {u"USB\\VID_1209&PID_7301&REV_0600", 100, 1, false},
        {u"USB\\VID_1209&PID_7304&MI_00", 100, 1, true},
        {u"USB\\VID_1209&PID_7304&MI_03", 100, 4, true},
        {u"USB\\VID_1209&PID_7304&MI_1A&REV_0600", 100, 27, true},
        {u"usb\\vid_1209&pid_7304&mi_0b", 100, 12, true},   // lower case
        {u"USB\\VID_1209&PID_7304&MI_ZZ", 100, 1, true},    // not hexadecimal
        {u"USB\\VID_1209&PID_7304&MI_0", 100, 1, true},     // one digit only
        {u"USB\\VID_1209&PID_7304&MI_", 100, 1, true},
        {u"USB\\VID_1209&PID_7304&MI_02", 26, 1, true},     // the buffer ends after one digit
        {u"USB\\VID_1209&PID_7304&MI_02", 24, 1, false},    // ... or inside the marker
        {u"USB\\VID_1209&PID_7304MI_02", 100, 1, false},    // no '&'
        {u"", 100, 1, false},
        {nullptr, 100, 1, false},
    };
    for (const Case& c : cases) {
        FTDI_CHANNEL ch = FtdiChannelFromHardwareId(reinterpret_cast<PCWSTR>(c.id), c.cch);
        std::string id = c.id ? std::string(c.id, c.id + std::char_traits<char16_t>::length(c.id)) : "(null)";
        EXPECT_EQ(ch.usChannelIndex, c.channel) << id << " / " << c.cch;
        EXPECT_EQ(ch.bComposite != 0, c.composite) << id << " / " << c.cch;
    }
}

TEST_F(FtdiProtocolTest, PortTypeBitByPortNumber)
{
    struct Case {
        ULONG portType, port;
        bool valid, is422485;
    } cases[] = {
        {0x00000001, 1, true, true},  {0x00000001, 2, true, false}, {0x00000006, 3, true, true},
        {0x80000000, 32, true, true}, {0x7FFFFFFF, 32, true, false},
        {0xFFFFFFFF, 0, false, false},  // no bit below the first
        {0xFFFFFFFF, 33, false, false}, {0xFFFFFFFF, 0xFFFFFFFF, false, false},
    };
    for (const Case& c : cases) {
        BOOLEAN is422485 = 0x55;
        EXPECT_EQ(FtdiPortIs422485(c.portType, c.port, &is422485) != 0, c.valid) << c.port;
        EXPECT_EQ(is422485, c.valid ? (c.is422485 ? TRUE : FALSE) : 0x55) << c.port;
    }
}

// ---- the bulk-in parser, fed with transfers the chip builds ----

struct Parsed {
    bool valid;
    std::vector<FTDI_PACKET_STATUS> packets;
    std::vector<uint8_t> payload;
};

Parsed Parse(std::vector<uint8_t> transfer)
{
    Parsed p;
    CFTDITransferParser parser(transfer.data(), static_cast<ULONG>(transfer.size()));
    p.valid = parser.m_IsValid();
    FTDI_PACKET_STATUS s;
    while (parser.m_NextPacket(&s)) p.packets.push_back(s);
    p.payload.assign(transfer.begin(), transfer.begin() + parser.m_GetPayloadLength());
    return p;
}

std::vector<uint8_t> Bytes(size_t n, uint8_t first)
{
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& from) { to.insert(to.end(), from.begin(), from.end()); }

TEST_F(FtdiProtocolTest, ParserStatusOnlyTransfer)
{
    Parsed p = Parse(chip::BuildPackets(0xB1, 0x60, {}));
    EXPECT_TRUE(p.valid);
    ASSERT_EQ(p.packets.size(), 1u) << "status is reported even without data";
    EXPECT_EQ(p.packets[0].ucModemStatus, 0xB1);
    EXPECT_EQ(p.packets[0].ucLineStatus, 0x60);
    EXPECT_TRUE(p.packets[0].bStatusOnly);
    EXPECT_TRUE(p.payload.empty());

    EXPECT_FALSE(Parse({0x01}).valid) << "one byte is not a transfer";
    EXPECT_TRUE(Parse({0x01}).packets.empty());
    CFTDITransferParser none(nullptr, 64);
    FTDI_PACKET_STATUS s;
    EXPECT_FALSE(none.m_IsValid());
    EXPECT_FALSE(none.m_NextPacket(&s));
}

TEST_F(FtdiProtocolTest, ParserCompactsFullPacketsAndAShortOne)
{
    std::vector<uint8_t> data = Bytes(62 * 3 + 5, 0);
    std::vector<uint8_t> t = chip::BuildPackets(0x31, 0x61, data);
    ASSERT_EQ(t.size(), 64u * 3 + 7);
    Parsed p = Parse(t);
    EXPECT_EQ(p.payload, data);
    ASSERT_EQ(p.packets.size(), 4u);
    for (ULONG i = 0; i < 4; i++) {
        EXPECT_EQ(p.packets[i].ulPacket, i);
        EXPECT_EQ(p.packets[i].ucModemStatus, 0x31);
        EXPECT_FALSE(p.packets[i].bStatusOnly);
    }
    // A whole number of full packets ends with the last of them.
    EXPECT_EQ(Parse(chip::BuildPackets(0x01, 0x00, Bytes(124, 7))).payload, Bytes(124, 7));
    // A byte after the last whole status pair is no packet.
    std::vector<uint8_t> odd = chip::BuildPackets(0x01, 0x00, Bytes(62, 0));
    odd.push_back(0x01);
    Parsed q = Parse(odd);
    EXPECT_EQ(q.packets.size(), 1u);
    EXPECT_EQ(q.payload, Bytes(62, 0));
}

TEST_F(FtdiProtocolTest, ParserStopsAtAPacketWithoutItsMark)
{
    std::vector<uint8_t> t;
    chip::AppendPacket(t, 0x11, 0x00, Bytes(62, 0));
    chip::AppendPacket(t, 0x10, 0x02, Bytes(62, 100));  // low nibble 0: corrupted
    chip::AppendPacket(t, 0x11, 0x00, Bytes(10, 200));
    Parsed p = Parse(t);
    ASSERT_EQ(p.packets.size(), 1u);
    EXPECT_EQ(p.packets[0].ucModemStatus, 0x11);
    EXPECT_EQ(p.payload, Bytes(62, 0)) << "what came before stays, the rest is dropped";

    std::vector<uint8_t> bad = {0x00, 0x60, 'a', 'b'};
    Parsed q = Parse(bad);
    EXPECT_TRUE(q.valid);
    EXPECT_TRUE(q.packets.empty());
    EXPECT_TRUE(q.payload.empty());
}

TEST_F(FtdiProtocolTest, ParserStatusOnlyPacketAfterTheFirst)
{
    std::vector<uint8_t> t = chip::BuildPackets(0x11, 0x00, Bytes(62, 1));
    Append(t, chip::BuildPackets(0x31, 0x62, {}));
    ASSERT_EQ(t.size(), 66u);
    Parsed p = Parse(t);
    ASSERT_EQ(p.packets.size(), 2u);
    EXPECT_FALSE(p.packets[0].bStatusOnly);
    EXPECT_TRUE(p.packets[1].bStatusOnly);
    EXPECT_EQ(p.packets[1].ulPacket, 1u);
    EXPECT_EQ(p.packets[1].ucModemStatus, 0x31) << "its status still counts";
    EXPECT_EQ(p.packets[1].ucLineStatus, 0x62);
    EXPECT_EQ(p.payload, Bytes(62, 1));
}

}  // namespace
}  // namespace kwsim::test
