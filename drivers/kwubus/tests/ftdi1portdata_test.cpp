// The channel engine's data paths against a scripted device, which lets a test choose
// every status byte and every bulk handshake: received packets, read sizing and pauses,
// the transmit queue and pump, written-byte credit, immediate characters and flow control.
#include "engine_fixture.h"
#include "simchip/chipprotocol.h"

namespace kwsim::test {
namespace {

constexpr int64_t kSecond = 10'000'000;
constexpr uint8_t kIn = 0x83;
constexpr uint8_t kOut = 0x04;

std::vector<uint8_t> Packet(uint8_t modem, uint8_t line, std::vector<uint8_t> payload = {})
{
    std::vector<uint8_t> p{modem, line};
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

class EngineDataTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        CreateAndConnect();
    }
    // A transfer from the chip, then time for it to be read and delivered.
    void Arrive(std::vector<uint8_t> transfer)
    {
        model->QueueInBytes(kIn, transfer);
        Delay(5 * kMs);
    }
    void TearDown() override
    {
        if (port) {
            EXPECT_EQ(port->WrongLevels(), std::vector<std::string>{});
        }
        EngineTest::TearDown();
    }
};

TEST_F(EngineDataTest, ReceivedPacketsBecomeDataAndStatusReports)
{
    ASSERT_TRUE(port->Triggers(1, 8));
    ASSERT_TRUE(port->Baud(115200));  // reads of 4096 bytes from the next one on
    size_t lines = port->Lines().size(), modems = port->Modems().size();
    Arrive(Packet(0x31, 0x60, {'h', 'i'}));
    EXPECT_EQ(port->Received(), (std::vector<uint8_t>{'h', 'i'}));
    ASSERT_EQ(port->Modems().size(), modems + 1);
    EXPECT_EQ(port->Modems().back().bits, 0x31) << "CTS and DSR came up";
    EXPECT_EQ(port->Lines().size(), lines) << "the line status did not change";

    // One transfer of three packets: the payloads are joined, the status bytes dropped.
    std::vector<uint8_t> payload = kwsim::usb::test::Bytes(130, 1);
    Arrive(kwsim::chip::BuildPackets(0x31, 0x60, payload));
    std::vector<uint8_t> got = port->Received();
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 2, got.end()), payload);
    EXPECT_EQ(port->Deliveries().back(), 130u) << "one delivery per read";

    // A status-only transfer or a corrupted one delivers nothing.
    Arrive(Packet(0x31, 0x60));
    Arrive(Packet(0x00, 0x60, {'x'}));
    EXPECT_EQ(port->ReceivedCount(), 132u);
}

TEST_F(EngineDataTest, LineErrorsAndModemChangesReachThePortAsStatus)
{
    port->ClearWritten();
    struct Case {
        std::vector<uint8_t> transfer;
        int lineReports;       // new line-status reports
        uint8_t line;          // the last one
        int modemReports;
        uint8_t modem;
    };
    const Case cases[] = {
        // A parity error arrives with data ready and a receive-FIFO error added.
        {Packet(0x11, 0x04, {'p'}), 1, 0x85, 0, 0},
        // The same byte again still counts: an error came with data.
        {Packet(0x11, 0x04, {'q'}), 1, 0x85, 0, 0},
        {Packet(0x11, 0x08, {'f'}), 1, 0x89, 0, 0},
        // A break also counts as a framing error.
        {Packet(0x11, 0x10, {0}), 1, 0x99, 0, 0},
        {Packet(0x11, 0x62, {'o'}), 1, 0x62, 0, 0},  // overrun: reported as it is
        {Packet(0x11, 0x60, {'k'}), 1, 0x60, 0, 0},
        // RI rings, then goes: its trailing edge is reported once.
        {Packet(0x51, 0x60), 0, 0, 1, 0x51},
        {Packet(0x11, 0x60), 0, 0, 1, 0x15},
        {Packet(0x91, 0x60), 0, 0, 1, 0x91},  // DCD, and the trailing edge cleared
    };
    for (const Case& c : cases) {
        size_t lines = port->Lines().size(), modems = port->Modems().size();
        Arrive(c.transfer);
        std::vector<TestPort::Status> l = port->Lines(), m = port->Modems();
        ASSERT_EQ(l.size(), lines + c.lineReports);
        if (c.lineReports) {
            EXPECT_EQ(l.back().bits, c.line);
        }
        ASSERT_EQ(m.size(), modems + c.modemReports);
        if (c.modemReports) {
            EXPECT_EQ(m.back().bits, c.modem);
        }
    }
    EXPECT_EQ(port->Received(), (std::vector<uint8_t>{'p', 'q', 'f', 0, 'o', 'k'}));
}

