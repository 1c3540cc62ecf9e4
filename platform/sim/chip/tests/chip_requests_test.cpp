// The chip on the USB side: descriptors of the three sizes, every vendor request through
// real URBs (to the right channel, and only to it), refusals, reset, purge, port reset.
#include "chip_fixture.h"

namespace kwsim::chip::test {
namespace {

class QuadChip : public ChipTest {
protected:
    ChipOptions ChipSetup() override { return {.channels = 4}; }
};

using ChipDescriptors = UsbTest;
using SingleChip = ChipTest;

TEST_F(ChipDescriptors, OneTwoAndFourChannelsWithAnInterfaceAndTwoBulkEndpointsEach)
{
    struct Case {
        int channels;
        uint16_t product;
        const char16_t* name;
    } cases[] = {
        {1, 0x7301, u"Kwellin USB Serial Adapter"},
        {2, 0x7302, u"Kwellin Dual USB Serial Adapter"},
        {4, 0x7304, u"Kwellin Quad USB Serial Adapter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        auto chip = Chip::Create({.channels = c.channels});
        std::vector<uint8_t> d = chip->DeviceDescriptor();
        EXPECT_EQ(d[8] | d[9] << 8, 0x1209);
        EXPECT_EQ(d[10] | d[11] << 8, c.product);
        EXPECT_EQ(usb::StringDescriptorText(chip->StringDescriptor(2, 0x409)), c.name);
        EXPECT_EQ(usb::StringDescriptorText(chip->StringDescriptor(3, 0x409)), u"KW000001");
        PluggedDevice* dev = host->Plug(chip);
        ASSERT_NE(dev, nullptr);
        EXPECT_EQ(dev->Composite(), c.channels > 1);
        EXPECT_EQ(dev->InterfacePdos().size(), c.channels > 1 ? size_t(c.channels) : 0u) << "one MI child per channel";
        for (int k = 0; k < c.channels; k++) {
            // Each child sees its own interface: bulk IN first (pipe 1), then bulk OUT (pipe 2).
            Configured cfg = Configure(dev->FunctionPdo(uint8_t(k)));
            ASSERT_EQ(cfg.status, STATUS_SUCCESS);
            ASSERT_EQ(cfg.interfaces.size(), 1u);
            EXPECT_EQ(cfg.interfaces[0].InterfaceNumber, k);
            EXPECT_EQ(cfg.interfaces[0].NumberOfPipes, 2u);
            EXPECT_EQ(cfg.interfaces[0].Pipes[0].EndpointAddress, 0x81 + 2 * k);
            ASSERT_EQ(cfg.pipes.size(), 2u);
            for (uint8_t ep : {uint8_t(0x81 + 2 * k), uint8_t(0x02 + 2 * k)}) {
                EXPECT_EQ(cfg.pipes[ep].PipeType, UsbdPipeTypeBulk);
                EXPECT_EQ(cfg.pipes[ep].MaximumPacketSize, 64);
            }
        }
    }
}

TEST_F(QuadChip, EveryRequestReachesItsChannelAndOnlyIt)
{
    using S = ChipChannel::State;
    struct Case {
        const char* what;
        uint8_t request;
        uint16_t value, extra;
        std::function<void(const S&)> check;
    } cases[] = {
        {"DTR on", kModemCtrl, 0x0101, 0, [](const S& s) { EXPECT_EQ(s.host, (ModemLines{true, false})); }},
        {"RTS on, DTR kept", kModemCtrl, 0x0202, 0, [](const S& s) { EXPECT_EQ(s.host, (ModemLines{true, true})); }},
        {"DTR on, RTS off", kModemCtrl, 0x0301, 0, [](const S& s) {
             EXPECT_EQ(s.host, (ModemLines{true, false}));
             EXPECT_EQ(s.outputs, (wire::Outputs{false, true}));
         }},
        {"both off", kModemCtrl, 0x0300, 0, [](const S& s) { EXPECT_EQ(s.host, ModemLines{}); }},
        {"RTS/CTS", kSetFlowCtrl, 0x1311, 0x0100, [](const S& s) { EXPECT_EQ(s.flow, (FlowControl{0x11, 0x13, 0, true})); }},
        {"DTR/DSR", kSetFlowCtrl, 0x1311, 0x0200,
         [](const S& s) { EXPECT_EQ(s.flow, (FlowControl{0x11, 0x13, 0, false, true})); }},
        {"Xon/Xoff with its characters", kSetFlowCtrl, 0x1A19, 0x0400,
         [](const S& s) { EXPECT_EQ(s.flow, (FlowControl{0x19, 0x1A, 0, false, false, true})); }},
        {"7O1", kSetData, 0x0107,
         0, [](const S& s) { EXPECT_EQ(s.format, (LineFormat{7, Parity::Odd, StopBits::One, false})); }},
        {"8E2", kSetData, 0x1208,
         0, [](const S& s) { EXPECT_EQ(s.format, (LineFormat{8, Parity::Even, StopBits::Two, false})); }},
        {"5S1.5", kSetData, 0x0C05,
         0, [](const S& s) { EXPECT_EQ(s.format, (LineFormat{5, Parity::Space, StopBits::OneAndHalf, false})); }},
        {"break", kSetData, 0x4008, 0, [](const S& s) { EXPECT_TRUE(s.format.breakOn); }},
        {"event character", kSetEventChar, 0x017E, 0, [](const S& s) { EXPECT_EQ(s.eventChar, 0x017E); }},
        {"error character, disabled", kSetErrorChar, 0x003F, 0, [](const S& s) { EXPECT_EQ(s.errorChar, 0x003F); }},
        {"latency 2 ms", kSetLatencyTimer, 2, 0, [](const S& s) { EXPECT_EQ(s.latencyTimer, 2); }},
        {"bitmode", kSetBitmode, 0x02F0, 0, [](const S& s) {
             EXPECT_EQ(s.bitmode, 2);
             EXPECT_EQ(s.bitmodeMask, 0xF0);
         }},
    };
    const S before = Ch(0).GetState();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Set(1, c.request, c.value, c.extra), STATUS_SUCCESS);
        c.check(Ch(1).GetState());
    }
    const S after = Ch(0).GetState();
    EXPECT_EQ(after.host, before.host);
    EXPECT_EQ(after.flow, before.flow);
    EXPECT_EQ(after.format, before.format);
    EXPECT_EQ(after.latencyTimer, 16);
    EXPECT_EQ(after.eventChar, 0);
    EXPECT_DOUBLE_EQ(after.rate, 9600.0);

