// The port object's data path: received chunks with the port's own character processing,
// the write path and its accounting, and the receive flow control at its exact levels.
#include "porttest.h"

namespace kwsim::test {
namespace {

using Calls = std::vector<std::string>;
using Line = RecordingSerial::Line;
using namespace std::string_literals;

class DataPathTest : public PortTest {};

// What the free-space query answers: TRUE and the free space.
std::pair<BOOLEAN, ULONG> Answer(ULONG free) { return {TRUE, free}; }

// Medium systems have a 4096-byte receive buffer, small enough to fill in a test.
class SmallBufferTest : public PortTest {
protected:
    BootOptions Options() override
    {
        BootOptions o;
        o.systemSize = MmMediumSystem;
        return o;
    }
};

// What a chunk becomes on its way to the read queue.
TEST_F(DataPathTest, ReceivedChunksAreProcessedBeforeTheReadQueue)
{
    Line framing;
    framing.framing = true;
    Line parity;
    parity.parity = true;
    Line overrun;
    overrun.overrun = true;
    Line overrunWithData = overrun;
    overrunWithData.dataReady = true;
    Line breakAndParity = parity;
    breakAndParity.brk = true;
    const ULONG kRx = SERIAL_EV_RXCHAR, kFlag = SERIAL_EV_RXFLAG;
    struct Case {
        const char* name;
        BOOLEAN extended;
        ULONG flow;
        UCHAR escape;
        std::optional<Line> line;  // the line status the bus reported before the chunk
        std::string chunk, delivered;
        ULONG events;  // of RXCHAR and RXFLAG, both in the mask
        ULONG holds;
    } cases[] = {
        {"plain data", FALSE, 0, 0, {}, "abc", "abc", kRx, 0},
        {"an event character", FALSE, 0, 0, {}, "a#c", "a#c", kRx | kFlag, 0},
        {"null stripping", FALSE, SERIAL_NULL_STRIPPING, 0, {}, "\0A\0"s, "A", kRx, 0},
        {"only nulls", FALSE, SERIAL_NULL_STRIPPING, 0, {}, "\0\0"s, "", 0, 0},
        {"nulls the device strips itself", TRUE, SERIAL_NULL_STRIPPING, 0, {}, "\0A\0"s, "\0A\0"s, kRx, 0},
        {"Xoff then Xon: the last one wins", FALSE, SERIAL_AUTO_TRANSMIT, 0, {}, "\x13""A\x11", "A", kRx, 0},
        {"Xon then Xoff", FALSE, SERIAL_AUTO_TRANSMIT, 0, {}, "\x11""A\x13", "A", kRx, SERIAL_TX_WAITING_FOR_XON},
        {"only an Xoff", FALSE, SERIAL_AUTO_TRANSMIT, 0, {}, "\x13", "", 0, SERIAL_TX_WAITING_FOR_XON},
        {"Xon/Xoff characters without output control", FALSE, 0, 0, {}, "\x13""A", "\x13""A", kRx, 0},
        {"the escape character in the data", FALSE, 0, 0xFF, {}, "a\xFF""b", "a\xFF\0b"s, kRx, 0},
        // The line status follows the data as {escape, SERIAL_LSRMST_LSR_NODATA, status}.
        {"a framing error, inserted", FALSE, 0, 0xFF, framing, "xy", "xy\xFF\x02\x68"s, kRx, 0},
        {"an overrun, inserted", FALSE, 0, 0xFF, overrunWithData, "\xFF", "\xFF\0\xFF\x02\x63"s, kRx, 0},
        {"a parity error: one error character", FALSE, SERIAL_ERROR_CHAR, 0, parity, "abc", "?", kRx, 0},
        {"a framing error: one error character", FALSE, SERIAL_ERROR_CHAR, 0, framing, "abc", "?", kRx, 0},
        {"an overrun with data ready: appended", FALSE, SERIAL_ERROR_CHAR, 0, overrunWithData, "abc", "abc?", kRx, 0},
        {"an overrun without data ready", FALSE, SERIAL_ERROR_CHAR, 0, overrun, "abc", "?", kRx, 0},
        {"a parity error during a break", FALSE, SERIAL_ERROR_CHAR, 0, breakAndParity, "abc", "abc", kRx, 0},
        {"error characters the device replaces itself", TRUE, SERIAL_ERROR_CHAR, 0, parity, "abc", "abc", kRx, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host->DeleteVcp();
        bus->capabilities.extendedCharacterProcessing = c.extended;
        ASSERT_NO_FATAL_FAILURE(Open());
        SERIAL_CHARS chars = {0, '?', '!', '#', 0x11, 0x13};
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
        ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | c.flow, 0, 0), STATUS_SUCCESS);
        if (c.escape) {
            ASSERT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, c.escape), STATUS_SUCCESS);
        }
        if (c.line) {
            ASSERT_TRUE(serial().LineStatus(*c.line));
        }
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, kRx | kFlag), STATUS_SUCCESS);
        EXPECT_TRUE(serial().Receive(c.chunk));
        EXPECT_EQ(Events() & (kRx | kFlag), c.events);
        EXPECT_EQ(CommStatus().HoldReasons, c.holds);
        EXPECT_EQ(ReadNow(), c.delivered);
        Close();
    }
}

