// The port object's comm events, wait mask, error abort, purge and status: every event
// source reaches a pending WAIT_ON_MASK, errors abort I/O until GET_COMMSTATUS collects
// them, and the status requests report the shadows, holds and counters.
#include "porttest.h"

namespace kwsim::test {
namespace {

using Calls = std::vector<std::string>;
using Line = RecordingSerial::Line;
using Modem = RecordingSerial::Modem;

class EventsTest : public PortTest {
protected:
    AppRequest WaitOnMask()
    {
        waitResult = 0xFFFFFFFF;
        return file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &waitResult, sizeof waitResult);
    }
    ULONG waitResult = 0;
};

// Each source of an event, with the event in the mask, completes a pending wait with it.
TEST_F(EventsTest, EveryCommEventReachesAPendingWaitOnMask)
{
    Line busy;
    busy.thre = busy.temt = false;
    Line framing, overrun, parity, brk;
    framing.framing = overrun.overrun = parity.parity = brk.brk = true;
    struct Case {
        const char* name;
        ULONG mask;
        std::function<void()> before;  // sets the scene (the wait is not pending yet)
        std::function<void()> source;
        ULONG events;
    } cases[] = {
        {"received data", SERIAL_EV_RXCHAR, nullptr, [&] { serial().Receive("a"); }, SERIAL_EV_RXCHAR},
        {"the event character", SERIAL_EV_RXFLAG,
         [&] { vcp().m_SpecialChars.EventChar = '#'; },
         [&] { serial().Receive("a#"); }, SERIAL_EV_RXFLAG},
        {"the event character stripped with the nulls", SERIAL_EV_RXFLAG,
         [&] {
             vcp().m_SpecialChars.EventChar = 0;
             SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING, 0, 0);
         },
         [&] { serial().Receive(std::string(1, '\0')); }, SERIAL_EV_RXFLAG},
        {"the transmitter ran empty", SERIAL_EV_TXEMPTY, [&] { serial().LineStatus(busy); },
         [&] { serial().LineStatus(Line()); }, SERIAL_EV_TXEMPTY},
        {"the last write reported", SERIAL_EV_TXEMPTY, [&] {
             file.WriteAsync("w", 1);
             Settle();
         },
         [&] { serial().DataWritten(1); }, SERIAL_EV_TXEMPTY},
        {"CTS", SERIAL_EV_CTS, nullptr, [&] { serial().ModemStatus({true}); }, SERIAL_EV_CTS},
        {"DSR", SERIAL_EV_DSR, nullptr, [&] { serial().ModemStatus({false, true}); }, SERIAL_EV_DSR},
        {"DCD", SERIAL_EV_RLSD, nullptr, [&] { serial().ModemStatus({false, false, false, false, true}); },
         SERIAL_EV_RLSD},
        {"RI's trailing edge", SERIAL_EV_RING, nullptr,
         [&] { serial().ModemStatus({false, false, false, true}); }, SERIAL_EV_RING},
        {"a break", SERIAL_EV_BREAK, nullptr, [&] { serial().LineStatus(brk); }, SERIAL_EV_BREAK},
        {"a framing error", SERIAL_EV_ERR, nullptr, [&] { serial().LineStatus(framing); }, SERIAL_EV_ERR},
        {"an overrun", SERIAL_EV_ERR, nullptr, [&] { serial().LineStatus(overrun); }, SERIAL_EV_ERR},
        {"a parity error", SERIAL_EV_ERR, nullptr, [&] { serial().LineStatus(parity); }, SERIAL_EV_ERR},
        {"the buffer 80% full", SERIAL_EV_RX80FULL, nullptr,
         [&] { serial().Receive(std::string(13108, 'f')); }, SERIAL_EV_RX80FULL},
        {"the buffer overflowing", SERIAL_EV_ERR, nullptr,
         [&] { serial().Receive(std::string(16385, 'o')); }, SERIAL_EV_ERR},
        {"a chunk dropped in the overflow", SERIAL_EV_ERR,
         [&] { serial().Receive(std::string(16385, 'o')); },
         [&] { serial().Receive("x"); }, SERIAL_EV_ERR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Open());
        if (c.before) c.before();
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, c.mask), STATUS_SUCCESS);
        AppRequest wait = WaitOnMask();
        Settle();
        ASSERT_FALSE(wait.Done());
        c.source();
        ASSERT_TRUE(wait.Done());
        EXPECT_EQ(wait.Result().status, STATUS_SUCCESS);
        EXPECT_EQ(wait.Result().information, 4u);
        EXPECT_EQ(waitResult, c.events);
        Close();
    }
}

