// Continuous bulk transfers as the bus driver makes them: one IRP, re-submitted from its
// own completion routine (at DISPATCH_LEVEL) until told to stop. Shared by the chip
// tests and the chip benchmark.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "kwplat/usb.h"
#include "simkernel/sim.h"

namespace kwsim::chip::test {

class BulkStream {
public:
    // Called with each completed transfer; returns whether to go on.
    using Completed = std::function<bool(NTSTATUS status, const uint8_t* data, ULONG length)>;

    BulkStream(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, bool in, std::vector<uint8_t> buffer, Completed completed)
        : pdo_(pdo), pipe_(pipe), in_(in), buffer_(std::move(buffer)), completed_(std::move(completed))
    {
        KeInitializeEvent(&stopped_, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
        Submit();
    }
    ~BulkStream()
    {
        Stop();
        IoFreeIrp(irp_);
    }
    BulkStream(const BulkStream&) = delete;
    BulkStream& operator=(const BulkStream&) = delete;

    // Waits until the stream has ended on its own, at most `limit` of virtual time (0:
    // for ever); false if it had not.
    bool Wait(int64_t limit = 0)
    {
        LARGE_INTEGER t;
        t.QuadPart = -limit;
        return KeWaitForSingleObject(&stopped_, Executive, KernelMode, FALSE, limit ? &t : nullptr) != STATUS_TIMEOUT;
    }
    // Ends it: the transfer in flight is cancelled.
    void Stop()
    {
        if (stopping_.exchange(true)) return;
        // The completion routine may be re-submitting just now: cancel until it stops.
        LARGE_INTEGER step;
        step.QuadPart = -kMs;
        do IoCancelIrp(irp_);
        while (KeWaitForSingleObject(&stopped_, Executive, KernelMode, FALSE, &step) == STATUS_TIMEOUT);
    }

private:
    void Submit()
    {
        UsbBuildInterruptOrBulkTransferRequest(&urb_, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe_,
                                               buffer_.data(), nullptr, ULONG(buffer_.size()),
                                               in_ ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
        IoReuseIrp(irp_, STATUS_SUCCESS);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb_;
        IoSetCompletionRoutine(irp_, OnCompletion, this, TRUE, TRUE, TRUE);
        IoCallDriver(pdo_, irp_);
    }
    static NTSTATUS OnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<BulkStream*>(context);
        NTSTATUS status = irp->IoStatus.Status;
        bool more = self->completed_(status, self->buffer_.data(), self->urb_.UrbBulkOrInterruptTransfer.TransferBufferLength);
        if (!more || self->stopping_ || !NT_SUCCESS(status))
            KeSetEvent(&self->stopped_, IO_NO_INCREMENT, FALSE);
        else
            self->Submit();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    USBD_PIPE_HANDLE pipe_;
    bool in_;
    std::vector<uint8_t> buffer_;
    Completed completed_;
    URB urb_{};
    PIRP irp_ = nullptr;
    KEVENT stopped_;
    std::atomic<bool> stopping_{false};
};

}  // namespace kwsim::chip::test
