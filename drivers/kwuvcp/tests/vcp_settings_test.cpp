// The port object's settings: what each request does to the shadows and which device calls
// it makes, the validation against the port parameters, the registry overrides, and the
// discovery of the rates and signals the device offers.
#include "porttest.h"

namespace kwsim::test {
namespace {

using Calls = std::vector<std::string>;

class SettingsTest : public PortTest {};

// ---- baud rate ----

TEST_F(SettingsTest, BaudRatesAreCheckedAgainstTheParametersThenSetOnTheDevice)
{
    const ULONG kNoUser = 0x0007FFFF & ~SERIAL_BAUD_57600;
    struct Case {
        const char* name;
        ULONG supported, min, max;
        ULONG rate;
        BOOLEAN deviceAccepts;
        NTSTATUS status;
        Calls calls;
    } cases[] = {
        {"a rate within the bounds, any rate allowed", 0x1007FFFF, 75, 1000000, 250000, TRUE, STATUS_SUCCESS, {"Baudrate(250000)"}},
        {"above MaxBaudRate", 0x1007FFFF, 75, 1000000, 1000001, TRUE, STATUS_UNSUCCESSFUL, {}},
        {"below MinBaudRate", 0x1007FFFF, 300, 1000000, 150, TRUE, STATUS_UNSUCCESSFUL, {}},
        {"57600 without its bit or SERIAL_BAUD_USER", kNoUser, 75, 1000000, 57600, TRUE, STATUS_UNSUCCESSFUL, {}},
        {"57600 with its bit", SERIAL_BAUD_57600, 75, 1000000, 57600, TRUE, STATUS_SUCCESS, {"Baudrate(57600)"}},
        {"a rate no bit names", kNoUser, 75, 1000000, 250000, TRUE, STATUS_UNSUCCESSFUL, {}},
        {"134.5 baud asked for as 134", SERIAL_BAUD_134_5, 75, 1000000, 134, TRUE, STATUS_SUCCESS, {"Baudrate(134)"}},
        {"the device cannot generate it", 0x1007FFFF, 75, 1000000, 4000, FALSE, STATUS_UNSUCCESSFUL, {"Baudrate(4000)"}},
        // No line runs at 0 baud; the character time would divide by it.
        {"0 baud, even when the bounds and the mask allow it", 0x1007FFFF, 0, 1000000, 0, TRUE,
         STATUS_INVALID_PARAMETER, {}},
    };
    ASSERT_NO_FATAL_FAILURE(Open());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        params = CVcpParameters();
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS) << "the rate before";
        params.m_ulSupportedBaudRates = c.supported;
        params.m_ulMinBaudRate = c.min;
        params.m_ulMaxBaudRate = c.max;
        serial().ClearLog();
        serial().SetResult("Baudrate", c.deviceAccepts);
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{c.rate}), c.status);
        serial().SetResult("Baudrate", TRUE);
        EXPECT_EQ(serial().Calls(), c.calls);
        EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, c.status ? 9600u : c.rate);
    }
}

// bits x ceil(10^7 / rate), bits = start + data + parity + stop (1.5 counts as 1).
TEST_F(SettingsTest, TheCharacterTimeCountsEveryBitOfTheFrame)
{
    struct Case {
        ULONG rate;
        SERIAL_LINE_CONTROL line;
        LONGLONG charTime;
    } cases[] = {
        {9600, {STOP_BIT_1, NO_PARITY, 8}, 10 * 1042},
        {9600, {STOP_BITS_2, EVEN_PARITY, 7}, 11 * 1042},
        {115200, {STOP_BITS_1_5, NO_PARITY, 8}, 10 * 87},
        {300, {STOP_BIT_1, MARK_PARITY, 5}, 8 * 33334},
        // A registry default of 0 can stand in the shadow (the device never gets it): the
        // character time is that of 75 baud, not a division by zero.
        {0, {STOP_BIT_1, NO_PARITY, 8}, 10 * 133334},
    };
    Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        vcp().m_ulBaudRate = c.rate;
        vcp().m_LineControl = c.line;
        EXPECT_EQ(vcp().m_GetCharTime(), c.charTime);
    }
}

// Without a mask from the device the port asks it for every standard rate within the bounds,
// in a fixed order. The bus accepts nothing at 183 baud and below, so 75, 110, 134.5 and 150
// baud are not advertised.
TEST_F(SettingsTest, ProbingAsksTheDeviceForEachRateInOrder)
{
    const Calls kOrder = {"IsBaudRateSettable(75)",    "IsBaudRateSettable(110)",    "IsBaudRateSettable(150)",
                          "IsBaudRateSettable(300)",   "IsBaudRateSettable(600)",    "IsBaudRateSettable(135)",
                          "IsBaudRateSettable(1200)",  "IsBaudRateSettable(1800)",   "IsBaudRateSettable(2400)",
                          "IsBaudRateSettable(4800)",  "IsBaudRateSettable(7200)",   "IsBaudRateSettable(9600)",
                          "IsBaudRateSettable(14400)", "IsBaudRateSettable(19200)",  "IsBaudRateSettable(38400)",
                          "IsBaudRateSettable(56000)", "IsBaudRateSettable(128000)", "IsBaudRateSettable(115200)",
                          "IsBaudRateSettable(57600)", "IsBaudRateSettable(230400)", "IsBaudRateSettable(460800)",
                          "IsBaudRateSettable(921600)"};
    Start();
    serial().ClearLog();
    EXPECT_TRUE(vcp().m_CheckSupportedBaudRates());
    EXPECT_EQ(serial().Calls(), kOrder) << "60 baud only for a mask of the device's own";
    EXPECT_EQ(params.m_ulSupportedBaudRates, 0x1007FFF0u);
    EXPECT_EQ(params.m_ulMinBaudRate, 75u) << "the bounds stay";
    EXPECT_EQ(params.m_ulMaxBaudRate, 1000000u);
    EXPECT_FALSE(vcp().m_CheckSupportedBaudRates()) << "nothing changed the second time";

    struct Case {
        const char* name;
        ULONG min, max;
        std::function<BOOLEAN(ULONG)> settable;
        BOOLEAN changed;
        ULONG supported;
    } cases[] = {
        {"bounds 75..115200", 75, 115200, nullptr, TRUE, 0x0006FFF0},
        {"every rate: as before", 75, 1000000, [](ULONG) { return (BOOLEAN)TRUE; }, FALSE, 0x1007FFFF},
        {"no rate: the parameter stays", 75, 1000000, [](ULONG) { return (BOOLEAN)FALSE; }, TRUE, 0x1007FFFF},
    };
    auto bus = serial().settable;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        params = CVcpParameters();
        params.m_ulMinBaudRate = c.min;
        params.m_ulMaxBaudRate = c.max;
        serial().settable = c.settable ? c.settable : bus;
        EXPECT_EQ(vcp().m_CheckSupportedBaudRates(), c.changed);
        EXPECT_EQ(params.m_ulSupportedBaudRates, c.supported);
    }
}