// An event not in the mask, or one the port emulates away, leaves the wait pending; a new
// mask then completes it with no event.
TEST_F(EventsTest, EventsOutsideTheMaskOrEmulatedAwayLeaveTheWaitPending)
{
    struct Case {
        const char* name;
        ULONG CVcpParameters::*setting;
        ULONG value;
        Modem modem;
        ULONG mask;
    } cases[] = {
        {"CTS, not in the mask", nullptr, 0, {true}, SERIAL_EV_DSR},
        {"CTS, emulated on", &CVcpParameters::m_ulEmulateCTSTrue, 1, {true}, SERIAL_EV_CTS},
        {"DSR, emulated on", &CVcpParameters::m_ulEmulateDSRTrue, 1, {false, true}, SERIAL_EV_DSR},
        {"CTS in duplex mode 2", &CVcpParameters::m_ulDuplexMode, 2, {true}, SERIAL_EV_CTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        params = CVcpParameters();
        if (c.setting) params.*c.setting = c.value;
        ASSERT_NO_FATAL_FAILURE(Open());
        if (c.setting == &CVcpParameters::m_ulDuplexMode) {
            ASSERT_TRUE(serial().ModemStatus({false}));  // CTS reads as on from the first report
        }
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, c.mask), STATUS_SUCCESS);
        AppRequest wait = WaitOnMask();
        ASSERT_TRUE(serial().ModemStatus(c.modem));
        Modem off;
        ASSERT_TRUE(serial().ModemStatus(off));
        EXPECT_FALSE(wait.Done());
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, c.mask), STATUS_SUCCESS);
        EXPECT_EQ(wait.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(waitResult, 0u) << "completed by the new mask";
        Close();
    }
}

TEST_F(EventsTest, TheWaitMaskIsValidatedAndReported)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_EVENT2)), STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_EVENT2));
    ASSERT_TRUE(serial().Receive("a"));
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)0x2000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Events(), 0u) << "the events go even when the mask is refused";
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_EVENT2));
    EXPECT_EQ(vcp().m_GetWaitMask(nullptr), STATUS_INVALID_PARAMETER);
}

// SERIAL_ERROR_ABORT: an error cancels the pending I/O and refuses new reads, writes and
// requests until GET_COMMSTATUS collects the errors.
TEST_F(EventsTest, AnErrorAbortLastsUntilGetCommStatus)
{
    Line framing;
    framing.framing = true;
    struct Case {
        const char* name;
        std::function<void()> error;
        ULONG errors;
        NTSTATUS read;  // a 4-byte read pending at the error
    } cases[] = {
        {"a framing error", [&] { serial().LineStatus(framing); }, SERIAL_ERROR_FRAMING, STATUS_CANCELLED},
        // The pending read takes its 4 bytes first; the rest overflows the buffer.
        {"the buffer overflowing", [&] { serial().Receive(std::string(16389, 'o')); }, SERIAL_ERROR_QUEUEOVERRUN,
         STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 0, 0), STATUS_SUCCESS);
        SERIAL_TIMEOUTS wait = {0, 0, 0, 0, 0};
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, wait), STATUS_SUCCESS);
        char data[4];
        AppRequest read = file.ReadAsync(data, sizeof data);
        Settle();
        serial().ClearLog();
        c.error();
        EXPECT_EQ(read.Wait().status, c.read);
        EXPECT_EQ(serial().Calls("Purge"), (Calls{"Purge(1,1)"}));
        EXPECT_EQ(Queued(), 0u) << "received data discarded";
        EXPECT_EQ(file.Write("w", 1).status, STATUS_CANCELLED);
        EXPECT_EQ(file.Read(data, sizeof data).status, STATUS_CANCELLED);
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_CANCELLED);

        EXPECT_EQ(CommStatus().Errors, c.errors);
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
        AppRequest write = file.WriteAsync("w", 1);
        Settle();
        ASSERT_TRUE(serial().DataWritten(1));
        EXPECT_EQ(write.Wait().status, STATUS_SUCCESS);
        ASSERT_TRUE(serial().Receive("ok"));
        EXPECT_EQ(ReadNow(), "ok");
        Close();
    }
}

