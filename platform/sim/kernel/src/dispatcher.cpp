// Dispatcher objects (events, mutexes, semaphores, timers and threads as waitable
// objects) and the waits on them.
#include <algorithm>
#include <cstdio>

#include "kernel_internal.h"

namespace kwsim::detail {

void Arm(const void* p, const char* what) { K.armed.emplace(reinterpret_cast<uintptr_t>(p), what); }

void Disarm(const void* p)
{
    auto it = K.armed.find(reinterpret_cast<uintptr_t>(p));
    if (it != K.armed.end()) K.armed.erase(it);
}

static const char* TypeName(UCHAR type)
{
    switch (type) {
    case KW_OBJ_EVENT_NOTIFICATION: return "notification event";
    case KW_OBJ_EVENT_SYNCHRONIZATION: return "synchronization event";
    case KW_OBJ_MUTANT: return "mutex";
    case KW_OBJ_SEMAPHORE: return "semaphore";
    case KW_OBJ_THREAD: return "thread";
    case KW_OBJ_TIMER_NOTIFICATION: return "notification timer";
    case KW_OBJ_TIMER_SYNCHRONIZATION: return "synchronization timer";
    }
    return "object";
}

std::string Describe(const void* object)
{
    const DISPATCHER_HEADER* h = static_cast<const DISPATCHER_HEADER*>(object);
    char buf[160];
    snprintf(buf, sizeof buf, "%s@%p", TypeName(h->Type), object);
    std::string s = buf;
    switch (h->Type) {
    case KW_OBJ_MUTANT: {
        const KMUTEX* m = static_cast<const KMUTEX*>(object);
        s += m->OwnerThread ? " (owned by '" + m->OwnerThread->Sim->name + "')" : " (free)";
        break;
    }
    case KW_OBJ_SEMAPHORE:
        snprintf(buf, sizeof buf, " (count %d of %d)", (int)h->SignalState, (int)static_cast<const KSEMAPHORE*>(object)->Limit);
        s += buf;
        break;
    case KW_OBJ_THREAD:
        s += " ('" + static_cast<const _KTHREAD*>(object)->Sim->name + "')";
        break;
    default:
        s += h->SignalState ? " (signalled)" : " (not signalled)";
    }
    return s;
}

static bool IsDispatcherObject(const void* object)
{
    const DISPATCHER_HEADER* h = static_cast<const DISPATCHER_HEADER*>(object);
    if (h->Size != kHeaderCheck) return false;
    switch (h->Type) {
    case KW_OBJ_EVENT_NOTIFICATION:
    case KW_OBJ_EVENT_SYNCHRONIZATION:
    case KW_OBJ_MUTANT:
    case KW_OBJ_SEMAPHORE:
    case KW_OBJ_THREAD:
    case KW_OBJ_TIMER_NOTIFICATION:
    case KW_OBJ_TIMER_SYNCHRONIZATION:
        return true;
    }
    return false;
}

static bool SignalledFor(DISPATCHER_HEADER* h, SimThread* t)
{
    if (h->Type == KW_OBJ_MUTANT) {
        KMUTEX* m = reinterpret_cast<KMUTEX*>(h);
        return h->SignalState > 0 || (m->OwnerThread && m->OwnerThread->Sim == t);
    }
    return h->SignalState > 0;
}

// Take what a satisfied wait takes: a synchronization object's signal, one count of a
// semaphore, ownership (or one more level of recursion) of a mutex. True when the wait
// took over a mutex whose owner ended without releasing it.
static bool Consume(DISPATCHER_HEADER* h, SimThread* t)
{
    bool abandoned = false;
    switch (h->Type) {
    case KW_OBJ_EVENT_SYNCHRONIZATION:
    case KW_OBJ_TIMER_SYNCHRONIZATION:
        h->SignalState = 0;
        break;
    case KW_OBJ_SEMAPHORE:
        h->SignalState--;
        break;
    case KW_OBJ_MUTANT: {
        KMUTEX* m = reinterpret_cast<KMUTEX*>(h);
        if (h->SignalState == 1) {
            m->OwnerThread = &t->object->Tcb;
            t->ownedMutexes.push_back(m);
            abandoned = m->Abandoned;
            m->Abandoned = FALSE;
        }
        h->SignalState--;
        break;
    }
    default:
        break;
    }
    return abandoned;
}

void AbandonMutexes(SimThread* t)
{
    for (KMUTEX* m : t->ownedMutexes) {
        m->OwnerThread = nullptr;
        m->Header.SignalState = 1;
        m->Abandoned = TRUE;
        SignalObject(&m->Header);
    }
    t->ownedMutexes.clear();
}

static bool AllSignalled(SimThread* t)
{
    for (ULONG i = 0; i < t->blockCount; i++)
        if (!SignalledFor(static_cast<DISPATCHER_HEADER*>(t->blocks[i].Object), t)) return false;
    return true;
}

void SignalObject(DISPATCHER_HEADER* h)
{
    PLIST_ENTRY e = h->WaitListHead.Flink;
    while (e != &h->WaitListHead && h->SignalState > 0) {
        KWAIT_BLOCK* b = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
        e = e->Flink;
        SimThread* t = b->Thread->Sim;
        if (t->woken) continue;
        if (t->waitType == WaitAny) {
            if (!SignalledFor(h, t)) continue;
            bool abandoned = Consume(h, t);
            Wake(t, (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + b->WaitKey);
        } else if (AllSignalled(t)) {
            bool abandoned = false;
            for (ULONG i = 0; i < t->blockCount; i++)
                abandoned |= Consume(static_cast<DISPATCHER_HEADER*>(t->blocks[i].Object), t);
            Wake(t, abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0);
        }
    }
}

static void CheckObject(const void* object, const char* routine)
{
    if (!object || !IsDispatcherObject(object)) {
        char buf[128];
        snprintf(buf, sizeof buf, "%s on %p, which is not an initialised dispatcher object", routine, object);
        Fatal(buf);
    }
}

static void CheckAtMostDispatch(const char* routine)
{
    SimThread* self = Current();
    if (self->irql > DISPATCH_LEVEL) Verify(std::string(routine) + " called at IRQL " + std::to_string(self->irql));
}

static NTSTATUS WaitFor(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                        PKWAIT_BLOCK waitBlocks, const char* routine)
{
    SimThread* self = Current();
    bool poll = timeout && timeout->QuadPart == 0;
    if (!poll && self->irql >= DISPATCH_LEVEL)
        Verify(std::string(routine) + " waits at IRQL " + std::to_string(self->irql) +
               " (only a zero time-out is allowed at DISPATCH_LEVEL)");
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        Verify(std::string(routine) + " with " + std::to_string(count) + " objects");
        return STATUS_INVALID_PARAMETER;
    }
    if (count > THREAD_WAIT_OBJECTS && !waitBlocks)
        Verify(std::string(routine) + " on more than THREAD_WAIT_OBJECTS objects without a wait block array");
    for (ULONG i = 0; i < count; i++) CheckObject(objects[i], routine);

    std::unique_lock<std::mutex> lk(K.mu);
    auto hdr = [&](ULONG i) { return static_cast<DISPATCHER_HEADER*>(objects[i]); };
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; i++) {
            if (SignalledFor(hdr(i), self))
                return (Consume(hdr(i), self) ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + (NTSTATUS)i;
        }
    } else {
        bool all = true;
        for (ULONG i = 0; i < count && all; i++) all = SignalledFor(hdr(i), self);
        if (all) {
            bool abandoned = false;
            for (ULONG i = 0; i < count; i++) abandoned |= Consume(hdr(i), self);
            return abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
        }
    }
    if (poll) return STATUS_TIMEOUT;
    int64_t due = timeout ? ToAbsoluteDue(*timeout) : INT64_MAX;
    if (timeout && due <= CurrentTime()) return STATUS_TIMEOUT;

