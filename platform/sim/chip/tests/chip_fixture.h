// What the chip tests share: a chip plugged into the simulated USB host with every
// channel configured, vendor requests and bulk transfers sent as a driver sends them
// (real URBs), a continuous reader like the bus driver's, and packet parsing.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "simchip/chip.h"
#include "simwire/cables.h"
#include "simwire/peer.h"
#include "simwire/recorder.h"
#include "usb_fixture.h"

namespace kwsim::chip::test {

using namespace kwsim::usb::test;
using usb::PluggedDevice;
using wire::Character;
using wire::Frame;
using wire::Signal;

// One bulk IN packet of a transfer.
struct Packet {
    uint8_t modem = 0;
    uint8_t lsr = 0;
    std::vector<uint8_t> payload;
};

inline std::vector<Packet> Packets(const std::vector<uint8_t>& transfer)
{
    std::vector<Packet> out;
    for (size_t i = 0; i + 2 <= transfer.size(); i += 64) {
        size_t end = std::min(transfer.size(), i + 64);
        out.push_back({transfer[i], transfer[i + 1], {transfer.begin() + i + 2, transfer.begin() + end}});
    }
    return out;
}

// A bulk transfer in flight.
struct Transfer {
    std::vector<uint8_t> buffer;
    URB urb{};
    std::unique_ptr<UrbRequest> request;

    NTSTATUS Wait() { return request->Wait(); }
    bool Done() { return request->Done(); }
    int64_t CompletedAt() const { return request->completedAt; }
    std::vector<uint8_t> Data() const
    {
        return {buffer.begin(), buffer.begin() + urb.UrbBulkOrInterruptTransfer.TransferBufferLength};
    }
};

// Reads continuously as the bus driver does: a new read of `size` bytes is submitted
// from the completion routine of the last. Records each completed transfer.
class Reader {
public:
    struct Done {
        int64_t at;
        std::vector<uint8_t> data;
    };
    Reader(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG size = 4096) : pdo_(pdo), pipe_(pipe), buffer_(size)
    {
        KeInitializeEvent(&stopped_, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
        Submit();
    }
    ~Reader()
    {
        Stop();
        IoFreeIrp(irp_);
    }
    void Stop()
    {
        if (stopping_.exchange(true)) return;
        // The completion routine may be re-submitting just now: cancel until it stops.
        LARGE_INTEGER step = kwsim::test::Relative(kMs);
        do IoCancelIrp(irp_);
        while (KeWaitForSingleObject(&stopped_, Executive, KernelMode, FALSE, &step) == STATUS_TIMEOUT);
    }
    std::vector<Done> Transfers()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return done_;
    }
    std::vector<Packet> AllPackets()
    {
        std::vector<Packet> out;
        for (auto& d : Transfers())
            for (auto& p : Packets(d.data)) out.push_back(p);
        return out;
    }
    std::vector<uint8_t> Payload()
    {
        std::vector<uint8_t> out;
        for (auto& p : AllPackets()) out.insert(out.end(), p.payload.begin(), p.payload.end());
        return out;
    }
    size_t PayloadSize() { return Payload().size(); }

private:
    void Submit()
    {
        urb_ = BulkUrb(pipe_, buffer_.data(), ULONG(buffer_.size()), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        IoReuseIrp(irp_, STATUS_SUCCESS);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb_;
        IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
        IoCallDriver(pdo_, irp_);
    }
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<Reader*>(context);
        if (NT_SUCCESS(irp->IoStatus.Status)) {
            std::lock_guard<std::mutex> lk(self->mu_);
            ULONG n = self->urb_.UrbBulkOrInterruptTransfer.TransferBufferLength;
            self->done_.push_back({Now(), {self->buffer_.begin(), self->buffer_.begin() + n}});
        }
        if (self->stopping_ || !NT_SUCCESS(irp->IoStatus.Status))
            KeSetEvent(&self->stopped_, IO_NO_INCREMENT, FALSE);
        else
            self->Submit();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    USBD_PIPE_HANDLE pipe_;
    std::vector<uint8_t> buffer_;
    URB urb_{};
    PIRP irp_ = nullptr;
    KEVENT stopped_;
    std::atomic<bool> stopping_{false};
    std::mutex mu_;
    std::vector<Done> done_;
};

class ChipTest : public UsbTest {
protected:
    virtual ChipOptions ChipSetup() { return {}; }

    void SetUp() override
    {
        UsbTest::SetUp();
        chip = kwsim::chip::Chip::Create(ChipSetup());
        dev = host->Plug(chip);
        ASSERT_NE(dev, nullptr);
        for (int k = 0; k < chip->Channels(); k++) {
            Configured c = Configure(dev->FunctionPdo(uint8_t(k)));
            ASSERT_EQ(c.status, STATUS_SUCCESS);
            for (auto& [ep, info] : c.pipes) pipes[ep] = info.PipeHandle;
        }
    }
    void TearDown() override
    {
        readers.clear();
        cables.clear();
        chip.reset();
        UsbTest::TearDown();
    }