TEST_F(EventsTest, PurgeCancelsAndDiscardsWhatItsMaskSays)
{
    struct Case {
        const char* name;
        ULONG mask;
        NTSTATUS status;
        Calls calls;
        bool readCancelled, writeCancelled, dataDiscarded;
    } cases[] = {
        {"no bit", 0, STATUS_INVALID_PARAMETER, {}, false, false, false},
        {"an unknown bit", 0x10, STATUS_INVALID_PARAMETER, {}, false, false, false},
        {"TXCLEAR alone", SERIAL_PURGE_TXCLEAR, STATUS_SUCCESS, {"Purge(0,0)"}, false, false, false},
        {"RXABORT", SERIAL_PURGE_RXABORT, STATUS_SUCCESS, {"Purge(0,0)"}, true, false, false},
        {"TXABORT", SERIAL_PURGE_TXABORT, STATUS_SUCCESS, {"Purge(1,0)"}, false, true, false},
        {"RXCLEAR", SERIAL_PURGE_RXCLEAR, STATUS_SUCCESS, {"Purge(0,1)"}, false, false, true},
        {"all four", 0xF, STATUS_SUCCESS, {"Purge(1,1)"}, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Open());
        SERIAL_TIMEOUTS wait = {0, 0, 0, 0, 0};
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, wait), STATUS_SUCCESS);
        char data[8];
        AppRequest read = file.ReadAsync(data, sizeof data);
        ASSERT_TRUE(serial().Receive("abc"));  // 3 of the read's 8 bytes
        host->jn->m_WriteQueue.m_DataWritten(0);
        serial().SetResult("PortWrite", TRUE);
        AppRequest write = file.WriteAsync("w", 1);  // handed over, not reported
        Settle();
        AppRequest read2 = file.ReadAsync(data, 1);
        Settle();
        serial().ClearLog();
        EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, c.mask), c.status);
        EXPECT_EQ(serial().Calls(), c.calls);
        EXPECT_EQ(read.Done(), c.readCancelled);
        if (c.readCancelled) {
            EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
            EXPECT_EQ(read.Result().information, 3u);
        }
        EXPECT_EQ(write.Done(), c.writeCancelled);
        Close();
    }
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(serial().Receive("kept"));
    serial().SetResult("Purge", FALSE);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, (ULONG)SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS) << "a refusal is only traced";
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(vcp().m_ResetDevice(), STATUS_UNSUCCESSFUL);
    serial().SetResult("Purge", TRUE);
    EXPECT_EQ(vcp().m_ResetDevice(), STATUS_SUCCESS);
    EXPECT_EQ(serial().Calls(), (Calls{"Purge(0,1)", "Purge(1,1)", "Purge(1,1)"}));
}

TEST_F(EventsTest, CommStatusReportsTheQueuesAndEveryHold)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(serial().Receive("12345"));
    AppRequest write = file.WriteAsync("abc", 3);
    Settle();
    SERIAL_STATUS s = CommStatus();
    EXPECT_EQ(s.Errors, 0u);
    EXPECT_EQ(s.AmountInInQueue, 5u);
    EXPECT_EQ(s.AmountInOutQueue, 3u);
    EXPECT_FALSE(s.EofReceived);
    EXPECT_FALSE(s.WaitForImmediate);
    EXPECT_EQ(s.HoldReasons, 0u);

    // CTS, DSR and DCD handshakes with the lines low, DSR sensitivity, break, Xoff.
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE |
                              SERIAL_DSR_SENSITIVITY,
                          SERIAL_RTS_HANDSHAKE, 0, 0),
              STATUS_SUCCESS);
    ASSERT_TRUE(serial().ModemStatus(Modem()));
    ASSERT_EQ(Do(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    ASSERT_EQ(Do(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
    vcp().m_SetHold(CVCP::kXoffSentHold, true);
    EXPECT_EQ(CommStatus().HoldReasons, 0x7Fu);
    VcpLineSnapshot snapshot;
    ASSERT_TRUE(vcp().m_GetLineSnapshot(&snapshot));
    EXPECT_EQ(snapshot.ulTransmitHoldReasons, 0x2Fu);
    EXPECT_EQ(snapshot.ulReceiveHoldReasons, 0x50u);
    ASSERT_TRUE(serial().ModemStatus({true, true, false, false, true}));
    EXPECT_EQ(CommStatus().HoldReasons, SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_XOFF_SENT |
                                            SERIAL_TX_WAITING_ON_BREAK);
    ASSERT_TRUE(serial().DataWritten(3));
    EXPECT_EQ(write.Wait().status, STATUS_SUCCESS);
}

// GET_MODEMSTATUS: the shadow of the last report with the delta bits of its change, CTS and
// DSR read as on where the registry emulates them.
TEST_F(EventsTest, ModemStatusReportsTheShadowAndTheEmulatedLines)
{
    struct Case {
        const char* name;
        ULONG CVcpParameters::*setting;
        std::vector<Modem> reports;
        ULONG status;
    } cases[] = {
        {"CTS and DCD up", nullptr, {{true, false, false, false, true}}, 0x90 | 0x09},
        {"then no change", nullptr, {{true, false, false, false, true}, {true, false, false, false, true}}, 0x90},
        {"RI on", nullptr, {{false, false, true}}, 0x40},
        {"RI's trailing edge", nullptr, {{false, false, true}, {false, false, false, true}}, 0x04},
        {"CTS emulated on", &CVcpParameters::m_ulEmulateCTSTrue, {{false, true}}, 0x30 | 0x02},
        {"DSR emulated on", &CVcpParameters::m_ulEmulateDSRTrue, {{}}, 0x20},
        {"duplex mode 2: CTS on", &CVcpParameters::m_ulDuplexMode, {{false}, {false, true}}, 0x30 | 0x02},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        params = CVcpParameters();
        if (c.setting) params.*c.setting = c.setting == &CVcpParameters::m_ulDuplexMode ? 2 : 1;
        ASSERT_NO_FATAL_FAILURE(Open());
        for (const Modem& m : c.reports) ASSERT_TRUE(serial().ModemStatus(m));
        EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), c.status);
        Close();
    }
    ASSERT_NO_FATAL_FAILURE(Open());
    serial().SetResult("UpdateModemStatus", FALSE);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), 0u);
    // RI and its trailing edge at once is a contract violation.
    EXPECT_FALSE(serial().ModemStatus({false, false, true, true}));
}

