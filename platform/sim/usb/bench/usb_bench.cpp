// How fast the simulated USB host runs: virtual seconds simulated per real second.
//
//   StreamingRead   a device that always has data, read continuously with 4096-byte
//                   transfers re-submitted from their completion routine (19 packets a
//                   frame: the host's busiest case)
//   IdleParked      a read the device NAKs, 1000 virtual seconds long (costs nothing)
//
// Run: build/host/platform/sim/usb/kwsim_usb_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <vector>

#include "kwplat/usb.h"
#include "simusb/descriptors.h"
#include "simusb/host.h"

using namespace kwsim;
using namespace kwsim::usb;

namespace {

class Source : public DescribedDevice {
public:
    explicit Source(bool data) : DescribedDevice(Identity(), {Config()}), data_(data) {}
    ControlReply Control(const SetupPacket&, std::span<const uint8_t>) override { return ControlReply::Ok(); }
    Handshake BulkOut(uint8_t, std::span<const uint8_t>) override { return Handshake::Ack; }
    Handshake BulkIn(uint8_t, size_t max, std::vector<uint8_t>& packet) override
    {
        if (!data_) return Handshake::Nak;
        packet.assign(max, 0x55);
        return Handshake::Ack;
    }

private:
    static DeviceSpec Identity()
    {
        DeviceSpec d;
        d.productId = 0x6001;
        return d;
    }
    static ConfigurationSpec Config()
    {
        ConfigurationSpec c;
        c.interfaces.push_back({0, 0, 0xFF, 0xFF, 0xFF, 0, {}, {{0x81, 2, 64, 0}, {0x02, 2, 64, 0}}});
        return c;
    }
    bool data_;
};

struct Reader {
    PDEVICE_OBJECT pdo;
    PIRP irp;
    URB urb{};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(4096);
    std::atomic<bool> stop{false};
    uint64_t bytes = 0;
    KEVENT stopped;

    void Submit()
    {
        IoReuseIrp(irp, STATUS_SUCCESS);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 4096;
        IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
        IoCallDriver(pdo, irp);
    }
    static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* r = static_cast<Reader*>(context);
        r->bytes += r->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (r->stop || !NT_SUCCESS(irp->IoStatus.Status))
            KeSetEvent(&r->stopped, IO_NO_INCREMENT, FALSE);
        else
            r->Submit();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

void Run(benchmark::State& state, bool data, int64_t span)
{
    uint64_t bytes = 0;
    for (auto _ : state) {
        BootOptions o;
        o.threadName = "bench";
        Boot(o);
        {
            UsbHost::Options options;
            options.logCapacity = 0;
            UsbHost host(options);
            PluggedDevice* dev = host.Plug(std::make_shared<Source>(data));
            Reader r;
            r.pdo = dev->Pdo();
            KeInitializeEvent(&r.stopped, NotificationEvent, FALSE);
            r.irp = IoAllocateIrp(r.pdo->StackSize, FALSE);
            // Configure as a driver does.
            auto config = dev->Model().ConfigurationDescriptor(0);
            auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
            USBD_INTERFACE_LIST_ENTRY list[] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr}, {}};
            PURB select = USBD_CreateConfigurationRequestEx(cd, list);
            {
                KEVENT e;
                KeInitializeEvent(&e, NotificationEvent, FALSE);
                IO_STATUS_BLOCK iosb;
                PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, r.pdo, nullptr, 0, nullptr, 0,
                                                         TRUE, &e, &iosb);
                IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = select;
                if (IoCallDriver(r.pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
            }
            UsbBuildInterruptOrBulkTransferRequest(&r.urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                   list[0].Interface->Pipes[0].PipeHandle, r.buffer.data(), nullptr, 4096,
                                                   USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
            ExFreePool(select);
            r.Submit();
            LARGE_INTEGER t;
            t.QuadPart = -span;
            KeDelayExecutionThread(KernelMode, FALSE, &t);
            r.stop = true;
            if (!data) IoCancelIrp(r.irp);
            KeWaitForSingleObject(&r.stopped, Executive, KernelMode, FALSE, nullptr);
            bytes += r.bytes;
            IoFreeIrp(r.irp);
        }
        Shutdown();
    }
    state.counters["virtual_s_per_real_s"] =
        benchmark::Counter((double)state.iterations() * span / kSec, benchmark::Counter::kIsRate);
    if (data)
        state.counters["virtual_bytes_per_virtual_s"] = (double)bytes / state.iterations() / ((double)span / kSec);
}

void StreamingRead(benchmark::State& state) { Run(state, true, 10 * kSec); }
void IdleParked(benchmark::State& state) { Run(state, false, 1000 * kSec); }

}  // namespace

BENCHMARK(StreamingRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(IdleParked)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