// A device that gives its own mask: the mask is taken and the bounds become the slowest
// and fastest of its rates the device accepts (the device's maximum for SERIAL_BAUD_USER).
TEST_F(SettingsTest, ADevicesOwnMaskSetsTheSupportedRatesAndTheBounds)
{
    struct Case {
        const char* name;
        ULONG mask;
        Calls calls;
        ULONG min, max;
        BOOLEAN changed;
    } cases[] = {
        {"75 and 9600 baud and any rate", SERIAL_BAUD_075 | SERIAL_BAUD_9600 | SERIAL_BAUD_USER,
         {"IsBaudRateSettable(60)", "IsBaudRateSettable(75)", "IsBaudRateSettable(9600)", "IsBaudRateSettable(230400)",
          "IsBaudRateSettable(460800)", "IsBaudRateSettable(921600)", "GetMaximumBaudRate()",
          "IsBaudRateSettable(3000000)"},
         9600, 3000000, TRUE},
        {"only rates the device refuses: the bounds stay", SERIAL_BAUD_075 | SERIAL_BAUD_110,
         {"IsBaudRateSettable(60)", "IsBaudRateSettable(75)", "IsBaudRateSettable(110)"}, 75, 1000000, TRUE},
        {"1200 and 2400", SERIAL_BAUD_1200 | SERIAL_BAUD_2400,
         {"IsBaudRateSettable(1200)", "IsBaudRateSettable(2400)"}, 1200, 2400, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host->DeleteVcp();
        params = CVcpParameters();
        bus->capabilities.supportedBaudRates = (LONG)c.mask;
        Start();
        serial().ClearLog();
        EXPECT_EQ(vcp().m_CheckSupportedBaudRates(), c.changed);
        EXPECT_EQ(serial().Calls(), c.calls);
        EXPECT_EQ(params.m_ulSupportedBaudRates, c.mask);
        EXPECT_EQ(params.m_ulMinBaudRate, c.min);
        EXPECT_EQ(params.m_ulMaxBaudRate, c.max);
    }
}

TEST_F(SettingsTest, TheSupportedSignalsFollowTheDevice)
{
    bus->capabilities.cts = FALSE;
    bus->capabilities.ri = FALSE;
    Start();
    EXPECT_TRUE(vcp().m_CheckSupportedSignals());
    EXPECT_EQ(params.m_ulCtsSupported, 0u);
    EXPECT_EQ(params.m_ulRtsSupported, 1u);
    EXPECT_EQ(params.m_ulDtrSupported, 1u);
    EXPECT_EQ(params.m_ulDsrSupported, 1u);
    EXPECT_EQ(params.m_ulDcdSupported, 1u);
    EXPECT_EQ(params.m_ulRiSupported, 0u);
    EXPECT_FALSE(vcp().m_CheckSupportedSignals());
}

TEST_F(SettingsTest, PropertiesReportTheParametersAndThePortType)
{
    for (BOOLEAN rs422485 : {FALSE, TRUE}) {
        SCOPED_TRACE(rs422485);
        host->DeleteVcp();
        bus->capabilities.is422485 = rs422485;
        params.m_ulSupportedBaudRates = 0x1000FFF0;
        params.m_ulSupportedDataBits = 0xC;
        params.m_ulSupportedStopBits = 0x5;
        params.m_ulSupportedParities = 0x0700;
        Start();
        EXPECT_EQ(vcp().m_GetPortType(), rs422485 ? 1u : 0u);
        SERIAL_COMMPROP p;
        memset(&p, 0xCC, sizeof p);
        ASSERT_EQ(vcp().m_GetPortProperties(&p), STATUS_SUCCESS);
        EXPECT_EQ(p.PacketLength, 64);
        EXPECT_EQ(p.PacketVersion, 2);
        EXPECT_EQ(p.ServiceMask, SERIAL_SP_SERIALCOMM);
        EXPECT_EQ(p.Reserved1 | p.MaxTxQueue | p.MaxRxQueue | p.CurrentTxQueue | p.ProvSpec1 | p.ProvSpec2, 0u);
        EXPECT_EQ(p.ProvChar[0], 0);
        EXPECT_EQ(p.MaxBaud, SERIAL_BAUD_USER);
        EXPECT_EQ(p.ProvSubType, rs422485 ? SERIAL_SP_RS422 : SERIAL_SP_RS232);
        EXPECT_EQ(p.ProvCapabilities, 0xFFu);
        EXPECT_EQ(p.SettableParams, 0x7Fu);
        EXPECT_EQ(p.SettableBaud, 0x1000FFF0u);
        EXPECT_EQ(p.SettableData, 0xC);
        EXPECT_EQ(p.SettableStopParity, 0x0705);
        EXPECT_EQ(p.CurrentRxQueue, 16384u);
    }
    EXPECT_EQ(vcp().m_GetPortProperties(nullptr), STATUS_INVALID_PARAMETER);
}

// ---- line control, timeouts, characters ----

TEST_F(SettingsTest, LineControlIsCheckedAgainstTheMasksAndSentAsDeviceCodes)
{
    struct Case {
        const char* name;
        SERIAL_LINE_CONTROL line;
        ULONG dataBits, parities, stopBits;  // Supported* masks
        BOOLEAN deviceAccepts;
        NTSTATUS status;
        Calls calls;
        bool stored;
    } cases[] = {
        {"5N1", {STOP_BIT_1, NO_PARITY, 5}, 15, 0x1F00, 7, TRUE, STATUS_SUCCESS, {"CommSettings(0,0,0)"}, true},
        {"6O1.5", {STOP_BITS_1_5, ODD_PARITY, 6}, 15, 0x1F00, 7, TRUE, STATUS_SUCCESS, {"CommSettings(1,1,1)"}, true},
        {"7E2", {STOP_BITS_2, EVEN_PARITY, 7}, 15, 0x1F00, 7, TRUE, STATUS_SUCCESS, {"CommSettings(2,2,2)"}, true},
        {"8M1", {STOP_BIT_1, MARK_PARITY, 8}, 15, 0x1F00, 7, TRUE, STATUS_SUCCESS, {"CommSettings(3,3,0)"}, true},
        {"8S1", {STOP_BIT_1, SPACE_PARITY, 8}, 15, 0x1F00, 7, TRUE, STATUS_SUCCESS, {"CommSettings(3,4,0)"}, true},
        {"5 data bits not supported", {STOP_BIT_1, NO_PARITY, 5}, 0xE, 0x1F00, 7, TRUE, STATUS_INVALID_PARAMETER, {}, false},
        {"9 data bits", {STOP_BIT_1, NO_PARITY, 9}, 15, 0x1F00, 7, TRUE, STATUS_INVALID_PARAMETER, {}, false},
        {"space parity not supported", {STOP_BIT_1, SPACE_PARITY, 8}, 15, 0x0F00, 7, TRUE, STATUS_INVALID_PARAMETER, {}, false},
        {"parity 5", {STOP_BIT_1, 5, 8}, 15, 0x1F00, 7, TRUE, STATUS_INVALID_PARAMETER, {}, false},
        {"1.5 stop bits not supported", {STOP_BITS_1_5, NO_PARITY, 8}, 15, 0x1F00, 5, TRUE, STATUS_INVALID_PARAMETER, {}, false},
        // The shadow takes the request before the device is asked.
        {"the device refuses", {STOP_BITS_2, ODD_PARITY, 7}, 15, 0x1F00, 7, FALSE, STATUS_INVALID_PARAMETER,
         {"CommSettings(2,1,2)"}, true},
    };
    ASSERT_NO_FATAL_FAILURE(Open());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vcp().m_LineControl = {STOP_BIT_1, NO_PARITY, 8};
        params.m_ulSupportedDataBits = c.dataBits;
        params.m_ulSupportedParities = c.parities;
        params.m_ulSupportedStopBits = c.stopBits;
        serial().ClearLog();
        serial().SetResult("CommSettings", c.deviceAccepts);
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, c.line), c.status);
        EXPECT_EQ(serial().Calls(), c.calls);
        SERIAL_LINE_CONTROL now = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
        SERIAL_LINE_CONTROL expected = c.stored ? c.line : SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8};
        EXPECT_EQ(now.WordLength, expected.WordLength);
        EXPECT_EQ(now.Parity, expected.Parity);
        EXPECT_EQ(now.StopBits, expected.StopBits);
    }
}

