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

#include <atomic>
#include <vector>

#include "kwplat/usb.h"
#include "simchip/chip.h"
#include "simusb/host.h"
#include "simwire/cables.h"

using namespace kwsim;

namespace {

constexpr uint64_t kBytes = 1 << 20;

// One direction of continuous bulk transfers.
struct Stream {
    PDEVICE_OBJECT pdo = nullptr;
    PIRP irp = nullptr;
    URB urb{};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(4096);
    USBD_PIPE_HANDLE pipe = nullptr;
    bool in = false;
    uint64_t bytes = 0;  // payload moved
    std::atomic<bool> stop{false};
    KEVENT done;

    void Start(PDEVICE_OBJECT p, USBD_PIPE_HANDLE h, bool input)
    {
        pdo = p;
        pipe = h;
        in = input;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp = IoAllocateIrp(pdo->StackSize, FALSE);
        for (size_t i = 0; i < buffer.size(); i++) buffer[i] = uint8_t(i);
        Submit();
    }
    void Submit()
    {
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer.data(),
                                               nullptr, ULONG(buffer.size()),
                                               in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
        IoReuseIrp(irp, STATUS_SUCCESS);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
        IoCallDriver(pdo, irp);
    }
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* s = static_cast<Stream*>(context);
        ULONG n = s->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        s->bytes += s->in ? n - 2 * ((n + 63) / 64) : n;  // IN: without the status bytes
        if (s->bytes >= kBytes || s->stop || !NT_SUCCESS(irp->IoStatus.Status))
            KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
        else
            s->Submit();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }
    // Waits at most `limit` of virtual time, then cancels; false if it had to.
    bool Wait(int64_t limit)
    {
        LARGE_INTEGER t;
        t.QuadPart = -limit;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &t) != STATUS_TIMEOUT) return true;
        stop = true;
        t.QuadPart = -kMs;
        do IoCancelIrp(irp);
        while (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT);
        return false;
    }
};

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
            Stream reader, writer;
            reader.Start(pdo, in, true);
            writer.Start(pdo, out, false);
            writer.Wait();
            // Lost data would leave the reader waiting for ever.
            if (!reader.Wait(kSec)) state.SkipWithError("bytes were lost");
            virtualSeconds = double(Now() - start) / kSec;
            IoFreeIrp(reader.irp);
            IoFreeIrp(writer.irp);
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