TEST_F(EngineDataTest, DsrSensitivityDropsDataWhileDsrIsLow)
{
    ASSERT_TRUE(port->Handshake(false, false, false, false, true, false, false, false));
    Arrive(Packet(0x11, 0x60, {'a'}));
    Arrive(Packet(0x31, 0x60, {'b'}));
    EXPECT_EQ(port->Received(), std::vector<uint8_t>{'b'});
}

TEST_F(EngineDataTest, TheNextReadFitsTheFreeReceiveSpace)
{
    ASSERT_TRUE(port->Triggers(1, 8));
    ASSERT_TRUE(port->Baud(115200));  // policy: 16 ms, 4096 bytes
    port->SetBufferSize(4000);
    Arrive(Packet(0x31, 0x60, kwsim::usb::test::Bytes(40)));
    Delay(2 * kMs);
    // 4000 free before 40 arrive; (4000 - 40 - 256 - 62) / 62 = 58 packets.
    EXPECT_EQ(BulkIn().back().requested, 58u * 64);
    port->SetBufferSize(400);
    Arrive(Packet(0x31, 0x60, kwsim::usb::test::Bytes(40)));
    EXPECT_EQ(BulkIn().back().requested, 64u) << "little room: one packet at a time";
    port->SetBufferSize(1u << 20);
    Arrive(Packet(0x31, 0x60, kwsim::usb::test::Bytes(40)));
    EXPECT_EQ(BulkIn().back().requested, 4096u) << "never above the policy's size";
}

TEST_F(EngineDataTest, AReadPostedBeforeAnyDeliveryFitsTheFreeReceiveSpaceToo)
{
    // After a baud change the policy's size (4096 bytes at 115,200) would land a whole
    // transfer in a port with room for 1000: the read is cut to (1000 - 256 - 62) / 62 = 11
    // packets, whatever comes first (here a status-only transfer).
    ASSERT_TRUE(port->Triggers(1, 8));
    ASSERT_TRUE(port->Baud(9600));
    port->SetBufferSize(1000);
    ASSERT_TRUE(port->Baud(115200));
    Arrive(Packet(0x31, 0x60));
    Delay(2 * kMs);
    EXPECT_EQ(BulkIn().back().requested, 11u * 64);
    EXPECT_EQ(engine->m_GetRxTransferSize(), 4096u) << "the policy's size stays the bound";

    // The same for the read a connect posts.
    Release();
    Create();
    port->SetBufferSize(1000);
    Mark();
    ASSERT_TRUE(port->Connect());
    Arrive(Packet(0x31, 0x60));
    Delay(2 * kMs);
    ASSERT_FALSE(BulkIn().empty());
    for (const UrbRecord& r : BulkIn()) EXPECT_LE(r.requested, 11u * 64);
}

TEST_F(EngineDataTest, ReadingPausesWhileDeliveriesLagAndResumesWithoutLoss)
{
    port->HoldDeliveries(true);
    std::vector<uint8_t> all;
    for (int i = 0; i < 3; i++) {
        std::vector<uint8_t> chunk = kwsim::usb::test::Bytes(10, uint8_t(i * 10));
        all.insert(all.end(), chunk.begin(), chunk.end());
        model->QueueIn(kIn, Packet(0x31, 0x60, chunk));
    }
    Delay(10 * kMs);
    // The first delivery waits; the second read makes two pending and pauses reading.
    EXPECT_EQ(port->ReceivedCount(), 0u);
    EXPECT_EQ(PendingReads(), 0u) << "paused: no read in flight";
    FTDI_CHANNEL_SNAPSHOT s;
    engine->m_GetSnapshot(&s);
    EXPECT_EQ(s.ulReadNotPaused, 0u);
    port->HoldDeliveries(false);
    Delay(10 * kMs);
    EXPECT_EQ(port->Received(), all) << "every byte, in order";
    EXPECT_EQ(PendingReads(), 1u) << "reading again";
    engine->m_GetSnapshot(&s);
    EXPECT_EQ(s.ulReadNotPaused, 1u);
}