// Timeouts are the port's own: the read queue and the write queue get them, the device
// nothing.
TEST_F(SettingsTest, TimeoutsGoToTheQueues)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    SERIAL_TIMEOUTS invalid = {MAXULONG, MAXULONG, MAXULONG, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, invalid), STATUS_INVALID_PARAMETER);
    SERIAL_TIMEOUTS t = {0, 0, 50, 0, 30};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, t), STATUS_SUCCESS);
    EXPECT_EQ(vcp().m_Timeouts.ReadTotalTimeoutConstant, 50u);
    EXPECT_EQ(vcp().m_Timeouts.WriteTotalTimeoutConstant, 30u);
    EXPECT_TRUE(serial().Calls().empty());
    char data[8];
    int64_t start = Now();
    AppRequest read = file.ReadAsync(data, sizeof data);
    AppRequest write = file.WriteAsync("abc", 3);  // handed over, never reported written
    EXPECT_EQ(write.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(write.CompletedAt() - start, 30 * kMs);
    EXPECT_EQ(read.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(read.CompletedAt() - start, 50 * kMs);
}

TEST_F(SettingsTest, SpecialCharactersAreStoredAndHandedToTheDeviceInItsOrder)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    SERIAL_CHARS c = {0x1A /*eof*/, '?' /*error*/, '!' /*break*/, '#' /*event*/, 0x11, 0x13};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, c), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(), (Calls{"SpecialCharacters(33,26,63,35,17,19)"})) << "break, eof, error, event, xon, xoff";
    serial().SetResult("SpecialCharacters", FALSE);
    c.EventChar = '$';
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, c), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS).EventChar, '$') << "stored before the device is asked";
    serial().SetResult("SpecialCharacters", TRUE);
    // The port's own LSR/MST escape may not become Xon or Xoff.
    ASSERT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, (UCHAR)0xFF), STATUS_SUCCESS);
    serial().ClearLog();
    c.XonChar = 0xFF;
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, c), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(serial().Calls().empty());
    EXPECT_EQ(Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS).XonChar, 0x11);
}

