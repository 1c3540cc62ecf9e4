// Work items and the system worker threads that run them at PASSIVE_LEVEL.
#include <cstdio>
#include <deque>

#include "io_internal.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
};

namespace kwsim::detail {

namespace {

constexpr ULONG kWorkItemTag = KW_TAG("IoWk");
constexpr size_t kMaxWorkers = 16;

struct Workers {
    std::deque<PIO_WORKITEM> queue;
    std::vector<SimThread*> threads;
    size_t idle = 0;
    bool stop = false;
};
Workers W;

void WorkerMain(SimThread* self)
{
    std::unique_lock<std::mutex> lk(K.mu);
    for (;;) {
        while (W.queue.empty() && !W.stop) {
            W.idle++;
            Block(lk, self, WaitKind::Idle);
            W.idle--;
        }
        if (W.stop) break;
        PIO_WORKITEM item = W.queue.front();
        W.queue.pop_front();
        Disarm(item);
        item->queued = false;
        // The routine may queue the item again or free it: take what we need first.
        PDEVICE_OBJECT device = item->device;
        PIO_WORKITEM_ROUTINE routine = item->routine;
        PVOID context = item->context;
        lk.unlock();
        routine(device, context);
        if (self->irql != PASSIVE_LEVEL || self->spinLocksHeld) {
            Verify("work item routine " + SymbolName((const void*)routine) + " returned at IRQL " +
                   std::to_string(self->irql));
            self->irql = PASSIVE_LEVEL;
            self->spinLocksHeld = 0;
        }
        ObfDereferenceObject(device);
        lk.lock();
    }
}

// Wakes an idle worker or starts another one (K.mu held).
void Dispatch()
{
    for (SimThread* t : W.threads) {
        if (t->waitKind == WaitKind::Idle && !t->woken) {
            Wake(t, STATUS_SUCCESS);
            return;
        }
    }
    if (W.threads.size() >= kMaxWorkers) return;  // a busy worker will take it
    SimThread* t = NewThread("system worker " + std::to_string(W.threads.size()));
    t->internal = true;
    t->fn = [t] { WorkerMain(t); };
    W.threads.push_back(t);
    LaunchThread(t);
}

}  // namespace

void StopWorkers(std::unique_lock<std::mutex>&)
{
    W.stop = true;
    for (SimThread* t : W.threads) Wake(t, STATUS_SUCCESS);
}

void CollectWorkItemLeaks(std::vector<std::string>& out)
{
    for (PIO_WORKITEM item : W.queue)
        out.push_back("work item with routine " + SymbolName((const void*)item->routine) + " is still queued");
}

void ResetWorkers()
{
    W.queue.clear();
    W.threads.clear();
    W.idle = 0;
    W.stop = false;
}

}  // namespace kwsim::detail

using namespace kwsim::detail;

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    PIO_WORKITEM item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
    if (!item) return nullptr;
    item->device = DeviceObject;
    item->routine = nullptr;
    item->context = nullptr;
    item->queued = false;
    return item;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    {
        std::lock_guard<std::mutex> lk(K.mu);
        if (IoWorkItem->queued) {
            Verify("IoFreeWorkItem of a work item that is still queued (routine " +
                   SymbolName((const void*)IoWorkItem->routine) + ")");
            return;
        }
    }
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE, PVOID Context)
{
    if (Current()->irql > DISPATCH_LEVEL) Verify("IoQueueWorkItem called above DISPATCH_LEVEL");
    std::lock_guard<std::mutex> lk(K.mu);
    if (IoWorkItem->queued) {
        Verify("IoQueueWorkItem of a work item that is queued already");
        return;
    }
    // The device object stays referenced while its work item waits and runs.
    ObjectHeader* h = HeaderOf(IoWorkItem->device);
    if (h) h->refs++;
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    IoWorkItem->queued = true;
    W.queue.push_back(IoWorkItem);
    Arm(IoWorkItem, "queued work item");
    Dispatch();
}

}  // extern "C"
