// Measures of the channel engine over the simulated chip (not a test):
//
//   channel_bench utilisation [rate ...]   1 MB each way through a loop-back plug, both
//                                          directions at once: bytes per second over
//                                          the line's character rate
//   channel_bench latency                  stop bit to delivery, against the latency timer
//   channel_bench receive [bytes] [trigger] [rate]
//                                          a receive-only run (default 921,600 baud,
//                                          receive trigger level 8: the latency policy; 1:
//                                          reads of one packet, which keep up only to
//                                          about 300,000 baud), to count instructions per
//                                          byte under callgrind
//   channel_bench speed [seconds] [rate]   four channels streaming through loop-back
//                                          plugs: virtual seconds per real second
//
// Each run boots its own simulated PC with a four-channel chip; the port driver's part
// is played by the test port (receive buffer, credit-paced writes).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "jnmemorypool.h"
#include "kwubuschannel.h"
#include "simchip/chip.h"
#include "simkernel/io.h"
#include "simusb/host.h"
#include "simwire/cables.h"
#include "simwire/peer.h"
#include "simwire/recorder.h"
#include "testport.h"
#include "usbdescription.h"

namespace {

using namespace kwsim;
constexpr int64_t kSecond = 10'000'000;

void Delay(int64_t dt)
{
    LARGE_INTEGER t;
    t.QuadPart = -dt;
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

class BenchBus : public CKwUsbBusDevice {
public:
    explicit BenchBus(PDEVICE_OBJECT pdo) : pdo_(pdo) {}
    PDEVICE_OBJECT m_GetPhysicalDeviceObject() override { return pdo_; }
    BOOLEAN m_GotoPowerState(ULONG) override { return TRUE; }

private:
    PDEVICE_OBJECT pdo_;
};

// One channel of the chip with its engine and port.
struct Channel {
    std::unique_ptr<BenchBus> bus;
    CFTDI1Port* engine = nullptr;
    std::unique_ptr<test::TestPort> port;
    std::shared_ptr<wire::Connection> cable;
    size_t sent = 0;
};

// A simulated PC with a four-channel chip.
class Machine {
public:
    Machine()
    {
        Boot({});
        CJnMemoryPool::sm_AddReference();
        host = std::make_unique<usb::UsbHost>(usb::UsbHost::Options{.logCapacity = 0});
        chip = chip::Chip::Create({.channels = 4});
        plugged = host->Plug(chip);
    }
    ~Machine()
    {
        for (Channel& c : channels) {
            if (!c.engine) continue;
            c.engine->m_DeInit();
            delete c.engine;
            c.port.reset();
            c.cable.reset();
        }
        channels.clear();
        chip.reset();
        host.reset();
        while (CJnMemoryPool::sm_ReferenceCount()) CJnMemoryPool::sm_Release();
        std::vector<Report> reports = Shutdown();
        for (const Report& r : reports) fprintf(stderr, "report: %s\n", r.text.c_str());
    }
    Channel& Open(int k, ULONG rate, UCHAR rxTrigger = 8)
    {
        channels.resize(4);
        Channel& c = channels[size_t(k)];
        PDEVICE_OBJECT pdo = plugged->InterfacePdo(uint8_t(k));
        test::WriteUsbDescription(pdo, test::ChannelDescription(uint8_t(k), uint8_t(0x81 + 2 * k), uint8_t(0x02 + 2 * k)));
        c.bus = std::make_unique<BenchBus>(pdo);
        ISerial* record = nullptr;
        if (!NT_SUCCESS(KwUBusCreateChannel(c.bus.get(), ULONG(k + 1), nullptr, &c.engine, &record))) {
            fprintf(stderr, "channel %d: no engine\n", k);
            exit(1);
        }
        c.port = std::make_unique<test::TestPort>(record);
        c.port->SetBufferSize(1u << 30);
        bool ok = c.port->Connect() && c.port->Triggers(1, rxTrigger) && c.port->Baud(rate) && c.port->Comm(3, 0, 0) &&
                  c.port->Dtr(true) && c.port->Rts(true);
        if (!ok) {
            fprintf(stderr, "channel %d: cannot open\n", k);
            exit(1);
        }
        return c;
    }
    double LineRate(int k) { return chip->Channel(k).GetState().rate; }

    std::unique_ptr<usb::UsbHost> host;
    std::shared_ptr<chip::Chip> chip;
    usb::PluggedDevice* plugged = nullptr;
    std::vector<Channel> channels;
};

// Writes as the port's write queue would: more whenever enough of what it wrote has been
// credited, in chunks.
void Feed(Channel& c, size_t total, size_t chunk, size_t window)
{
    while (c.sent < total && c.sent - c.port->WrittenTotal() + std::min(chunk, total - c.sent) <= window) {
        size_t n = std::min(chunk, total - c.sent);
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; i++) bytes[i] = uint8_t((c.sent + i) * 7 + 3);
        c.port->Write(bytes);
        c.sent += n;
    }
}

bool Intact(Channel& c, size_t total)
{
    std::vector<uint8_t> got = c.port->Received();
    if (got.size() != total) return false;
    for (size_t i = 0; i < total; i++)
        if (got[i] != uint8_t(i * 7 + 3)) return false;
    return true;
}

void Utilisation(const std::vector<ULONG>& rates)
{
    const size_t total = 1 << 20;
    printf("%-9s %-12s %-14s %-12s %-10s %s\n", "baud", "line rate", "virtual time", "bytes/s", "utilised", "real time");
    for (ULONG rate : rates) {
        auto wall = std::chrono::steady_clock::now();
        Machine m;
        Channel& c = m.Open(1, rate);
        c.cable = wire::LoopBack::Plug(m.chip->Channel(1));
        const double line = m.LineRate(1);
        const int64_t t0 = Now();
        // A poll period of a few characters; the window keeps a few hundred ms queued.
        const int64_t poll = std::max<int64_t>(kMs, int64_t(40 * 1e7 / line));
        const size_t window = std::max<size_t>(8192, size_t(line / 10 / 4));
        while (c.port->ReceivedCount() < total) {
            Feed(c, total, 4096, window);
            Delay(poll);
            c.port->Consume(c.port->Queued());
        }
        const double seconds = double(Now() - t0) / 1e7;
        const double perSecond = double(total) / seconds;
        const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
        printf("%-9u %-12.1f %-14.3f %-12.1f %-9.2f%% %.2f s%s\n", rate, line, seconds, perSecond,
               100.0 * perSecond / (line / 10), wallSeconds, Intact(c, total) ? "" : "  (DATA DIFFERS)");
    }
}

void Latency()
{
    struct Setting {
        const char* what;
        ULONG rate;
        UCHAR rxTrigger;
        ULONG policy, maximum, fineTuning, lowCpu;
    };
    const Setting settings[] = {
        {"trigger 1 (16 ms, 64 B)", 115200, 1, 0, 1040, 0, 192},
        {"specific 1040/0", 115200, 8, 0, 1040, 0, 192},
        {"specific 1040/0", 9600, 8, 0, 1040, 0, 192},
        {"specific 100/0", 115200, 8, 0, 100, 0, 192},
        {"low CPU 192", 115200, 8, 1, 1040, 0, 192},
        {"low CPU 255", 921600, 8, 1, 1040, 0, 255},
    };
    printf("%-26s %-8s %-10s %-10s %-10s %-10s\n", "setting", "baud", "timer ms", "min ms", "mean ms", "max ms");
    for (const Setting& s : settings) {
        Machine m;
        Channel& c = m.Open(1, s.rate, s.rxTrigger);
        c.engine->m_SetPolicyType(s.policy);
        c.engine->m_SetMaximumLatency(s.maximum);
        c.engine->m_SetMaximumLatencyFineTuning(s.fineTuning);
        c.engine->m_SetLowCpuUsageFineTuning(s.lowCpu);
        c.port->Baud(s.rate == 9600 ? 19200 : 9600);  // a baud change applies the policy
        c.port->Baud(s.rate);
        c.cable = wire::LoopBack::Plug(m.chip->Channel(1));
        auto recorder = wire::Recorder::Attach(*c.cable);
        std::vector<int64_t> delivered;
        c.port->onDelivery = [&] { delivered.push_back(Now()); };
        const int n = 20;
        for (int i = 0; i < n; i++) {
            c.port->Write({uint8_t(0x30 + i)});
            Delay(400 * kMs + i * 7 * kMs);  // not in step with the timer
        }
        std::vector<wire::Character> chars = recorder->Characters(0);
        double lo = 1e9, hi = 0, sum = 0;
        int count = 0;
        for (size_t i = 0; i < chars.size() && i < delivered.size(); i++) {
            double ms = double(delivered[i] - chars[i].end) / 1e4;
            lo = std::min(lo, ms);
            hi = std::max(hi, ms);
            sum += ms;
            count++;
        }
        printf("%-26s %-8u %-10u %-10.2f %-10.2f %-10.2f%s\n", s.what, s.rate, m.chip->Channel(1).GetState().latencyTimer,
               lo, count ? sum / count : 0.0, hi, count == n ? "" : "  (bytes missing)");
        c.port->onDelivery = nullptr;
    }
}

void Receive(size_t total, UCHAR rxTrigger, ULONG rate)
{
    Machine m;
    Channel& c = m.Open(1, rate, rxTrigger);
    auto peer = wire::Peer::Create(wire::Frame::Of(rate));
    c.cable = wire::NullModem::Connect(m.chip->Channel(1), *peer);
    peer->Flood(total, 0);
    while (c.port->ReceivedCount() < total) {
        Delay(10 * kMs);
        c.port->Consume(c.port->Queued());
    }
    printf("received %zu bytes in %zu deliveries\n", c.port->ReceivedCount(), c.port->Deliveries().size());
    c.cable.reset();
}

void Speed(double seconds, ULONG rate)
{
    auto wall = std::chrono::steady_clock::now();
    Machine m;
    for (int k = 0; k < 4; k++) {
        Channel& c = m.Open(k, rate);
        c.cable = wire::LoopBack::Plug(m.chip->Channel(k));
    }
    auto start = std::chrono::steady_clock::now();
    const int64_t t0 = Now();
    const size_t total = size_t(seconds * rate / 10 * 1.2);
    while (Now() - t0 < int64_t(seconds * 1e7)) {
        for (Channel& c : m.channels) {
            Feed(c, total, 4096, 16384);
            c.port->Consume(c.port->Queued());
        }
        Delay(5 * kMs);
    }
    double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t moved = 0;
    for (Channel& c : m.channels) moved += c.port->ReceivedCount();
    printf("4 channels at %u baud, loop-back both ways: %.1f virtual s in %.2f real s = %.1f virtual s per real s "
           "(%zu bytes received, %.1f%% of 4 lines); with boot %.2f s\n",
           rate, seconds, real, seconds / real, moved, 100.0 * double(moved) / (4 * seconds * m.LineRate(0) / 10),
           std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count());
}

}  // namespace

int main(int argc, char** argv)
{
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "utilisation") {
        std::vector<ULONG> rates;
        for (int i = 2; i < argc; i++) rates.push_back(ULONG(std::strtoul(argv[i], nullptr, 10)));
        if (rates.empty()) rates = {9600, 115200, 921600};
        Utilisation(rates);
    } else if (what == "latency") {
        Latency();
    } else if (what == "receive") {
        Receive(argc > 2 ? size_t(std::strtoul(argv[2], nullptr, 10)) : 100000,
                argc > 3 ? UCHAR(std::strtoul(argv[3], nullptr, 10)) : 8,
                argc > 4 ? ULONG(std::strtoul(argv[4], nullptr, 10)) : 921600);
    } else if (what == "speed") {
        Speed(argc > 2 ? std::strtod(argv[2], nullptr) : 20.0,
              argc > 3 ? ULONG(std::strtoul(argv[3], nullptr, 10)) : 115200);
    } else {
        fprintf(stderr, "usage: %s utilisation [rate ...] | latency | receive [bytes] [trigger] [rate] | speed [seconds] [rate]\n", argv[0]);
        return 2;
    }
    return 0;
}