// ---- handshake ----

TEST_F(SettingsTest, HandFlowIsValidatedBeforeAnythingChanges)
{
    const LONG kSize = 16384;
    struct Case {
        const char* name;
        SERIAL_HANDFLOW h;
        ULONG supportedFlowControls;
        NTSTATUS status;
    } cases[] = {
        {"an invalid control bit", {0x4, 0, 0, 0}, 15, STATUS_INVALID_PARAMETER},
        {"an invalid flow bit", {0, 0x20, 0, 0}, 15, STATUS_INVALID_PARAMETER},
        {"DTR control and handshake", {SERIAL_DTR_MASK, 0, 0, 0}, 15, STATUS_INVALID_PARAMETER},
        {"XonLimit negative", {0, 0, -1, 0}, 15, STATUS_UNSUCCESSFUL},
        {"XonLimit above the buffer", {0, 0, kSize + 1, 0}, 15, STATUS_UNSUCCESSFUL},
        {"XoffLimit negative", {0, 0, 0, -1}, 15, STATUS_UNSUCCESSFUL},
        {"XoffLimit above the buffer", {0, 0, 0, kSize + 1}, 15, STATUS_UNSUCCESSFUL},
        {"no handshake, none allowed", {0, 0, 0, 0}, 0x7, STATUS_UNSUCCESSFUL},
        {"no handshake allowed", {0, 0, 0, 0}, 0x8, STATUS_SUCCESS},
        {"CTS without RTS handshake", {SERIAL_CTS_HANDSHAKE, 0, 0, 0}, 0x1, STATUS_UNSUCCESSFUL},
        {"CTS/RTS", {SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0}, 0x1, STATUS_SUCCESS},
        {"CTS/RTS, only DTR/DSR allowed", {SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0}, 0x2, STATUS_UNSUCCESSFUL},
        {"DTR/DSR", {SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE, 0, 0, 0}, 0x2, STATUS_SUCCESS},
        {"Xon/Xoff one way only", {0, SERIAL_AUTO_TRANSMIT, 0, 0}, 0x4, STATUS_UNSUCCESSFUL},
        {"Xon/Xoff", {0, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, 0, 0}, 0x4, STATUS_SUCCESS},
        {"limits of the whole buffer", {0, 0, kSize, kSize}, 15, STATUS_SUCCESS},
    };
    ASSERT_NO_FATAL_FAILURE(Open());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        params.m_ulSupportedFlowControls = 15;
        ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 7, 9), STATUS_SUCCESS);
        params.m_ulSupportedFlowControls = c.supportedFlowControls;
        serial().ClearLog();
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, c.h), c.status);
        SERIAL_HANDFLOW now = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
        if (c.status) {
            EXPECT_TRUE(serial().Calls().empty());
            EXPECT_EQ(now.XonLimit, 7);
            EXPECT_EQ(now.ControlHandShake, SERIAL_DTR_CONTROL);
        } else {
            EXPECT_EQ(serial().Calls("Handshaking").size(), 1u);
            EXPECT_EQ(now.ControlHandShake, c.h.ControlHandShake);
            EXPECT_EQ(now.FlowReplace, c.h.FlowReplace);
            EXPECT_EQ(now.XonLimit, c.h.XonLimit);
        }
    }
}

