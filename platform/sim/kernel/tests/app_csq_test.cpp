// Application requests through the I/O manager, cancel-safe queues and forced
// interleavings with sync points.
#include "echo_device.h"
#include "simkernel/app.h"
#include "simkernel/syncpoint.h"

namespace kwsim::test {
namespace {

class AppTest : public SimTest {};

TEST_F(AppTest, OpenReadWriteIoctlFlushClose)
{
    EchoDevice echo(u"\\Device\\Echo0");
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\DosDevices\\COM3"));
    RtlInitUnicodeString(&target, reinterpret_cast<PCWSTR>(u"\\Device\\Echo0"));
    IoCreateSymbolicLink(&link, &target);
    {
        AppFile f;
        ASSERT_EQ(f.Open(u"\\??\\COM3"), STATUS_SUCCESS);
        AppFile second;
        EXPECT_EQ(second.Open(u"\\??\\COM3"), STATUS_ACCESS_DENIED) << "the device is exclusive";
        AppFile nothing;
        EXPECT_EQ(nothing.Open(u"\\??\\COM4"), STATUS_OBJECT_NAME_NOT_FOUND);

        auto w = f.Write("hello", 5);
        EXPECT_EQ(w.status, STATUS_SUCCESS);
        EXPECT_EQ(w.information, 5u);
        char buf[8] = {};
        auto r = f.Read(buf, 3);
        EXPECT_EQ(r.information, 3u);
        EXPECT_EQ(std::string(buf, 3), "hel");

        char out[4] = {};
        auto io = f.Ioctl(0x001B0000 /* METHOD_BUFFERED */, "abc", 3, out, sizeof out);
        EXPECT_EQ(io.information, 3u);
        EXPECT_EQ(std::string(out, 3), "cba");
        EXPECT_EQ(f.Flush().status, STATUS_SUCCESS);
        EXPECT_EQ(f.Close(), STATUS_SUCCESS);
    }
    EXPECT_EQ(echo.log, (std::vector<std::string>{"create", "write 5", "read 3", "flush", "cleanup", "close"}));
    IoDeleteSymbolicLink(&link);
}

TEST_F(AppTest, OverlappedReadCompletesWhenDataArrives)
{
    EchoDevice echo(u"\\Device\\Echo1");
    AppFile f;
    ASSERT_EQ(f.Open(echo.device), STATUS_SUCCESS);
    char buf[4];
    memset(buf, 'x', sizeof buf);
    AppRequest r = f.ReadAsync(buf, 4);
    Settle();
    EXPECT_FALSE(r.Done());
    ScheduleAt(25 * kMs, [&] { echo.Feed("ab"); });
    AppResult res = r.Wait();
    EXPECT_EQ(res.status, STATUS_SUCCESS);
    EXPECT_EQ(res.information, 2u);
    EXPECT_EQ(std::string(buf, 4), "abxx") << "only the bytes reported are copied back";
    EXPECT_EQ(r.CompletedAt(), 25 * kMs);
}

TEST_F(AppTest, CancelTakesOnlyTheCallersRequestsUnlessAllThreads)
{
    EchoDevice echo(u"\\Device\\Echo2");
    AppFile f;
    ASSERT_EQ(f.Open(echo.device), STATUS_SUCCESS);
    char mine[2], theirs[2];
    AppRequest r1 = f.ReadAsync(mine, 2);
    std::optional<AppRequest> r2;
    auto other = StartThread("other app thread", [&] { r2 = f.ReadAsync(theirs, 2); });
    Join(other);
    f.Cancel();
    EXPECT_EQ(r1.Wait().status, STATUS_CANCELLED);
    Settle();
    EXPECT_FALSE(r2->Done());
    f.Cancel(true);
    EXPECT_EQ(r2->Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(echo.cancelledCompletions, 2);
}

TEST_F(AppTest, CloseWithARequestPendingDefersTheClose)
{
    EchoDevice echo(u"\\Device\\Echo3");
    AppFile f;
    ASSERT_EQ(f.Open(echo.device), STATUS_SUCCESS);
    char buf[1];
    AppRequest r = f.ReadAsync(buf, 1);
    f.Close();
    Settle();
    EXPECT_EQ(echo.log.back(), "cleanup") << "the pending read holds the file object";
    echo.Feed("z");
    r.Wait();
    Settle();
    EXPECT_EQ(echo.log.back(), "close");
}

TEST_F(AppTest, RefusedInsertCompletesWithItsStatus)
{
    EchoDevice echo(u"\\Device\\Echo4");
    echo.refuseInsert = STATUS_DEVICE_BUSY;
    AppFile f;
    ASSERT_EQ(f.Open(echo.device), STATUS_SUCCESS);
    char buf[1];
    EXPECT_EQ(f.Read(buf, 1).status, STATUS_DEVICE_BUSY);
}

TEST_F(AppTest, CsqRemovalByPeekContext)
{
    EchoDevice echo(u"\\Device\\Echo5");
    AppFile a, b;
    a.Open(echo.device);
    echo.device->Flags &= ~DO_EXCLUSIVE;
    b.Open(echo.device);
    char x[1], y[1], z[1];
    AppRequest ra = a.ReadAsync(x, 1), rb = b.ReadAsync(y, 1), ra2 = a.ReadAsync(z, 1);
    Settle();
    PIRP first = IoCsqRemoveNextIrp(&echo.csq, b.FileObject());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(first)->FileObject, b.FileObject());
    echo.data = "1";
    echo.Fill(first);
    EXPECT_EQ(rb.Wait().information, 1u);
    EXPECT_EQ(IoCsqRemoveNextIrp(&echo.csq, b.FileObject()), nullptr);
    echo.Feed("23");
    EXPECT_EQ(x[0], '2') << "first in, first out";
    EXPECT_EQ(z[0], '3');
}

class InterleavingTest : public SimTest {};

// The cancel has set the flag and is about to take the cancel routine; the driver's
// removal gets there first. The IRP is completed by the driver, and the cancel finds
// nothing to call.
TEST_F(InterleavingTest, RemovalBeatsAParkedCancel)
{
    EchoDevice echo(u"\\Device\\Echo6");
    AppFile f;
    f.Open(echo.device);
    char buf[1];
    AppRequest r = f.ReadAsync(buf, 1);
    Settle();
    {
        SyncPoint atCancel(sync::kCancelBeforeRoutine);
        auto canceller = StartThread("canceller", [&] { f.Cancel(true); });
        atCancel.WaitUntilReached();
        echo.Feed("q");  // IoCsqRemoveNextIrp wins the exchange
        EXPECT_TRUE(r.Done());
        atCancel.Release();
        Join(canceller);
    }
    EXPECT_EQ(r.Result().status, STATUS_SUCCESS);
    EXPECT_EQ(echo.cancelledCompletions, 0);
}

// The cancel comes while the IRP is being inserted, before its cancel routine is set:
// IoCancelIrp finds no routine, and the insert completes the IRP as cancelled.
TEST_F(InterleavingTest, CancelDuringInsertIsNotLost)
{
    EchoDevice echo(u"\\Device\\Echo7");
    AppFile f;
    f.Open(echo.device);
    char buf[1];
    SyncPoint inInsert(sync::kCsqInsert);
    std::optional<AppRequest> r;
    auto reader = StartThread("reader", [&] { r = f.ReadAsync(buf, 1); });
    inInsert.WaitUntilReached();
    f.Cancel(true);
    inInsert.Release();
    Join(reader);
    EXPECT_EQ(r->Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(echo.cancelledCompletions, 1);
}

// The DPC thread is parked before a DPC; meanwhile the test completes the work the DPC
// would have done. Releasing it runs the stale DPC, which finds nothing left to do.
TEST_F(InterleavingTest, ParkedDpcRunsAfterRelease)
{
    static int runs;
    runs = 0;
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { runs++; }, nullptr);
    SyncPoint beforeDpc(sync::kBeforeDpc);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    beforeDpc.WaitUntilReached();
    EXPECT_NE(DescribeThreads().find("parked at a sync point at IRQL 0 (BeforeDpc)"), std::string::npos) << DescribeThreads();
    EXPECT_EQ(runs, 0);
    beforeDpc.Release();
    KeFlushQueuedDpcs();
    EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace kwsim::test
