// Cancel-safe IRP queues, as the kernel provides them: the queue's cancel routine and
// every removal race only through IoSetCancelRoutine's exchange, so an IRP is either
// removed by the driver or cancelled, never both.
#include "io_internal.h"
#include "simkernel/syncpoint.h"

using namespace kwsim::detail;

namespace {

// DriverContext[3] links a queued IRP to its queue, or to its IRP context.
PIO_CSQ QueueOf(PIRP irp, PIO_CSQ_IRP_CONTEXT* context)
{
    PVOID link = irp->Tail.Overlay.DriverContext[3];
    *context = nullptr;
    if (!link) return nullptr;
    if (static_cast<PIO_CSQ_IRP_CONTEXT>(link)->Type == IO_TYPE_CSQ_IRP_CONTEXT) {
        *context = static_cast<PIO_CSQ_IRP_CONTEXT>(link);
        return (*context)->Csq;
    }
    return static_cast<PIO_CSQ>(link);
}

void Unlink(PIRP irp, PIO_CSQ_IRP_CONTEXT context)
{
    irp->Tail.Overlay.DriverContext[3] = nullptr;
    if (context) context->Irp = nullptr;
}

void CsqCancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PIO_CSQ_IRP_CONTEXT context;
    PIO_CSQ csq = QueueOf(irp, &context);
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    csq->CsqRemoveIrp(csq, irp);
    Unlink(irp, context);
    csq->CsqReleaseLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, irp);
}

NTSTATUS Initialize(PIO_CSQ Csq, ULONG type, PVOID insert, PIO_CSQ_REMOVE_IRP remove, PIO_CSQ_PEEK_NEXT_IRP peek,
                    PIO_CSQ_ACQUIRE_LOCK acquire, PIO_CSQ_RELEASE_LOCK release, PIO_CSQ_COMPLETE_CANCELED_IRP complete)
{
    Csq->Type = type;
    Csq->CsqInsertIrp = reinterpret_cast<PIO_CSQ_INSERT_IRP>(insert);
    Csq->CsqRemoveIrp = remove;
    Csq->CsqPeekNextIrp = peek;
    Csq->CsqAcquireLock = acquire;
    Csq->CsqReleaseLock = release;
    Csq->CsqCompleteCanceledIrp = complete;
    Csq->ReservePointer = nullptr;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp)
{
    return Initialize(Csq, IO_TYPE_CSQ, (PVOID)CsqInsertIrp, CsqRemoveIrp, CsqPeekNextIrp, CsqAcquireLock,
                      CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp)
{
    return Initialize(Csq, IO_TYPE_CSQ_EX, (PVOID)CsqInsertIrp, CsqRemoveIrp, CsqPeekNextIrp, CsqAcquireLock,
                      CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext)
{
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    if (Csq->Type == IO_TYPE_CSQ_EX) {
        NTSTATUS status = reinterpret_cast<PIO_CSQ_INSERT_IRP_EX>(reinterpret_cast<void*>(Csq->CsqInsertIrp))(Csq, Irp, InsertContext);
        if (!NT_SUCCESS(status)) {
            Csq->CsqReleaseLock(Csq, irql);
            return status;  // refused: the IRP is not queued and stays with the caller
        }
    } else {
        Csq->CsqInsertIrp(Csq, Irp);
    }
    if (Context) {
        Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
        Context->Irp = Irp;
        Context->Csq = Csq;
        Irp->Tail.Overlay.DriverContext[3] = Context;
    } else {
        Irp->Tail.Overlay.DriverContext[3] = Csq;
    }
    IoMarkIrpPending(Irp);
    PassSyncPoint(kwsim::sync::kCsqInsert);
    IoSetCancelRoutine(Irp, CsqCancelRoutine);
    bool cancelNow = false;
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
        // Cancelled before the routine was in place, and nobody else took it since.
        Csq->CsqRemoveIrp(Csq, Irp);
        Unlink(Irp, Context);
        cancelNow = true;
    }
    Csq->CsqReleaseLock(Csq, irql);
    if (cancelNow) Csq->CsqCompleteCanceledIrp(Csq, Irp);
    return STATUS_SUCCESS;
}

void IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context) { IoCsqInsertIrpEx(Csq, Irp, Context, nullptr); }

PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext)
{
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
    while (irp) {
        if (IoSetCancelRoutine(irp, nullptr)) {
            PIO_CSQ_IRP_CONTEXT context;
            QueueOf(irp, &context);
            Csq->CsqRemoveIrp(Csq, irp);
            Unlink(irp, context);
            break;
        }
        // Its cancel routine is about to run; it removes the IRP itself.
        irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context)
{
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Context->Irp;
    if (irp) {
        if (IoSetCancelRoutine(irp, nullptr)) {
            Csq->CsqRemoveIrp(Csq, irp);
            Unlink(irp, Context);
        } else {
            irp = nullptr;  // being cancelled
        }
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

}  // extern "C"
