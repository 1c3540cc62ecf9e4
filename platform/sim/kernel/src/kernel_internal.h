// Internal state of the simulated kernel, shared by its translation units.
//
// One dispatcher lock (Kernel::mu) guards every dispatcher object, the timeline, the
// DPC queues and the thread table, as the dispatcher database lock does on Windows.
// Driver code is never called with it held.
#pragma once

#include <pthread.h>
#include <setjmp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "simkernel/sim.h"

struct _OBJECT_TYPE {
    const char* name;
    bool ownLeakReport = false;  // leaks of these objects are reported by their manager
    // What the leak report adds about an object of this type (optional).
    std::string (*describe)(const void* body) = nullptr;
};

namespace kwsim::detail {
struct SimThread;
}

struct _KTHREAD {
    DISPATCHER_HEADER Header;
    kwsim::detail::SimThread* Sim;
};
struct _ETHREAD {
    _KTHREAD Tcb;
};

namespace kwsim::detail {

constexpr UCHAR kHeaderCheck = 0x5A;  // DISPATCHER_HEADER.Size of initialised objects

struct TimelineKey {
    int64_t due;
    uint64_t seq;
    bool operator<(const TimelineKey& o) const { return due != o.due ? due < o.due : seq < o.seq; }
};

enum class EntryKind { Timer, WaitTimeout, Hardware };

struct TimelineEntry {
    EntryKind kind;
    KTIMER* timer = nullptr;
    SimThread* thread = nullptr;
    std::function<void()> fn;
    uint64_t id = 0;
};

enum class WaitKind { None, Dispatcher, Idle, Settle, DpcFlush, Hardware, Parked };

struct SimThread {
    uint64_t id = 0;
    std::string name;
    _ETHREAD* object = nullptr;  // thread object (owned through its object header)
    pthread_t pthread{};
    bool ownsPthread = false;    // created by the sim (joined at shutdown)
    bool internal = false;       // part of the sim (DPC threads): not a leak
    bool external = false;       // registered from outside (the test thread)

    // Per-thread processor state.
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    std::vector<KMUTEX*> ownedMutexes;
    KPRIORITY priority = 8;
    int cpu = 0;

    // Scheduling: runnable is counted in Kernel::runnable.
    bool runnable = true;
    bool terminated = false;
    bool kill = false;
    std::condition_variable cv;

    // Current wait.
    std::atomic<WaitKind> waitKind{WaitKind::None};
    bool woken = false;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    KWAIT_BLOCK* blocks = nullptr;
    ULONG blockCount = 0;
    WAIT_TYPE waitType = WaitAny;
    KWAIT_BLOCK ownBlocks[THREAD_WAIT_OBJECTS + 1];
    bool hasTimeout = false;
    TimelineKey timeoutKey{};
    const char* waitCall = "";

    // Start routine of a system thread.
    PKSTART_ROUTINE start = nullptr;
    PVOID startContext = nullptr;
    std::function<void()> fn;
    // PsTerminateSystemThread leaves the driver's frames by jumping back to the start of
    // the thread: unwinding through them could touch a module that is already unloaded.
    jmp_buf exitJump;
};

struct Cpu {
    int index = 0;
    LIST_ENTRY queue;
    SimThread* thread = nullptr;
    bool busy = false;
    bool stop = false;
};

struct ObjectHeader {
    uint64_t magic;
    const _OBJECT_TYPE* type;
    std::atomic<intptr_t> refs;
    void (*destroy)(void* body);
};
constexpr uint64_t kObjectMagic = 0x4F424A4B57534D31ull;  // "OBJKWSM1"

struct Kernel {
    std::mutex mu;
    bool booted = false;
    BootOptions options;
    SimThread* bootThread = nullptr;

    // Clock.
    std::atomic<int64_t> now{0};
    std::atomic<ClockMode> mode{ClockMode::Auto};
    int64_t allowedUntil = INT64_MAX;
    std::map<TimelineKey, TimelineEntry> timeline;
    uint64_t nextSeq = 1;
    uint64_t nextHardwareId = 1;
    std::unordered_map<uint64_t, TimelineKey> hardwareIds;
    ULONG timerResolution = 156250;

