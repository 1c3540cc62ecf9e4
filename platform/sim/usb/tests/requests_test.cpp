// How requests complete: at DISPATCH_LEVEL on the completion thread or inline, their
// cancellation with both races against the host, aborts, and the log.
#include <cstring>

#include "simkernel/syncpoint.h"
#include "usb_fixture.h"

namespace kwsim::usb::test {
namespace {

class RequestsTest : public SingleDeviceTest {};

TEST_F(RequestsTest, CompletionsRunAtDispatchLevelOnTheCompletionThreadOrInline)
{
    std::vector<uint8_t> buffer(4096), data = Bytes(5000);
    struct Case {
        const char* what;
        Completion mode;
        std::function<URB()> make;
        std::function<void()> before;  // what the device has ready
        bool inlineDone;               // completed inside IoCallDriver
        bool fedLater;                 // the device gets data 4.5 ms after the submission
        int64_t takes;                 // from submission (asynchronous ones)
    } cases[] = {
        {"vendor request", Completion::Async, [] { return VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 1, 0, 0, nullptr, 0); },
         {}, false, false, 2 * kMs},
        {"vendor request", Completion::Inline, [] { return VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 1, 0, 0, nullptr, 0); },
         {}, true, false, 0},
        {"read with data ready", Completion::Inline, [&] { return ReadUrb(buffer); },
         [&] { model->QueueIn(0x81, Bytes(20)); }, true, false, 0},
        {"write of 79 packets, not bound to frames", Completion::Inline, [&] { return BulkUrb(out, data.data(), 5000, 0); },
         {}, true, false, 0},
        {"read without data: waits", Completion::Inline, [&] { return ReadUrb(buffer); }, {}, false, true, 6 * kMs},
        {"abort: no bus traffic", Completion::Async, [&] { return PipeUrb(URB_FUNCTION_ABORT_PIPE, in); }, {}, false, false, 0},
        {"frame number", Completion::Inline, [] {
             URB u{};
             u.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
             u.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
             return u;
         }, {}, true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.what << (c.mode == Completion::Inline ? ", inline" : ", asynchronous"));
        host->SetCompletion(c.mode);
        if (c.before) c.before();
        URB urb = c.make();
        UrbRequest r(dev->Pdo());
        NTSTATUS call = r.Send(&urb);
        if (c.fedLater) {
            ScheduleAt(Now() + 4 * kMs + kMs / 2, [this] { model->QueueIn(0x81, Bytes(3)); });
        }
        EXPECT_EQ(r.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(r.irql, DISPATCH_LEVEL);
        EXPECT_EQ(call, c.inlineDone ? STATUS_SUCCESS : STATUS_PENDING);
        // (An asynchronous completion may come before IoCallDriver returns as well.)
        if (c.inlineDone) {
            EXPECT_TRUE(r.beforeReturn);
        }
        EXPECT_EQ(r.onSubmitterThread, c.inlineDone);
        EXPECT_EQ(r.completedAt - r.submittedAt, c.takes);
        if (urb.UrbHeader.Function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
            EXPECT_EQ(urb.UrbGetCurrentFrameNumber.FrameNumber, ULONG(Now() / kMs));
        }
    }
    EXPECT_EQ(model->Received(0x02), data);
}

TEST_F(RequestsTest, CancelCompletesAPendingRequestAtOnce)
{
    std::vector<uint8_t> buffer(4096);
    URB urb = ReadUrb(buffer);
    UrbRequest r(dev->Pdo());
    r.Send(&urb);
    Delay(10 * kMs);
    int64_t at = Now();
    EXPECT_TRUE(r.Cancel());
    EXPECT_EQ(r.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(r.Usbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(r.completedAt, at);
    EXPECT_EQ(r.irql, DISPATCH_LEVEL);
    EXPECT_FALSE(r.onSubmitterThread) << "on the completion thread like every completion";
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);

    // The pipe goes on: the next read is polled again and gets the data.
    model->QueueIn(0x81, Bytes(7));
    URB next = ReadUrb(buffer);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &next), STATUS_SUCCESS);
    EXPECT_EQ(next.UrbBulkOrInterruptTransfer.TransferBufferLength, 7u);