// What each handshake asks of the device (its twelve switches in the interface's order:
// CTS out, RTS in, DSR out, DTR in, DSR sensitivity, RTS toggle, Xon/Xoff out, Xon/Xoff in,
// Xoff continue, error character, null stripping, break character), the lines it sets and
// the holds it produces while CTS, DSR and DCD are low.
TEST_F(SettingsTest, EachHandshakeSetsTheDeviceTheLinesAndTheHolds)
{
    struct Case {
        const char* name;
        ULONG control, flow;
        BOOLEAN extended;
        std::string handshaking;
        Calls lines;
        ULONG holds;
    } cases[] = {
        {"DTR and RTS on", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, FALSE, "Handshaking(0,0,0,0,0,0,0,0,0,0,0,0)",
         {"Dtr(1)", "Rts(1)"}, 0},
        {"CTS/RTS", SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, FALSE,
         "Handshaking(1,1,0,0,0,0,0,0,0,0,0,0)", {"Dtr(1)", "Rts(1)"}, SERIAL_TX_WAITING_FOR_CTS},
        {"DTR/DSR", SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE, 0, FALSE, "Handshaking(0,0,1,1,0,0,0,0,0,0,0,0)",
         {"Dtr(1)", "Rts(0)"}, SERIAL_TX_WAITING_FOR_DSR},
        {"DCD", SERIAL_DCD_HANDSHAKE, 0, FALSE, "Handshaking(0,0,0,0,0,0,0,0,0,0,0,0)", {"Dtr(0)", "Rts(0)"},
         SERIAL_TX_WAITING_FOR_DCD},
        {"DSR sensitivity", SERIAL_DSR_SENSITIVITY, 0, FALSE, "Handshaking(0,0,0,0,1,0,0,0,0,0,0,0)",
         {"Dtr(0)", "Rts(0)"}, 0},
        {"transmit toggle", 0, SERIAL_TRANSMIT_TOGGLE, FALSE, "Handshaking(0,1,0,0,0,1,0,0,0,0,0,0)",
         {"Dtr(0)", "Rts(0)"}, 0},
        {"Xon/Xoff, continue", 0, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_XOFF_CONTINUE, FALSE,
         "Handshaking(0,0,0,0,0,0,1,1,1,0,0,0)", {"Dtr(0)", "Rts(0)"}, 0},
        {"characters, without the device's processing", 0,
         SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_BREAK_CHAR, FALSE, "Handshaking(0,0,0,0,0,0,0,0,0,0,0,0)",
         {"Dtr(0)", "Rts(0)"}, 0},
        {"error character", 0, SERIAL_ERROR_CHAR, TRUE, "Handshaking(0,0,0,0,0,0,0,0,0,1,0,0)", {"Dtr(0)", "Rts(0)"}, 0},
        {"null stripping", 0, SERIAL_NULL_STRIPPING, TRUE, "Handshaking(0,0,0,0,0,0,0,0,0,0,1,0)",
         {"Dtr(0)", "Rts(0)"}, 0},
        {"break character", 0, SERIAL_BREAK_CHAR, TRUE, "Handshaking(0,0,0,0,0,0,0,0,0,0,0,1)", {"Dtr(0)", "Rts(0)"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host->DeleteVcp();
        bus->capabilities.extendedCharacterProcessing = c.extended;
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_EQ(SetHandFlow(c.control, c.flow, 100, 100), STATUS_SUCCESS);
        Calls expected = {c.handshaking};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(serial().Calls(), expected);
        EXPECT_EQ(CommStatus().HoldReasons, c.holds);
        // CTS, DSR and DCD come up: no hold remains.
        ASSERT_TRUE(serial().ModemStatus({true, true, false, false, true}));
        EXPECT_EQ(CommStatus().HoldReasons, 0u);
        Close();
    }
}

// A limit of the whole buffer leaves one byte; the Xon level always lies below the Xoff
// threshold (size - Xoff level), so the flow control cannot release at once what it holds.
TEST_F(SettingsTest, TheXonAndXoffLevelsKeepTheFlowControlApart)
{
    const LONG kSize = 16384;
    struct Case {
        LONG xon, xoff;
        ULONG xonLevel, xoffLevel;
    } cases[] = {
        {2048, 512, 2048, 512},
        {15871, 512, 15871, 512},
        {16000, 512, 15871, 512},  // at the threshold 15872 and above: 15871
        {kSize, 100, 16283, 100},
        {100, kSize, 0, 16383},
        {kSize, kSize, 0, 16383},
        {0, 0, 0, 0},
    };
    ASSERT_NO_FATAL_FAILURE(Open());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.xon << "/" << c.xoff);
        ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, c.xon, c.xoff), STATUS_SUCCESS);
        EXPECT_EQ(vcp().m_ulXonLevel, c.xonLevel);
        EXPECT_EQ(vcp().m_ulXoffLevel, c.xoffLevel);
        SERIAL_HANDFLOW h = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
        EXPECT_EQ(h.XonLimit, c.xon) << "the request keeps its limits";
        EXPECT_EQ(h.XoffLimit, c.xoff);
    }
}

// OverrideFlowControl: any valid request gets the registry's handshake (its limits stay).
TEST_F(SettingsTest, OverrideFlowControlReplacesTheRequestedHandshake)
{
    struct Case {
        ULONG flowControl;
        ULONG control, flow;
    } cases[] = {
        {0, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL},
        {1, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE},
        {2, SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_CONTROL},
        {4, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE},
        {8, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL},
        {3, 0, 0},
    };
    params.m_ulOverrideFlowControl = 1;
    ASSERT_NO_FATAL_FAILURE(Open());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flowControl);
        params.m_ulFlowControl = c.flowControl;
        ASSERT_EQ(SetHandFlow(SERIAL_DSR_SENSITIVITY, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, 300, 400),
                  STATUS_SUCCESS);
        SERIAL_HANDFLOW h = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
        EXPECT_EQ(h.ControlHandShake, c.control);
        EXPECT_EQ(h.FlowReplace, c.flow);
        EXPECT_EQ(h.XonLimit, 300);
        EXPECT_EQ(h.XoffLimit, 400);
    }
    EXPECT_EQ(SetHandFlow(0x4, 0, 0, 0), STATUS_INVALID_PARAMETER) << "validated before the override";
}

// ---- modem-control lines ----

TEST_F(SettingsTest, DtrAndRtsActOnlyWhenTheShadowDiffers)
{
    struct Step {
        ULONG code;
        NTSTATUS status;
        Calls calls;
        ULONG dtrRts;  // GET_DTRRTS afterwards
    };
    struct Case {
        const char* name;
        ULONG control, flow;
        std::vector<Step> steps;
    } cases[] = {
        {"no handshake",
         SERIAL_DTR_CONTROL,
         SERIAL_RTS_CONTROL,
         {{IOCTL_SERIAL_SET_DTR, STATUS_SUCCESS, {"Dtr(1)"}, 1},
          {IOCTL_SERIAL_SET_DTR, STATUS_SUCCESS, {}, 1},
          {IOCTL_SERIAL_SET_RTS, STATUS_SUCCESS, {"Rts(1)"}, 3},
          {IOCTL_SERIAL_CLR_DTR, STATUS_SUCCESS, {"Dtr(0)"}, 2},
          {IOCTL_SERIAL_CLR_DTR, STATUS_SUCCESS, {}, 2},
          {IOCTL_SERIAL_CLR_RTS, STATUS_SUCCESS, {"Rts(0)"}, 0},
          {IOCTL_SERIAL_CLR_RTS, STATUS_SUCCESS, {}, 0}}},
        {"DTR handshake",
         SERIAL_DTR_HANDSHAKE,
         SERIAL_RTS_CONTROL,
         {{IOCTL_SERIAL_SET_DTR, STATUS_INVALID_PARAMETER, {}, 0},
          {IOCTL_SERIAL_CLR_DTR, STATUS_INVALID_PARAMETER, {}, 0},
          {IOCTL_SERIAL_SET_RTS, STATUS_SUCCESS, {"Rts(1)"}, 2}}},
        {"RTS handshake",
         0,
         SERIAL_RTS_HANDSHAKE,
         {{IOCTL_SERIAL_SET_RTS, STATUS_INVALID_PARAMETER, {}, 0},
          {IOCTL_SERIAL_CLR_RTS, STATUS_INVALID_PARAMETER, {}, 0},
          {IOCTL_SERIAL_SET_DTR, STATUS_SUCCESS, {"Dtr(1)"}, 1}}},
        {"RTS toggle",
         0,
         SERIAL_TRANSMIT_TOGGLE,
         {{IOCTL_SERIAL_SET_RTS, STATUS_INVALID_PARAMETER, {}, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_EQ(SetHandFlow(c.control, c.flow, 0, 0), STATUS_SUCCESS);
        for (const Step& s : c.steps) {
            serial().ClearLog();
            EXPECT_EQ(Do(s.code), s.status) << std::hex << s.code;
            EXPECT_EQ(serial().Calls(), s.calls) << std::hex << s.code;
            EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), s.dtrRts) << std::hex << s.code;
        }
        Close();
    }
    // A line the device refuses keeps its shadow.
    ASSERT_NO_FATAL_FAILURE(Open());
    serial().SetResult("Dtr", FALSE);
    EXPECT_EQ(Do(IOCTL_SERIAL_SET_DTR), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), 0u);
}

