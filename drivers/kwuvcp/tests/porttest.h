// Fixture of the port object's tests: a fresh simulated PC with the driver's pool, the bus
// child that lends recording ISerial records, and the port's framework device on it. A test
// sets the parameters and the bus's capabilities, then starts the port (the port object
// obtains its record) and opens it. Times are virtual, in milliseconds from the start.
#pragma once

#include <memory>
#include <string>

#include "jnpooledtest.h"
#include "porthost.h"
#include "recordingserial.h"
#include "apphandle.h"
#include "simkernel/app.h"

namespace kwsim::test {

class PortTest : public PooledTest, public AppHandle {
protected:
    void SetUp() override
    {
        PooledTest::SetUp();
        bus = std::make_unique<BusChild>();
        ASSERT_NE(bus->pdo, nullptr);
        host = std::make_unique<PortHost>(bus->pdo);
        ASSERT_NE(host->jn, nullptr);
        t0 = Now();
    }
    void TearDown() override
    {
        if (file.IsOpen()) file.Close();
        Settle();
        host.reset();  // the port object goes and gives its record back
        bus.reset();
        PooledTest::TearDown();
    }

    // The port object on the device, with its record.
    void Start(ULONG portNumber = 1) { ASSERT_TRUE(host->CreateVcp(&params, portNumber)); }
    // Starts (if not yet) and opens the port; the bus's log starts empty.
    void Open()
    {
        if (!host->vcp) {
            ASSERT_NO_FATAL_FAILURE(Start());
        }
        ASSERT_EQ(file.Open(host->device), STATUS_SUCCESS);
        Settle();
        serial().ClearLog();
    }
    void Close()
    {
        file.Close();
        Settle();
    }

    CVCP& vcp() { return *host->vcp; }
    RecordingSerial& serial() { return *bus->Serial(); }

    NTSTATUS SetHandFlow(ULONG control, ULONG flow, LONG xon, LONG xoff)
    {
        SERIAL_HANDFLOW h = {control, flow, xon, xoff};
        return Set(IOCTL_SERIAL_SET_HANDFLOW, h);
    }
    SERIAL_STATUS CommStatus() { return Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }
    // What the read queue holds, up to `most` bytes, read at once.
    std::string ReadNow(ULONG most = 256)
    {
        std::string data(most, '\0');
        SERIAL_TIMEOUTS immediate = {MAXULONG, 0, 0, 0, 0};
        EXPECT_EQ(vcp().m_SetTimeouts(&immediate), STATUS_SUCCESS);
        AppResult r = file.Read(data.data(), most);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        data.resize(r.information);
        Settle();
        return data;
    }
    ULONG Queued() { return host->jn->m_ReadQueue.m_GetDataAmount(); }
    ULONG Events() { return host->jn->m_ControlQueue.m_GetCommEventsReceived(); }

    double Ms(int64_t t) const { return (double)(t - t0) / kMs; }

    CVcpParameters params;
    std::unique_ptr<BusChild> bus;
    std::unique_ptr<PortHost> host;
    int64_t t0 = 0;
};

}  // namespace kwsim::test
