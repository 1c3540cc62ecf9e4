// The channel engine's lifecycle and settings: what reaches the chip (from the USB
// host's log), what the engine keeps, and the rules of RS-422/485 channels.
#include <functional>

#include "engine_fixture.h"

namespace kwsim::test {
namespace {

using kwsim::usb::ControlReply;
using kwsim::usb::SetupPacket;

constexpr int64_t kSecond = 10'000'000;

TEST_F(EngineTest, CreationGivesTheRecordAndTheDefaultParameters)
{
    Create();
    EXPECT_EQ(record->pImplementation, engine);
    EXPECT_FALSE(record->bIs422485);
    EXPECT_EQ(record->lSupportedBaudRates, -1);
    EXPECT_EQ(record->m_DuplexModeSettingsCallback, nullptr);
    EXPECT_EQ(record->m_ReadEepromCallback, nullptr);
    EXPECT_EQ(record->m_LsrMstInsertCallback, nullptr);
    EXPECT_EQ(engine->m_GetChannelIndex(), kChannel) << "from \"&MI_01\"";
    EXPECT_TRUE(engine->m_IsComposite());
    // Without a parameter set the engine runs with the registry's defaults.
    ULONG tx = 0, rx = 0, maximum = 0;
    EXPECT_TRUE(record->m_GetFifoSizesCallback(engine, &tx, &rx));
    EXPECT_EQ(tx, 128u);
    EXPECT_EQ(rx, 256u);
    EXPECT_TRUE(record->m_GetMaximumBaudRateCallback(engine, &maximum));
    EXPECT_EQ(maximum, 1000000u);
    EXPECT_TRUE(record->m_IsBaudRateSettableCallback(engine, 1000000));
    EXPECT_FALSE(record->m_IsBaudRateSettableCallback(engine, 1000001));
    EXPECT_TRUE(VendorRequests().empty()) << "asking sends nothing";
    EXPECT_EQ(bus->Power(), std::vector<ULONG>{KW_DEVICE_POWER_D0}) << "m_Init";

    // With a parameter set its values are the engine's.
    Release();
    KW_BUS_CHANNEL_PARAMETERS p = {1, 500, 10, 100, 512, 64, 3000000, 0x2};
    Create(&p);
    EXPECT_TRUE(record->bIs422485) << "PortType bit 1 names port 2";
    EXPECT_NE(record->m_DuplexModeSettingsCallback, nullptr);
    EXPECT_TRUE(record->m_GetFifoSizesCallback(engine, &tx, &rx));
    EXPECT_EQ(tx, 64u);
    EXPECT_EQ(rx, 512u);
    EXPECT_TRUE(record->m_IsBaudRateSettableCallback(engine, 3000000));
}

TEST_F(EngineTest, AnEngineIsRefusedWhenItsUsbInterfaceCannotBeBroughtUp)
{
    UsbDescription d = ChannelDescription(1, 0x83, 0x04);
    d.endpoints[0].address = 0x85;
    WriteUsbDescription(pdo, d);
    CFTDI1Port* e = nullptr;
    ISerial* r = nullptr;
    EXPECT_EQ(KwUBusCreateChannel(bus.get(), 2, nullptr, &e, &r), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(r, nullptr);
}

TEST_F(EngineTest, ConnectResetsProgramsLatencyReadsStatusAndStartsReading)
{
    Create();
    ASSERT_TRUE(port->Connect());
    EXPECT_EQ(VendorRequests(), (std::vector<Vendor>{
                                    {FTDI_RESET, 0, kChannel},
                                    {FTDI_SET_LATENCY_TIMER, 16, kChannel},  // receive trigger level 1: lowest latency
                                    {FTDI_GET_MODEM_STATUS, 0, kChannel, true},
                                    {FTDI_SET_ERROR_CHAR, 0, kChannel},
                                    {FTDI_SET_EVENT_CHAR, 0, kChannel},
                                }));
    std::vector<UrbRecord> reads = BulkIn();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].requested, 64u) << "the first read is one packet";
    EXPECT_EQ(reads[0].endpoint, 0x83);
    // At connect the port hears the transmit size and the status the chip reported.
    ASSERT_EQ(port->WrittenReports().size(), 1u);
    EXPECT_EQ(port->WrittenReports()[0].bytes, 4096u);
    ASSERT_EQ(port->Modems().size(), 1u);
    EXPECT_EQ(port->Modems()[0].bits, 0x11);
    ASSERT_EQ(port->Lines().size(), 1u);
    EXPECT_EQ(port->Lines()[0].bits, 0x60);
    EXPECT_EQ(bus->Power(), (std::vector<ULONG>{KW_DEVICE_POWER_D0, KW_DEVICE_POWER_D0}));