TEST_F(DataPathTest, TheBreakCharacterArrivesOncePerBreak)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    SERIAL_CHARS chars = {0, '?', '!', 0, 0x11, 0x13};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_BREAK_CHAR, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    Line brk;
    brk.brk = true;
    ASSERT_TRUE(serial().LineStatus(brk));
    ASSERT_TRUE(serial().LineStatus(brk));  // still in the break
    EXPECT_EQ(Events() & SERIAL_EV_RXCHAR, (ULONG)SERIAL_EV_RXCHAR);
    EXPECT_EQ(ReadNow(), "!");
    ASSERT_TRUE(serial().LineStatus(Line()));
    ASSERT_TRUE(serial().LineStatus(brk));
    EXPECT_EQ(ReadNow(), "!");
}

// The port's own modem-status insertion: {escape, SERIAL_LSRMST_MST, status with the delta
// bits of the change}.
TEST_F(DataPathTest, ModemStatusChangesAreInsertedIntoTheData)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, (UCHAR)0xFF), STATUS_SUCCESS);
    ASSERT_TRUE(serial().ModemStatus({true, false, false, false, false}));
    EXPECT_EQ(ReadNow(), "\xFF\x03\x11"s);
    ASSERT_TRUE(serial().ModemStatus({true, false, false, false, false}));
    EXPECT_EQ(ReadNow(), "") << "no change, nothing inserted";
    ASSERT_TRUE(serial().ModemStatus({true, true, false, true, true}));
    EXPECT_EQ(ReadNow(), "\xFF\x03\xBE"s) << "DSR, DCD up and RI's trailing edge";
}

// Every path of m_Read ends the buffer or hands it on: the bus never sees it again.
TEST_F(DataPathTest, EveryPathOfAReceivedChunkConsumesTheBuffer)
{
    ULONG baseline = pool->m_RecordedCount();
    {
        CVCP bare;  // no record
        EXPECT_FALSE(bare.m_Read(CJnDataBuffer::sm_CreateCopy("ab", 2)));
        EXPECT_EQ(pool->m_RecordedCount(), baseline) << "without a record";
    }
    ASSERT_NO_FATAL_FAILURE(Open());
    baseline = pool->m_RecordedCount();
    ISerial* record = serial().m_GetInterface();
    EXPECT_FALSE(record->m_DataReceivedCallback(nullptr, CJnDataBuffer::sm_CreateCopy("ab", 2)));
    EXPECT_EQ(pool->m_RecordedCount(), baseline) << "to a null context";
    EXPECT_TRUE(serial().Receive(""));
    EXPECT_EQ(pool->m_RecordedCount(), baseline) << "empty";
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING | SERIAL_AUTO_TRANSMIT, 0, 0),
              STATUS_SUCCESS);
    EXPECT_TRUE(serial().Receive("\0\0"s));
    EXPECT_EQ(pool->m_RecordedCount(), baseline) << "stripped to nothing";
    EXPECT_TRUE(serial().Receive("\x11\x13"));
    EXPECT_EQ(pool->m_RecordedCount(), baseline) << "only Xon/Xoff";
    CVCP::sm_Exchange(vcp().m_bReceiveOverflow, 1);
    EXPECT_FALSE(serial().Receive("lost"));
    EXPECT_EQ(pool->m_RecordedCount(), baseline) << "dropped for overflow";
    CVCP::sm_Exchange(vcp().m_bReceiveOverflow, 0);
    EXPECT_TRUE(serial().Receive("kept"));
    EXPECT_EQ(ReadNow(), "kept");
}

