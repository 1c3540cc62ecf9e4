// The write queue: credit-limited hand-over, completion by "written" reports, the write
// total timeout, the discount, held flushes and the Xoff counter, through real requests of
// an application, in exact virtual time.
#include <optional>

#include "jnqueuetest.h"
#include "simkernel/syncpoint.h"

namespace kwsim::test {
namespace {

class WriteQueueTest : public QueueTest {
protected:
    AppRequest Write(size_t n, char c) { return file.WriteAsync(std::string(n, c).data(), (ULONG)n); }
    // One write per length, of 'A's, 'B's, ..., queued before the machine settles.
    std::vector<AppRequest> WriteEach(const std::vector<size_t>& lengths)
    {
        std::vector<AppRequest> writes;
        char fill = 'A';
        for (size_t n : lengths) writes.push_back(Write(n, fill++));
        Settle();
        return writes;
    }
    void Report(ULONG n)
    {
        host->Written(n);
        Settle();
    }
    AppRequest XoffCounter(ULONG timeout, LONG counter, UCHAR xoffChar = 0x13)
    {
        SERIAL_XOFF_COUNTER x = {timeout, counter, xoffChar};
        return file.IoctlAsync(IOCTL_SERIAL_XOFF_COUNTER, &x, sizeof x, nullptr, 0);
    }
};

// Bytes go out in chunks no larger than the credit granted, and a write completes only when
// all of its bytes have been reported written. The first report after an open only grants
// credit.
TEST_F(WriteQueueTest, CreditLimitsTheChunksAndReportsCompleteTheWrites)
{
    struct Step {
        ULONG report;
        std::vector<size_t> chunks;
        std::vector<bool> done;
        ULONG queued;
    };
    struct Case {
        const char* name;
        std::vector<size_t> writes;
        std::vector<Step> steps;
        std::string sent;
    } cases[] = {
        {"a 200-byte write through 64 bytes of credit",
         {200},
         {{0, {}, {false}, 200},
          {64, {64}, {false}, 136},
          {64, {64, 64}, {false}, 72},
          {64, {64, 64, 64}, {false}, 8},
          {64, {64, 64, 64, 8}, {false}, 0},
          {8, {64, 64, 64, 8}, {true}, 0}},
         std::string(200, 'A')},
        {"a write queued right after the open waits for the first report",
         {10},
         {{0, {}, {false}, 10}, {16, {10}, {false}, 0}, {9, {10}, {false}, 0}, {1, {10}, {true}, 0}},
         std::string(10, 'A')},
        {"two writes of 10 with 15 bytes of credit",
         {10, 10},
         {{15, {15}, {false, false}, 5},
          {10, {15, 5}, {true, false}, 0},
          {5, {15, 5}, {true, false}, 0},
          {5, {15, 5}, {true, true}, 0}},
         std::string(10, 'A') + std::string(10, 'B')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        std::vector<AppRequest> writes = WriteEach(c.writes);
        int stepIndex = 0;
        for (const Step& s : c.steps) {
            SCOPED_TRACE(stepIndex++);
            if (s.report) Report(s.report);
            EXPECT_EQ(host->ChunkSizes(), s.chunks);
            for (size_t i = 0; i < writes.size(); i++) EXPECT_EQ(writes[i].Done(), s.done[i]) << "write " << i;
            EXPECT_EQ(host->writes().m_GetQueuedBytes(), s.queued);
        }
        EXPECT_EQ(host->SentBytes(), c.sent);
        for (size_t i = 0; i < writes.size(); i++) {
            EXPECT_EQ(writes[i].Result().status, STATUS_SUCCESS);
            EXPECT_EQ(writes[i].Result().information, c.writes[i]);
        }
    }
}

// The write total timeout (bytes x multiplier + constant) of the oldest write.
TEST_F(WriteQueueTest, AWriteNotReportedInTimeCompletesWithStatusTimeout)
{
    struct Case {
        const char* name;
        ULONG multiplier, constant;
        ULONG credit;  // granted before the write (0: none)
        size_t length;
        double at;
        ULONG information;  // bytes handed over
    } cases[] = {
        {"constant only, all handed over", 0, 100, 64, 10, 100, 10},
        {"constant only, nothing handed over", 0, 100, 0, 10, 100, 0},
        {"multiplier and constant", 2, 50, 64, 25, 100, 25},
        {"partly handed over", 0, 100, 4, 10, 100, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        ASSERT_EQ(SetTimeouts(0, 0, 0, c.multiplier, c.constant).status, STATUS_SUCCESS);
        Report(0);  // the open's credit-only report
        if (c.credit) Report(c.credit);
        int64_t start = Now();
        AppRequest w = Write(c.length, 'T');
        AppResult r = w.Wait();
        EXPECT_EQ(r.status, STATUS_TIMEOUT);
        EXPECT_EQ(r.information, c.information);
        EXPECT_EQ(w.CompletedAt() - start, (int64_t)(c.at * kMs));
    }
}

// A write that leaves before its handed-over bytes were reported (purge, cancel, timeout):
// those bytes are still reported later, and must not complete the next write early.
TEST_F(WriteQueueTest, ALeavingWriteLeavesItsHandedOverBytesToTheDiscount)
{
    enum How { kPurge, kCancel, kTimeout };
    struct Case {
        const char* name;
        How how;
        ULONG credit;
        ULONG reportedBefore;  // bytes of the write reported before it leaves
        ULONG discount;
        ULONG information;
    } cases[] = {
        {"purge, in progress", kPurge, 64, 0, 30, 0},
        {"purge, partly handed over", kPurge, 16, 0, 16, 0},
        // The report also grants credit: 10 more bytes go out, 26 handed over, 10 reported.
        {"purge, partly handed over and partly reported", kPurge, 16, 10, 16, 0},
        {"cancel, in progress", kCancel, 64, 0, 30, 0},
        {"cancel, partly handed over", kCancel, 16, 0, 16, 0},
        {"timeout, in progress", kTimeout, 64, 0, 30, 30},
        {"timeout, partly handed over", kTimeout, 16, 0, 16, 16},
        {"timeout, in progress and partly reported", kTimeout, 64, 20, 10, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        ASSERT_EQ(SetTimeouts(0, 0, 0, 0, c.how == kTimeout ? 50 : 0).status, STATUS_SUCCESS);
        Report(0);
        Report(c.credit);
        AppRequest w = Write(30, 'W');
        Settle();
        if (c.reportedBefore) Report(c.reportedBefore);
        if (c.how == kPurge) ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT).status, STATUS_SUCCESS);
        if (c.how == kCancel) file.Cancel();
        AppResult r = w.Wait();
        EXPECT_EQ(r.status, c.how == kTimeout ? STATUS_TIMEOUT : STATUS_CANCELLED);
        EXPECT_EQ(r.information, c.information);
        EXPECT_EQ(host->writes().m_GetDiscount(), c.discount);
        EXPECT_EQ(host->writes().m_GetQueuedBytes(), 0u) << "its unsent bytes are no longer queued";

        AppRequest next = Write(4, 'N');
        Settle();
        Report(c.discount);  // the late bytes of the write that left
        EXPECT_FALSE(next.Done()) << "charged to the discount, not to the next write";
        EXPECT_EQ(host->writes().m_GetDiscount(), 0u);
        EXPECT_EQ(host->SentBytes().substr(host->SentBytes().size() - 4), "NNNN");
        Report(4);
        EXPECT_EQ(next.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(next.Result().information, 4u);
    }
}

// When the timed write is done (reported, timed out, cancelled) the timer goes on with the
// next oldest write, which gets its own full timeout from then.
TEST_F(WriteQueueTest, TheWriteTimerMovesOnToTheNextWrite)
{
    ASSERT_EQ(SetTimeouts(0, 0, 0, 0, 100).status, STATUS_SUCCESS);
    Report(0);
    AppRequest first = Write(10, 'a'), second = Write(10, 'b'), third = Write(10, 'c');
    EXPECT_EQ(first.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(first), 100);
    EXPECT_EQ(second.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(second), 200);
    Report(64);  // the third goes out now and is reported 30 ms later
    WaitUntil(230);
    Report(10);
    EXPECT_EQ(third.Wait().status, STATUS_SUCCESS);

    // A reported write hands the timer to the next one, already in progress.
    AppRequest fourth = Write(10, 'd'), fifth = Write(10, 'e');
    Settle();
    WaitUntil(260);
    Report(10);
    EXPECT_EQ(fourth.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(fifth.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(fifth.Result().information, 10u);
    EXPECT_EQ(CompletedMs(fifth), 360);
}

// Timeouts are computed in 64 bits: 65,536 bytes at 65,536 ms per byte is 2^32 ms, which
// 32 bits would wrap to 0; 500,000 ms is more than 32 bits of 100-ns units.
TEST_F(WriteQueueTest, LongWriteTimeoutsDoNotWrap)
{
    ASSERT_EQ(SetTimeouts(0, 0, 0, 65536, 0).status, STATUS_SUCCESS);
    AppRequest huge = Write(65536, 'h');
    WaitUntil(10000);
    EXPECT_FALSE(huge.Done());
    ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT).status, STATUS_SUCCESS);
    EXPECT_EQ(huge.Wait().status, STATUS_CANCELLED);

    ASSERT_EQ(SetTimeouts(0, 0, 0, 0, 500000).status, STATUS_SUCCESS);
    AppRequest w = Write(1, 'x');
    EXPECT_EQ(w.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(w), 10000 + 500000);
}

TEST_F(WriteQueueTest, AFlushWaitsForTheWritesAndAnEmptyTransmitterPollingEvery5ms)
{
    // Nothing queued: at once, without asking the transmitter.
    AppRequest now = file.FlushAsync();
    EXPECT_TRUE(now.Done());
    EXPECT_EQ(now.Result().status, STATUS_SUCCESS);
    EXPECT_TRUE(host->Queries().empty());

    host->transmitterEmpty = false;
    Report(0);
    Report(64);
    AppRequest w = Write(10, 'f');
    AppRequest flush = file.FlushAsync();
    WaitUntil(20);
    EXPECT_FALSE(flush.Done());
    EXPECT_TRUE(host->Queries().empty()) << "not asked while a write is in progress";
    Report(10);
    EXPECT_EQ(CompletedMs(w), 20);
    WaitUntil(32);
    host->transmitterEmpty = true;
    EXPECT_EQ(flush.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(CompletedMs(flush), 35);
    std::vector<double> queries;
    for (int64_t t : host->Queries()) queries.push_back(Ms(t));
    EXPECT_EQ(queries, (std::vector<double>{20, 25, 30, 35}));
    WaitUntil(100);
    EXPECT_EQ(host->Queries().size(), 4u) << "the poll stops with the flush";

    // Without a transmitter query the transmitter counts as empty.
    host->writes().m_SetTransmitterEmptyCallback(nullptr, nullptr);
    w = Write(3, 'g');
    flush = file.FlushAsync();
    WaitUntil(110);
    Report(3);
    EXPECT_EQ(flush.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(CompletedMs(flush), 110);
}

// Flushes are held in a cancel-safe queue: every one completes, and cancel, purge and
// cleanup complete them.
TEST_F(WriteQueueTest, HeldFlushesAreNeverDroppedAndCanBeCancelled)
{
    Report(0);
    AppRequest w = Write(5, 'x');
    AppRequest f1 = file.FlushAsync(), f2 = file.FlushAsync();
    Settle();
    EXPECT_FALSE(f1.Done());
    EXPECT_FALSE(f2.Done());
    Report(5);
    Report(5);
    EXPECT_EQ(f1.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(f2.Wait().status, STATUS_SUCCESS) << "the second flush does not replace the first";

    // Cancelling the write lets the flush check run; a busy transmitter keeps the flush held
    // until its own cancel.
    host->transmitterEmpty = false;
    w = Write(5, 'y');
    AppRequest f3 = file.FlushAsync();
    Settle();
    file.Cancel();
    EXPECT_EQ(f3.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(w.Wait().status, STATUS_CANCELLED);

    w = Write(5, 'z');
    AppRequest f4 = file.FlushAsync();
    ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT).status, STATUS_SUCCESS);
    EXPECT_EQ(f4.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(w.Wait().status, STATUS_CANCELLED);

    w = Write(5, 'q');
    AppRequest f5 = file.FlushAsync();
    Settle();
    file.Close();
    EXPECT_EQ(f5.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(w.Wait().status, STATUS_CANCELLED);
}

// IOCTL_SERIAL_XOFF_COUNTER: the Xoff character goes out once, when the writes before the
// request are done; the request ends when the counter runs out, a write comes, its timeout
// expires or it is cancelled.
TEST_F(WriteQueueTest, XoffCounter)
{
    enum End { kReceive, kWait, kWrite, kCancel, kPurge, kAnother };
    struct Case {
        const char* name;
        ULONG timeout;
        LONG counter;
        End end;
        NTSTATUS status;
        double at;
        size_t sends;
    } cases[] = {
        {"counter runs out, no timeout", 0, 3, kReceive, STATUS_SUCCESS, 30, 1},
        {"counter runs out before the timeout", 100, 3, kReceive, STATUS_SUCCESS, 30, 1},
        {"timeout", 100, 3, kWait, STATUS_SERIAL_COUNTER_TIMEOUT, 100, 1},
        {"a write comes", 0, 3, kWrite, STATUS_SERIAL_MORE_WRITES, 15, 1},
        {"cancelled", 100, 3, kCancel, STATUS_CANCELLED, 15, 1},
        {"purged", 100, 3, kPurge, STATUS_CANCELLED, 15, 1},
        {"another request", 0, 3, kAnother, STATUS_SERIAL_MORE_WRITES, 15, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        int64_t start = Now();
        AppRequest x = XoffCounter(c.timeout, c.counter);
        std::optional<AppRequest> other;
        Settle();
        EXPECT_FALSE(x.Done());
        // One byte every 10 ms; the counter needs three.
        for (int i = 1; i <= 3 && !x.Done(); i++) {
            AdvanceTo(start + (int64_t)(10 * i * kMs));
            if (c.end == kReceive) host->Receive("r");
            if (i == 1 && c.end != kReceive) {
                AdvanceTo(start + 15 * kMs);
                if (c.end == kWrite) other = Write(1, 'w');
                if (c.end == kCancel) file.Cancel();
                if (c.end == kPurge) Purge(SERIAL_PURGE_TXABORT);
                if (c.end == kAnother) other = XoffCounter(0, 5);
            }
            Settle();
        }
        AppResult r = x.Wait();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(x.CompletedAt() - start, (int64_t)(c.at * kMs));
        auto sent = host->XoffSent();
        ASSERT_EQ(sent.size(), c.sends) << "the Xoff character goes out once per request";
        EXPECT_EQ(sent[0].character, 0x13);
        EXPECT_EQ(sent[0].at, start);
        if (other) {
            Settle();
            EXPECT_FALSE(other->Done()) << "the request that ended it is served as usual";
            Purge(SERIAL_PURGE_TXABORT);
            other->Wait();
        }
        host->reads().m_FlushData();
    }

    // Counter 0 completes at once and sends nothing.
    Reopen();
    AppRequest zero = XoffCounter(100, 0);
    EXPECT_TRUE(zero.Done());
    EXPECT_EQ(zero.Result().status, STATUS_SUCCESS);
    Settle();
    EXPECT_TRUE(host->XoffSent().empty());
}

TEST_F(WriteQueueTest, TheXoffCharacterWaitsForTheWritesBeforeIt)
{
    Report(0);
    Report(64);
    AppRequest w = Write(10, 'w');
    AppRequest x = XoffCounter(50, 2);
    Settle();
    EXPECT_TRUE(host->XoffSent().empty());
    WaitUntil(20);
    Report(10);
    EXPECT_EQ(w.Wait().status, STATUS_SUCCESS);
    ASSERT_EQ(host->XoffSent().size(), 1u);
    EXPECT_EQ(Ms(host->XoffSent()[0].at), 20);
    EXPECT_EQ(x.Wait().status, STATUS_SERIAL_COUNTER_TIMEOUT);
    EXPECT_EQ(CompletedMs(x), 70) << "its timeout runs from the send";
}

TEST_F(WriteQueueTest, WritesAreRefusedWhileTheQueueIsSwitchedOff)
{
    host->writes().m_SetState(FALSE, STATUS_CANCELLED);
    AppRequest w = Write(4, 'o');
    EXPECT_TRUE(w.Done());
    EXPECT_EQ(w.Result().status, STATUS_CANCELLED);
    host->writes().m_SetState(TRUE, STATUS_CANCELLED);
    Report(0);
    Report(8);
    w = Write(4, 'o');
    Settle();
    Report(4);
    EXPECT_EQ(w.Wait().status, STATUS_SUCCESS);
}

// No memory for the chunk: nothing is taken from the write, and the next trigger sends it.
TEST_F(WriteQueueTest, AChunkThatCannotBeAllocatedDelaysTheWrite)
{
    Report(0);
    AppRequest w = Write(6, 's');
    Settle();
    // The report queues the sender (its call and its work item), which then allocates the
    // chunk object and its data.
    PoolFailNth(3);
    Report(6);
    EXPECT_TRUE(host->ChunkSizes().empty());
    EXPECT_EQ(host->writes().m_GetQueuedBytes(), 6u);
    Report(0);
    EXPECT_EQ(host->SentBytes(), "ssssss");
    Report(6);
    EXPECT_EQ(w.Wait().status, STATUS_SUCCESS);
}

// A chunk the write callback refuses never reaches the line: the writes it carried bytes of
// fail with STATUS_UNSUCCESSFUL, counting only their bytes taken before it; its credit comes
// back, and none of its bytes waits in the discount for a report that will never come.
TEST_F(WriteQueueTest, ARefusedChunkFailsItsWritesAndGivesItsCreditBack)
{
    const NTSTATUS kOk = STATUS_SUCCESS, kFailed = STATUS_UNSUCCESSFUL;
    struct Case {
        const char* name;
        std::vector<size_t> writes;
        ULONG firstCredit;  // the open's credit-only report; its chunk is taken
        ULONG report;       // the report whose credit makes the chunks that are refused
        std::vector<NTSTATUS> status;
        std::vector<ULONG> information;
        ULONG discount;    // bytes taken earlier from failed writes, not yet reported
        ULONG unreported;  // bytes still to be reported: the discount and the writes going on
    } cases[] = {
        {"a whole write in the chunk", {10}, 0, 64, {kFailed}, {0}, 0, 0},
        {"a write partly handed over", {10}, 0, 4, {kFailed}, {0}, 0, 0},
        // 4 bytes went out; the report says 2 of them are written and grants 2.
        {"a write whose first chunk went out", {10}, 4, 2, {kFailed}, {4}, 2, 2},
        {"a write in progress before the chunk goes on", {5, 5, 5}, 5, 3, {kOk, kFailed, kFailed}, {5, 0, 0}, 0, 2},
        {"every chunk refused, one write after the other", {10, 10}, 0, 4, {kFailed, kFailed}, {0, 0}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        std::vector<AppRequest> writes = WriteEach(c.writes);
        Report(c.firstCredit);
        host->writeCallbackResult = false;
        Report(c.report);
        host->writeCallbackResult = true;
        for (size_t i = 0; i < writes.size(); i++) {
            if (c.status[i] != kFailed) {
                EXPECT_FALSE(writes[i].Done()) << "write " << i;
                continue;
            }
            ASSERT_TRUE(writes[i].Done()) << "write " << i;
            EXPECT_EQ(writes[i].Result().status, STATUS_UNSUCCESSFUL) << "write " << i;
            EXPECT_EQ(writes[i].Result().information, c.information[i]) << "write " << i;
        }
        EXPECT_EQ(host->writes().m_GetCredit(), c.report) << "the refused chunks' credit is back";
        EXPECT_EQ(host->writes().m_GetDiscount(), c.discount);
        EXPECT_EQ(host->writes().m_GetQueuedBytes(), 0u);

        if (c.unreported) Report(c.unreported);
        for (size_t i = 0; i < writes.size(); i++) {
            EXPECT_EQ(writes[i].Wait().status, c.status[i]) << "write " << i;
            EXPECT_EQ(writes[i].Result().information, c.information[i]) << "write " << i;
        }
        EXPECT_EQ(host->writes().m_GetDiscount(), 0u);
        // The next write goes at once on the credit given back, and its own report ends it.
        AppRequest next = Write(3, 'N');
        Settle();
        EXPECT_EQ(host->SentBytes().substr(host->SentBytes().size() - 3), "NNN");
        Report(3);
        EXPECT_EQ(next.Wait().status, STATUS_SUCCESS);
    }
}

// ---- forced interleavings ----

// The report has decided the write; the application's cancel comes before it is completed.
// The write keeps its outcome and is completed once.
TEST_F(WriteQueueTest, ACancelAfterTheReportDecidedTheWriteCompletesItAsWritten)
{
    Report(0);
    Report(64);
    AppRequest w = Write(10, 'c');
    Settle();
    SyncPoint decided(CJnWriteQueue::kWrittenSyncPoint);
    ThreadRef bus = StartThread("bus", [&] { host->Written(10); });
    decided.WaitUntilReached();
    file.Cancel();
    EXPECT_TRUE(w.Done());
    decided.Release();
    Join(bus);
    EXPECT_EQ(w.Result().status, STATUS_SUCCESS);
    EXPECT_EQ(w.Result().information, 10u);
}

// The cancel has started (flag set, routine not yet taken) when the report completes the
// write: the report's removal wins and the cancel finds nothing.
TEST_F(WriteQueueTest, AReportDuringACancelCompletesTheWriteOnce)
{
    Report(0);
    Report(64);
    AppRequest w = Write(10, 'c');
    Settle();
    SyncPoint cancelling(sync::kCancelBeforeRoutine);
    ThreadRef app = StartThread("canceller", [&] { file.Cancel(true); });
    cancelling.WaitUntilReached();
    Report(10);
    EXPECT_TRUE(w.Done());
    cancelling.Release();
    Join(app);
    EXPECT_EQ(w.Result().status, STATUS_SUCCESS);
}

// The write timer has fired for the first write, its DPC not yet run, when the report
// completes that write and the timer moves on to the second. The late run must not time out
// the second write.
TEST_F(WriteQueueTest, AStaleWriteTimerRunDoesNotTimeOutTheNextWrite)
{
    ASSERT_EQ(SetTimeouts(0, 0, 0, 0, 100).status, STATUS_SUCCESS);
    Report(0);
    Report(64);
    AppRequest first = Write(10, '1'), second = Write(10, '2');
    Settle();
    {
        SyncPoint dpc(sync::kBeforeDpc);
        dpc.WaitUntilReached();
        EXPECT_EQ(Ms(Now()), 100);
        host->Written(10);
        dpc.Release();
    }
    EXPECT_EQ(first.Wait().status, STATUS_SUCCESS);
    Settle();
    EXPECT_FALSE(second.Done());
    EXPECT_EQ(second.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(second), 200);
}

// A write cancelled while its chunk is inside the write callback, which then refuses the
// chunk: none of the chunk's bytes is left in the discount, so the next write completes on
// its own report.
TEST_F(WriteQueueTest, AWriteCancelledWhileItsRefusedChunkIsHandedOverLeavesNoDiscount)
{
    Report(0);
    Report(64);
    host->writeCallbackResult = false;
    host->duringWrite = [this] { file.Cancel(true); };
    AppRequest w = Write(10, 'x');
    EXPECT_EQ(w.Wait().status, STATUS_CANCELLED);
    Settle();
    host->duringWrite = nullptr;
    host->writeCallbackResult = true;
    EXPECT_EQ(host->writes().m_GetDiscount(), 0u);
    EXPECT_EQ(host->writes().m_GetCredit(), 64u);
    AppRequest next = Write(4, 'N');
    Settle();
    Report(4);
    EXPECT_TRUE(next.Done());
    EXPECT_EQ(next.Result().status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace kwsim::test