    EXPECT_TRUE(port->Connect()) << "already open";
    EXPECT_EQ(VendorRequests().size(), 5u) << "nothing more was sent";

    // Disconnect stops reading and sends the device to D3; a second one does nothing.
    EXPECT_TRUE(port->Disconnect());
    EXPECT_EQ(VendorRequests().size(), 5u);
    reads = BulkIn();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].usbdStatus, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus->Power().back(), ULONG(KW_DEVICE_POWER_D3));
    EXPECT_TRUE(port->Disconnect());
    EXPECT_EQ(bus->Power().size(), 3u);

    // And the channel opens again.
    Mark();
    EXPECT_TRUE(port->Connect());
    EXPECT_EQ(VendorRequests().size(), 5u);
    EXPECT_EQ(BulkIn().size(), 1u);
}

TEST_F(EngineTest, AFailedConnectRollsBackSoTheChannelOpensLater)
{
    Create();
    // Any request of the connect failing: the chip is reset and the channel stays closed.
    for (uint8_t failing : {FTDI_RESET, FTDI_GET_MODEM_STATUS}) {
        Mark();
        bool failed = false;
        model->onControl = [&](const SetupPacket& s, std::span<const uint8_t>) {
            if (s.bRequest == failing && !failed) {
                failed = true;
                return ControlReply::Stalled();
            }
            return ControlReply::Ok(s.In() ? std::vector<uint8_t>{0x11, 0x60} : std::vector<uint8_t>{});
        };
        EXPECT_FALSE(port->Connect()) << int(failing);
        std::vector<Vendor> sent = VendorRequests();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back(), (Vendor{FTDI_RESET, 0, kChannel})) << "the rollback resets the chip";
        EXPECT_NE(DebugOutput().find("Error Opening COM Port\n"), std::string::npos);
        model->onControl = nullptr;
        Mark();
        EXPECT_TRUE(port->Connect()) << "after a failure at request " << int(failing);
        EXPECT_TRUE(port->Disconnect());
    }

    // Every allocation of the connect failing in turn: each failure leaves the channel
    // closed and able to open, with nothing left behind. The continuous read's buffer is
    // one of them (a read left running made every later connect fail).
    uint64_t before = PoolAllocationCount();
    ASSERT_TRUE(port->Connect());
    const uint64_t allocations = PoolAllocationCount() - before;
    ASSERT_TRUE(port->Disconnect());
    int failures = 0;
    for (uint64_t n = 1; n <= allocations; n++) {
        ClearDebugOutput();
        PoolFailNth(n);
        BOOLEAN connected = port->Connect();
        PoolClearFaults();
        if (!connected) {
            failures++;
            EXPECT_NE(DebugOutput().find("Error Opening COM Port\n"), std::string::npos) << n;
            ASSERT_TRUE(port->Connect()) << "after failing allocation " << n;
        }
        ASSERT_TRUE(port->Disconnect());
    }
    EXPECT_GT(failures, 0);
    // The read's own buffer was among them.
    bool readFailed = false;
    for (uint64_t n = 1; n <= allocations && !readFailed; n++) {
        ClearDebugOutput();
        PoolFailNth(n);
        BOOLEAN connected = port->Connect();
        PoolClearFaults();
        readFailed = !connected && DebugOutput().find("Error starting the continuous read") != std::string::npos;
        if (connected) {
            ASSERT_TRUE(port->Disconnect());
        }
    }
    EXPECT_TRUE(readFailed);
    ASSERT_TRUE(port->Connect());
}

