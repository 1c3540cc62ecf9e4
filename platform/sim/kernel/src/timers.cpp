// Timers on the virtual timeline, DPC queues and the DPC threads that run them.
#include <cstdio>

#include "kernel_internal.h"
#include "simkernel/syncpoint.h"

namespace kwsim::detail {

constexpr UCHAR kDpcType = 0x13;

static void QueueTimer(KTIMER* timer, int64_t due)
{
    TimelineEntry e;
    e.kind = EntryKind::Timer;
    e.timer = timer;
    TimelineKey key = AddTimeline(due, std::move(e));
    timer->DueTime.QuadPart = (ULONGLONG)key.due;
    timer->Sequence = key.seq;
    timer->Header.Inserted = 1;
    Arm(timer, "timer that is set");
}

static bool DequeueTimer(KTIMER* timer)
{
    if (!timer->Header.Inserted) return false;
    K.timeline.erase(TimelineKey{(int64_t)timer->DueTime.QuadPart, timer->Sequence});
    timer->Header.Inserted = 0;
    Disarm(timer);
    return true;
}

// The timeline entry is already gone when this runs.
void ExpireTimer(KTIMER* timer)
{
    timer->Header.Inserted = 0;
    Disarm(timer);
    int64_t due = (int64_t)timer->DueTime.QuadPart;
    if (timer->Period > 0) QueueTimer(timer, due + (int64_t)timer->Period * kMs);
    timer->Header.SignalState = 1;
    SignalObject(&timer->Header);
    if (timer->Dpc) {
        LARGE_INTEGER systemTime;
        systemTime.QuadPart = SystemTimeAtBoot() + due;
        InsertDpcLocked(timer->Dpc, (PVOID)(ULONG_PTR)systemTime.LowPart, (PVOID)(ULONG_PTR)(ULONG)systemTime.HighPart);
    }
}

static bool AllCpusIdle()
{
    for (auto& cpu : K.cpus)
        if (cpu->busy || !IsListEmpty(&cpu->queue)) return false;
    return true;
}

bool InsertDpcLocked(KDPC* dpc, PVOID arg1, PVOID arg2)
{
    if (dpc->DpcData) return false;
    Cpu* cpu = K.cpus[dpc->Number < K.cpus.size() ? dpc->Number : 0].get();
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = cpu;
    if (dpc->Importance == HighImportance)
        InsertHeadList(&cpu->queue, &dpc->DpcListEntry);
    else
        InsertTailList(&cpu->queue, &dpc->DpcListEntry);
    Arm(dpc, "queued DPC");
    SimThread* t = cpu->thread;
    if (t->waitKind == WaitKind::Idle) Wake(t, STATUS_SUCCESS);
    return true;
}

static void CpuMain(Cpu* cpu)
{
    SimThread* self = cpu->thread;
    std::unique_lock<std::mutex> lk(K.mu);
    for (;;) {
        while (IsListEmpty(&cpu->queue) && !cpu->stop) Block(lk, self, WaitKind::Idle);
        if (cpu->stop) break;
        KDPC* dpc = CONTAINING_RECORD(RemoveHeadList(&cpu->queue), KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        Disarm(dpc);
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        cpu->busy = true;
        lk.unlock();
        PassSyncPoint(kwsim::sync::kBeforeDpc);
        self->irql = DISPATCH_LEVEL;
        routine(dpc, context, a1, a2);
        if (self->irql != DISPATCH_LEVEL || self->spinLocksHeld) {
            Verify("DPC routine " + SymbolName((const void*)routine) + " returned at IRQL " +
                   std::to_string(self->irql) + (self->spinLocksHeld ? " holding a spin lock" : ""));
            self->spinLocksHeld = 0;
        }
        self->irql = PASSIVE_LEVEL;
        lk.lock();
        cpu->busy = false;
        if (AllCpusIdle() && !K.flushWaiters.empty()) {
            for (SimThread* t : K.flushWaiters) Wake(t, STATUS_SUCCESS);
            K.flushWaiters.clear();
        }
    }
}

void StartCpus(int count)
{
    std::vector<Cpu*> started;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        for (int i = 0; i < count; i++) {
            auto cpu = std::make_unique<Cpu>();
            cpu->index = i;
            InitializeListHead(&cpu->queue);
            cpu->thread = NewThread("DPC " + std::to_string(i));
            cpu->thread->internal = true;
            cpu->thread->cpu = i;
            cpu->thread->priority = HIGH_PRIORITY;
            started.push_back(cpu.get());
            K.cpus.push_back(std::move(cpu));
        }
    }
    for (Cpu* cpu : started) {
        cpu->thread->fn = [cpu] { CpuMain(cpu); };
        LaunchThread(cpu->thread);
    }
}

void StopCpus(std::unique_lock<std::mutex>&)
{
    for (auto& cpu : K.cpus) {
        cpu->stop = true;
        Wake(cpu->thread, STATUS_SUCCESS);
    }
}

}  // namespace kwsim::detail