    std::vector<KWAIT_BLOCK> spill;
    KWAIT_BLOCK* blocks = waitBlocks;
    if (!blocks) {
        if (count <= THREAD_WAIT_OBJECTS) {
            blocks = self->ownBlocks;
        } else {
            spill.resize(count);
            blocks = spill.data();
        }
    }
    for (ULONG i = 0; i < count; i++) {
        KWAIT_BLOCK& b = blocks[i];
        b.Thread = &self->object->Tcb;
        b.Object = objects[i];
        b.WaitKey = (USHORT)i;
        b.WaitType = (UCHAR)type;
        InsertTailList(&hdr(i)->WaitListHead, &b.WaitListEntry);
        Arm(objects[i], "object with a waiting thread");
    }
    self->blocks = blocks;
    self->blockCount = count;
    self->waitType = type;
    self->waitCall = routine;
    self->hasTimeout = false;
    if (timeout) {
        TimelineEntry e;
        e.kind = EntryKind::WaitTimeout;
        e.thread = self;
        self->timeoutKey = AddTimeline(due, std::move(e));
        self->hasTimeout = true;
    }
    Block(lk, self, WaitKind::Dispatcher);
    for (ULONG i = 0; i < count; i++) {
        RemoveEntryList(&blocks[i].WaitListEntry);
        Disarm(objects[i]);
    }
    if (self->hasTimeout) K.timeline.erase(self->timeoutKey);
    self->hasTimeout = false;
    self->blocks = nullptr;
    self->blockCount = 0;
    return self->waitStatus;
}

// A wait with no objects: the thread sleeps until `due`.
static void Sleep(SimThread* self, int64_t due, const char* routine)
{
    std::unique_lock<std::mutex> lk(K.mu);
    if (due <= CurrentTime()) return;
    TimelineEntry e;
    e.kind = EntryKind::WaitTimeout;
    e.thread = self;
    self->timeoutKey = AddTimeline(due, std::move(e));
    self->hasTimeout = true;
    self->blockCount = 0;
    self->waitCall = routine;
    Block(lk, self, WaitKind::Dispatcher);
    if (self->hasTimeout) K.timeline.erase(self->timeoutKey);
    self->hasTimeout = false;
}

