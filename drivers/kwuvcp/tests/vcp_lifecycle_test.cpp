// The port object's life: the record obtained from the device below and given back, the
// registry defaults at the first connect, the settings replayed at every connect, failed
// connects, and the drain at disconnect in character times.
#include "porttest.h"

namespace kwsim::test {
namespace {

using Calls = std::vector<std::string>;
using Line = RecordingSerial::Line;

class LifecycleTest : public PortTest {};

TEST_F(LifecycleTest, InitObtainsTheRecordFromTheDeviceBelowAndTheRemovalGivesItBack)
{
    Start(3);
    auto requests = bus->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, IOCTL_CREATE_KWISERIAL);
    EXPECT_EQ(requests[0].inLength, 8u);
    EXPECT_EQ(requests[0].outLength, sizeof(void*));
    EXPECT_EQ(requests[0].version, 5u);
    EXPECT_EQ(requests[0].portNumber, 3u);
    ISerial* record = serial().m_GetInterface();
    EXPECT_EQ(record->pCallbackContext, static_cast<ISerialCallback*>(host->vcp));
    for (auto callback : {(void*)record->m_DataReceivedCallback, (void*)record->m_ReservedCallback,
                          (void*)record->m_LineStatusCallback, (void*)record->m_ModemStatusCallback,
                          (void*)record->m_DataWrittenCallback, (void*)record->m_ImmediateCharacterSentCallback,
                          (void*)record->m_XoffHoldingCallback, (void*)record->m_XoffSentCallback,
                          (void*)record->m_AvailableReceiveBufferSizeCallback})
        EXPECT_NE(callback, nullptr);
    EXPECT_FALSE(record->m_ReservedCallback(record->pCallbackContext));

    host->DeleteVcp();
    requests = bus->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].code, IOCTL_RELEASE_KWISERIAL);
    EXPECT_EQ(requests[1].inLength, sizeof(ReleaseKwISerialRequestStruct));
    EXPECT_EQ(requests[1].outLength, 0u);
    EXPECT_EQ(requests[1].portNumber, 3u);
    EXPECT_EQ(requests[1].record, record);
    EXPECT_EQ(bus->Lent(), 0u);
}

// Without a record the port cannot start, and deleting it asks nothing of the bus.
TEST_F(LifecycleTest, InitFailsWithoutARecordAndTheRemovalThenLeavesTheBusAlone)
{
    for (bool refuse : {true, false}) {
        SCOPED_TRACE(refuse ? "the bus refuses" : "the bus answers a null record");
        bus->refuseCreate = refuse;
        bus->nullRecord = !refuse;
        size_t before = bus->Requests().size();
        EXPECT_FALSE(host->CreateVcp(&params));
        EXPECT_EQ(host->vcp->m_pSerialInterface, nullptr);
        EXPECT_FALSE(vcp().m_Connect());
        host->DeleteVcp();
        EXPECT_EQ(bus->Requests().size(), before + 1) << "only the create request";
    }
}

// Every allocation m_Init makes may fail: the start fails and the record, if the port got
// one, goes back at the removal. Once nothing fails the port starts.
TEST_F(LifecycleTest, EveryAllocationFailureOfInitGivesTheRecordBack)
{
    bool started = false;
    uint64_t n = 1;
    for (; n < 100 && !started; n++) {
        SCOPED_TRACE(n);
        host->vcp = new CVCP();
        ASSERT_NE(host->vcp, nullptr);
        vcp().m_pParameters = &params;
        PoolFailNth(n);
        started = vcp().m_Init(host->jn, 1);
        PoolClearFaults();
        host->DeleteVcp();
        EXPECT_EQ(bus->Lent(), 0u);
    }
    EXPECT_TRUE(started);
    EXPECT_GT(n, 5u) << "the create request, the record, the holder and the deferred queue allocate";
}