TEST_F(EngineDataTest, At9600BaudCreditFollowsTheEmulatedFifo)
{
    ASSERT_TRUE(port->Baud(9600));
    ASSERT_TRUE(port->Comm(3, 0, 0));
    port->ClearWritten();
    Mark();
    const int64_t t0 = Now();
    const int64_t character = 10 * 1042;  // 8N1: 10 bits of 1,042 * 100 ns
    ASSERT_TRUE(port->Write(kwsim::usb::test::Bytes(100)));
    Delay(200 * kMs);
    std::vector<TestPort::Written> w = port->WrittenReports();
    ASSERT_EQ(w.size(), 99u);
    EXPECT_EQ(w[0].at, t0);
    EXPECT_EQ(w[0].bytes, 2u) << "the chunk, at once";
    for (size_t k = 1; k <= 97; k++) {
        EXPECT_EQ(w[k].bytes, 1u);
        EXPECT_EQ(w[k].at, t0 + int64_t(k) * character) << k;
    }
    EXPECT_EQ(w[98].at, t0 + 100 * character) << "the two reported in advance are not reported again";
    EXPECT_EQ(port->WrittenTotal(), 100u);
    std::vector<UrbRecord> out = BulkOut();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].transferred, 100u);
    EXPECT_LT(out[0].completed, t0 + 10 * kMs) << "the chip took it long before the credit came";
}

TEST_F(EngineDataTest, Above38400BaudCreditFollowsTheUsbCompletion)
{
    ASSERT_TRUE(port->Baud(115200));
    ASSERT_TRUE(port->Comm(3, 0, 0));
    port->ClearWritten();
    Mark();
    const int64_t t0 = Now();
    ASSERT_TRUE(port->Write(kwsim::usb::test::Bytes(100)));
    Delay(20 * kMs);
    std::vector<TestPort::Written> w = port->WrittenReports();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].bytes, 13u);
    EXPECT_EQ(w[0].at, t0);
    EXPECT_EQ(w[1].bytes, 87u);
    ASSERT_EQ(BulkOut().size(), 1u);
    EXPECT_EQ(w[1].at, BulkOut()[0].completed);
}

TEST_F(EngineDataTest, WritesHeldByCtsGoOutMergedWhenItReturns)
{
    ASSERT_TRUE(port->Baud(115200));
    ASSERT_TRUE(port->Handshake(true, true, false, false, false, false, false, false));
    Arrive(Packet(0x01, 0x60));  // CTS low
    Mark();
    ASSERT_TRUE(port->Write({1, 2}));
    ASSERT_TRUE(port->Write({3}));
    ASSERT_TRUE(port->Immediate('!'));  // ahead of everything queued
    Delay(5 * kMs);
    EXPECT_TRUE(BulkOut().empty());
    Arrive(Packet(0x11, 0x60));  // CTS high
    std::vector<UrbRecord> out = BulkOut();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, (std::vector<uint8_t>{'!', 1, 2, 3}));
    EXPECT_EQ(port->ImmediateSent(), 1);
}