void SleepFor(int64_t dt, const char* routine) { Sleep(Current(), CurrentTime() + dt, routine); }

static void InitHeader(DISPATCHER_HEADER* h, UCHAR type, LONG state)
{
    h->Type = type;
    h->Absolute = 0;
    h->Size = kHeaderCheck;
    h->Inserted = 0;
    h->SignalState = state;
    InitializeListHead(&h->WaitListHead);
}

void InitTimerHeader(KTIMER* timer, TIMER_TYPE type)
{
    InitHeader(&timer->Header, type == NotificationTimer ? KW_OBJ_TIMER_NOTIFICATION : KW_OBJ_TIMER_SYNCHRONIZATION, 0);
    timer->DueTime.QuadPart = 0;
    timer->Sequence = 0;
    timer->Dpc = nullptr;
    timer->Period = 0;
}

}  // namespace kwsim::detail

using namespace kwsim::detail;

extern "C" {

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    InitHeader(&Event->Header, Type == NotificationEvent ? KW_OBJ_EVENT_NOTIFICATION : KW_OBJ_EVENT_SYNCHRONIZATION,
               State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    CheckAtMostDispatch("KeSetEvent");
    CheckObject(Event, "KeSetEvent");
    std::lock_guard<std::mutex> lk(K.mu);
    LONG prev = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    SignalObject(&Event->Header);
    return prev;
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    CheckAtMostDispatch("KePulseEvent");
    CheckObject(Event, "KePulseEvent");
    std::lock_guard<std::mutex> lk(K.mu);
    LONG prev = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    SignalObject(&Event->Header);
    Event->Header.SignalState = 0;
    return prev;
}

LONG KeResetEvent(PRKEVENT Event)
{
    CheckAtMostDispatch("KeResetEvent");
    CheckObject(Event, "KeResetEvent");
    std::lock_guard<std::mutex> lk(K.mu);
    LONG prev = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return prev;
}

void KeClearEvent(PRKEVENT Event)
{
    CheckObject(Event, "KeClearEvent");
    std::lock_guard<std::mutex> lk(K.mu);
    Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    CheckObject(Event, "KeReadStateEvent");
    std::lock_guard<std::mutex> lk(K.mu);
    return Event->Header.SignalState;
}

void KeInitializeMutex(PRKMUTEX Mutex, ULONG)
{
    InitHeader(&Mutex->Header, KW_OBJ_MUTANT, 1);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN)
{
    CheckAtMostDispatch("KeReleaseMutex");
    CheckObject(Mutex, "KeReleaseMutex");
    SimThread* self = Current();
    std::lock_guard<std::mutex> lk(K.mu);
    LONG prev = Mutex->Header.SignalState;
    if (!Mutex->OwnerThread || Mutex->OwnerThread->Sim != self) {
        Verify("KeReleaseMutex on " + Describe(Mutex) + " by thread '" + self->name + "', which does not own it");
        return prev;
    }
    Mutex->Header.SignalState++;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        auto& owned = self->ownedMutexes;
        owned.erase(std::find(owned.begin(), owned.end(), Mutex));
        SignalObject(&Mutex->Header);
    }
    return prev;
}

LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    std::lock_guard<std::mutex> lk(K.mu);
    return Mutex->Header.SignalState;
}

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    InitHeader(&Semaphore->Header, KW_OBJ_SEMAPHORE, Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN)
{
    CheckAtMostDispatch("KeReleaseSemaphore");
    CheckObject(Semaphore, "KeReleaseSemaphore");
    std::lock_guard<std::mutex> lk(K.mu);
    LONG prev = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || prev > Semaphore->Limit - Adjustment) {
        // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here.
        Verify("KeReleaseSemaphore by " + std::to_string(Adjustment) + " exceeds the limit of " + Describe(Semaphore));
        return prev;
    }
    Semaphore->Header.SignalState += Adjustment;
    SignalObject(&Semaphore->Header);
    return prev;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    std::lock_guard<std::mutex> lk(K.mu);
    return Semaphore->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout)
{
    PVOID objects[1] = {Object};
    return WaitFor(1, objects, WaitAny, Timeout, nullptr, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON, KPROCESSOR_MODE,
                                  BOOLEAN, PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray)
{
    return WaitFor(Count, Object, WaitType, Timeout, WaitBlockArray, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    SimThread* self = Current();
    if (self->irql > APC_LEVEL)
        Verify("KeDelayExecutionThread called at IRQL " + std::to_string(self->irql));
    Sleep(self, ToAbsoluteDue(*Interval), "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

// A busy wait on a real processor; here the stalling thread simply lets virtual time
// pass, so a driver polling hardware with it sees the hardware move.
void KeStallExecutionProcessor(ULONG MicroSeconds)
{
    SleepFor((int64_t)MicroSeconds * kwsim::kUs, "KeStallExecutionProcessor");
}

}  // extern "C"
