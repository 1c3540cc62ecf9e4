// Measures of the whole serial path (not a test): an application's requests on the port
// device, the port object and its queues, the channel engine, the USB transport, the
// simulated host and chip, and the line.
//
//   system_bench utilisation [rate ...]   1 MB each way through a loop-back plug, both
//                                         directions at once: bytes per second over the
//                                         line's character rate
//   system_bench latency                  stop bit to the completion of a read with
//                                         first-data timeouts, against the latency timer
//   system_bench receive [bytes] [rate]   a receive-only run for callgrind: instructions
//                                         per received byte
//   system_bench speed [seconds] [rate]   four channels streaming both ways through
//                                         loop-back plugs: virtual seconds per real second
//
// Each run boots its own simulated PC with a four-channel adapter. The application keeps
// two writes and two reads outstanding, as an overlapped serial program does.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "jnmemorypool.h"
#include "kwplat/serial.h"
#include "serialstack.h"
#include "simkernel/app.h"
#include "simwire/cables.h"
#include "simwire/peer.h"
#include "simwire/recorder.h"

namespace {

using namespace kwsim;
using kwsim::system::SerialAdapter;

void Delay(int64_t dt)
{
    LARGE_INTEGER t;
    t.QuadPart = -dt;
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

uint8_t PatternByte(size_t i) { return uint8_t(i * 7 + 3); }

// A simulated PC with a four-channel adapter.
class Machine {
public:
    explicit Machine(const KW_BUS_CHANNEL_PARAMETERS* bus = nullptr)
    {
        BootOptions options;
        options.onReport = [](const Report& r) { fprintf(stderr, "report: %s\n", r.text.c_str()); };
        Boot(options);
        CJnMemoryPool::sm_AddReference();
        host = std::make_unique<usb::UsbHost>(usb::UsbHost::Options{.logCapacity = 0});
        adapter = std::make_unique<SerialAdapter>(*host, 4, bus);
    }
    ~Machine()
    {
        for (auto& f : files) f->Close();
        files.clear();
        cables.clear();
        adapter.reset();
        host.reset();
        while (CJnMemoryPool::sm_ReferenceCount()) CJnMemoryPool::sm_Release();
        for (const Report& r : Shutdown()) fprintf(stderr, "left behind: %s\n", r.text.c_str());
    }
    // Channel k started and opened, 8N1 at `rate`, DTR and RTS on, a 64 KB receive
    // buffer, reads with first-data timeouts.
    AppFile& Open(int k, ULONG rate, bool fifo = true)
    {
        if (!adapter->Channel(k).Start()) Fail("cannot start the port");
        files.push_back(std::make_unique<AppFile>());
        AppFile& f = *files.back();
        if (f.Open(adapter->Channel(k).PortDevice()) != STATUS_SUCCESS) Fail("cannot open the port");
        SERIAL_QUEUE_SIZE queue = {65536, 65536};
        SERIAL_BAUD_RATE baud = {rate};
        SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
        SERIAL_HANDFLOW flow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
        SERIAL_TIMEOUTS timeouts = {MAXULONG, MAXULONG, 60000, 0, 0};
        ULONG fifoControl = fifo ? SERIAL_FIFO_ENABLE : 0;
        bool ok = Ioctl(f, IOCTL_SERIAL_SET_QUEUE_SIZE, queue) && Ioctl(f, IOCTL_SERIAL_SET_FIFO_CONTROL, fifoControl) &&
                  Ioctl(f, IOCTL_SERIAL_SET_BAUD_RATE, baud) && Ioctl(f, IOCTL_SERIAL_SET_LINE_CONTROL, line) &&
                  Ioctl(f, IOCTL_SERIAL_SET_HANDFLOW, flow) && Ioctl(f, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
        if (!ok) Fail("cannot set the port up");
        return f;
    }
    template <typename T>
    static bool Ioctl(AppFile& f, ULONG code, const T& value)
    {
        return f.Ioctl(code, &value, sizeof value, nullptr, 0).status == STATUS_SUCCESS;
    }
    double LineRate(int k) { return adapter->Chip().Channel(k).GetState().rate; }
    [[noreturn]] static void Fail(const char* what)
    {
        fprintf(stderr, "%s\n", what);
        exit(1);
    }

    std::unique_ptr<usb::UsbHost> host;
    std::unique_ptr<SerialAdapter> adapter;
    std::vector<std::unique_ptr<AppFile>> files;
    std::vector<std::shared_ptr<wire::Connection>> cables;
};

// An application streaming a counting pattern through one port: two writes and two reads
// outstanding, each re-issued as it completes.
class Stream {
public:
    Stream(AppFile& file, size_t total, ULONG chunk) : file_(file), total_(total), chunk_(chunk)
    {
        for (Slot& s : writes_) s.buffer.resize(chunk);
        for (Slot& s : reads_) s.buffer.resize(chunk);
    }
    // Re-issues what completed; false once everything was written and read back.
    bool Step()
    {
        // Reads complete in the order they were issued: take them in that order.
        for (;;) {
            Slot* oldest = nullptr;
            for (Slot& s : reads_)
                if (s.busy && (!oldest || s.sequence < oldest->sequence)) oldest = &s;
            if (!oldest || !oldest->request.Done()) break;
            AppResult r = oldest->request.Result();
            for (size_t i = 0; i < r.information; i++) intact_ &= oldest->buffer[i] == PatternByte(received_ + i);
            received_ += r.information;
            oldest->busy = false;
        }
        for (Slot& s : writes_) {
            if (s.busy && s.request.Done()) s.busy = false;
        }
        for (Slot& s : writes_) {
            if (s.busy || written_ >= total_) continue;
            ULONG n = ULONG(std::min<size_t>(chunk_, total_ - written_));
            for (ULONG i = 0; i < n; i++) s.buffer[i] = PatternByte(written_ + i);
            s.request = file_.WriteAsync(s.buffer.data(), n);
            s.busy = true;
            written_ += n;
        }
        for (Slot& s : reads_) {
            if (s.busy || received_ >= total_) continue;
            s.request = file_.ReadAsync(s.buffer.data(), chunk_);
            s.busy = true;
            s.sequence = ++issued_;
        }
        if (received_ < total_ || Busy(writes_)) return true;
        // All back: the reads issued meanwhile wait for data that will not come.
        if (Busy(reads_)) {
            file_.Cancel(true);
            for (Slot& s : reads_)
                if (s.busy) s.request.Wait(), s.busy = false;
        }
        return false;
    }
    size_t Received() const { return received_; }
    size_t Written() const { return written_; }
    bool Intact() const { return intact_ && received_ == total_; }

private:
    struct Slot {
        std::vector<uint8_t> buffer;
        AppRequest request{nullptr, 0};
        bool busy = false;
        uint64_t sequence = 0;
    };
    template <size_t N>
    static bool Busy(const Slot (&slots)[N])
    {
        for (const Slot& s : slots)
            if (s.busy) return true;
        return false;
    }
    AppFile& file_;
    size_t total_;
    ULONG chunk_;
    size_t written_ = 0, received_ = 0;
    uint64_t issued_ = 0;
    bool intact_ = true;
    Slot writes_[2], reads_[2];
};

void Utilisation(const std::vector<ULONG>& rates)
{
    const size_t total = 1 << 20;
    printf("%-9s %-12s %-14s %-12s %-10s %s\n", "baud", "line rate", "virtual time", "bytes/s", "utilised", "real time");
    for (ULONG rate : rates) {
        auto wall = std::chrono::steady_clock::now();
        Machine m;
        AppFile& f = m.Open(1, rate);
        m.cables.push_back(wire::LoopBack::Plug(m.adapter->Chip().Channel(1)));
        const double line = m.LineRate(1);
        Stream s(f, total, 16384);
        const int64_t t0 = Now();
        const int64_t poll = std::max<int64_t>(kMs, int64_t(40 * 1e7 / line));
        while (s.Step()) Delay(poll);
        const double seconds = double(Now() - t0) / 1e7;
        const double perSecond = double(total) / seconds;
        printf("%-9u %-12.1f %-14.3f %-12.1f %-9.2f%% %.2f s%s\n", rate, line, seconds, perSecond,
               100.0 * perSecond / (line / 10), Seconds(wall), s.Intact() ? "" : "  (DATA DIFFERS)");
    }
}

// Pending reads with first-data timeouts complete at a byte's arrival; the byte's stop bit
// is on the recorder.
void Latency()
{
    struct Setting {
        const char* what;
        ULONG rate;
        bool fifo;
        KW_BUS_CHANNEL_PARAMETERS bus;
    };
    auto bus = [](ULONG policy, ULONG maximum, ULONG fineTuning, ULONG lowCpu) {
        return KW_BUS_CHANNEL_PARAMETERS{policy, maximum, fineTuning, lowCpu, 256, 128, 1000000, 0};
    };
    const Setting settings[] = {
        {"FIFO off (16 ms, 64 B)", 115200, false, bus(0, 1040, 0, 192)},
        {"specific 1040/0", 115200, true, bus(0, 1040, 0, 192)},
        {"specific 1040/0", 9600, true, bus(0, 1040, 0, 192)},
        {"specific 100/0", 115200, true, bus(0, 100, 0, 192)},
        {"low CPU 192", 115200, true, bus(1, 1040, 0, 192)},
        {"low CPU 255", 921600, true, bus(1, 1040, 0, 255)},
    };
    printf("%-26s %-8s %-10s %-10s %-10s %-10s\n", "setting", "baud", "timer ms", "min ms", "mean ms", "max ms");
    for (const Setting& s : settings) {
        Machine m(&s.bus);
        AppFile& f = m.Open(1, s.rate, s.fifo);
        auto cable = wire::LoopBack::Plug(m.adapter->Chip().Channel(1));
        m.cables.push_back(cable);
        auto recorder = wire::Recorder::Attach(*cable);
        const int n = 20;
        std::vector<int64_t> completed;
        uint8_t in = 0;
        for (int i = 0; i < n; i++) {
            AppRequest read = f.ReadAsync(&in, 1);
            uint8_t out = uint8_t(0x30 + i);
            f.Write(&out, 1);
            AppResult r = read.Wait();
            if (r.information == 1 && in == out) completed.push_back(read.CompletedAt());
            Delay(400 * kMs + i * 7 * kMs);  // not in step with the chip's timer
        }
        std::vector<wire::Character> chars = recorder->Characters(0);
        double lo = 1e9, hi = 0, sum = 0;
        int count = 0;
        for (size_t i = 0; i < chars.size() && i < completed.size(); i++) {
            double ms = double(completed[i] - chars[i].end) / 1e4;
            lo = std::min(lo, ms);
            hi = std::max(hi, ms);
            sum += ms;
            count++;
        }
        printf("%-26s %-8u %-10u %-10.2f %-10.2f %-10.2f%s\n", s.what, s.rate,
               m.adapter->Chip().Channel(1).GetState().latencyTimer, lo, count ? sum / count : 0.0, hi,
               count == n ? "" : "  (bytes missing)");
    }
}

void Receive(size_t total, ULONG rate)
{
    Machine m;
    AppFile& f = m.Open(1, rate);
    auto peer = wire::Peer::Create(wire::Frame::Of(rate));
    m.cables.push_back(wire::NullModem::Connect(m.adapter->Chip().Channel(1), *peer));
    peer->Flood(total, 0);
    std::vector<uint8_t> buffer[2] = {std::vector<uint8_t>(4096), std::vector<uint8_t>(4096)};
    AppRequest reads[2] = {f.ReadAsync(buffer[0].data(), 4096), f.ReadAsync(buffer[1].data(), 4096)};
    size_t received = 0, completions = 0;
    bool intact = true;
    for (int k = 0; received < total; k ^= 1) {
        AppResult r = reads[k].Wait();
        for (size_t i = 0; i < r.information; i++) intact &= buffer[k][i] == uint8_t(received + i);
        received += r.information;
        completions++;
        if (received + 4096 < total + 4096) reads[k] = f.ReadAsync(buffer[k].data(), 4096);
    }
    f.Cancel(true);
    for (AppRequest& r : reads) r.Wait();
    printf("received %zu bytes in %zu reads%s\n", received, completions, intact ? "" : " (DATA DIFFERS)");
}

void Speed(double seconds, ULONG rate)
{
    auto wall = std::chrono::steady_clock::now();
    Machine m;
    std::vector<std::unique_ptr<Stream>> streams;
    const size_t total = size_t(seconds * rate / 10 * 2);
    for (int k = 0; k < 4; k++) {
        AppFile& f = m.Open(k, rate);
        m.cables.push_back(wire::LoopBack::Plug(m.adapter->Chip().Channel(k)));
        streams.push_back(std::make_unique<Stream>(f, total, 16384));
    }
    auto start = std::chrono::steady_clock::now();
    const int64_t t0 = Now();
    while (Now() - t0 < int64_t(seconds * 1e7)) {
        for (auto& s : streams) s->Step();
        Delay(5 * kMs);
    }
    const double real = Seconds(start);
    size_t moved = 0;
    for (auto& s : streams) moved += s->Received();
    printf("4 channels at %u baud, loop-back both ways: %.1f virtual s in %.2f real s = %.1f virtual s per real s "
           "(%zu bytes received, %.1f%% of 4 lines); with boot %.2f s\n",
           rate, seconds, real, seconds / real, moved, 100.0 * double(moved) / (4 * seconds * m.LineRate(0) / 10),
           Seconds(wall));
    for (auto& f : m.files) f->Cancel(true);
    Delay(100 * kMs);
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
        Receive(argc > 2 ? size_t(std::strtoul(argv[2], nullptr, 10)) : 1000000,
                argc > 3 ? ULONG(std::strtoul(argv[3], nullptr, 10)) : 921600);
    } else if (what == "speed") {
        Speed(argc > 2 ? std::strtod(argv[2], nullptr) : 20.0,
              argc > 3 ? ULONG(std::strtoul(argv[3], nullptr, 10)) : 115200);
    } else {
        fprintf(stderr, "usage: %s utilisation [rate ...] | latency | receive [bytes] [rate] | speed [seconds] [rate]\n",
                argv[0]);
        return 2;
    }
    return 0;
}
