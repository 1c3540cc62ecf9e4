// Sim threads, the runnable count and virtual time.
//
// Every sim thread is a real OS thread. The kernel counts the ones that are runnable;
// a thread leaves the count only inside a sim primitive (Block) and is put back by the
// thread that wakes it, before it runs. When the count reaches zero the machine is at
// rest, and the thread that brought it there moves the clock to the next due event and
// fires it (Quiesce). So time never passes while any sim thread has work to do, and a
// timing result does not depend on the speed of the host.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "kernel_internal.h"

namespace kwsim::detail {

Kernel K;
thread_local SimThread* tlsCurrent = nullptr;

SimThread* Current()
{
    SimThread* t = tlsCurrent;
    if (!t) Fatal("a kernel routine was called from a thread that is not a sim thread");
    return t;
}

int64_t CurrentTime()
{
    int64_t now = K.now.load(std::memory_order_acquire);
    if (K.mode.load(std::memory_order_relaxed) == ClockMode::RealTime) {
        auto elapsed = std::chrono::steady_clock::now() - K.wallBase;
        int64_t wall = K.virtBase + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
        if (wall > now) now = wall;
    }
    return now;
}

int64_t ToAbsoluteDue(const LARGE_INTEGER& t)
{
    int64_t now = CurrentTime();
    if (t.QuadPart < 0) {
        int64_t rel = -t.QuadPart;
        return rel > INT64_MAX - now ? INT64_MAX : now + rel;
    }
    int64_t due = t.QuadPart - SystemTimeAtBoot();
    return due < 0 ? 0 : due;
}

std::string FormatTime(int64_t t)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%" PRId64 ".%04" PRId64 " ms", t / kMs, t % kMs);
    return buf;
}

void Wake(SimThread* t, NTSTATUS status)
{
    if (t->woken) return;
    t->woken = true;
    t->waitStatus = status;
    if (!t->runnable) {
        t->runnable = true;
        K.runnable++;
    }
    t->cv.notify_one();
}

void Block(std::unique_lock<std::mutex>& lk, SimThread* self, WaitKind kind)
{
    if (self == &K.hardware) {
        Verify("a hardware callback tried to wait");
        return;
    }
    self->woken = false;
    self->waitKind = kind;
    self->runnable = false;
    K.runnable--;
    for (;;) {
        if (self->woken) break;
        if (self->kill) {
            lk.unlock();
            pthread_exit(nullptr);
        }
        if (K.runnable == 0 && Quiesce(lk)) continue;
        self->cv.wait(lk);
    }
    self->waitKind = WaitKind::None;
}

[[noreturn]] static void Deadlock(const std::string& why)
{
    std::string text = "deadlock: " + why + " at " + FormatTime(K.now) + "\n" + DescribeThreadsLocked();
    fprintf(stderr, "\n[kwsim] %s\n", text.c_str());
    fflush(stderr);
    ReportProblem(ReportKind::Deadlock, text);
    fflush(stdout);
    std::abort();
}

static void RunHardware(std::unique_lock<std::mutex>& lk, std::function<void()>& fn)
{
    // The callback holds the machine awake while it runs without the lock.
    K.runnable++;
    SimThread* saved = tlsCurrent;
    tlsCurrent = &K.hardware;
    lk.unlock();
    fn();
    lk.lock();
    tlsCurrent = saved;
    K.runnable--;
}

void FireDue(std::unique_lock<std::mutex>& lk)
{
    while (!K.timeline.empty()) {
        auto it = K.timeline.begin();
        if (it->first.due > K.now.load()) break;
        TimelineEntry entry = std::move(it->second);
        K.timeline.erase(it);
        switch (entry.kind) {
        case EntryKind::Timer:
            ExpireTimer(entry.timer);
            break;
        case EntryKind::WaitTimeout:
            entry.thread->hasTimeout = false;
            Wake(entry.thread, STATUS_TIMEOUT);
            break;
        case EntryKind::Hardware:
            K.hardwareIds.erase(entry.id);
            RunHardware(lk, entry.fn);
            break;
        }
    }
}

static bool WakeSettleWaiters()
{
    if (K.settleWaiters.empty()) return false;
    for (SimThread* t : K.settleWaiters) Wake(t, STATUS_SUCCESS);
    K.settleWaiters.clear();
    return true;
}