TEST_F(EngineTest, AnUnknownPolicyKeepsTheSettingsInForceButAChannelStillGetsSome)
{
    KW_BUS_CHANNEL_PARAMETERS p = {2, 1040, 0, 192, 256, 128, 1000000, 0};
    Create(&p);
    ASSERT_TRUE(port->Connect()) << "the default policy gives the first read size";
    EXPECT_EQ(VendorRequests()[1], (Vendor{FTDI_SET_LATENCY_TIMER, 16, kChannel}));
    EXPECT_EQ(engine->m_GetRxTransferSize(), 64u);
    model->QueueIn(0x83, {0x11, 0x60, 'a'});
    Delay(5 * kMs);
    EXPECT_EQ(BulkIn().back().requested, 64u) << "reads go on after the first one";
    ASSERT_TRUE(port->Triggers(1, 8));
    Mark();
    ASSERT_TRUE(port->Baud(9600));
    EXPECT_EQ(VendorRequests(), (std::vector<Vendor>{{FTDI_SET_BAUD_RATE, 0x4138, 0x0002}}))
        << "an unknown policy changes neither latency nor read size";
    EXPECT_EQ(engine->m_GetLatency(), 16u);
    EXPECT_EQ(engine->m_GetRxTransferSize(), 64u);
}