    // Reading back.
    EXPECT_EQ(Vendor(1, kGetLatencyTimer, 0, 2, 2).data, (std::vector<uint8_t>{2}));
    EXPECT_EQ(Vendor(0, kGetLatencyTimer, 0, 1, 2).data, (std::vector<uint8_t>{16}));
    EXPECT_EQ(Status(3), (std::vector<uint8_t>{0x01, 0x60})) << "nothing plugged in, nothing to send";
    EXPECT_EQ(Vendor(3, kReadPins, 0, 4, 1).data, (std::vector<uint8_t>{0xFF})) << "idle lines, no modem line asserted";
    ASSERT_EQ(Set(3, kModemCtrl, 0x0303), STATUS_SUCCESS);
    EXPECT_EQ(Vendor(3, kReadPins, 0, 4, 1).data, (std::vector<uint8_t>{0xEB})) << "RTS# and DTR# low";
}

TEST_F(QuadChip, BaudRequestsRunTheLineAtTheRateTheDivisorGives)
{
    struct Case {
        uint16_t divisor, fraction;
        double rate;
    } cases[] = {
        {0x4138, 0, 9600.0},    {0x809C, 0, 19200.0},      {0xC04E, 0, 38400.0},   {0x001A, 0, 3e6 / 26},
        {0x8003, 0, 3e6 / 3.25}, {0xC001, 1, 1'600'000.0}, {0x0001, 0, 3'000'000}, {0x0003, 1, 3e6 / 3.375},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Baud(2, c.divisor, c.fraction), STATUS_SUCCESS);
        EXPECT_DOUBLE_EQ(Ch(2).GetState().rate, c.rate) << std::hex << c.divisor;
        EXPECT_DOUBLE_EQ(Ch(2).LineFrame().rate.Baud(), c.rate) << std::hex << c.divisor;
        EXPECT_DOUBLE_EQ(Ch(1).GetState().rate, 9600.0);
    }
    // A channel index of 0 means channel A.
    ASSERT_EQ(Vendor(0, kSetBaudRate, 0x001A, 0x0000).status, STATUS_SUCCESS);
    EXPECT_DOUBLE_EQ(Ch(0).GetState().rate, 3e6 / 26);
}

TEST_F(SingleChip, TheBaudRequestsIndexIsTheFractionWord)
{
    ASSERT_EQ(Vendor(0, kSetBaudRate, 0xC001, 0x0001).status, STATUS_SUCCESS);
    EXPECT_DOUBLE_EQ(Ch(0).GetState().rate, 1'600'000.0);
    ASSERT_EQ(Vendor(0, kSetBaudRate, 0x4138, 0x0000).status, STATUS_SUCCESS);
    EXPECT_DOUBLE_EQ(Ch(0).GetState().rate, 9600.0);
    EXPECT_EQ(Vendor(0, kSetData, 0x0008, 2).usbd, USBD_STATUS_STALL_PID) << "there is no channel B";
}

