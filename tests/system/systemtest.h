// Fixture of the system tests: a fresh simulated PC with the drivers' pool, the USB host,
// and a four-channel adapter brought up to its port devices. A test opens a port the way
// an application does and talks to it with serial requests; the chip, the line and the
// host's request log show what reached the hardware. Times are virtual.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "jnpooledtest.h"
#include "kwplat/serial.h"
#include "serialstack.h"
#include "apphandle.h"
#include "simkernel/app.h"
#include "simwire/cables.h"
#include "simwire/peer.h"

namespace kwsim::test {

using kwsim::system::SerialAdapter;
using kwsim::system::SerialChannel;

// An application's handle on one port.
class Port : public AppHandle {
public:
    explicit Port(SerialChannel& channel) : channel_(channel) {}
    ~Port()
    {
        if (file.IsOpen()) file.Close();
    }

    NTSTATUS Open() { return file.Open(channel_.PortDevice()); }
    NTSTATUS Close() { return file.Close(); }


    // What an application sets after opening: the rate and frame, the handshake, and
    // reads that wait for the whole length.
    NTSTATUS Line(ULONG rate, UCHAR wordLength = 8, UCHAR parity = NO_PARITY, UCHAR stopBits = STOP_BIT_1)
    {
        NTSTATUS s = Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{rate});
        if (!NT_SUCCESS(s)) return s;
        return Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{stopBits, parity, wordLength});
    }
    NTSTATUS HandFlow(ULONG control, ULONG flow, LONG xonLimit = 0, LONG xoffLimit = 0)
    {
        return Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{control, flow, xonLimit, xoffLimit});
    }
    NTSTATUS Timeouts(ULONG interval, ULONG multiplier, ULONG constant)
    {
        return Set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{interval, multiplier, constant, 0, 0});
    }
    SERIAL_STATUS CommStatus() { return Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }

    // Reads up to `length` bytes under the timeouts in force.
    std::vector<uint8_t> Read(ULONG length, NTSTATUS* status = nullptr)
    {
        std::vector<uint8_t> data(length);
        AppResult r = file.Read(data.data(), length);
        if (status) *status = r.status;
        data.resize(r.information);
        return data;
    }

private:
    SerialChannel& channel_;
};

class SystemTest : public PooledTest {
protected:
    void SetUp() override
    {
        PooledTest::SetUp();
        usb = std::make_unique<kwsim::usb::UsbHost>();
        adapter = std::make_unique<SerialAdapter>(*usb, 4, BusParameters());
        ASSERT_EQ(adapter->Channels(), 4);
    }
    void TearDown() override
    {
        ports.clear();
        cables.clear();
        peers.clear();
        Settle();
        adapter.reset();
        usb.reset();
        PooledTest::TearDown();
    }
    // The bus parameters the channels' engines get: none, the defaults.
    virtual const KW_BUS_CHANNEL_PARAMETERS* BusParameters() { return nullptr; }

    // Starts channel `index` and opens its port, 8N1 at `rate` without handshake, DTR and
    // RTS on; the host's log starts empty.
    Port& OpenPort(int index, ULONG rate)
    {
        SerialChannel& channel = adapter->Channel(index);
        EXPECT_TRUE(channel.Start());
        ports.push_back(std::make_unique<Port>(channel));
        Port& port = *ports.back();
        EXPECT_EQ(port.Open(), STATUS_SUCCESS);
        EXPECT_EQ(port.Line(rate), STATUS_SUCCESS);
        EXPECT_EQ(port.HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
        Settle();
        usb->ClearLog();
        return port;
    }

    // A loop-back plug on channel `index`: TxD to RxD, RTS to CTS, DTR to DSR and DCD.
    kwsim::wire::Connection& LoopBackPlug(int index)
    {
        cables.push_back(kwsim::wire::LoopBack::Plug(adapter->Chip().Channel(index)));
        return *cables.back();
    }
    // A scripted peer on a null modem to channel `index`, sending and reading `frame`.
    kwsim::wire::Peer& PeerOn(int index, const kwsim::wire::Frame& frame)
    {
        peers.push_back(kwsim::wire::Peer::Create(frame));
        cables.push_back(kwsim::wire::NullModem::Connect(adapter->Chip().Channel(index), *peers.back()));
        return *peers.back();
    }
    // The channel's bulk transfers in the host's log, in order of submission: reads from
    // its IN endpoint, writes to its OUT endpoint.
    std::vector<kwsim::usb::UrbRecord> Bulk(int index, bool in)
    {
        const uint8_t endpoint = in ? uint8_t(0x81 + 2 * index) : uint8_t(0x02 + 2 * index);
        std::vector<kwsim::usb::UrbRecord> out;
        for (const kwsim::usb::UrbRecord& r : usb->Log())
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == endpoint) out.push_back(r);
        return out;
    }
    // Ticks one character of `bits` bits takes on channel `index`'s line, at the rate the
    // chip really runs.
    double LineCharacter(int index, int bits = 10)
    {
        return bits * double(kSec) / adapter->Chip().Channel(index).GetState().rate;
    }

    static void Delay(int64_t dt)
    {
        LARGE_INTEGER t = Relative(dt);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
    static std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
    {
        std::vector<uint8_t> v(n);
        uint32_t x = 0x9E3779B9u * (seed + 1u);
        for (auto& b : v) {
            x = x * 1664525u + 1013904223u;
            b = uint8_t(x >> 24);
        }
        return v;
    }

    std::unique_ptr<kwsim::usb::UsbHost> usb;
    std::unique_ptr<SerialAdapter> adapter;
    std::vector<std::unique_ptr<Port>> ports;
    std::vector<std::shared_ptr<kwsim::wire::Connection>> cables;
    std::vector<std::shared_ptr<kwsim::wire::Peer>> peers;
};

}  // namespace kwsim::test