TEST_F(EngineDataTest, ImmediateCharactersAndSoftwareFlowControl)
{
    ASSERT_TRUE(port->Baud(115200));
    port->ClearWritten();
    Mark();
    ASSERT_TRUE(port->Immediate('A'));
    EXPECT_EQ(BulkOut().back().data, std::vector<uint8_t>{'A'});
    EXPECT_EQ(port->ImmediateSent(), 1);
    EXPECT_EQ(port->WrittenTotal(), 1u);

    // Input flow control: the port's Xoff goes out at once, is not counted as written
    // data, and holds transmission until its Xon.
    ASSERT_TRUE(port->Handshake(false, false, false, false, false, false, false, true));
    ASSERT_TRUE(port->SendXonXoff(true));
    EXPECT_EQ(BulkOut().back().data, std::vector<uint8_t>{0x13});
    EXPECT_EQ(port->XoffSentReports(), std::vector<bool>{true});
    EXPECT_EQ(port->ImmediateSent(), 1) << "not for flow-control characters";
    EXPECT_EQ(port->WrittenTotal(), 1u) << "the Xoff is no write of the port's";
    size_t sent = BulkOut().size();
    ASSERT_TRUE(port->Write({7}));
    Delay(5 * kMs);
    EXPECT_EQ(BulkOut().size(), sent) << "held after our Xoff";
    // From DISPATCH_LEVEL the request is deferred to passive level.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    BOOLEAN deferred = port->SendXonXoff(false);
    KeLowerIrql(old);
    EXPECT_TRUE(deferred);
    Delay(5 * kMs);
    std::vector<UrbRecord> out = BulkOut();
    ASSERT_EQ(out.size(), sent + 2);
    EXPECT_EQ(out[sent].data, std::vector<uint8_t>{0x11});
    EXPECT_EQ(out[sent + 1].data, std::vector<uint8_t>{7});
    EXPECT_EQ(port->WrittenTotal(), 2u) << "only the 7 of the port's write";

    // Output flow control: an Xoff from the peer holds transmission until its Xon; both
    // still reach the port.
    ASSERT_TRUE(port->Handshake(false, false, false, false, false, false, true, false));
    Arrive(Packet(0x11, 0x60, {'a', 0x13}));
    sent = BulkOut().size();
    ASSERT_TRUE(port->Write({8}));
    Delay(5 * kMs);
    EXPECT_EQ(BulkOut().size(), sent);
    Arrive(Packet(0x11, 0x60, {0x11}));
    EXPECT_EQ(BulkOut().size(), sent + 1);
    EXPECT_EQ(port->Received(), (std::vector<uint8_t>{'a', 0x13, 0x11}));
    // The port can hold transmission as if an Xoff had come.
    EXPECT_TRUE(record->m_PretendXoffReceivedCallback(engine, TRUE));
    ASSERT_TRUE(port->Write({9}));
    Delay(5 * kMs);
    EXPECT_EQ(BulkOut().size(), sent + 1);
    EXPECT_TRUE(record->m_PretendXoffReceivedCallback(engine, FALSE));
    Delay(5 * kMs);
    EXPECT_EQ(BulkOut().size(), sent + 2);
}

TEST_F(EngineDataTest, AFailedTransferWaitsForTheNextWriteOrStatusChange)
{
    ASSERT_TRUE(port->Baud(115200));
    Mark();
    plugged->FailBulk(kOut, 1000, USBD_STATUS_DEV_NOT_RESPONDING);
    ASSERT_TRUE(port->Write({1, 2, 3}));
    Delay(50 * kMs);
    EXPECT_EQ(BulkOut().size(), 1u) << "not retried at once, again and again";
    plugged->ClearFaults();
    ASSERT_TRUE(port->Write({4}));
    Delay(5 * kMs);
    std::vector<UrbRecord> out = BulkOut();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].data, (std::vector<uint8_t>{1, 2, 3, 4})) << "the failed bytes go first";

    plugged->FailBulk(kOut, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    ASSERT_TRUE(port->Write({5}));
    Delay(5 * kMs);
    EXPECT_EQ(BulkOut().size(), 3u);
    Arrive(Packet(0x31, 0x60));  // a line change lets the pump try again
    EXPECT_EQ(BulkOut().size(), 4u);
    EXPECT_EQ(BulkOut().back().data, std::vector<uint8_t>{5});
}

TEST_F(EngineDataTest, AGoneDeviceDropsTheDataOnce)
{
    ASSERT_TRUE(port->Baud(115200));
    plugged->Unplug();
    Mark();
    port->ClearWritten();
    ASSERT_TRUE(port->Write(kwsim::usb::test::Bytes(50)));
    Delay(50 * kMs);
    EXPECT_EQ(BulkOut().size(), 1u);
    EXPECT_EQ(port->WrittenTotal(), 50u) << "counted as written, as purged data is";
}