// The read queue going over the buffer size is one overflow episode: one error character,
// one count, every chunk meanwhile dropped; it ends when the queue is within the size again.
TEST_F(SmallBufferTest, AnOverflowEpisodeBringsOneErrorCharacter)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(vcp().m_ulReceiveBufferSize, 4096u);
    SERIAL_CHARS chars = {0, '?', 0, 0, 0x11, 0x13};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR, 0, 0), STATUS_SUCCESS);
    for (int episode = 1; episode <= 2; episode++) {
        SCOPED_TRACE(episode);
        EXPECT_TRUE(serial().Receive(std::string(4097, 'x')));
        EXPECT_EQ(Queued(), 4098u) << "the chunk and one error character";
        EXPECT_FALSE(serial().Receive("dropped"));
        EXPECT_EQ(Queued(), 4098u);
        SERIAL_STATUS s = CommStatus();
        EXPECT_EQ(s.Errors, (ULONG)SERIAL_ERROR_QUEUEOVERRUN);
        EXPECT_EQ(s.AmountInInQueue, 4098u);
        EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).BufferOverrunErrorCount, (ULONG)episode);
        EXPECT_EQ(ReadNow(8192), std::string(4097, 'x') + "?");
        EXPECT_EQ(CVCP::sm_Read(vcp().m_bReceiveOverflow), 0u);
    }
}

// ---- the write path ----

TEST_F(DataPathTest, WritesCountAsPendingUntilTheBusReportsThem)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    AppRequest w = file.WriteAsync("hello", 5);
    Settle();
    EXPECT_EQ(serial().Calls(), (Calls{"PortWrite(5)"}));
    EXPECT_EQ(serial().Written(), "hello");
    EXPECT_EQ(CommStatus().AmountInOutQueue, 5u);
    ASSERT_TRUE(serial().DataWritten(3));
    EXPECT_EQ(CommStatus().AmountInOutQueue, 2u);
    EXPECT_EQ(Events() & SERIAL_EV_TXEMPTY, 0u);
    ASSERT_TRUE(serial().DataWritten(2));
    EXPECT_EQ(w.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    EXPECT_EQ(Events() & SERIAL_EV_TXEMPTY, (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 5u);
    // More than is pending is credit only, not transmitted data.
    ASSERT_TRUE(serial().DataWritten(100));
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 5u);
    EXPECT_EQ(host->jn->m_WriteQueue.m_GetCredit(), 4096u + 100);
    // From the completion path at DISPATCH_LEVEL the transmitter-empty check is skipped.
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    ASSERT_TRUE(serial().DataWritten(1, true));
    EXPECT_EQ(Events() & SERIAL_EV_TXEMPTY, 0u);
    EXPECT_EQ(host->jn->m_WriteQueue.m_GetCredit(), 4096u + 101);
}

// The bus refusing a chunk fails the writes it carried and leaves nothing counted as
// pending; the credit comes back for the next write.
TEST_F(DataPathTest, AWriteTheBusRefusesFailsAndLeavesNothingPending)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    serial().SetResult("PortWrite", FALSE);
    AppRequest refused = file.WriteAsync("abc", 3);
    EXPECT_EQ(refused.Wait().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused.Result().information, 0u);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    EXPECT_EQ(host->jn->m_WriteQueue.m_GetCredit(), 4096u);
    serial().SetResult("PortWrite", TRUE);
    AppRequest next = file.WriteAsync("de", 2);
    Settle();
    EXPECT_EQ(serial().Written(), "de");
    ASSERT_TRUE(serial().DataWritten(2));
    EXPECT_EQ(next.Wait().status, STATUS_SUCCESS);

    EXPECT_FALSE(vcp().m_Write(CJnDataBuffer::sm_Create(0))) << "an empty buffer";
}

// The Xoff counter's character goes out as a write of its own; its report is not the
// write queue's.
TEST_F(DataPathTest, TheXoffCounterCharacterIsSentAheadOfTheWriteQueuesAccounting)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    SERIAL_XOFF_COUNTER x = {0, 2, 0x13};
    AppRequest counter = file.IoctlAsync(IOCTL_SERIAL_XOFF_COUNTER, &x, sizeof x, nullptr, 0);
    Settle();
    EXPECT_EQ(serial().Calls(), (Calls{"PortWrite(1)"}));
    EXPECT_EQ(serial().Written(), "\x13");
    EXPECT_TRUE(CommStatus().WaitForImmediate);
    ASSERT_TRUE(serial().DataWritten(1));
    EXPECT_FALSE(CommStatus().WaitForImmediate);
    EXPECT_EQ(host->jn->m_WriteQueue.m_GetCredit(), 4096u) << "the byte was not a write's";
    EXPECT_FALSE(counter.Done());
    ASSERT_TRUE(serial().Receive("ab"));
    EXPECT_EQ(counter.Wait().status, STATUS_SUCCESS);

    serial().SetResult("PortWrite", FALSE);
    EXPECT_FALSE(vcp().m_SendSerialXoffCounterChar(0x13));
    SERIAL_STATUS s = CommStatus();
    EXPECT_FALSE(s.WaitForImmediate);
    EXPECT_EQ(s.AmountInOutQueue, 0u);
}