TEST_F(QuadChip, RequestsTheChipDoesNotHaveStall)
{
    struct Case {
        const char* what;
        uint8_t request;
        uint16_t value, index;
        ULONG in;
    } cases[] = {
        {"request 8", 8, 0, 1, 0},
        {"request 13", 13, 0, 1, 0},
        {"4 data bits", kSetData, 0x0004, 1, 0},
        {"parity 5", kSetData, 0x0508, 1, 0},
        {"stop bits 3", kSetData, 0x1808, 1, 0},
        {"reset 3", kReset, 3, 1, 0},
        {"channel 5", kModemCtrl, 0x0101, 5, 0},
        {"baud on channel 5", kSetBaudRate, 0x4138, 0x0005, 0},
        {"EEPROM word 64", kReadEeprom, 0, 64, 2},
    };
    for (const Case& c : cases) {
        Reply r = Vendor(0, c.request, c.value, c.index, c.in);
        EXPECT_EQ(r.usbd, USBD_STATUS_STALL_PID) << c.what;
        EXPECT_FALSE(NT_SUCCESS(r.status)) << c.what;
    }
    // A class request is not the chip's either.
    URB urb = VendorUrb(URB_FUNCTION_CLASS_INTERFACE, false, kModemCtrl, 0x0101, 1, nullptr, 0);
    EXPECT_FALSE(NT_SUCCESS(SubmitAndWait(Pdo(0), &urb)));
    EXPECT_EQ(Ch(0).GetState().host, ModemLines{});
}

TEST_F(QuadChip, TheEepromKeepsItsWords)
{
    auto word = [&](uint16_t address) {
        std::vector<uint8_t> d = Vendor(0, kReadEeprom, 0, address, 2).data;
        return d.size() == 2 ? d[0] | d[1] << 8 : -1;
    };
    EXPECT_EQ(word(1), 0x1209);
    EXPECT_EQ(word(2), 0x7304);
    EXPECT_EQ(word(40), 0xFFFF);
    ASSERT_EQ(Vendor(2, kWriteEeprom, 0xBEEF, 40).status, STATUS_SUCCESS);
    EXPECT_EQ(word(40), 0xBEEF) << "one EEPROM for the chip, whichever interface asks";
    EXPECT_EQ(chip->Eeprom()[40], 0xBEEF);
    ASSERT_EQ(Vendor(0, kEraseEeprom, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(word(1), 0xFFFF);
    EXPECT_EQ(word(40), 0xFFFF);
}

TEST_F(SingleChip, ResetAndPurgeEmptyTheFifosTheyName)
{
    const Frame f = Ch(0).LineFrame();
    auto peer = wire::Peer::Create(f);
    auto cable = Keep(wire::NullModem::Connect(Ch(0), *peer));
    auto rec = wire::Recorder::Attach(*cable);
    struct Case {
        const char* what;
        uint16_t value;
        bool tx, rx;
    } cases[] = {
        {"purge transmit", 1, true, false},
        {"purge receive", 2, false, true},
        {"reset both", 0, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rec->Clear();
        peer->Send(Pattern(20)).Drain();
        peer->WaitDone();
        ASSERT_EQ(Ch(0).GetState().rxLevel, 20u);
        ASSERT_EQ(Write(0, Pattern(100, 0x40)), STATUS_SUCCESS);
        Delay(10 * kMs);
        const int64_t served = NextFrame();
        ASSERT_EQ(Set(0, kReset, c.value), STATUS_SUCCESS);
        ChipChannel::State s = Ch(0).GetState();
        EXPECT_EQ(s.rxLevel, c.rx ? 0u : 20u);
        Delay(200 * kMs);
        std::vector<Character> sent = rec->Characters(0);
        if (c.tx) {
            // What had started by the request's frame went out; the rest is gone.
            ASSERT_FALSE(sent.empty());
            EXPECT_LE(sent.back().start, served);
            EXPECT_GT(Edge(sent[0].start, f, sent.size()), served);
            EXPECT_LT(sent.size(), 100u);
        } else {
            EXPECT_EQ(sent.size(), 100u);
        }
        ASSERT_EQ(Set(0, kReset, 2), STATUS_SUCCESS);
    }
}

TEST_F(QuadChip, APortResetReturnsEveryChannelToPowerOn)
{
    for (int k = 0; k < 4; k++) {
        ASSERT_EQ(Baud(k, 0x001A), STATUS_SUCCESS);
        ASSERT_EQ(Set(k, kModemCtrl, 0x0303), STATUS_SUCCESS);
        ASSERT_EQ(Set(k, kSetFlowCtrl, 0x1311, 0x0100), STATUS_SUCCESS);
        ASSERT_EQ(Set(k, kSetLatencyTimer, 3), STATUS_SUCCESS);
    }
    UrbRequest reset(dev->Pdo(), IOCTL_INTERNAL_USB_RESET_PORT);
    reset.Send(nullptr);
    ASSERT_EQ(reset.Wait(), STATUS_SUCCESS);
    for (int k = 0; k < 4; k++) {
        ChipChannel::State s = Ch(k).GetState();
        EXPECT_DOUBLE_EQ(s.rate, 9600.0);
        EXPECT_EQ(s.host, ModemLines{});
        EXPECT_FALSE(s.flow.rtsCts);
        EXPECT_EQ(s.latencyTimer, 16);
    }
}

}  // namespace
}  // namespace kwsim::chip::test
