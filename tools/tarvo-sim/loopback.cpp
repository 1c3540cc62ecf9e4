// The loop-back exchange: the simulated PC with the drivers' pool and USB host, a
// four-channel adapter brought up to its port devices, a loop-back plug in channel A. An
// application opens the port, sets 115,200 baud 8N1 with DTR and RTS on, writes a
// message and reads it back; then the USB traffic of the exchange is told in the chip's
// terms, and the machine is taken down and checked for leaks.
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "jnmemorypool.h"
#include "kwplat/serial.h"
#include "scenarios.h"
#include "serialstack.h"
#include "simchip/traffic.h"
#include "simkernel/app.h"
#include "simkernel/registry.h"
#include "simkernel/sim.h"
#include "simwire/cables.h"

namespace tarvosim {

namespace {

constexpr ULONG kRate = 115200;
constexpr int kChannels = 4;
constexpr ULONG kTimeoutMs = 1000;
const char kMessage[] = "Hello from the simulated PC over COM channel A";

std::string Status(NTSTATUS s)
{
    char buf[32];
    if (s == STATUS_SUCCESS) return "STATUS_SUCCESS";
    if (s == STATUS_TIMEOUT) return "STATUS_TIMEOUT";
    snprintf(buf, sizeof buf, "0x%08X", (unsigned)s);
    return buf;
}

std::string Quote(const void* data, size_t n)
{
    return kwsim::chip::QuoteBytes(std::span(static_cast<const uint8_t*>(data), n));
}

std::string At() { return Milliseconds(kwsim::Now()) + "  "; }

// The application's side: each request's result printed as it comes; false once one
// failed.
class Application {
public:
    explicit Application(PDEVICE_OBJECT port) : port_(port) {}

    bool Open()
    {
        const int64_t t0 = kwsim::Now();
        return Check(t0, "open the port", file_.Open(port_));
    }
    bool Close()
    {
        const int64_t t0 = kwsim::Now();
        return Check(t0, "close the port", file_.Close());
    }

    template <typename T>
    bool Set(const char* what, ULONG code, const T& value)
    {
        const int64_t t0 = kwsim::Now();
        return Check(t0, what, file_.Ioctl(code, &value, sizeof value, nullptr, 0).status);
    }
    template <typename T>
    bool Get(const char* what, ULONG code, T& value)
    {
        const int64_t t0 = kwsim::Now();
        kwsim::AppResult r = file_.Ioctl(code, nullptr, 0, &value, sizeof value);
        if (r.status == STATUS_SUCCESS && r.information != sizeof value) r.status = STATUS_UNSUCCESSFUL;
        return Check(t0, what, r.status);
    }
    kwsim::AppResult Write(const void* data, ULONG n) { return file_.Write(data, n); }
    kwsim::AppResult Read(void* data, ULONG n) { return file_.Read(data, n); }