    // Real-time mode.
    std::thread clockThread;
    std::condition_variable clockCv;
    bool clockStop = false;
    std::chrono::steady_clock::time_point wallBase;
    int64_t virtBase = 0;

    // Threads.
    std::vector<std::unique_ptr<SimThread>> threads;
    int runnable = 0;
    uint64_t nextThreadId = 1;
    std::vector<SimThread*> settleWaiters;
    SimThread hardware;  // context of hardware callbacks

    // DPCs.
    std::vector<std::unique_ptr<Cpu>> cpus;
    std::vector<SimThread*> flushWaiters;

    // Objects and handles.
    std::unordered_map<uintptr_t, void*> handles;
    uintptr_t nextHandle = 4;
    std::set<ObjectHeader*> objects;

    // Kernel objects in driver memory that the kernel still links to: a timer on the
    // timeline, a queued DPC, an object with waiters. Freeing pool that holds one is
    // caught by the verifier.
    std::multimap<uintptr_t, const char*> armed;

    // Reports and debug output have their own locks: they are written from anywhere.
    std::mutex reportMu;
    std::vector<Report> reports;
    std::mutex debugMu;
    std::string debugOutput;
};

extern Kernel K;
extern thread_local SimThread* tlsCurrent;

// Calling thread's sim context; a thread that is not a sim thread is a fatal misuse.
SimThread* Current();
[[noreturn]] void Fatal(const std::string& text);
void Verify(const std::string& text);  // verifier report
std::string Describe(const void* object);
std::string FormatTime(int64_t t);
std::string SymbolName(const void* address);

// Scheduler (K.mu held unless stated).
void Wake(SimThread* t, NTSTATUS status);
void Block(std::unique_lock<std::mutex>& lk, SimThread* self, WaitKind kind);
bool Quiesce(std::unique_lock<std::mutex>& lk);
void FireDue(std::unique_lock<std::mutex>& lk);
TimelineKey AddTimeline(int64_t due, TimelineEntry entry);
void NotifyClock();
SimThread* NewThread(const std::string& name);
void ThreadExit(SimThread* self);  // K.mu not held; the caller then leaves the OS thread
void LaunchThread(SimThread* t);
void KillCurrentIfRequested(std::unique_lock<std::mutex>& lk, SimThread* self);
std::string DescribeThreadsLocked();
int64_t CurrentTime();
int64_t ToAbsoluteDue(const LARGE_INTEGER& t);  // relative (<0) or absolute system time

// Dispatcher (K.mu held).
void SignalObject(DISPATCHER_HEADER* header);
void AbandonMutexes(SimThread* t);
void ExpireTimer(KTIMER* timer);
bool InsertDpcLocked(KDPC* dpc, PVOID arg1, PVOID arg2);
void Arm(const void* p, const char* what);
void Disarm(const void* p);
void SleepFor(int64_t dt, const char* routine);
void PassSyncPoint(const char* name);  // K.mu not held
void ResetSyncPoints();  // K.mu held
void InitTimerHeader(KTIMER* timer, TIMER_TYPE type);

// DPC and clock lifecycle.
void StartCpus(int count);
void StopCpus(std::unique_lock<std::mutex>& lk);
void StartRealTimeClock();
void StopRealTimeClock(std::unique_lock<std::mutex>& lk);

// Objects.
void* AllocateObject(const _OBJECT_TYPE* type, size_t size, void (*destroy)(void*));
ObjectHeader* HeaderOf(const void* body);  // null when not a sim object
HANDLE InsertHandle(void* body);
intptr_t DereferenceLocked(void* body);
void CollectObjectLeaks(std::vector<std::string>& out);
void ResetObjects();

// Pool.
bool PoolAttempt(ULONG tag);  // an allocation attempt made without pool memory: false = fail it
void CollectPoolLeaks(std::vector<std::string>& out);
void ResetPool();
bool CheckFreeRange(const void* p, size_t size);  // false: the kernel still uses it

// Debug output.
void ResetDebug();

// Registry: the boot skeleton.
void ResetRegistry();

// Driver modules.
void CollectModuleLeaks(std::vector<std::string>& out);
void ResetLoader();

}  // namespace kwsim::detail
