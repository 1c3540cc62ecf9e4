// Cancel-safe IRP queues.
#pragma once
#include "simnt/io.h"

#define IO_TYPE_CSQ_IRP_CONTEXT 1
#define IO_TYPE_CSQ 2
#define IO_TYPE_CSQ_EX 3

struct _IO_CSQ;

typedef struct _IO_CSQ_IRP_CONTEXT {
    ULONG Type;
    PIRP Irp;
    struct _IO_CSQ* Csq;
} IO_CSQ_IRP_CONTEXT, *PIO_CSQ_IRP_CONTEXT;

typedef void (*PIO_CSQ_INSERT_IRP)(struct _IO_CSQ* Csq, PIRP Irp);
typedef NTSTATUS (*PIO_CSQ_INSERT_IRP_EX)(struct _IO_CSQ* Csq, PIRP Irp, PVOID InsertContext);
typedef void (*PIO_CSQ_REMOVE_IRP)(struct _IO_CSQ* Csq, PIRP Irp);
typedef PIRP (*PIO_CSQ_PEEK_NEXT_IRP)(struct _IO_CSQ* Csq, PIRP Irp, PVOID PeekContext);
typedef void (*PIO_CSQ_ACQUIRE_LOCK)(struct _IO_CSQ* Csq, PKIRQL Irql);
typedef void (*PIO_CSQ_RELEASE_LOCK)(struct _IO_CSQ* Csq, KIRQL Irql);
typedef void (*PIO_CSQ_COMPLETE_CANCELED_IRP)(struct _IO_CSQ* Csq, PIRP Irp);

typedef struct _IO_CSQ {
    ULONG Type;
    PIO_CSQ_INSERT_IRP CsqInsertIrp;
    PIO_CSQ_REMOVE_IRP CsqRemoveIrp;
    PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp;
    PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock;
    PIO_CSQ_RELEASE_LOCK CsqReleaseLock;
    PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp;
    PVOID ReservePointer;
} IO_CSQ, *PIO_CSQ;

#ifdef __cplusplus
extern "C" {
#endif
NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp);
NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp);
void IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context);
NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext);
PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext);
PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context);
#ifdef __cplusplus
}
#endif