    ChipChannel& Ch(int k) { return chip->Channel(k); }
    PDEVICE_OBJECT Pdo(int k) { return dev->FunctionPdo(uint8_t(k)); }
    USBD_PIPE_HANDLE InPipe(int k) { return pipes[uint8_t(0x81 + 2 * k)]; }
    USBD_PIPE_HANDLE OutPipe(int k) { return pipes[uint8_t(0x02 + 2 * k)]; }

    struct Reply {
        NTSTATUS status = STATUS_PENDING;
        USBD_STATUS usbd = 0;
        std::vector<uint8_t> data;
    };
    // A vendor request to the interface of channel k with this wIndex.
    Reply Vendor(int k, uint8_t request, uint16_t value, uint16_t index, ULONG inLength = 0)
    {
        std::vector<uint8_t> buffer(inLength);
        URB urb = VendorUrb(URB_FUNCTION_VENDOR_INTERFACE, inLength > 0, request, value, index,
                            inLength ? buffer.data() : nullptr, inLength);
        UrbRequest r(Pdo(k));
        r.Send(&urb);
        Reply out;
        out.status = r.Wait();
        out.usbd = r.Usbd();
        buffer.resize(urb.UrbControlVendorClassRequest.TransferBufferLength);
        out.data = buffer;
        return out;
    }
    // A request to channel k as the bus driver addresses it (wIndex = channel index | extra).
    NTSTATUS Set(int k, uint8_t request, uint16_t value, uint16_t extra = 0)
    {
        return Vendor(k, request, value, uint16_t((k + 1) | extra)).status;
    }
    NTSTATUS Baud(int k, uint16_t divisor, uint16_t fraction = 0)
    {
        uint16_t index = chip->Composite() ? uint16_t(fraction << 8 | (k + 1)) : fraction;
        return Vendor(k, kSetBaudRate, divisor, index).status;
    }
    std::vector<uint8_t> Status(int k) { return Vendor(k, kGetModemStatus, 0, uint16_t(k + 1), 2).data; }

    std::unique_ptr<Transfer> StartWrite(int k, const std::vector<uint8_t>& bytes)
    {
        auto t = std::make_unique<Transfer>();
        t->buffer = bytes;
        t->urb = BulkUrb(OutPipe(k), t->buffer.data(), ULONG(t->buffer.size()), 0);
        t->request = std::make_unique<UrbRequest>(Pdo(k));
        t->request->Send(&t->urb);
        return t;
    }
    std::unique_ptr<Transfer> StartRead(int k, ULONG size = 4096)
    {
        auto t = std::make_unique<Transfer>();
        t->buffer.assign(size, 0xEE);
        t->urb = BulkUrb(InPipe(k), t->buffer.data(), size, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        t->request = std::make_unique<UrbRequest>(Pdo(k));
        t->request->Send(&t->urb);
        return t;
    }
    NTSTATUS Write(int k, const std::vector<uint8_t>& bytes) { return StartWrite(k, bytes)->Wait(); }
    Reader& StartReader(int k, ULONG size = 4096)
    {
        readers.push_back(std::make_unique<Reader>(Pdo(k), InPipe(k), size));
        return *readers.back();
    }
    template <class T>
    std::shared_ptr<T> Keep(std::shared_ptr<T> cable)
    {
        cables.push_back(cable);
        return cable;
    }
    static void Delay(int64_t dt)
    {
        LARGE_INTEGER t = kwsim::test::Relative(dt);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
    // Waits (in virtual time, 1 ms at a time) until `done` holds, at most `limit`.
    template <class F>
    static bool WaitFor(F done, int64_t limit = 10 * kSec)
    {
        for (int64_t end = Now() + limit; !done(); Delay(kMs))
            if (Now() >= end) return false;
        return true;
    }
    static void DelayUntil(int64_t t)
    {
        if (t > Now()) Delay(t - Now());
    }
    // The next frame start after now (when a request submitted now is served).
    static int64_t NextFrame() { return (Now() / kMs + 1) * kMs; }
    // Tick (rounded up) at which character k of a burst starting at t0 begins.
    static int64_t Edge(int64_t t0, const Frame& f, uint64_t k)
    {
        uint64_t units = k * f.HalfBits() * f.rate.num, den = 2 * f.rate.den;
        return t0 + int64_t(units / den) + (units % den ? 1 : 0);
    }

    std::shared_ptr<kwsim::chip::Chip> chip;
    PluggedDevice* dev = nullptr;
    std::map<uint8_t, USBD_PIPE_HANDLE> pipes;
    std::vector<std::unique_ptr<Reader>> readers;
    std::vector<std::shared_ptr<void>> cables;
};

inline std::vector<uint8_t> Pattern(size_t n, uint8_t first = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = uint8_t(first + i);
    return v;
}

}  // namespace kwsim::chip::test