    // Part of a transfer moved before the cancel is reported.
    model->QueueIn(0x81, Bytes(64));
    model->QueueIn(0x81, Bytes(64));
    URB part = ReadUrb(buffer);
    UrbRequest p(dev->Pdo());
    p.Send(&part);
    Delay(5 * kMs);
    p.Cancel();
    EXPECT_EQ(p.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(part.UrbBulkOrInterruptTransfer.TransferBufferLength, 128u);

    // Cancelled before it was sent: it completes cancelled as it arrives.
    URB early = ReadUrb(buffer);
    UrbRequest e(dev->Pdo());
    EXPECT_FALSE(e.Cancel()) << "nothing to call yet, but the IRP is marked";
    EXPECT_EQ(e.Send(&early), STATUS_PENDING);
    EXPECT_EQ(e.Wait(), STATUS_CANCELLED);

    // A hung control transfer holds the control pipe until it is cancelled.
    dev->HangControl(1);
    URB hung = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 1, 0, 0, nullptr, 0);
    URB after = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 2, 0, 0, nullptr, 0);
    UrbRequest h(dev->Pdo()), a(dev->Pdo());
    h.Send(&hung);
    a.Send(&after);
    Delay(kSec);
    EXPECT_FALSE(h.Done());
    EXPECT_FALSE(a.Done()) << "behind the hung one";
    h.Cancel();
    EXPECT_EQ(h.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(a.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(a.completedAt - h.completedAt, 2 * kMs);
}

TEST_F(RequestsTest, CancelRacingTheCompletionGivesTheRequestToExactlyOneOfThem)
{
    std::vector<uint8_t> buffer(4096);
    // 1. The completion wins: the canceller is held after setting Cancel, before it takes
    //    the cancel routine; the data arrives and the read completes with it.
    {
        URB urb = ReadUrb(buffer);
        UrbRequest r(dev->Pdo());
        r.Send(&urb);
        SyncPoint held(kwsim::sync::kCancelBeforeRoutine);
        BOOLEAN cancelled = TRUE;
        ThreadRef canceller = StartThread("canceller", [&] { cancelled = r.Cancel(); });
        held.WaitUntilReached();
        model->QueueIn(0x81, Bytes(10));
        EXPECT_EQ(r.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
        held.Release();
        Join(canceller);
        EXPECT_FALSE(cancelled) << "the cancel found no routine to call";
    }
    // 2. The cancel wins: the cancel routine has taken the request but not yet the host's
    //    lock when the data arrives; the host leaves the request to it.
    {
        URB urb = ReadUrb(buffer);
        UrbRequest r(dev->Pdo());
        r.Send(&urb);
        Delay(2 * kMs);
        SyncPoint held(sync::kHostCancel);
        BOOLEAN cancelled = FALSE;
        ThreadRef canceller = StartThread("canceller", [&] { cancelled = r.Cancel(); });
        held.WaitUntilReached();
        model->QueueIn(0x81, Bytes(10));
        Delay(5 * kMs);
        EXPECT_FALSE(r.Done()) << "finished on the bus, but the cancel owns it";
        int64_t releasedAt = Now();
        held.Release();
        EXPECT_EQ(r.Wait(), STATUS_CANCELLED);
        EXPECT_EQ(r.completedAt, releasedAt);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u) << "what moved is still reported";
        Join(canceller);
        EXPECT_TRUE(cancelled);
    }
}

TEST_F(RequestsTest, AbortCancelsThePipesRequestsBeforeItCompletes)
{
    std::vector<uint8_t> b1(64), b2(64), b3(64);
    URB u1 = ReadUrb(b1), u2 = ReadUrb(b2);
    URB writeUrb = BulkUrb(out, b3.data(), 64, 0);
    model->SetRoom(0x02, 0);
    UrbRequest r1(dev->Pdo()), r2(dev->Pdo()), w(dev->Pdo());
    r1.Send(&u1);
    r2.Send(&u2);
    w.Send(&writeUrb);
    Delay(3 * kMs);
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, in);
    UrbRequest a(dev->Pdo());
    a.Send(&abort);
    EXPECT_EQ(a.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(r1.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(r2.Wait(), STATUS_CANCELLED);
    EXPECT_LT(r1.order, r2.order);
    EXPECT_LT(r2.order, a.order) << "the abort completes after the requests it cancelled";
    EXPECT_FALSE(w.Done()) << "another pipe is not touched";
    model->SetRoom(0x02, 64);
    EXPECT_EQ(w.Wait(), STATUS_SUCCESS);
}

TEST_F(RequestsTest, TheLogHasALinePerRequest)
{
    host->ClearLog();
    int observed = 0;
    host->SetLogObserver([&](const UrbRecord& r) { observed += !r.Pending(); });
    std::vector<uint8_t> two(2), buffer(4096);
    URB setModem = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0101, 1, nullptr, 0);
    URB status = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 0x05, 0, 1, two.data(), 2);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &setModem), STATUS_SUCCESS);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &status), STATUS_SUCCESS);
    model->QueueIn(0x81, {0x01, 0x60, 'h', 'i'});
    URB read = ReadUrb(buffer);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &read), STATUS_SUCCESS);
    std::vector<uint8_t> text = Bytes(20);
    URB write = BulkUrb(out, text.data(), 20, 0);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &write), STATUS_SUCCESS);
    URB bad = BulkUrb((USBD_PIPE_HANDLE)0x4242, text.data(), 20, 0);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendIoctl(dev->Pdo(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr, 0, nullptr, 0, true).status, STATUS_SUCCESS);
    URB pending = ReadUrb(buffer);
    UrbRequest p(dev->Pdo());
    p.Send(&pending);
    Delay(kMs);
    // Configuring the device took the first 4 ms.
    EXPECT_EQ(host->LogText(),
              "     4.0000 ->      6.0000 ms  port 1  VENDOR_DEVICE  setup 40 01 01 01 01 00 00 00  0/0  SUCCESS\n"
              "     6.0000 ->      8.0000 ms  port 1  VENDOR_DEVICE  setup C0 05 00 00 01 00 02 00  2/2  SUCCESS  data 11 60\n"
              "     8.0000 ->     10.0000 ms  port 1  BULK_OR_INTERRUPT_TRANSFER  ep 81 IN  4/4096  SUCCESS  data 01 60 68 69\n"
              "    10.0000 ->     12.0000 ms  port 1  BULK_OR_INTERRUPT_TRANSFER  ep 02 OUT  20/20  SUCCESS  data 00 07 0E 15 "
              "1C 23 2A 31 38 3F 46 4D 54 5B 62 69 ...\n"
              "    12.0000 ->     12.0000 ms  port 1  BULK_OR_INTERRUPT_TRANSFER  ep 00 OUT  0/20  INVALID_PIPE_HANDLE\n"
              "    12.0000 ->     33.0000 ms  port 1  RESET_PORT  SUCCESS\n"
              "    33.0000 ->     pending ms  port 1  BULK_OR_INTERRUPT_TRANSFER  ep 81 IN  0/4096  ...\n");
    EXPECT_EQ(observed, 6);
    std::vector<UrbRecord> log = host->Log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[1].data, (std::vector<uint8_t>{0x11, 0x60}));
    EXPECT_EQ(log[3].data, text) << "the record keeps every byte";
    EXPECT_EQ(log[5].ioctl, ULONG(IOCTL_INTERNAL_USB_RESET_PORT));
    EXPECT_TRUE(log[6].Pending());
    p.Cancel();
    p.Wait();
    host->SetLogObserver({});
}

}  // namespace
}  // namespace kwsim::usb::test

namespace kwsim::usb::test {
namespace {

class ShortLogTest : public UsbTest {
protected:
    UsbHost::Options HostOptions() override
    {
        UsbHost::Options o;
        o.logCapacity = 3;
        return o;
    }
};

TEST_F(ShortLogTest, TheLogKeepsTheNewestRecords)
{
    PluggedDevice* dev = host->Plug(SingleDevice());
    for (UCHAR request = 1; request <= 5; request++) {
        URB urb = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, request, 0, 0, nullptr, 0);
        EXPECT_EQ(SubmitAndWait(dev->Pdo(), &urb), STATUS_SUCCESS);
    }
    std::vector<UrbRecord> log = host->Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].id, 3u);
    EXPECT_EQ(log[0].setup[1], 3);
    EXPECT_EQ(log[2].setup[1], 5);
    EXPECT_FALSE(log[2].Pending());
}

}  // namespace
}  // namespace kwsim::usb::test