TEST_F(EngineDataTest, AShortTransfersRemainderIsCreditedOnceAt9600)
{
    ASSERT_TRUE(port->Baud(9600));
    Mark();
    port->ClearWritten();
    size_t lines = port->Lines().size();
    plugged->ShortBulk(kOut, 40);
    ASSERT_TRUE(port->Write(kwsim::usb::test::Bytes(100)));
    Delay(300 * kMs);
    std::vector<UrbRecord> out = BulkOut();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].transferred, 40u);
    EXPECT_EQ(out[1].transferred, 60u);
    EXPECT_EQ(port->WrittenTotal(), 100u);
    // The emulated FIFO ran empty and its timer stopped: no transmitter reports follow.
    EXPECT_EQ(port->Lines().size(), lines);
    Delay(kSecond);
    EXPECT_EQ(port->Lines().size(), lines);
    EXPECT_EQ(port->WrittenTotal(), 100u);
}

TEST_F(EngineDataTest, RtsToggleDropsRtsWhenTheChipsTransmitterIsEmpty)
{
    ASSERT_TRUE(port->Baud(115200));
    ASSERT_TRUE(port->Handshake(false, false, false, false, false, true, false, false));
    Mark();
    ASSERT_TRUE(port->Write({1, 2, 3}));
    Delay(5 * kMs);
    std::vector<UrbRecord> out = BulkOut();
    ASSERT_EQ(out.size(), 1u);
    std::vector<UrbRecord> rts = Records(URB_FUNCTION_VENDOR_INTERFACE);
    ASSERT_EQ(rts.size(), 1u);
    EXPECT_LE(rts[0].completed, out[0].submitted) << "up before the data";
    EXPECT_EQ(TakeVendorRequests(), (std::vector<Vendor>{{FTDI_MODEM_CTRL, 0x0202, kChannel}}));
    // The read in flight when the transfer ended may show the transmitter as it was.
    Arrive(Packet(0x11, 0x60));
    Arrive(Packet(0x11, 0x20));  // still shifting out
    EXPECT_TRUE(VendorRequests().empty());
    Arrive(Packet(0x11, 0x60));
    EXPECT_EQ(VendorRequests(), (std::vector<Vendor>{{FTDI_MODEM_CTRL, 0x0200, kChannel}}));
}

TEST_F(EngineDataTest, PurgingTransmitDataCountsItAsWritten)
{
    ASSERT_TRUE(port->Baud(115200));
    ASSERT_TRUE(port->Handshake(true, true, false, false, false, false, false, false));
    Arrive(Packet(0x01, 0x60));  // CTS low: held
    port->ClearWritten();
    Mark();
    ASSERT_TRUE(port->Write(kwsim::usb::test::Bytes(50)));
    EXPECT_EQ(port->WrittenTotal(), 0u) << "no credit while held";
    int64_t before = Now();
    ASSERT_TRUE(port->Purge(true, false));
    EXPECT_EQ(port->WrittenTotal(), 50u);
    EXPECT_TRUE(BulkOut().empty());
    EXPECT_EQ(VendorRequests(), (std::vector<Vendor>{{FTDI_RESET, 1, kChannel}}));
    // The 64 character times at 115,200 baud come first.
    const int64_t character = 10 * ((115200 + 9999999) / 115200);
    EXPECT_GE(Records(URB_FUNCTION_VENDOR_INTERFACE)[0].submitted - before, 64 * character);
}

TEST_F(EngineDataTest, WithoutARateNothingWaitsForCharacterTimes)
{
    // Reconnected, the channel has no rate until the port sets one: a purge waits no
    // character times and a write starts no emulation timer.
    ASSERT_TRUE(port->Disconnect());
    ASSERT_TRUE(port->Connect());
    int64_t before = Now();
    ASSERT_TRUE(port->Purge(true, true));
    EXPECT_LT(Now() - before, 5 * kMs);
    port->ClearWritten();
    ASSERT_TRUE(port->Write({1, 2, 3}));
    Delay(10 * kMs);
    EXPECT_EQ(port->WrittenTotal(), 3u) << "credited without the emulation";
}

}  // namespace
}  // namespace kwsim::test