bool Quiesce(std::unique_lock<std::mutex>& lk)
{
    while (K.runnable == 0) {
        if (WakeSettleWaiters()) return true;
        if (K.mode == ClockMode::RealTime) return false;  // the clock thread moves time
        if (K.timeline.empty()) Deadlock("every sim thread is blocked and nothing is due");
        int64_t due = K.timeline.begin()->first.due;
        if (due > K.allowedUntil)
            Deadlock("every sim thread is blocked and the stepped clock is not advancing (next event at " +
                     FormatTime(due) + ")");
        if (due > K.now) K.now = due;
        FireDue(lk);
    }
    return true;
}

TimelineKey AddTimeline(int64_t due, TimelineEntry entry)
{
    TimelineKey key{due, K.nextSeq++};
    bool first = K.timeline.empty() || key < K.timeline.begin()->first;
    K.timeline.emplace(key, std::move(entry));
    if (first && K.mode == ClockMode::RealTime) NotifyClock();
    return key;
}

void NotifyClock() { K.clockCv.notify_all(); }

SimThread* NewThread(const std::string& name)
{
    auto owned = std::make_unique<SimThread>();
    SimThread* t = owned.get();
    t->id = K.nextThreadId++;
    t->name = name;
    t->object = static_cast<_ETHREAD*>(AllocateObject(*PsThreadType, sizeof(_ETHREAD), nullptr));
    DISPATCHER_HEADER& h = t->object->Tcb.Header;
    h.Type = KW_OBJ_THREAD;
    h.Size = kHeaderCheck;
    h.SignalState = 0;
    InitializeListHead(&h.WaitListHead);
    t->object->Tcb.Sim = t;
    t->runnable = true;
    K.runnable++;
    K.threads.push_back(std::move(owned));
    return t;
}

// Ends a thread's life in the kernel: it is no longer runnable, its object is signalled
// and its own reference dropped. The caller then leaves the OS thread.
void ThreadExit(SimThread* self)
{
    if (self->irql != PASSIVE_LEVEL)
        Verify("thread '" + self->name + "' ended at IRQL " + std::to_string(self->irql));
    if (self->spinLocksHeld) Verify("thread '" + self->name + "' ended holding a spin lock");
    std::unique_lock<std::mutex> lk(K.mu);
    if (!self->ownedMutexes.empty()) {
        // Windows stops the machine here; the sim reports it and abandons the mutexes.
        Verify("thread '" + self->name + "' ended owning a mutex");
        AbandonMutexes(self);
    }
    self->terminated = true;
    if (self->object) {
        self->object->Tcb.Header.SignalState = 1;
        SignalObject(&self->object->Tcb.Header);
        DereferenceLocked(self->object);
    }
    // Leaving the runnable count is the last thing the thread does in the kernel.
    self->runnable = false;
    K.runnable--;
    if (K.runnable == 0) Quiesce(lk);
    tlsCurrent = nullptr;
}

static void* ThreadMain(void* arg)
{
    SimThread* t = static_cast<SimThread*>(arg);
    tlsCurrent = t;
    if (setjmp(t->exitJump) == 0) {
        if (t->fn)
            t->fn();
        else
            t->start(t->startContext);
        ThreadExit(t);
    }
    return nullptr;
}

void LaunchThread(SimThread* t)
{
    t->ownsPthread = true;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    if (pthread_create(&t->pthread, &attr, ThreadMain, t) != 0) Fatal("cannot create an OS thread");
    pthread_attr_destroy(&attr);
}

static const char* KindText(WaitKind kind)
{
    switch (kind) {
    case WaitKind::None: return "running";
    case WaitKind::Dispatcher: return "waiting";
    case WaitKind::Idle: return "idle";
    case WaitKind::Settle: return "settling";
    case WaitKind::DpcFlush: return "flushing DPCs";
    case WaitKind::Hardware: return "hardware";
    case WaitKind::Parked: return "parked at a sync point";
    }
    return "?";
}

std::string DescribeThreadsLocked()
{
    std::ostringstream out;
    for (auto& owned : K.threads) {
        SimThread* t = owned.get();
        if (t->terminated) continue;
        WaitKind kind = t->waitKind;
        out << "  thread '" << t->name << "' " << (t->runnable ? "runnable" : KindText(kind)) << " at IRQL "
            << int(t->irql);
        if (!t->runnable && kind == WaitKind::Dispatcher) {
            out << " in " << t->waitCall;
            if (t->blockCount == 0) out << " (delay)";
            for (ULONG i = 0; i < t->blockCount; i++)
                out << (i ? (t->waitType == WaitAll ? " and " : " or ") : " on ") << Describe(t->blocks[i].Object);
            if (t->hasTimeout)
                out << ", time-out at " << FormatTime(t->timeoutKey.due);
            else if (t->blockCount)
                out << ", no time-out";
        }
        if (!t->runnable && kind == WaitKind::Parked) out << " (" << t->waitCall << ")";
        out << "\n";
    }
    return out.str();
}

}  // namespace kwsim::detail

