// How fast the chip model runs: 1 MB each way at once through a channel with a loop-back
// plug at 921,600 baud (the chip's 923,077), written with 4096-byte bulk-out transfers
// and read with 4096-byte reads, each re-submitted from its completion routine as the
// bus driver does.
//
//   chars_per_real_s       characters through the line (both ways) per real second
//   virtual_s_per_real_s   simulated time per real second
//   line_utilisation       bytes per direction over what the line could carry meanwhile
//
// Run: build/host/platform/sim/chip/kwsim_chip_bench
#include <benchmark/benchmark.h>

#include <vector>

#include "kwplat/usb.h"
#include "simchip/chip.h"
#include "simusb/host.h"
#include "simwire/cables.h"
#include "bulk_stream.h"

using namespace kwsim;

namespace {

constexpr uint64_t kBytes = 1 << 20;

NTSTATUS Send(PDEVICE_OBJECT pdo, URB* urb)
{
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &e, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}

void LoopBack921600(benchmark::State& state)
{
    double virtualSeconds = 0, rate = 0;
    for (auto _ : state) {
        BootOptions o;
        o.threadName = "bench";
        Boot(o);
        {
            usb::UsbHost::Options options;
            options.logCapacity = 0;
            usb::UsbHost host(options);
            auto chip = chip::Chip::Create();
            usb::PluggedDevice* dev = host.Plug(chip);
            PDEVICE_OBJECT pdo = dev->Pdo();
            auto config = chip->ConfigurationDescriptor(0);
            auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
            USBD_INTERFACE_LIST_ENTRY list[] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr}, {}};
            PURB select = USBD_CreateConfigurationRequestEx(cd, list);
            Send(pdo, select);
            USBD_PIPE_HANDLE in = list[0].Interface->Pipes[0].PipeHandle, out = list[0].Interface->Pipes[1].PipeHandle;
            ExFreePool(select);
            URB baud{};
            UsbBuildVendorRequest(&baud, URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                                  USBD_TRANSFER_DIRECTION_OUT, 0, chip::kSetBaudRate, 0x8003, 0, nullptr, nullptr, 0,
                                  nullptr);
            Send(pdo, &baud);
            rate = chip->Channel(0).GetState().rate;
            auto plug = wire::LoopBack::Plug(chip->Channel(0));

            const int64_t start = Now();
            std::vector<uint8_t> block(4096);
            for (size_t i = 0; i < block.size(); i++) block[i] = uint8_t(i);
            uint64_t read = 0, written = 0;
            {
                chip::test::BulkStream reader(pdo, in, true, block, [&](NTSTATUS, const uint8_t*, ULONG n) {
                    read += n - 2 * ((n + 63) / 64);  // without the status bytes
                    return read < kBytes;
                });
                chip::test::BulkStream writer(pdo, out, false, block, [&](NTSTATUS, const uint8_t*, ULONG n) {
                    written += n;
                    return written < kBytes;
                });
                writer.Wait();
                // Lost data would leave the reader waiting for ever.
                if (!reader.Wait(kSec)) state.SkipWithError("bytes were lost");
                virtualSeconds = double(Now() - start) / kSec;
            }
        }
        Shutdown();
    }
    state.counters["chars_per_real_s"] = benchmark::Counter(2.0 * kBytes * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["virtual_s_per_real_s"] =
        benchmark::Counter(virtualSeconds * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["virtual_s"] = virtualSeconds;
    state.counters["line_utilisation"] = kBytes / (virtualSeconds * rate / 10);
}

}  // namespace

BENCHMARK(LoopBack921600)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