using namespace kwsim::detail;

static void CheckTimer(PKTIMER Timer, const char* routine)
{
    if (!Timer || Timer->Header.Size != kHeaderCheck ||
        (Timer->Header.Type != KW_OBJ_TIMER_NOTIFICATION && Timer->Header.Type != KW_OBJ_TIMER_SYNCHRONIZATION)) {
        char buf[128];
        snprintf(buf, sizeof buf, "%s on %p, which is not an initialised timer", routine, (void*)Timer);
        Fatal(buf);
    }
    if (Current()->irql > DISPATCH_LEVEL) Verify(std::string(routine) + " called above DISPATCH_LEVEL");
}

extern "C" {

void KeInitializeTimer(PKTIMER Timer) { InitTimerHeader(Timer, NotificationTimer); }
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) { InitTimerHeader(Timer, Type); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    CheckTimer(Timer, "KeSetTimerEx");
    if (Period < 0) Verify("KeSetTimerEx with a negative period");
    std::lock_guard<std::mutex> lk(K.mu);
    bool wasSet = DequeueTimer(Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period < 0 ? 0 : Period;
    int64_t due = ToAbsoluteDue(DueTime);
    int64_t now = CurrentTime();
    QueueTimer(Timer, due < now ? now : due);
    return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    CheckTimer(Timer, "KeCancelTimer");
    std::lock_guard<std::mutex> lk(K.mu);
    return DequeueTimer(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer)
{
    CheckTimer(Timer, "KeReadStateTimer");
    std::lock_guard<std::mutex> lk(K.mu);
    return Timer->Header.SignalState != 0;
}

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = kDpcType;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

static void CheckDpc(PRKDPC Dpc, const char* routine)
{
    if (!Dpc || Dpc->Type != kDpcType) {
        char buf[128];
        snprintf(buf, sizeof buf, "%s on %p, which is not an initialised DPC", routine, (void*)Dpc);
        Fatal(buf);
    }
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    CheckDpc(Dpc, "KeInsertQueueDpc");
    std::lock_guard<std::mutex> lk(K.mu);
    return InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    CheckDpc(Dpc, "KeRemoveQueueDpc");
    std::lock_guard<std::mutex> lk(K.mu);
    if (!Dpc->DpcData) return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    Disarm(Dpc);
    return TRUE;
}

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = (UCHAR)Importance; }
void KeSetTargetProcessorDpc(PRKDPC Dpc, CHAR Number) { Dpc->Number = (USHORT)(UCHAR)Number; }

void KeFlushQueuedDpcs(void)
{
    SimThread* self = Current();
    if (self->irql != PASSIVE_LEVEL) Verify("KeFlushQueuedDpcs called above PASSIVE_LEVEL");
    std::unique_lock<std::mutex> lk(K.mu);
    while (!AllCpusIdle()) {
        K.flushWaiters.push_back(self);
        Block(lk, self, WaitKind::DpcFlush);
    }
}

ULONG KeGetCurrentProcessorNumber(void) { return (ULONG)Current()->cpu; }

}  // extern "C"
