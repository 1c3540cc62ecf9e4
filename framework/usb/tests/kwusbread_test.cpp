// The continuous read: its state machine, re-submission from passive level, failures,
// and stops racing a queued re-submission.
#include <mutex>

#include "kwusbfixture.h"
#include "simkernel/syncpoint.h"

namespace kwsim::test {
namespace {

// What the read callback saw, and where.
struct ReadLog {
    std::mutex mu;
    std::vector<std::vector<uint8_t>> reads;
    std::vector<KIRQL> irqls;
    std::vector<KPRIORITY> priorities;
    CUsbDevice* disableOnRead = nullptr;

    static void Callback(PVOID context, PUCHAR data, ULONG length)
    {
        auto* self = static_cast<ReadLog*>(context);
        if (self->disableOnRead) self->disableOnRead->m_DisableRead();
        std::lock_guard<std::mutex> lk(self->mu);
        self->reads.emplace_back(data, data + length);
        self->irqls.push_back(KeGetCurrentIrql());
        self->priorities.push_back(KeQueryPriorityThread(KeGetCurrentThread()));
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lk(mu);
        return reads.size();
    }
};

class ContinuousReadTest : public UsbLibraryTest {
protected:
    void SetUp() override
    {
        UsbLibraryTest::SetUp();
        Bring();
    }
    void Register() { ASSERT_TRUE(usb->m_RegisterReadCallback(ReadLog::Callback, &log)); }
    std::vector<UrbRecord> Reads() { return Records(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER); }
    size_t PendingReads()
    {
        size_t n = 0;
        for (const UrbRecord& r : Reads()) n += r.Pending();
        return n;
    }
    void Arrive(std::vector<uint8_t> packet)
    {
        model->QueueIn(0x83, std::move(packet));
        Delay(5 * kMs);
    }
    LONG State() { return usb->m_GetReadState(); }

    ReadLog log;
};

TEST_F(ContinuousReadTest, ReadsAreKeptOutstandingThroughTheirStates)
{
    EXPECT_EQ(State(), CUsbTransport::kUninitialised);
    EXPECT_FALSE(usb->m_CreateInterruptUrb()) << "nothing to allocate for before a callback is registered";
    ASSERT_TRUE(usb->m_RegisterInterruptUrbCallback(ReadLog::Callback, &log));
    EXPECT_EQ(State(), CUsbTransport::kRegistered);
    EXPECT_TRUE(usb->m_RegisterInterruptUrbCallback(ReadLog::Callback, &log)) << "a second registration replaces";
    EXPECT_FALSE(usb->m_StartRead(1, 64)) << "no IRP yet";
    ASSERT_TRUE(usb->m_CreateInterruptUrb());
    EXPECT_EQ(State(), CUsbTransport::kInitialised);

    ClearDebugOutput();
    EXPECT_FALSE(usb->m_StartRead(1, 0));
    EXPECT_EQ(State(), CUsbTransport::kInitialised) << "a read of no bytes is refused";
    EXPECT_NE(DebugOutput().find("ASSERT at - framework\\usb\\kwusbtransport"), std::string::npos);
    EXPECT_FALSE(usb->m_StopRead()) << "nothing to stop";

    ASSERT_TRUE(usb->m_StartRead(1, 64));
    EXPECT_EQ(State(), CUsbTransport::kStarted);
    Delay(5 * kMs);
    ASSERT_EQ(Reads().size(), 1u);
    EXPECT_EQ(Reads()[0].requested, 64u);
    EXPECT_EQ(Reads()[0].endpoint, 0x83);

    // Data: the callback gets it at DISPATCH_LEVEL and the next read goes out.
    Arrive({0x11, 0x60, 'a', 'b'});
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.reads[0], (std::vector<uint8_t>{0x11, 0x60, 'a', 'b'}));
    EXPECT_EQ(log.irqls[0], DISPATCH_LEVEL);
    EXPECT_EQ(Reads().size(), 2u);
    EXPECT_EQ(PendingReads(), 1u);

    // A transfer with no bytes reaches nobody, and reading goes on.
    Arrive({});
    EXPECT_EQ(log.Count(), 1u);
    EXPECT_EQ(Reads().size(), 3u);
    EXPECT_EQ(PendingReads(), 1u);

    // A new size takes effect with the next submission.
    usb->m_SetReadSize(128);
    Arrive({0x11, 0x60, 'c'});
    EXPECT_EQ(Reads().back().requested, 128u);

    // Disabled: the read in flight completes, and nothing follows it.
    EXPECT_TRUE(usb->m_DisableRead());
    EXPECT_EQ(State(), CUsbTransport::kDisabled);
    Arrive({0x11, 0x60, 'd'});
    EXPECT_EQ(log.Count(), 3u);
    EXPECT_EQ(PendingReads(), 0u);
    size_t submitted = Reads().size();
    EXPECT_TRUE(usb->m_EnableRead());
    EXPECT_EQ(State(), CUsbTransport::kStarted);
    Delay(5 * kMs);
    EXPECT_EQ(Reads().size(), submitted + 1);
    EXPECT_TRUE(usb->m_EnableRead()) << "already started";

    // Stopped: the read in flight is cancelled.
    EXPECT_TRUE(usb->m_StopRead());
    EXPECT_EQ(State(), CUsbTransport::kInitialised);
    EXPECT_EQ(Reads().back().usbdStatus, USBD_STATUS_CANCELED);
    EXPECT_EQ(PendingReads(), 0u);