TEST_F(EventsTest, StatisticsCountWhatPassedAndEveryError)
{
    Line all;
    all.framing = all.overrun = all.parity = true;
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING, 0, 0), STATUS_SUCCESS);
    ASSERT_TRUE(serial().Receive(std::string("ab\0c", 4)));
    ASSERT_TRUE(serial().LineStatus(all));
    ASSERT_TRUE(serial().LineStatus(all));
    AppRequest write = file.WriteAsync("xyz", 3);
    Settle();
    ASSERT_TRUE(serial().DataWritten(3));
    ASSERT_TRUE(serial().Receive(std::string(16385, 'o')));
    SERIALPERF_STATS s = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(s.ReceivedCount, 3u + 16385) << "after null stripping";
    EXPECT_EQ(s.TransmittedCount, 3u);
    EXPECT_EQ(s.FrameErrorCount, 2u);
    EXPECT_EQ(s.SerialOverrunErrorCount, 2u);
    EXPECT_EQ(s.ParityErrorCount, 2u);
    EXPECT_EQ(s.BufferOverrunErrorCount, 1u);
    EXPECT_EQ(Do(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS);
    s = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(s.ReceivedCount + s.TransmittedCount + s.FrameErrorCount + s.SerialOverrunErrorCount +
                  s.ParityErrorCount + s.BufferOverrunErrorCount,
              0u);
    ASSERT_TRUE(serial().LineStatus(all));
    Close();
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).FrameErrorCount, 0u) << "a close clears them";
}

// A close ends the pending wait and leaves nothing of the run behind for the next open.
TEST_F(EventsTest, DisconnectEndsTheWaitAndClearsTheRunTimeStatus)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)SERIAL_EV_CTS), STATUS_SUCCESS);
    AppRequest wait = WaitOnMask();
    Settle();
    ASSERT_TRUE(serial().Receive("data"));
    ASSERT_EQ(Do(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    ASSERT_EQ(Do(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, (UCHAR)0xFF), STATUS_SUCCESS);
    ASSERT_TRUE(serial().ModemStatus({false, true}));
    // The removal's path: the port object disconnects while the handle is still open.
    EXPECT_TRUE(vcp().m_Disconnect());
    EXPECT_EQ(wait.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(vcp().m_ucModemControl, 0);
    EXPECT_EQ(CVCP::sm_Read(vcp().m_ulModemStatus), 0u);
    EXPECT_EQ(CVCP::sm_Read(vcp().m_ucLsrMstEscapeChar), 0u);
    EXPECT_EQ(CommStatus().HoldReasons, 0u);
    EXPECT_EQ(Events(), 0u);
    EXPECT_FALSE(vcp().m_bConnected);
    EXPECT_FALSE(vcp().m_Disconnect()) << "not connected";
    EXPECT_TRUE(vcp().m_CheckIsTransmitterIsEmpty()) << "a closed port holds nothing";
}

// A flush completes once the writes are done and the transmitter reports empty.
TEST_F(EventsTest, AFlushWaitsForTheTransmitter)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Line busy;
    busy.thre = busy.temt = false;
    ASSERT_TRUE(serial().LineStatus(busy));
    AppRequest write = file.WriteAsync("abc", 3);
    AppRequest flush = file.FlushAsync();
    Settle();
    int64_t start = Now();
    serial().LineStatusAt(start + 12 * kMs, Line());
    ASSERT_TRUE(serial().DataWritten(3));
    ASSERT_EQ(write.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(flush.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(flush.CompletedAt() - start, 15 * kMs) << "the 5 ms poll after the transmitter ran empty";
    EXPECT_FALSE(serial().Calls("GetFifoSizes").empty());
}

}  // namespace
}  // namespace kwsim::test