TEST_F(SettingsTest, ModemControlSetsRtsThenDtrAndKeepsTheWholeByte)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_MODEM_CONTROL, (ULONG)0x03), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(), (Calls{"Rts(1)", "Dtr(1)"}));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), 0x03u);
    serial().ClearLog();
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_MODEM_CONTROL, (ULONG)0x12), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(), (Calls{"Dtr(0)"}));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), 0x12u) << "other bits survive";
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), 0x2u);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_MODEM_CONTROL, (ULONG)0x03), STATUS_UNSUCCESSFUL) << "DTR belongs to the handshake";
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), 0x12u);
}

// ---- break, Xon/Xoff, immediate character ----

TEST_F(SettingsTest, BreakHoldsTheTransmitterUntilItIsSwitchedOff)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Do(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    EXPECT_TRUE(serial().Calls().empty()) << "no break to end";
    EXPECT_EQ(Do(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().HoldReasons, SERIAL_TX_WAITING_ON_BREAK);
    EXPECT_EQ(Do(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().HoldReasons, 0u);
    EXPECT_EQ(serial().Calls(), (Calls{"SetBreak(1)", "SetBreak(0)"}));
    serial().SetResult("SetBreak", FALSE);
    EXPECT_EQ(Do(IOCTL_SERIAL_SET_BREAK_ON), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CommStatus().HoldReasons, 0u);
}

TEST_F(SettingsTest, XonAndXoffRequestsHoldAndReleaseTheTransmitter)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Do(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().HoldReasons, SERIAL_TX_WAITING_FOR_XON);
    EXPECT_EQ(Do(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().HoldReasons, 0u);
    EXPECT_EQ(serial().Calls(), (Calls{"PretendXoffReceived(1)", "PretendXoffReceived(0)"}));
    serial().SetResult("PretendXoffReceived", FALSE);
    EXPECT_EQ(Do(IOCTL_SERIAL_SET_XOFF), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CommStatus().HoldReasons, SERIAL_TX_WAITING_FOR_XON) << "the hold follows the request all the same";
}

// Switching Xon/Xoff output control off ends a hold by a received Xoff, on the device too;
// switching input control off takes back an Xoff the port sent.
TEST_F(SettingsTest, SwitchingXonXoffOffReleasesItsHolds)
{
    const ULONG kXonXoff = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | kXonXoff, 0, 0), STATUS_SUCCESS);
    ASSERT_TRUE(serial().Receive("\x13"));
    EXPECT_EQ(CommStatus().HoldReasons, SERIAL_TX_WAITING_FOR_XON);
    serial().ClearLog();
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls("PretendXoffReceived"), (Calls{"PretendXoffReceived(0)"}));
    EXPECT_EQ(CommStatus().HoldReasons, 0u);

    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | kXonXoff | SERIAL_XOFF_CONTINUE, 0, 0),
              STATUS_SUCCESS);
    vcp().m_SetHold(CVCP::kXoffSentHold, true);
    serial().ClearLog();
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls("PretendXoffReceived"), (Calls{"PretendXoffReceived(0)"}));
    EXPECT_EQ(CommStatus().HoldReasons, 0u);
}

TEST_F(SettingsTest, AnImmediateCharacterCountsAsPendingUntilTheBusReportsIt)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Set(IOCTL_SERIAL_IMMEDIATE_CHAR, (UCHAR)'Z'), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(), (Calls{"SendImmediateCharacter(90)"}));
    SERIAL_STATUS s = CommStatus();
    EXPECT_TRUE(s.WaitForImmediate);
    EXPECT_EQ(s.AmountInOutQueue, 1u);
    ASSERT_TRUE(serial().ImmediateCharacterSent());
    ASSERT_TRUE(serial().DataWritten(1));
    s = CommStatus();
    EXPECT_FALSE(s.WaitForImmediate);
    EXPECT_EQ(s.AmountInOutQueue, 0u);
    EXPECT_EQ(host->jn->m_WriteQueue.m_GetCredit(), 4096u) << "the character's byte is not the write queue's";

    serial().SetResult("SendImmediateCharacter", FALSE);
    EXPECT_EQ(Set(IOCTL_SERIAL_IMMEDIATE_CHAR, (UCHAR)'Y'), STATUS_UNSUCCESSFUL);
    s = CommStatus();
    EXPECT_FALSE(s.WaitForImmediate);
    EXPECT_EQ(s.AmountInOutQueue, 0u);
}

// ---- queue size, LSR/MST insertion, FIFO ----

