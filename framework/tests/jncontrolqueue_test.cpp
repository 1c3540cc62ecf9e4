// The control queue: IOCTL_SERIAL_WAIT_ON_MASK against the wait mask and the recorded
// comm events, through real requests of an application.
#include "jnqueuetest.h"

namespace kwsim::test {
namespace {

using ControlQueueTest = QueueTest;

TEST_F(ControlQueueTest, AWaitWithMaskZeroFails)
{
    ULONG word = 0xDEADBEEF;
    AppResult r = file.Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &word, sizeof word);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(word, 0xDEADBEEFu) << "an error status copies nothing back";
    r = file.Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &word, 2);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << "no room for the event word";
}

// Events recorded before and after the wait, against the mask: the word returned is the
// recorded events in the mask (never SERIAL_EV_PERR); the rest stay recorded.
TEST_F(ControlQueueTest, ResolutionReturnsTheMaskedEventsAndKeepsTheRest)
{
    struct Case {
        ULONG mask;
        ULONG before;   // recorded before the wait
        ULONG after;    // raised while it waits (0: none)
        bool atOnce;
        ULONG word;
        ULONG remaining;
    } cases[] = {
        {SERIAL_EV_RXCHAR, SERIAL_EV_RXCHAR, 0, true, SERIAL_EV_RXCHAR, 0},
        {SERIAL_EV_RXCHAR | SERIAL_EV_CTS, SERIAL_EV_CTS | SERIAL_EV_DSR, 0, true, SERIAL_EV_CTS, SERIAL_EV_DSR},
        {SERIAL_EV_TXEMPTY, SERIAL_EV_RXCHAR, SERIAL_EV_TXEMPTY, false, SERIAL_EV_TXEMPTY, SERIAL_EV_RXCHAR},
        {SERIAL_EV_ERR | SERIAL_EV_BREAK, 0, SERIAL_EV_BREAK, false, SERIAL_EV_BREAK, 0},
        {SERIAL_EV_PERR | SERIAL_EV_RING, SERIAL_EV_PERR, SERIAL_EV_RING, false, SERIAL_EV_RING, SERIAL_EV_PERR},
        {SERIAL_EV_EVENT2, 0, SERIAL_EV_EVENT2 | SERIAL_EV_EVENT1, false, SERIAL_EV_EVENT2, SERIAL_EV_EVENT1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mask);
        ASSERT_EQ(SetWaitMask(c.mask).status, STATUS_SUCCESS);
        host->control().m_SetCommEventsReceived(c.before);
        host->control().m_ResolveCurrentEventMask(nullptr);  // nothing held: the events stay
        ULONG word = 0xDEADBEEF;
        AppRequest r = file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &word, sizeof word);
        Settle();
        EXPECT_EQ(r.Done(), c.atOnce);
        if (!c.atOnce) {
            host->RaiseEvents(SERIAL_EV_PERR);  // never a reason to wake
            Settle();
            EXPECT_FALSE(r.Done());
            host->RaiseEvents(c.after);
        }
        AppResult res = r.Wait();
        EXPECT_EQ(res.status, STATUS_SUCCESS);
        EXPECT_EQ(res.information, 4u);
        EXPECT_EQ(word, c.word);
        ULONG perr = c.atOnce ? 0 : SERIAL_EV_PERR;
        EXPECT_EQ(host->control().m_GetCommEventsReceived(), c.remaining | perr);
        host->control().m_ClearCommEvents(0xFFFFFFFF);
        EXPECT_EQ(host->control().m_GetCommEventsReceived(), 0u);
    }
}

TEST_F(ControlQueueTest, OneWaitAtATimeAndANewMaskEndsIt)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR).status, STATUS_SUCCESS);
    EXPECT_TRUE(host->control().m_IsInMask(SERIAL_EV_RXCHAR));
    EXPECT_FALSE(host->control().m_IsInMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS));
    ULONG first = 0xDEADBEEF, second = 0xDEADBEEF;
    AppRequest w1 = file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &first, sizeof first);
    AppResult w2 = file.Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &second, sizeof second);
    EXPECT_EQ(w2.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(w2.information, 4u);
    Settle();
    EXPECT_FALSE(w1.Done()) << "the held wait is not disturbed";

    host->control().m_SetCommEventsReceived(SERIAL_EV_CTS);
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS).status, STATUS_SUCCESS);
    AppResult r = w1.Wait();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(first, 0u) << "a new mask completes the wait with no events";
    EXPECT_EQ(host->control().m_GetCommEventsReceived(), 0u) << "and clears what was recorded";
    EXPECT_EQ(host->control().m_GetWaitMask(), (ULONG)SERIAL_EV_CTS);
}

TEST_F(ControlQueueTest, AHeldWaitIsCancelledByTheApplicationTheOwnerOrCleanup)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR).status, STATUS_SUCCESS);
    ULONG word = 0;
    AppRequest w = file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &word, sizeof word);
    file.Cancel();
    EXPECT_EQ(w.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(w.Result().information, 0u);

    w = file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &word, sizeof word);
    Settle();
    host->control().m_CancelWait();
    EXPECT_EQ(w.Wait().status, STATUS_CANCELLED);

    w = file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &word, sizeof word);
    Settle();
    file.Close();
    EXPECT_EQ(w.Wait().status, STATUS_CANCELLED);
}

}  // namespace
}  // namespace kwsim::test