TEST_F(DataPathTest, AnXoffTheBusSentHoldsTheTransmitterUnlessXoffContinue)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(serial().XoffSent(TRUE));
    EXPECT_EQ(CommStatus().HoldReasons, SERIAL_TX_WAITING_FOR_XON);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_XOFF_CONTINUE, 0, 0), STATUS_SUCCESS);
    ASSERT_TRUE(serial().XoffSent(TRUE));
    EXPECT_EQ(CommStatus().HoldReasons, 0u);
    ASSERT_TRUE(serial().XoffSent(FALSE));
    EXPECT_EQ(CommStatus().HoldReasons, 0u);
}

// ---- receive flow control ----

// Xoff limit 512 and Xon limit 1024 of a 4096-byte buffer: the peer is held back once what
// is queued and about to arrive reaches 4096 - 512 = 3584 bytes (or leaves less room than
// the bus's reserve), and released when the queue drains to 1024 bytes.
TEST_F(SmallBufferTest, ReceiveFlowControlHoldsAndReleasesThePeerAtTheExactLevels)
{
    struct Case {
        const char* name;
        ULONG control, flow;
        Calls hold, release;
        ULONG holds;  // HoldReasons while held
    } cases[] = {
        {"RTS handshake", SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, {"Rts(0)"}, {"Rts(1)"}, 0},
        {"DTR handshake", SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, {"Dtr(0)"}, {"Dtr(1)"}, 0},
        {"Xon/Xoff", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, {"SendXonXoff(1)"},
         {"SendXonXoff(0)"}, SERIAL_TX_WAITING_XOFF_SENT | SERIAL_TX_WAITING_FOR_XON},
        {"Xon/Xoff, Xoff continue", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE | SERIAL_XOFF_CONTINUE,
         {"SendXonXoff(1)"}, {"SendXonXoff(0)"}, SERIAL_TX_WAITING_XOFF_SENT},
        {"no input handshake", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, {}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_EQ(SetHandFlow(c.control, c.flow, 1024, 512), STATUS_SUCCESS);
        ASSERT_TRUE(serial().Receive(std::string(3000, 'r')));
        serial().ClearLog();
        EXPECT_EQ(serial().FreeSpace(583, 0), Answer(1096));
        EXPECT_TRUE(serial().Calls().empty()) << "3583 bytes: not yet";
        EXPECT_EQ(serial().FreeSpace(584, 0), Answer(1096));
        EXPECT_EQ(serial().Calls(), c.hold) << "3584 bytes";
        for (auto& call : serial().Log()) EXPECT_EQ(call.irql, PASSIVE_LEVEL) << call.text;
        EXPECT_EQ(CommStatus().HoldReasons, c.holds);
        serial().FreeSpace(600, 0);
        EXPECT_EQ(serial().Calls(), c.hold) << "held once";
        serial().ClearLog();
        EXPECT_EQ(ReadNow(1975).size(), 1975u);
        EXPECT_TRUE(serial().Calls().empty()) << "1025 bytes left: still held";
        EXPECT_EQ(ReadNow(1).size(), 1u);
        EXPECT_EQ(serial().Calls(), c.release) << "1024 bytes left";
        EXPECT_EQ(CommStatus().HoldReasons, 0u);
        Close();
    }
}

TEST_F(SmallBufferTest, TheFreeSpaceQueryAnswersAtDispatchLevelAndHoldsForTheReserve)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, 1024, 512), STATUS_SUCCESS);
    serial().ClearLog();
    EXPECT_EQ(serial().FreeSpace(100, 574), Answer(4096));
    ASSERT_TRUE(serial().Receive(std::string(3000, 'r')));
    EXPECT_EQ(serial().FreeSpace(0, 1095), Answer(1096));
    EXPECT_TRUE(serial().Calls().empty()) << "3000 < 4096 - 1095";
    // A reserve larger than the buffer cannot be kept and holds nothing.
    EXPECT_EQ(serial().FreeSpace(0, 5000), Answer(1096));
    EXPECT_TRUE(serial().Calls().empty());
    EXPECT_EQ(serial().FreeSpace(0, 1096), Answer(1096));
    EXPECT_EQ(serial().Calls(), (Calls{"Rts(0)"})) << "3000 >= 4096 - 1096";
    // Over the buffer: no room at all.
    ASSERT_TRUE(serial().Receive(std::string(1097, 'r')));
    EXPECT_EQ(serial().FreeSpace(1, 0), Answer(0));
}

}  // namespace
}  // namespace kwsim::test