class SystemSizeTest : public PortTest, public testing::WithParamInterface<std::pair<MM_SYSTEMSIZE, ULONG>> {
protected:
    BootOptions Options() override
    {
        BootOptions o;
        o.systemSize = GetParam().first;
        return o;
    }
};

// The receive buffer never drops below what the system size gives, and never grows past
// 1 MB of kernel memory however large an application asks.
TEST_P(SystemSizeTest, TheQueueSizeLiesBetweenTheSystemsMinimumAndTheMaximum)
{
    const ULONG minimum = GetParam().second;
    struct Case {
        ULONG inSize;
        ULONG size;
    } cases[] = {
        {0, minimum},
        {10, minimum},
        {minimum + 1, minimum + 1},
        {100000, 100000},
        {CVCP::kMaximumReceiveBufferSize, CVCP::kMaximumReceiveBufferSize},
        {CVCP::kMaximumReceiveBufferSize + 1, CVCP::kMaximumReceiveBufferSize},
        {0xFFFFFFFF, CVCP::kMaximumReceiveBufferSize},
    };
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(vcp().m_ulReceiveBufferSize, minimum);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inSize);
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{c.inSize, 12345}), STATUS_SUCCESS);
        EXPECT_EQ(vcp().m_ulReceiveBufferSize, c.size);
        EXPECT_EQ(vcp().m_ulReceiveBuffer80Percent, (ULONG)((uint64_t)c.size * 80 / 100));
        SERIAL_COMMPROP p;
        ASSERT_EQ(vcp().m_GetPortProperties(&p), STATUS_SUCCESS);
        EXPECT_EQ(p.CurrentRxQueue, c.size);
    }
    EXPECT_TRUE(serial().Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Systems, SystemSizeTest,
                         testing::Values(std::make_pair(MmSmallSystem, 512u), std::make_pair(MmMediumSystem, 4096u),
                                         std::make_pair(MmLargeSystem, 16384u)));

TEST_F(SettingsTest, LsrMstInsertionIsRefusedWhereItWouldBeAmbiguous)
{
    struct Case {
        const char* name;
        BOOLEAN extended;
        ULONG flow;
        UCHAR escape;
        BOOLEAN deviceAccepts;
        NTSTATUS status;
        Calls calls;
        UCHAR portEscape;  // the port's own insertion afterwards
    } cases[] = {
        {"the port inserts", FALSE, 0, 0xFF, TRUE, STATUS_SUCCESS, {}, 0xFF},
        {"the XonChar", FALSE, 0, 0x11, TRUE, STATUS_INVALID_PARAMETER, {}, 0},
        {"the XoffChar", FALSE, 0, 0x13, TRUE, STATUS_INVALID_PARAMETER, {}, 0},
        {"with error characters", FALSE, SERIAL_ERROR_CHAR, 0xFF, TRUE, STATUS_INVALID_PARAMETER, {}, 0},
        {"off, with error characters", FALSE, SERIAL_ERROR_CHAR, 0, TRUE, STATUS_SUCCESS, {}, 0},
        {"the device inserts", TRUE, 0, 0xFF, TRUE, STATUS_SUCCESS, {"LsrMstInsert(255)"}, 0},
        {"the device refuses", TRUE, 0, 0xFF, FALSE, STATUS_UNSUCCESSFUL, {"LsrMstInsert(255)"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host->DeleteVcp();
        bus->capabilities.extendedCharacterProcessing = c.extended;
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | c.flow, 0, 0), STATUS_SUCCESS);
        serial().ClearLog();
        serial().SetResult("LsrMstInsert", c.deviceAccepts);
        EXPECT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, c.escape), c.status);
        EXPECT_EQ(serial().Calls(), c.calls);
        EXPECT_EQ(CVCP::sm_Read(vcp().m_ucLsrMstEscapeChar), c.portEscape);
        Close();
    }
}

// A disabled FIFO is a receive trigger level of 1; enabling restores the level saved when
// it was disabled.
TEST_F(SettingsTest, TheFifoTogglesTheReceiveTriggerLevel)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_FIFO_CONTROL, (UCHAR)0xC6), STATUS_SUCCESS) << "only the enable bit counts";
    EXPECT_EQ(serial().Calls(), (Calls{"TriggerLevels(10,1,85)"}));
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_FIFO_CONTROL, (UCHAR)0), STATUS_SUCCESS);
    params.m_ulReceiveTriggerLevel = 50;
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_FIFO_CONTROL, (UCHAR)SERIAL_FIFO_ENABLE), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_FIFO_CONTROL, (UCHAR)SERIAL_FIFO_ENABLE), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(), (Calls{"TriggerLevels(10,1,85)", "TriggerLevels(10,75,85)"}));
    serial().SetResult("TriggerLevels", FALSE);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_FIFO_CONTROL, (UCHAR)0), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(vcp().m_SetTriggerLevels(10, 75, 85));
}

// ---- duplex mode, loop-back, EEPROM ----