namespace kwsim {
using namespace detail;

int64_t Now() { return CurrentTime(); }
ClockMode GetClockMode() { return K.mode; }

void SetClockMode(ClockMode mode)
{
    std::unique_lock<std::mutex> lk(K.mu);
    if (K.mode == mode) return;
    if (K.mode == ClockMode::RealTime) StopRealTimeClock(lk);
    K.mode = mode;
    K.allowedUntil = mode == ClockMode::Stepped ? K.now.load() : INT64_MAX;
    if (mode == ClockMode::RealTime) StartRealTimeClock();
}

void AdvanceTo(int64_t when)
{
    SimThread* self = Current();
    std::unique_lock<std::mutex> lk(K.mu);
    if (K.mode == ClockMode::Stepped && when > K.allowedUntil) K.allowedUntil = when;
    if (when > CurrentTime()) {
        TimelineEntry e;
        e.kind = EntryKind::WaitTimeout;
        e.thread = self;
        self->timeoutKey = AddTimeline(when, std::move(e));
        self->hasTimeout = true;
        self->blockCount = 0;
        self->waitCall = "Advance";
        Block(lk, self, WaitKind::Dispatcher);
        if (self->hasTimeout) K.timeline.erase(self->timeoutKey);
        self->hasTimeout = false;
    }
    K.settleWaiters.push_back(self);
    Block(lk, self, WaitKind::Settle);
}

void Advance(int64_t dt) { AdvanceTo(CurrentTime() + dt); }

void Settle()
{
    SimThread* self = Current();
    std::unique_lock<std::mutex> lk(K.mu);
    K.settleWaiters.push_back(self);
    Block(lk, self, WaitKind::Settle);
}

void RegisterThread(const char* name)
{
    if (tlsCurrent) Fatal("RegisterThread: the thread is a sim thread already");
    std::unique_lock<std::mutex> lk(K.mu);
    if (!K.booted) Fatal("RegisterThread: the simulated kernel is not booted");
    SimThread* t = NewThread(name);
    t->external = true;
    t->pthread = pthread_self();
    tlsCurrent = t;
}

void UnregisterThread()
{
    SimThread* self = Current();
    if (!self->external) Fatal("UnregisterThread: the thread was not registered");
    ThreadExit(self);
}

bool IsSimThread() { return tlsCurrent != nullptr; }

void SetThreadName(const char* name)
{
    SimThread* self = Current();
    std::lock_guard<std::mutex> lk(K.mu);
    self->name = name;
}

ThreadRef StartThread(const char* name, std::function<void()> fn)
{
    SimThread* t;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        t = NewThread(name);
        t->fn = std::move(fn);
        HeaderOf(t->object)->refs++;  // the reference the ThreadRef holds
    }
    LaunchThread(t);
    return ThreadRef{&t->object->Tcb};
}

void Join(ThreadRef& ref)
{
    if (!ref.thread) return;
    KeWaitForSingleObject(ref.thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(ref.thread);
    ref.thread = nullptr;
}

std::string DescribeThreads()
{
    std::lock_guard<std::mutex> lk(K.mu);
    return DescribeThreadsLocked();
}

uint64_t ScheduleAt(int64_t due, std::function<void()> fn)
{
    std::lock_guard<std::mutex> lk(K.mu);
    if (due < K.now) due = K.now;
    TimelineEntry e;
    e.kind = EntryKind::Hardware;
    e.fn = std::move(fn);
    e.id = K.nextHardwareId++;
    uint64_t id = e.id;
    K.hardwareIds[id] = AddTimeline(due, std::move(e));
    return id;
}

bool CancelScheduled(uint64_t id)
{
    std::lock_guard<std::mutex> lk(K.mu);
    auto it = K.hardwareIds.find(id);
    if (it == K.hardwareIds.end()) return false;
    K.timeline.erase(it->second);
    K.hardwareIds.erase(it);
    return true;
}

}  // namespace kwsim