TEST_F(EngineTest, EverySettingBecomesItsVendorRequest)
{
    CreateAndConnect();
    struct Case {
        const char* what;
        std::function<BOOLEAN()> operation;
        std::vector<Vendor> sent;
    };
    const Case cases[] = {
        // The first request for 115,200 baud reaches the chip: nothing was programmed yet.
        {"115200 baud", [&] { return port->Baud(115200); },
         {{FTDI_SET_BAUD_RATE, 0x001A, 0x0002}, {FTDI_SET_LATENCY_TIMER, 16, kChannel}}},
        {"115200 again", [&] { return port->Baud(115200); }, {}},
        {"9600 baud", [&] { return port->Baud(9600); },
         {{FTDI_SET_BAUD_RATE, 0x4138, 0x0002}, {FTDI_SET_LATENCY_TIMER, 16, kChannel}}},
        {"1,600,000 baud: code 7, fraction in the high byte", [&] {
             engine->m_SetMaximumBaudRate(3000000);
             return port->Baud(1600000);
         },
         {{FTDI_SET_BAUD_RATE, 0xC001, 0x0102}, {FTDI_SET_LATENCY_TIMER, 16, kChannel}}},
        {"8N1", [&] { return port->Comm(3, 0, 0); }, {{FTDI_SET_DATA, 0x0008, kChannel}}},
        {"8N1 again", [&] { return port->Comm(3, 0, 0); }, {}},
        {"7E2", [&] { return port->Comm(2, 2, 2); }, {{FTDI_SET_DATA, 0x1207, kChannel}}},
        {"break on", [&] { return port->Break(true); }, {{FTDI_SET_DATA, 0x5207, kChannel}}},
        {"5O1.5 during the break", [&] { return port->Comm(0, 1, 1); }, {{FTDI_SET_DATA, 0x4905, kChannel}}},
        {"break off", [&] { return port->Break(false); }, {{FTDI_SET_DATA, 0x0905, kChannel}}},
        {"DTR on", [&] { return port->Dtr(true); }, {{FTDI_MODEM_CTRL, 0x0101, kChannel}}},
        {"DTR off", [&] { return port->Dtr(false); }, {{FTDI_MODEM_CTRL, 0x0100, kChannel}}},
        {"RTS on", [&] { return port->Rts(true); }, {{FTDI_MODEM_CTRL, 0x0202, kChannel}}},
        {"RTS off", [&] { return port->Rts(false); }, {{FTDI_MODEM_CTRL, 0x0200, kChannel}}},
        {"RTS/CTS", [&] { return port->Handshake(true, true, false, false, false, false, false, false); },
         {{FTDI_SET_FLOW_CTRL, 0x1311, 0x0102}}},
        {"DTR/DSR", [&] { return port->Handshake(false, false, true, true, false, false, false, false); },
         {{FTDI_SET_FLOW_CTRL, 0x1311, 0x0202}}},
        {"CTS alone: no chip handshake", [&] { return port->Handshake(true, false, false, false, false, false, false, false); },
         {{FTDI_SET_FLOW_CTRL, 0x1311, 0x0002}}},
        {"new Xon/Xoff characters are only stored", [&] { return port->SpecialChars(0x51, 0x53); }, {}},
        {"Xon/Xoff in, with the new characters", [&] {
             return port->Handshake(false, false, false, false, false, false, true, true);
         },
         {{FTDI_SET_FLOW_CTRL, 0x5351, 0x0402}}},
        {"receive trigger 8: nothing to send", [&] { return port->Triggers(1, 8); }, {}},
        {"receive trigger 1: latency 16 at once", [&] { return port->Triggers(1, 1); },
         {{FTDI_SET_LATENCY_TIMER, 16, kChannel}}},
        {"purge transmit", [&] { return port->Purge(true, false); }, {{FTDI_RESET, 1, kChannel}}},
        {"purge receive", [&] { return port->Purge(false, true); }, {{FTDI_RESET, 2, kChannel}}},
        {"purge both", [&] { return port->Purge(true, true); }, {{FTDI_RESET, 0, kChannel}}},
        {"purge neither: nothing is lost", [&] { return port->Purge(false, false); }, {}},
        {"a rate no code reaches", [&] { return !port->Baud(3000001); }, {}},
        {"above the maximum", [&] {
             engine->m_SetMaximumBaudRate(1000000);
             return !port->Baud(1000001);
         },
         {}},
        {"internal loop-back does not exist here", [&] { return !record->m_InternalLoopbackCallback(engine, TRUE); }, {}},
        {"modem status comes with every packet", [&] { return record->m_UpdateModemStatusCallback(engine); }, {}},
    };
    for (const Case& c : cases) {
        Mark();
        EXPECT_TRUE(c.operation()) << c.what;
        EXPECT_EQ(VendorRequests(), c.sent) << c.what;
    }
    EXPECT_EQ(engine->m_GetBaudRate(), 1600000u);
}

TEST_F(EngineTest, AFailedRequestChangesNothing)
{
    CreateAndConnect();
    uint8_t failing = 0xFF;
    model->onControl = [&](const SetupPacket& s, std::span<const uint8_t>) {
        if (s.bRequest == failing) return ControlReply::Stalled();
        return ControlReply::Ok(s.In() ? std::vector<uint8_t>{0x11, 0x60} : std::vector<uint8_t>{});
    };
    failing = FTDI_SET_DATA;
    EXPECT_FALSE(port->Comm(2, 0, 0));
    failing = 0xFF;
    Mark();
    EXPECT_TRUE(port->Comm(2, 0, 0));
    EXPECT_EQ(VendorRequests().size(), 1u) << "not taken the first time, so sent again";

    failing = FTDI_SET_BAUD_RATE;
    EXPECT_FALSE(port->Baud(19200));
    EXPECT_EQ(engine->m_GetBaudRate(), 0u);
    failing = FTDI_MODEM_CTRL;
    EXPECT_FALSE(port->Rts(true)) << "RTS reports the chip's answer";
    EXPECT_FALSE(port->Dtr(true));
    failing = FTDI_SET_FLOW_CTRL;
    EXPECT_FALSE(port->Handshake(true, true, false, false, false, false, false, false));
    failing = FTDI_SET_LATENCY_TIMER;
    EXPECT_FALSE(port->Triggers(1, 1));
    failing = FTDI_RESET;
    EXPECT_FALSE(port->Purge(true, true));
    failing = 0xFF;
    Mark();
    EXPECT_TRUE(port->Handshake(true, true, false, false, false, false, false, false));
    EXPECT_EQ(VendorRequests(), (std::vector<Vendor>{{FTDI_SET_FLOW_CTRL, 0x1311, 0x0102}}));
}