    // Printed at the request's start, with its end when time went by.
    bool Check(int64_t started, const char* what, NTSTATUS status)
    {
        printf("%s  %s -> %s%s\n", Milliseconds(started).c_str(), what, Status(status).c_str(), Done(started).c_str());
        ok_ = ok_ && status == STATUS_SUCCESS;
        return status == STATUS_SUCCESS;
    }
    static std::string Done(int64_t started)
    {
        return kwsim::Now() == started ? std::string() : " (done at " + Milliseconds(kwsim::Now(), false) + ")";
    }
    bool Ok() const { return ok_; }

private:
    PDEVICE_OBJECT port_;
    kwsim::AppFile file_;
    bool ok_ = true;
};

std::string ModemLines(ULONG msr)
{
    std::string text;
    for (auto [bit, name] : {std::pair{SERIAL_MSR_CTS, "CTS"}, {SERIAL_MSR_DSR, "DSR"}, {SERIAL_MSR_RI, "RI"},
                             {SERIAL_MSR_DCD, "DCD"}})
        if (msr & bit) text += std::string(text.empty() ? "" : " ") + name;
    return text.empty() ? "none" : text;
}

// Open, set up, write, read back, close. True when every request succeeded and the
// bytes came back as written.
bool Exchange(Application& app, kwsim::chip::ChipChannel& chip, int64_t stayOpen)
{
    if (!app.Open()) return false;
    bool ok = app.Set("set baud rate 115200", IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{kRate}) &&
              app.Set("set line control 8N1", IOCTL_SERIAL_SET_LINE_CONTROL,
                      SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}) &&
              app.Set("set handflow: DTR on, RTS on, no handshake", IOCTL_SERIAL_SET_HANDFLOW,
                      SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0}) &&
              app.Set("set timeouts: read and write 1000 ms in all", IOCTL_SERIAL_SET_TIMEOUTS,
                      SERIAL_TIMEOUTS{0, 0, kTimeoutMs, 0, kTimeoutMs});
    bool match = false;
    if (ok) {
        const kwsim::chip::ChipChannel::State state = chip.GetState();
        printf("%sthe chip now runs channel A at %s baud, DTR %s, RTS %s\n", At().c_str(), kwsim::chip::RateText(state.rate).c_str(),
               state.host.dtr ? "on" : "off", state.host.rts ? "on" : "off");

        const ULONG length = ULONG(strlen(kMessage));
        int64_t t0 = kwsim::Now();
        kwsim::AppResult w = app.Write(kMessage, length);
        printf("%s  write %u bytes -> %s, %u written%s: %s\n", Milliseconds(t0).c_str(), (unsigned)length,
               Status(w.status).c_str(), (unsigned)w.information, Application::Done(t0).c_str(),
               Quote(kMessage, length).c_str());

        std::vector<uint8_t> back(length);
        t0 = kwsim::Now();
        kwsim::AppResult r = app.Read(back.data(), length);
        back.resize(r.information);
        printf("%s  read %u bytes -> %s, %u read%s: %s\n", Milliseconds(t0).c_str(), (unsigned)length,
               Status(r.status).c_str(), (unsigned)back.size(), Application::Done(t0).c_str(),
               Quote(back.data(), back.size()).c_str());
        match = w.status == STATUS_SUCCESS && w.information == length && r.status == STATUS_SUCCESS &&
                back.size() == length && memcmp(back.data(), kMessage, length) == 0;
        printf("%sthe message came back %s\n", At().c_str(), match ? "intact: it matches" : "DIFFERENT: no match");

        ULONG msr = 0;
        if (app.Get("get modem status", IOCTL_SERIAL_GET_MODEMSTATUS, msr))
            printf("%s  modem lines on: %s\n", At().c_str(), ModemLines(msr).c_str());
        SERIAL_STATUS comm{};
        if (app.Get("get comm status", IOCTL_SERIAL_GET_COMMSTATUS, comm))
            printf("%s  errors 0x%X, %u bytes in the input queue, %u in the output queue\n", At().c_str(),
                   (unsigned)comm.Errors, (unsigned)comm.AmountInInQueue, (unsigned)comm.AmountInOutQueue);
        if (stayOpen > 0) {
            printf("%sthe port stays open for %lld ms\n", At().c_str(), (long long)(stayOpen / kwsim::kMs));
            kwsim::Advance(stayOpen);
        }
    }
    return app.Close() && ok && app.Ok() && match;
}

}  // namespace

int RunLoopBack(const Options& options)
{
    int problems = 0;
    Boot(problems);
    printf("%ssimulated PC booted\n", At().c_str());

    CJnMemoryPool* pool = CJnMemoryPool::sm_AddReference();
    bool ok = pool != nullptr;
    std::vector<kwsim::usb::UrbRecord> traffic;
    bool composite = false;
    {
        auto usb = std::make_unique<kwsim::usb::UsbHost>();
        auto adapter = std::make_unique<kwsim::system::SerialAdapter>(*usb, kChannels);
        composite = adapter->Chip().Composite();
        printf("%sadapter plugged into the USB host: %d channels\n", At().c_str(), adapter->Channels());
        ok = ok && adapter->Channels() == kChannels;
        if (ok) {
            kwsim::system::SerialChannel& channel = adapter->Channel(0);
            auto plug = kwsim::wire::LoopBack::Plug(adapter->Chip().Channel(0));
            printf("%sloop-back plug in channel A (TxD to RxD, RTS to CTS, DTR to DSR and DCD)\n", At().c_str());
            ok = channel.Start();
            printf("%schannel A's port %s\n", At().c_str(), ok ? "started" : "FAILED to start");
            if (ok) {
                kwsim::Settle();
                usb->ClearLog();
                Application app(channel.PortDevice());
                ok = Exchange(app, adapter->Chip().Channel(0), options.runFor.value_or(100 * kwsim::kMs));
                kwsim::Settle();
                traffic = usb->Log();
                channel.Stop();
                printf("%schannel A's port stopped\n", At().c_str());
            }
            plug.reset();
        }
        kwsim::Settle();
        adapter.reset();
        usb.reset();
        printf("%sadapter taken down, USB host gone\n", At().c_str());
    }

    printf("\nUSB traffic of the exchange, from the open to the close (%zu requests, times virtual):\n",
           traffic.size());
    for (const std::string& line : kwsim::chip::DescribeTraffic(traffic, composite)) printf("%s\n", line.c_str());
    printf("\n");

    for (auto& path : options.registry) printf("registry:\n%s", kwsim::DumpRegistry(path).c_str());
    if (pool) {
        const auto left = pool->m_RecordedCount();
        if (left) {
            problems++;
            printf("!! Leak: %zu framework allocation(s) left behind\n", size_t(left));
        }
    }
    while (CJnMemoryPool::sm_ReferenceCount()) CJnMemoryPool::sm_Release();
    kwsim::Shutdown();
    printf("simulated PC shut down: %d problem(s) reported (leaks, verifier, deadlocks)\n", problems);
    printf("result: %s\n", ok && problems == 0 ? "PASS" : "FAIL");
    return ok && problems == 0 ? 0 : 1;
}

}  // namespace tarvosim
