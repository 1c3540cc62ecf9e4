// A small device for tests of the I/O paths: reads wait in a cancel-safe queue until
// written data (or Feed) satisfies them; requests are recorded.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "simkernel/io.h"
#include "simtest.h"

namespace kwsim::test {

struct EchoDevice {
    static inline EchoDevice* current;
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT device;
    IO_CSQ csq;
    KSPIN_LOCK lock;
    LIST_ENTRY reads;
    std::string data;
    std::vector<std::string> log;  // "create", "cleanup", "close", "read 4", ...
    NTSTATUS refuseInsert = STATUS_SUCCESS;
    int cancelledCompletions = 0;

    explicit EchoDevice(const char16_t* name)
    {
        current = this;
        driver = CreateDriverObject(u"\\Driver\\Echo");
        for (auto& f : driver->MajorFunction) f = Dispatch;
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, reinterpret_cast<PCWSTR>(name));
        IoCreateDevice(driver, 0, &u, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        KeInitializeSpinLock(&lock);
        InitializeListHead(&reads);
        IoCsqInitializeEx(&csq, Insert, Remove, Peek, Acquire, Release, CompleteCancelled);
    }
    ~EchoDevice() { IoDeleteDevice(device); }

    static NTSTATUS Insert(PIO_CSQ, PIRP irp, PVOID)
    {
        if (!NT_SUCCESS(current->refuseInsert)) return current->refuseInsert;
        InsertTailList(&current->reads, &irp->Tail.Overlay.ListEntry);
        return STATUS_SUCCESS;
    }
    static void Remove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }
    static PIRP Peek(PIO_CSQ, PIRP irp, PVOID file)
    {
        PLIST_ENTRY e = irp ? irp->Tail.Overlay.ListEntry.Flink : current->reads.Flink;
        for (; e != &current->reads; e = e->Flink) {
            PIRP candidate = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            if (!file || IoGetCurrentIrpStackLocation(candidate)->FileObject == file) return candidate;
        }
        return nullptr;
    }
    static void Acquire(PIO_CSQ, PKIRQL irql) { KeAcquireSpinLock(&current->lock, irql); }
    static void Release(PIO_CSQ, KIRQL irql) { KeReleaseSpinLock(&current->lock, irql); }
    static void CompleteCancelled(PIO_CSQ, PIRP irp)
    {
        current->cancelledCompletions++;
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    // Completes queued reads from the data (caller at PASSIVE or DISPATCH).
    void Serve()
    {
        for (;;) {
            if (data.empty()) return;
            PIRP irp = IoCsqRemoveNextIrp(&csq, nullptr);
            if (!irp) return;
            Fill(irp);
        }
    }
    void Fill(PIRP irp)
    {
        ULONG want = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        ULONG n = want < data.size() ? want : (ULONG)data.size();
        memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), n);
        data.erase(0, n);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = n;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    void Feed(const std::string& bytes)
    {
        data += bytes;
        Serve();
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
    {
        EchoDevice* d = current;
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS st = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        switch (s->MajorFunction) {
        case IRP_MJ_CREATE: d->log.push_back("create"); break;
        case IRP_MJ_CLEANUP: d->log.push_back("cleanup"); break;
        case IRP_MJ_CLOSE: d->log.push_back("close"); break;
        case IRP_MJ_FLUSH_BUFFERS: d->log.push_back("flush"); break;
        case IRP_MJ_WRITE:
            d->log.push_back("write " + std::to_string(s->Parameters.Write.Length));
            d->data.append(static_cast<char*>(irp->AssociatedIrp.SystemBuffer), s->Parameters.Write.Length);
            irp->IoStatus.Information = s->Parameters.Write.Length;
            irp->IoStatus.Status = st;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            d->Serve();
            return st;
        case IRP_MJ_READ:
            d->log.push_back("read " + std::to_string(s->Parameters.Read.Length));
            st = IoCsqInsertIrpEx(&d->csq, irp, nullptr, nullptr);
            if (NT_SUCCESS(st)) {
                d->Serve();
                return STATUS_PENDING;
            }
            break;
        case IRP_MJ_DEVICE_CONTROL: {
            // Echoes the input reversed.
            ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
            auto* b = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
            std::string text(b, in);
            for (ULONG i = 0; i < in; i++) b[i] = text[in - 1 - i];
            irp->IoStatus.Information = in;
            break;
        }
        default:
            st = STATUS_INVALID_DEVICE_REQUEST;
        }
        irp->IoStatus.Status = st;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return st;
    }
};

}  // namespace kwsim::test