TEST_F(EngineTest, Rs422485ChannelsKeepTheirLinesForDuplexMode)
{
    KW_BUS_CHANNEL_PARAMETERS p = {0, 1040, 0, 192, 256, 128, 1000000, 0x5};
    // Port 2 is RS-232 with PortType 0x5 (ports 1 and 3 are RS-422/485).
    Create(&p, 2);
    EXPECT_FALSE(record->bIs422485);
    EXPECT_EQ(record->m_DuplexModeSettingsCallback, nullptr);
    Release();
    Create(&p, 3);
    ASSERT_TRUE(record->bIs422485);
    ASSERT_TRUE(port->Connect());
    Mark();
    auto duplex = [&](ULONG mode) { return record->m_DuplexModeSettingsCallback(engine, mode, TRUE); };

    EXPECT_TRUE(port->Dtr(true)) << "succeeds";
    EXPECT_TRUE(VendorRequests().empty()) << "without touching the line";
    EXPECT_TRUE(port->Rts(true));
    EXPECT_EQ(TakeVendorRequests(), (std::vector<Vendor>{{FTDI_MODEM_CTRL, 0x0202, kChannel}})) << "RTS is set in mode 0";
    EXPECT_TRUE(duplex(1));
    EXPECT_EQ(TakeVendorRequests(), (std::vector<Vendor>{{FTDI_MODEM_CTRL, 0x0101, kChannel}}));
    EXPECT_TRUE(port->Handshake(true, true, false, false, false, false, false, false));
    EXPECT_EQ(TakeVendorRequests(), (std::vector<Vendor>{{FTDI_SET_FLOW_CTRL, 0x1311, 0x0102}})) << "RTS/CTS in mode 1";
    EXPECT_TRUE(port->Handshake(false, false, true, true, false, false, false, false));
    EXPECT_EQ(TakeVendorRequests(), (std::vector<Vendor>{{FTDI_SET_FLOW_CTRL, 0x1311, 0x0002}})) << "never DTR/DSR";

    EXPECT_TRUE(duplex(2));
    EXPECT_EQ(TakeVendorRequests(), (std::vector<Vendor>{{FTDI_MODEM_CTRL, 0x0100, kChannel}}));
    EXPECT_TRUE(port->Rts(false)) << "mode 2 keeps RTS";
    EXPECT_TRUE(VendorRequests().empty());
    EXPECT_TRUE(port->Handshake(true, true, false, false, false, false, false, false));
    EXPECT_EQ(TakeVendorRequests(), (std::vector<Vendor>{{FTDI_SET_FLOW_CTRL, 0x1311, 0x0002}})) << "no RTS/CTS in mode 2";
    FTDI_CHANNEL_SNAPSHOT s;
    engine->m_GetSnapshot(&s);
    EXPECT_TRUE(s.ulModemStatus & FTDI_MODEM_STATUS_CTS) << "mode 2 counts CTS as on";

    EXPECT_FALSE(duplex(3));
    EXPECT_TRUE(VendorRequests().empty());
    engine->m_GetSnapshot(&s);
    EXPECT_EQ(s.ulDuplexMode, 2u);
}

