// The read queue: the serial read timeouts, partial completion, shared buffers, the timers
// of the head read, cancellation and the data-amount notification, through real requests of
// an application, in exact virtual time.
#include <optional>

#include "jnqueuetest.h"
#include "simkernel/syncpoint.h"

namespace kwsim::test {
namespace {

const ULONG kMax = MAXULONG;

class ReadQueueTest : public QueueTest {
protected:
    struct Read {
        std::string buffer;
        AppRequest request;
        std::string Got() const { return buffer.substr(0, request.Result().information); }
    };
    // The buffer lives on the heap: the request copies into it when it completes.
    std::unique_ptr<Read> Start(ULONG length)
    {
        auto read = std::make_unique<Read>(Read{std::string(length, '.'), AppRequest({}, 0)});
        read->request = file.ReadAsync(read->buffer.data(), length);
        return read;
    }
    std::vector<std::pair<ULONG, ULONG>> Amounts()
    {
        std::vector<std::pair<ULONG, ULONG>> out;
        for (auto& a : host->Amounts()) out.push_back({a.newAmount, a.oldAmount});
        return out;
    }
};

struct Arrival {
    double at;
    std::string bytes;
};

TEST_F(ReadQueueTest, ReadTimeoutClasses)
{
    struct Case {
        const char* name;
        ULONG ri, rtm, rtc;
        ULONG length;
        std::string buffered;  // before the read
        std::vector<Arrival> arrivals;
        NTSTATUS status;
        std::string got;
        double at;
        bool atOnce;
        ULONG left;  // bytes still buffered afterwards
    } cases[] = {
        {"all zero: waits for all its bytes", 0, 0, 0, 10, "", {{10, "abc"}, {5000, "defghij"}}, STATUS_SUCCESS,
         "abcdefghij", 5000, false, 0},
        {"immediate, nothing buffered", kMax, 0, 0, 10, "", {}, STATUS_SUCCESS, "", 0, true, 0},
        {"immediate, some buffered", kMax, 0, 0, 10, "hello", {}, STATUS_SUCCESS, "hello", 0, true, 0},
        {"immediate, more buffered than asked", kMax, 0, 0, 5, "hello world", {}, STATUS_SUCCESS, "hello", 0, true, 6},
        {"first data: the first buffer completes it", kMax, kMax, 500, 100, "", {{40, "abc"}, {41, "def"}},
         STATUS_SUCCESS, "abc", 40, false, 3},
        {"first data: nothing in time", kMax, kMax, 500, 100, "", {{600, "late"}}, STATUS_TIMEOUT, "", 500, false, 4},
        {"first data: data already there", kMax, kMax, 500, 100, "xy", {}, STATUS_SUCCESS, "xy", 0, true, 0},
        {"total L x RTM + RTC, partly filled", 0, 10, 100, 5, "", {{30, "ab"}}, STATUS_TIMEOUT, "ab", 150, false, 0},
        {"total, filled in time", 0, 10, 100, 5, "", {{30, "ab"}, {60, "cdefg"}}, STATUS_SUCCESS, "abcde", 60, false, 2},
        {"interval from the last byte", 20, 0, 0, 10, "", {{5, "a"}, {15, "b"}, {30, "c"}}, STATUS_TIMEOUT, "abc", 50,
         false, 0},
        {"no interval before the first byte", 20, 0, 300, 10, "", {}, STATUS_TIMEOUT, "", 300, false, 0},
        {"interval and total: the total comes first", 20, 0, 100, 10, "",
         {{10, "a"}, {25, "b"}, {40, "c"}, {55, "d"}, {70, "e"}, {85, "f"}}, STATUS_TIMEOUT, "abcdef", 100, false, 0},
        {"interval MAXULONG in the general class never expires", kMax, 5, 100, 4, "", {{10, "ab"}}, STATUS_TIMEOUT, "ab",
         120, false, 0},
        {"buffered data counts towards the total", 0, 0, 100, 6, "abcd", {{50, "ef"}}, STATUS_SUCCESS, "abcdef", 50,
         false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        ASSERT_EQ(SetTimeouts(c.ri, c.rtm, c.rtc).status, STATUS_SUCCESS);
        if (!c.buffered.empty()) host->Receive(c.buffered);
        int64_t start = Now();
        auto read = Start(c.length);
        EXPECT_EQ(read->request.Done(), c.atOnce) << "completed within the request";
        for (const Arrival& a : c.arrivals) {
            AdvanceTo(start + (int64_t)(a.at * kMs));
            host->Receive(a.bytes);
        }
        AppResult r = read->request.Wait();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(read->request.CompletedAt() - start, (int64_t)(c.at * kMs));
        if (NT_SUCCESS(r.status)) EXPECT_EQ(read->Got(), c.got);
        EXPECT_EQ(r.information, c.got.size());
        EXPECT_EQ(host->reads().m_GetDataAmount(), c.left);
    }
}

// One received buffer serves two reads; the rest waits in place for the next data.
TEST_F(ReadQueueTest, TwoPendingReadsShareOneBuffer)
{
    auto first = Start(8), second = Start(8);
    Settle();
    host->Receive("ABCDEFGHIJKL");
    EXPECT_EQ(first->request.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(first->Got(), "ABCDEFGH");
    Settle();
    EXPECT_FALSE(second->request.Done());
    EXPECT_EQ(host->reads().m_GetDataAmount(), 0u) << "the rest is in the second read already";
    host->Receive("MNOPQR");
    EXPECT_EQ(second->request.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(second->Got(), "IJKLMNOP");
    EXPECT_EQ(host->reads().m_GetDataAmount(), 2u);
    ASSERT_EQ(SetTimeouts(kMax, 0, 0).status, STATUS_SUCCESS);
    auto third = Start(5);
    EXPECT_TRUE(third->request.Done());
    EXPECT_EQ(third->Got(), "QR");
}

// The timeouts a read is served by are the ones set when it becomes the head; a read queued
// behind it with other timeouts does not change them.
TEST_F(ReadQueueTest, TimeoutsChangedWhileAReadIsPendingApplyFromTheNextRead)
{
    ASSERT_EQ(SetTimeouts(0, 0, 1000).status, STATUS_SUCCESS);
    auto first = Start(10);
    WaitUntil(10);
    ASSERT_EQ(SetTimeouts(kMax, kMax, 500).status, STATUS_SUCCESS);  // first data or timeout
    auto second = Start(10);
    WaitUntil(50);
    host->Receive("abc");
    Settle();
    EXPECT_FALSE(first->request.Done()) << "the first read is not a first-data read";
    EXPECT_EQ(first->request.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(first->request), 1000);
    EXPECT_EQ(first->request.Result().information, 3u);
    WaitUntil(1200);
    host->Receive("z");
    EXPECT_EQ(second->request.Wait().status, STATUS_SUCCESS) << "the second one is";
    EXPECT_EQ(CompletedMs(second->request), 1200);
    EXPECT_EQ(second->Got(), "z");
}

// After a read times out, the next one is the head and is timed from then; after data
// completes one, likewise.
TEST_F(ReadQueueTest, TheNextReadIsTimedFromTheMomentItBecomesTheHead)
{
    ASSERT_EQ(SetTimeouts(0, 0, 100).status, STATUS_SUCCESS);
    auto r1 = Start(4), r2 = Start(4);
    EXPECT_EQ(r1->request.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(r1->request), 100);
    EXPECT_EQ(r2->request.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(r2->request), 200);

    auto r3 = Start(4), r4 = Start(4);
    WaitUntil(250);
    host->Receive("full");
    EXPECT_EQ(r3->request.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(r4->request.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(r4->request), 350);
}

// The interval timer runs only for a head that has received a byte: a read that became the
// head when data completed the one before it waits for its own first byte.
TEST_F(ReadQueueTest, TheIntervalStartsWithTheHeadsFirstByte)
{
    ASSERT_EQ(SetTimeouts(20, 0, 0).status, STATUS_SUCCESS);
    auto r1 = Start(4), r2 = Start(4);
    WaitUntil(10);
    host->Receive("abcd");
    EXPECT_EQ(r1->request.Wait().status, STATUS_SUCCESS);
    WaitUntil(100);
    EXPECT_FALSE(r2->request.Done()) << "nothing received, so no interval";
    host->Receive("ef");
    EXPECT_EQ(r2->request.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(r2->request), 120);
    EXPECT_EQ(r2->Got(), "ef");
}

// A cancelled head read is completed with STATUS_CANCELLED and the bytes it holds; the read
// behind it becomes the head.
TEST_F(ReadQueueTest, ACancelledHeadReadReportsTheBytesItHolds)
{
    auto head = Start(10);
    Settle();
    host->Receive("abcd");
    std::unique_ptr<Read> other;
    ThreadRef app = StartThread("other app thread", [&] { other = Start(3); });
    Join(app);
    file.Cancel();  // the test thread's requests: the head only
    EXPECT_EQ(head->request.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(head->request.Result().information, 4u);
    Settle();
    EXPECT_FALSE(other->request.Done());
    host->Receive("xyz");
    EXPECT_EQ(other->request.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(other->Got(), "xyz");

    // A purge cancels the head with its bytes and the others with none.
    auto a = Start(10), b = Start(10);
    Settle();
    host->Receive("12345");
    ASSERT_EQ(Purge(SERIAL_PURGE_RXABORT).status, STATUS_SUCCESS);
    EXPECT_EQ(a->request.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(a->request.Result().information, 5u);
    EXPECT_EQ(b->request.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(b->request.Result().information, 0u);
}

// Every change of the buffered amount reaches the notification, a purge of the data too.
TEST_F(ReadQueueTest, TheDataAmountNotificationFollowsEveryChange)
{
    host->Receive("abcdef");
    auto read = Start(4);
    EXPECT_EQ(read->Got(), "abcd");
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR).status, STATUS_SUCCESS);
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR).status, STATUS_SUCCESS);  // nothing left: no news
    auto pending = Start(4);
    Settle();
    host->Receive("xy");  // straight into the pending read: the amount stays 0
    host->Receive("zw");
    EXPECT_EQ(pending->request.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(Amounts(), (std::vector<std::pair<ULONG, ULONG>>{{6, 0}, {2, 6}, {0, 2}}));
    for (auto& a : host->Amounts()) EXPECT_EQ(a.irql, PASSIVE_LEVEL);

    // Data that arrives at raised IRQL is reported from the device's own thread.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    host->Receive("late");
    KeLowerIrql(old);
    Settle();
    auto all = host->Amounts();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[3].newAmount, 4u);
    EXPECT_EQ(all[3].oldAmount, 4u);
    EXPECT_EQ(all[3].irql, PASSIVE_LEVEL);
}

TEST_F(ReadQueueTest, ReadsAreRefusedWhileTheQueueIsSwitchedOff)
{
    host->reads().m_SetState(FALSE, STATUS_CANCELLED);
    auto refused = Start(4);
    EXPECT_TRUE(refused->request.Done());
    EXPECT_EQ(refused->request.Result().status, STATUS_CANCELLED);
    host->reads().m_SetState(TRUE, STATUS_CANCELLED);
    host->Receive("ok");
    auto read = Start(2);
    EXPECT_EQ(read->request.Wait().status, STATUS_SUCCESS);
}

TEST_F(ReadQueueTest, EmptyBuffersAndMissingNodesLeaveTheQueueAsItWas)
{
    host->jn->m_DataForPendingReadArrived(CJnDataBuffer::sm_Create(0));
    EXPECT_NE(DebugOutput().find("ASSERT at - driversource\\kwgendrv\\driver\\jnreadqueuecsq 648\n"), std::string::npos);
    EXPECT_EQ(host->reads().m_GetDataAmount(), 0u);

    PoolFailNth(3);  // the buffer object and its data come first, then the list node
    host->Receive("lost");
    EXPECT_EQ(host->reads().m_GetDataAmount(), 0u);
    host->Receive("kept");
    auto read = Start(4);
    EXPECT_EQ(read->Got(), "kept");
    EXPECT_EQ(Amounts(), (std::vector<std::pair<ULONG, ULONG>>{{4, 0}, {0, 4}})) << "nothing of the lost bytes";
}

// Timeouts are computed in 64 bits: 65,536 x 65,536 ms is 2^32 ms, which 32 bits would
// wrap to 0; 500,000 ms is more than 32 bits of 100-ns units.
TEST_F(ReadQueueTest, LongReadTimeoutsDoNotWrap)
{
    ASSERT_EQ(SetTimeouts(0, 65536, 0).status, STATUS_SUCCESS);
    auto huge = Start(65536);
    WaitUntil(10000);
    EXPECT_FALSE(huge->request.Done());
    host->Receive(std::string(65536, 'h'));
    EXPECT_EQ(huge->request.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(huge->request.Result().information, 65536u);

    ASSERT_EQ(SetTimeouts(0, 0, 500000).status, STATUS_SUCCESS);
    auto r = Start(1);
    EXPECT_EQ(r->request.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(r->request), 10000 + 500000);
}

// ---- forced interleavings ----

// The matching loop has decided the read; the cancel comes before it is completed. The read
// keeps its data and is completed once.
TEST_F(ReadQueueTest, ACancelAfterTheMatchingLoopCompletesTheReadWithItsData)
{
    auto read = Start(4);
    Settle();
    SyncPoint matched(CJnReadQueue::kMatchedSyncPoint);
    ThreadRef bus = StartThread("bus", [&] { host->Receive("wxyz"); });
    matched.WaitUntilReached();
    file.Cancel();
    EXPECT_TRUE(read->request.Done());
    matched.Release();
    Join(bus);
    EXPECT_EQ(read->request.Result().status, STATUS_SUCCESS);
    EXPECT_EQ(read->Got(), "wxyz");
}

// The cancel has started (flag set, routine not yet taken) when data satisfies the read:
// the queue's removal wins, the cancel finds nothing.
TEST_F(ReadQueueTest, DataDuringACancelCompletesTheReadOnce)
{
    auto read = Start(4);
    Settle();
    SyncPoint cancelling(sync::kCancelBeforeRoutine);
    ThreadRef app = StartThread("canceller", [&] { file.Cancel(true); });
    cancelling.WaitUntilReached();
    host->Receive("wxyz");
    EXPECT_TRUE(read->request.Done());
    cancelling.Release();
    Join(app);
    EXPECT_EQ(read->request.Result().status, STATUS_SUCCESS);
    EXPECT_EQ(read->Got(), "wxyz");
}

// The total timer of the first read has fired, its DPC not yet run, when data completes that
// read and the second becomes the head with a timer of its own. The late run must not
// complete the second read.
TEST_F(ReadQueueTest, AStaleTimerRunDoesNotCompleteTheNextRead)
{
    ASSERT_EQ(SetTimeouts(0, 0, 100).status, STATUS_SUCCESS);
    auto r1 = Start(4), r2 = Start(4);
    Settle();
    {
        SyncPoint dpc(sync::kBeforeDpc);
        dpc.WaitUntilReached();
        EXPECT_EQ(Ms(Now()), 100);
        host->Receive("abcd");
        EXPECT_TRUE(r1->request.Done());
        dpc.Release();
    }
    EXPECT_EQ(r1->request.Result().status, STATUS_SUCCESS);
    Settle();
    EXPECT_FALSE(r2->request.Done());
    EXPECT_EQ(r2->request.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(CompletedMs(r2->request), 200);
}

}  // namespace
}  // namespace kwsim::test