    // Disabling an idle read reports failure but still disables; enabling then starts.
    EXPECT_FALSE(usb->m_DisableRead());
    EXPECT_EQ(State(), CUsbTransport::kDisabled);
    EXPECT_TRUE(usb->m_EnableRead());
    EXPECT_EQ(State(), CUsbTransport::kStarted);
    Delay(5 * kMs);
    EXPECT_EQ(PendingReads(), 1u);

    EXPECT_TRUE(usb->m_DeleteInterruptUrb()) << "stops first";
    EXPECT_EQ(State(), CUsbTransport::kRegistered);
    EXPECT_EQ(PendingReads(), 0u);
}

TEST_F(ContinuousReadTest, DisablingFromTheCallbackEndsReadingAfterThatRead)
{
    Register();
    log.disableOnRead = usb;
    ASSERT_TRUE(usb->m_StartRead(1, 64));
    Arrive({0x11, 0x60, 'a'});
    Arrive({0x11, 0x60, 'b'});
    EXPECT_EQ(log.Count(), 1u);
    EXPECT_EQ(State(), CUsbTransport::kDisabled);
    EXPECT_EQ(PendingReads(), 0u);
    log.disableOnRead = nullptr;
    EXPECT_TRUE(usb->m_EnableRead());
    Delay(5 * kMs);
    EXPECT_EQ(log.Count(), 2u) << "the waiting packet is read once enabled";
}

TEST_F(ContinuousReadTest, AFailedReadStopsReadingUntilItIsStartedAgain)
{
    Register();
    ASSERT_TRUE(usb->m_StartRead(1, 64));
    plugged->FailBulk(0x83, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    Arrive({0x11, 0x60, 'a'});
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(Reads().size(), 1u) << "not re-submitted";
    EXPECT_EQ(State(), CUsbTransport::kStarted);
    EXPECT_TRUE(usb->m_EnableRead()) << "still counts as started";
    Delay(5 * kMs);
    EXPECT_EQ(Reads().size(), 1u);
    EXPECT_TRUE(usb->m_StopRead());
    ASSERT_TRUE(usb->m_StartRead(1, 64));
    Delay(5 * kMs);
    EXPECT_EQ(log.Count(), 1u) << "the packet that waited is read";
}

TEST_F(ContinuousReadTest, OnlyTheTransportsOwnThreadIsRaised)
{
    Register();
    ASSERT_TRUE(usb->m_StartRead(1, 64));
    for (int i = 0; i < 3; i++) Arrive({0x11, 0x60, uint8_t('a' + i)});
    ASSERT_EQ(log.Count(), 3u);
    for (KPRIORITY p : log.priorities) EXPECT_EQ(p, 8) << "the USB stack's completion thread keeps its priority";

    // Completed inside IoCallDriver, a re-submitted read reports on the transport's own
    // thread: that one runs at 31.
    EXPECT_TRUE(usb->m_StopRead());
    host->SetCompletion(kwsim::usb::Completion::Inline);
    for (int i = 0; i < 3; i++) model->QueueIn(0x83, {0x11, 0x60, uint8_t('x' + i)});
    ASSERT_TRUE(usb->m_StartRead(1, 64));
    Delay(10 * kMs);
    ASSERT_EQ(log.Count(), 6u);
    EXPECT_EQ(log.priorities[3], 8) << "started on the test thread";
    EXPECT_EQ(log.priorities[4], 31);
    EXPECT_EQ(log.priorities[5], 31);
}

TEST_F(ContinuousReadTest, AStopWaitsForAQueuedResubmissionWhichThenSendsNothing)
{
    Register();
    ASSERT_TRUE(usb->m_StartRead(1, 64));
    SyncPoint restart("KwUsbReadRestart");
    model->QueueIn(0x83, {0x11, 0x60, 'a'});
    restart.WaitUntilReached();
    EXPECT_EQ(State(), CUsbTransport::kInitialised) << "completed, re-submission queued";
    BOOLEAN stopped = FALSE;
    ThreadRef stopper = StartThread("stopper", [&] { stopped = usb->m_StopRead(); });
    Delay(1 * kMs);
    EXPECT_EQ(State(), CUsbTransport::kCancelled) << "the stop waits";
    restart.Release();
    Join(stopper);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(State(), CUsbTransport::kInitialised);
    Delay(5 * kMs);
    EXPECT_EQ(Reads().size(), 1u) << "the queued re-submission sent nothing";
    EXPECT_TRUE(usb->m_DeleteInterruptUrb());
}

TEST_F(ContinuousReadTest, AnEnableRacingTheDisabledReadsCompletionDoesNotSendItTwice)
{
    Register();
    ASSERT_TRUE(usb->m_StartRead(1, 64));
    Delay(2 * kMs);
    EXPECT_TRUE(usb->m_DisableRead());
    EXPECT_TRUE(usb->m_EnableRead()) << "the read is still in flight: it is simply kept going";
    EXPECT_EQ(State(), CUsbTransport::kStarted);
    Arrive({0x11, 0x60, 'a'});
    EXPECT_EQ(log.Count(), 1u);
    EXPECT_EQ(PendingReads(), 1u) << "one read in flight, not two";
}

}  // namespace
}  // namespace kwsim::test