// The first connect takes the line settings from the registry; later connects replay what
// the application set last.
TEST_F(LifecycleTest, FirstConnectAppliesTheRegistryDefaultsAndEveryConnectReplaysTheSettings)
{
    params.m_ulBaudrate = 19200;
    params.m_ulDatabits = 2;
    params.m_ulParity = 2;
    params.m_ulStopbits = 2;
    params.m_ulFlowControl = CVcpParameters::kFlowCtsRts;
    Start();
    ASSERT_EQ(file.Open(host->device), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(), (Calls{"Connect()", "Baudrate(19200)", "CommSettings(2,2,2)"}));
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u);
    SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.WordLength, 7);
    EXPECT_EQ(line.Parity, EVEN_PARITY);
    EXPECT_EQ(line.StopBits, STOP_BITS_2);
    SERIAL_HANDFLOW h = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(h.ControlHandShake, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(h.FlowReplace, SERIAL_RTS_HANDSHAKE);
    EXPECT_EQ(h.XonLimit, 16384 / 8) << "every connect resets the limits";
    EXPECT_EQ(h.XoffLimit, 16384 / 32);

    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}), STATUS_SUCCESS);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 200), STATUS_SUCCESS);
    Close();
    params.m_ulBaudrate = 38400;  // a new registry default does not reach an open port's settings
    serial().ClearLog();
    ASSERT_EQ(file.Open(host->device), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(), (Calls{"Connect()", "Baudrate(9600)", "CommSettings(3,0,0)"}));
    h = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(h.FlowReplace, SERIAL_RTS_CONTROL) << "the handshake is not reset";
    EXPECT_EQ(h.XonLimit, 16384 / 8);
    EXPECT_EQ(h.XoffLimit, 16384 / 32);
}

// The registry's overrides decide what the device gets; the get requests report what the
// application set, and the replay at the next connect follows the overrides too.
TEST_F(LifecycleTest, OverridesSendTheRegistryValuesWhileGetRequestsReportTheApplications)
{
    struct Case {
        const char* name;
        ULONG CVcpParameters::*override;
        std::string baud, comm;  // what the device gets for the application's 9600 8N1
    } cases[] = {
        {"no override", nullptr, "Baudrate(9600)", "CommSettings(3,0,0)"},
        {"OverridBaudRates", &CVcpParameters::m_ulOverridBaudRates, "Baudrate(19200)", "CommSettings(3,0,0)"},
        {"OverrideDataBits", &CVcpParameters::m_ulOverrideDataBits, "Baudrate(9600)", "CommSettings(2,0,0)"},
        {"OverrideParity", &CVcpParameters::m_ulOverrideParity, "Baudrate(9600)", "CommSettings(3,2,0)"},
        {"OverrideStopbits", &CVcpParameters::m_ulOverrideStopbits, "Baudrate(9600)", "CommSettings(3,0,2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        params = CVcpParameters();
        params.m_ulBaudrate = 19200;
        params.m_ulDatabits = 2;
        params.m_ulParity = 2;
        params.m_ulStopbits = 2;
        if (c.override) params.*c.override = 1;
        host->DeleteVcp();
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}), STATUS_SUCCESS);
        EXPECT_EQ(serial().Calls(), (Calls{c.baud, c.comm}));
        EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u);
        SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
        EXPECT_EQ(line.WordLength, 8);
        EXPECT_EQ(line.Parity, NO_PARITY);
        EXPECT_EQ(line.StopBits, STOP_BIT_1);
        Close();
        serial().ClearLog();
        ASSERT_EQ(file.Open(host->device), STATUS_SUCCESS);
        EXPECT_EQ(serial().Calls(), (Calls{"Connect()", c.baud, c.comm}));
        Close();
    }
}

