// Fixture of the queue tests: a fresh simulated PC with the driver's pool, the queue host
// and one application handle open on it. Times are virtual, in milliseconds from the start
// of the test.
#pragma once

#include <memory>
#include <string>

#include "jnpooledtest.h"
#include "jnqueuehost.h"
#include "simkernel/app.h"

namespace kwsim::test {

class QueueTest : public PooledTest {
protected:
    void SetUp() override
    {
        PooledTest::SetUp();
        host = std::make_unique<QueueHost>();
        ASSERT_NE(host->jn, nullptr);
        ASSERT_EQ(file.Open(host->device), STATUS_SUCCESS);
        t0 = Now();
    }
    void TearDown() override
    {
        if (file.IsOpen()) file.Close();
        Settle();
        host.reset();
        PooledTest::TearDown();
    }

    // Milliseconds since the start of the test, and back.
    double Ms(int64_t t) const { return (double)(t - t0) / kMs; }
    int64_t At(double ms) const { return t0 + (int64_t)(ms * kMs); }
    void WaitUntil(double ms) { AdvanceTo(At(ms)); }
    double CompletedMs(const AppRequest& r) const { return Ms(r.CompletedAt()); }

    // A new open (the per-open accounting starts again), with the host's records cleared.
    void Reopen()
    {
        file.Close();
        Settle();
        ASSERT_EQ(file.Open(host->device), STATUS_SUCCESS);
        std::lock_guard<std::mutex> lk(host->mu);
        host->chunks.clear();
        host->transmitterQueries.clear();
        host->xoffSent.clear();
        host->amounts.clear();
    }

    AppResult SetTimeouts(ULONG ri, ULONG rtm, ULONG rtc, ULONG wtm = 0, ULONG wtc = 0)
    {
        SERIAL_TIMEOUTS t = {ri, rtm, rtc, wtm, wtc};
        return file.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0);
    }
    AppResult Purge(ULONG mask) { return file.Ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0); }
    AppResult SetWaitMask(ULONG mask) { return file.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0); }

    std::unique_ptr<QueueHost> host;
    AppFile file;
    int64_t t0 = 0;
};

}  // namespace kwsim::test