TEST_F(SettingsTest, DuplexModesBelongToRs422485Ports)
{
    struct Case {
        const char* name;
        BOOLEAN is422485;
        ULONG mode;
        BOOLEAN deviceAccepts;
        NTSTATUS status;
        Calls calls;
    } cases[] = {
        {"none on RS-232", FALSE, 0, TRUE, STATUS_UNSUCCESSFUL, {}},
        {"a mode on RS-232", FALSE, 1, TRUE, STATUS_UNSUCCESSFUL, {}},
        {"none on RS-422/485", TRUE, 0, TRUE, STATUS_UNSUCCESSFUL, {}},
        {"mode 6", TRUE, 6, TRUE, STATUS_INVALID_PARAMETER, {}},
        {"mode 2", TRUE, 2, TRUE, STATUS_SUCCESS, {"DuplexMode(2,1)"}},
        {"mode 5 refused by the device", TRUE, 5, FALSE, STATUS_UNSUCCESSFUL, {"DuplexMode(5,1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host->DeleteVcp();
        bus->capabilities.is422485 = c.is422485;
        params.m_ulDuplexMode = c.is422485 ? 1 : 0;
        params.m_ul422485CtsTrue = 0;
        ASSERT_NO_FATAL_FAILURE(Open());
        serial().SetResult("DuplexMode", c.deviceAccepts);
        EXPECT_EQ(vcp().m_SetDuplexMode(c.mode, TRUE), c.status);
        EXPECT_EQ(serial().Calls(), c.calls);
        EXPECT_EQ(params.m_ulDuplexMode, c.status ? (c.is422485 ? 1u : 0u) : c.mode);
        EXPECT_EQ(params.m_ul422485CtsTrue, c.status ? 0u : 1u);
        Close();
    }
}

TEST_F(SettingsTest, LoopbackAndEepromNeedTheDevice)
{
    bus->capabilities.readEeprom = TRUE;
    ASSERT_NO_FATAL_FAILURE(Open());
    serial().SetResult("InternalLoopback", FALSE);
    EXPECT_EQ(vcp().m_SetInternalLoopBackMode(TRUE), STATUS_NOT_IMPLEMENTED);
    EXPECT_FALSE(vcp().m_bLoopback);
    serial().SetResult("InternalLoopback", TRUE);
    EXPECT_EQ(vcp().m_SetInternalLoopBackMode(TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(vcp().m_bLoopback);

    serial().eeprom[4] = 0x42;
    UCHAR data[4] = {};
    EXPECT_EQ(vcp().m_ReadEeprom(4, 4, data), STATUS_SUCCESS);
    EXPECT_EQ(data[0], 0x42);
    EXPECT_EQ(vcp().m_ReadEeprom(62, 4, data), STATUS_UNSUCCESSFUL) << "the device refuses";
    EXPECT_EQ(vcp().m_WriteEeprom(0, 4, data), STATUS_NOT_IMPLEMENTED) << "no write gate";
    EXPECT_EQ(serial().Calls(), (Calls{"InternalLoopback(1)", "InternalLoopback(1)", "ReadEeprom(4,4)", "ReadEeprom(62,4)"}));
}

// ---- serial enumerators' basic settings, wait-wake ----

TEST_F(SettingsTest, BasicSettingsAreSavedAppliedAndRestored)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    SERIAL_TIMEOUTS t = {1, 2, 3, 4, 5};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, t), STATUS_SUCCESS);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 10, 20), STATUS_SUCCESS);
    serial().ClearLog();
    SERIAL_BASIC_SETTINGS saved;
    ASSERT_EQ(vcp().m_InternalBasicSettings(&saved), STATUS_SUCCESS);
    EXPECT_EQ(saved.Timeouts.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(saved.HandFlow.ControlHandShake, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(saved.RxFifo, 75u);
    EXPECT_EQ(saved.TxFifo, 10u);
    EXPECT_EQ(serial().Calls(),
              (Calls{"Handshaking(0,0,0,0,0,0,0,0,0,0,0,0)", "Dtr(0)", "Rts(0)", "TriggerLevels(10,1,85)"}));
    EXPECT_EQ(vcp().m_Timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(vcp().m_HandFlow.ControlHandShake, 0u);

    serial().ClearLog();
    ASSERT_EQ(vcp().m_RestoreBasicSettings(&saved), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(),
              (Calls{"Handshaking(1,1,0,0,0,0,0,0,0,0,0,0)", "Dtr(1)", "Rts(1)", "TriggerLevels(10,75,85)"}));
    EXPECT_EQ(vcp().m_Timeouts.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(vcp().m_HandFlow.XoffLimit, 20);

    // Without "no handshake" among the allowed ones the zero handshake is refused; the
    // rest still applies.
    params.m_ulSupportedFlowControls = 0x7;
    serial().ClearLog();
    ASSERT_EQ(vcp().m_InternalBasicSettings(&saved), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(), (Calls{"TriggerLevels(10,1,85)"}));
    EXPECT_EQ(vcp().m_DoWaitWake(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(vcp().m_CancelWaitWake(), STATUS_SUCCESS);
}

// ---- without a record or parameters ----

TEST_F(SettingsTest, WithoutARecordOrParametersTheOperationsFail)
{
    CVCP bare;  // never initialised: no record
    bare.m_pParameters = &params;
    SERIAL_BAUD_RATE baud = {9600};
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    SERIAL_HANDFLOW h = {};
    SERIAL_CHARS chars = {};
    EXPECT_EQ(bare.m_SetBaudRate(&baud), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.m_SetLineControl(&line), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.m_SetHandFlow(&h), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.m_SetSpecialCharacters(&chars), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.m_SetDtr(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.m_SetBreakOn(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.m_SetXoff(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.m_Purge(SERIAL_PURGE_RXCLEAR), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.m_SetLsrMstInsert(0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare.m_GetPortType(), 0u);
    EXPECT_FALSE(bare.m_IsBaudRateSettable(9600));
    EXPECT_FALSE(bare.m_SetTriggerLevels(10, 75, 85));
    EXPECT_FALSE(bare.m_Connect());
    EXPECT_FALSE(bare.m_Disconnect());
    EXPECT_TRUE(bare.m_CheckIsTransmitterIsEmpty());

    // A port with its record but without parameters yet.
    Start();
    vcp().m_pParameters = nullptr;
    EXPECT_EQ(vcp().m_SetBaudRate(&baud), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vcp().m_SetLineControl(&line), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(vcp().m_Connect());
    EXPECT_FALSE(vcp().m_ModemStatusCallback(TRUE, TRUE, FALSE, FALSE, TRUE));
    EXPECT_TRUE(serial().Calls().empty());
}

}  // namespace
}  // namespace kwsim::test