TEST_F(EngineTest, PowerDownSavesAndPowerUpRestoresTheChannel)
{
    CreateAndConnect();
    ASSERT_TRUE(port->Triggers(1, 8));
    ASSERT_TRUE(port->Baud(9600));
    ASSERT_TRUE(port->Comm(3, 2, 0));
    ASSERT_TRUE(port->Handshake(false, false, false, false, false, false, true, true));
    ASSERT_TRUE(port->Dtr(true));
    ASSERT_TRUE(port->Rts(true));
    Mark();
    ClearDebugOutput();

    EXPECT_TRUE(engine->m_SaveDeviceState()) << "closed channels and busy ones are left alone";
    std::vector<UrbRecord> log = host->Log();
    std::vector<Vendor> sent = VendorRequests();
    EXPECT_EQ(sent, (std::vector<Vendor>{{FTDI_MODEM_CTRL, 0x0300, kChannel}, {FTDI_RESET, 0, kChannel}}));
    std::vector<UrbRecord> out = BulkOut();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, std::vector<uint8_t>{0x13}) << "Xoff goes straight out";
    EXPECT_EQ(PendingReads(), 0u) << "reading stops";
    std::vector<UrbRecord> vendor = Records(URB_FUNCTION_VENDOR_INTERFACE);
    EXPECT_GE(vendor[1].submitted - vendor[0].completed, 10 * kSecond) << "the chip gets ten seconds to settle";

    // Written meanwhile: held.
    port->ClearWritten();
    ASSERT_TRUE(port->Write({1, 2, 3}));
    Delay(kSecond);
    Mark();

    EXPECT_TRUE(engine->m_RestoreDeviceState());
    EXPECT_EQ(TakeVendorRequests(), (std::vector<Vendor>{
                                        {FTDI_MODEM_CTRL, 0x0300, kChannel},
                                        {FTDI_SET_LATENCY_TIMER, uint16_t(engine->m_GetLatency()), kChannel},
                                        {FTDI_SET_BAUD_RATE, 0x4138, 0x0002},
                                        {FTDI_SET_DATA, 0x0208, kChannel},
                                        {FTDI_RESET, 0, kChannel},
                                        {FTDI_SET_ERROR_CHAR, 0, kChannel},
                                        {FTDI_SET_EVENT_CHAR, 0, kChannel},
                                    }));
    EXPECT_TRUE(BulkOut().empty()) << "still held";
    Delay(10 * kSecond + 10 * kMs);
    EXPECT_EQ(VendorRequests(), (std::vector<Vendor>{{FTDI_SET_FLOW_CTRL, 0x1311, 0x0402},
                                                     {FTDI_MODEM_CTRL, 0x0303, kChannel}}));
    out = BulkOut();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].data, std::vector<uint8_t>{0x11}) << "Xon first";
    EXPECT_EQ(out[1].data, (std::vector<uint8_t>{1, 2, 3})) << "then what was held";
    EXPECT_EQ(PendingReads(), 1u) << "reading again";
}

TEST_F(EngineTest, ReleasingAnEngineWhileItsRestoreWaitsIsSafe)
{
    CreateAndConnect();
    ASSERT_TRUE(engine->m_SaveDeviceState());
    ASSERT_TRUE(engine->m_RestoreDeviceState());
    // The delayed half is asleep on queue B: it still finds its transport when it wakes.
    Delay(kSecond);
    Release();
}

TEST_F(EngineTest, LatencyTimerReadsBack)
{
    CreateAndConnect();
    model->onControl = [](const SetupPacket& s, std::span<const uint8_t>) {
        return ControlReply::Ok(s.In() ? std::vector<uint8_t>{16, 0} : std::vector<uint8_t>{});
    };
    UCHAR latency = 0;
    EXPECT_TRUE(engine->m_GetLatencyTimerValue(&latency));
    EXPECT_EQ(latency, 16);
    EXPECT_EQ(VendorRequests(), (std::vector<Vendor>{{FTDI_READ_LATENCY_TIMER, 0, kChannel, true}}));
}

}  // namespace
}  // namespace kwsim::test