// On an RS-422/485 port the connect sets the duplex mode first (mode 0 becomes 1).
TEST_F(LifecycleTest, ConnectSetsTheDuplexModeOfAnRs422485Port)
{
    struct Case {
        BOOLEAN is422485;
        ULONG duplexMode, ctsTrue;
        Calls calls;
        ULONG duplexAfter;
    } cases[] = {
        {FALSE, 0, 0, {"Connect()", "Baudrate(9600)", "CommSettings(3,0,0)"}, 0},
        {TRUE, 0, 0, {"Connect()", "DuplexMode(1,0)", "Baudrate(9600)", "CommSettings(3,0,0)"}, 1},
        {TRUE, 3, 7, {"Connect()", "DuplexMode(3,1)", "Baudrate(9600)", "CommSettings(3,0,0)"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.duplexMode);
        host->DeleteVcp();
        bus->capabilities.is422485 = c.is422485;
        params.m_ulDuplexMode = c.duplexMode;
        params.m_ul422485CtsTrue = c.ctsTrue;
        Start();
        ASSERT_EQ(file.Open(host->device), STATUS_SUCCESS);
        EXPECT_EQ(serial().Calls(), c.calls);
        EXPECT_EQ(params.m_ulDuplexMode, c.duplexAfter);
        Close();
    }
}

// A connect the device refuses fails the open; a refused setting closes the channel again.
TEST_F(LifecycleTest, AConnectTheDeviceRefusesFailsTheOpen)
{
    struct Case {
        const char* refused;
        Calls calls;
    } cases[] = {
        {"Connect", {"Connect()"}},
        {"Baudrate", {"Connect()", "Baudrate(9600)", "Disconnect()"}},
        {"CommSettings", {"Connect()", "Baudrate(9600)", "CommSettings(3,0,0)", "Disconnect()"}},
    };
    Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refused);
        serial().ClearLog();
        serial().SetResult(c.refused, FALSE);
        EXPECT_EQ(file.Open(host->device), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(serial().Calls(), c.calls);
        EXPECT_FALSE(vcp().m_bConnected);
        serial().SetResult(c.refused, TRUE);
    }
    ASSERT_EQ(file.Open(host->device), STATUS_SUCCESS);
}

// The close lowers DTR and RTS, then lets the line take what is pending: at least half the
// transmit FIFO in character times, then it polls the transmitter each character time for
// up to 20 times as long. 9600 baud 8N1: 10 x 1042 x 100 ns per character.
TEST_F(LifecycleTest, TheCloseDrainsTheTransmitterInCharacterTimes)
{
    const double kChar = 1.042;  // ms
    struct Case {
        const char* name;
        ULONG pending;      // bytes handed to the bus and not reported written
        double emptyAt;     // ms after the close when the bus reports the transmitter empty (< 0: never)
        double closedAfter; // ms from the close to the device's disconnect
    } cases[] = {
        {"nothing pending, transmitter empty", 0, 0, 0},
        {"nothing pending, transmitter busy: half the FIFO", 0, -1, 256 * kChar * 21},
        {"1000 pending, empty during the first wait", 1000, 500, 1000 * kChar},
        // Polls at 1042 ms + k x 1.042 ms: the 440th is the first after 1500 ms.
        {"1000 pending, empty while polling", 1000, 1500, 1440 * kChar},
        {"1000 pending, never empty", 1000, -1, 21000 * kChar},
        {"10 pending: half the FIFO still", 10, 200, 256 * kChar},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Open());
        serial().txFifoSize = 512;
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}), STATUS_SUCCESS);
        if (c.pending) {
            AppRequest w = file.WriteAsync(std::string(c.pending, 'p').data(), c.pending);
            Settle();
            EXPECT_EQ(serial().Written().size(), c.pending);
        }
        ASSERT_EQ(Do(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
        ASSERT_EQ(Do(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
        Line busy;
        busy.thre = busy.temt = false;
        Line empty;
        ASSERT_TRUE(serial().LineStatus(c.emptyAt == 0 ? empty : busy));
        serial().ClearLog();
        int64_t closing = Now();
        if (c.emptyAt > 0) serial().LineStatusAt(closing + (int64_t)(c.emptyAt * kMs), empty);
        Close();
        auto log = serial().Log();
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log[0].text, "GetFifoSizes()");
        EXPECT_EQ(log[1].text, "Dtr(0)");
        EXPECT_EQ(log[2].text, "Rts(0)");
        EXPECT_EQ(log.back().text, "Disconnect()");
        EXPECT_EQ(log.back().at - closing, (int64_t)(c.closedAfter * kMs + 0.5));
        host->DeleteVcp();
    }
}

}  // namespace
}  // namespace kwsim::test
