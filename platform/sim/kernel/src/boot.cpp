// Boot and shutdown of the simulated kernel.
#include <cstdio>

#include "io_internal.h"
#include "wmi_internal.h"

namespace kwsim {
using namespace detail;

void Boot(const BootOptions& options)
{
    if (tlsCurrent) Fatal("Boot: the calling thread is a sim thread already");
    {
        std::lock_guard<std::mutex> lk(K.mu);
        if (K.booted) Fatal("Boot: the simulated kernel is running already");
        K.options = options;
        K.now = 0;
        K.mode = ClockMode::Auto;
        K.allowedUntil = INT64_MAX;
        K.timeline.clear();
        K.hardwareIds.clear();
        K.nextSeq = 1;
        K.nextHardwareId = 1;
        K.runnable = 0;
        K.nextThreadId = 1;
        K.timerResolution = 156250;
        K.hardware.name = "hardware";
        K.hardware.irql = DISPATCH_LEVEL;
        K.hardware.internal = true;
        K.booted = true;
    }
    ResetDebug();
    ResetRegistry();
    TakeReports();
    KeNumberProcessors = (CHAR)(options.processors < 1 ? 1 : options.processors);
    RegisterThread(options.threadName ? options.threadName : "test");
    K.bootThread = tlsCurrent;
    StartCpus(KeNumberProcessors);
    if (options.clock != ClockMode::Auto) SetClockMode(options.clock);
}

bool IsBooted()
{
    std::lock_guard<std::mutex> lk(K.mu);
    return K.booted;
}

static void CollectKernelLeaks(std::vector<std::string>& out)
{
    for (auto& owned : K.threads) {
        SimThread* t = owned.get();
        if (t->terminated || t->internal || t == K.bootThread) continue;
        out.push_back("thread '" + t->name + "' is still " + (t->external ? "registered with the simulated kernel" : "running"));
    }
    for (auto& [key, entry] : K.timeline) {
        if (entry.kind != EntryKind::Timer) continue;
        KTIMER* t = entry.timer;
        std::string what = "timer " + Describe(t) + " is still set (due at " + FormatTime(key.due) +
                           (t->Period ? ", periodic" : "") + ")";
        if (t->Dpc) what += " with DPC routine " + SymbolName((const void*)t->Dpc->DeferredRoutine);
        out.push_back(what);
    }
    for (auto& cpu : K.cpus) {
        for (PLIST_ENTRY e = cpu->queue.Flink; e != &cpu->queue; e = e->Flink) {
            KDPC* dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
            char buf[64];
            snprintf(buf, sizeof buf, "DPC %p", (void*)dpc);
            out.push_back(std::string(buf) + " (routine " + SymbolName((const void*)dpc->DeferredRoutine) +
                          ") is still queued");
        }
    }
}

std::vector<Report> Shutdown()
{
    SimThread* self = Current();
    if (self != K.bootThread) Fatal("Shutdown must be called by the thread that booted the kernel");

    // Everything else comes to rest first; time does not move.
    Settle();

    std::vector<std::string> leaks;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        CollectKernelLeaks(leaks);
        CollectWorkItemLeaks(leaks);
        CollectAppLeaks(leaks);
        CollectIoLeaks(leaks);
        CollectDeviceLeaks(leaks);
        CollectNamespaceLeaks(leaks);
        CollectObjectLeaks(leaks);
    }
    CollectWmiLeaks(leaks);
    CollectModuleLeaks(leaks);
    CollectPoolLeaks(leaks);
    std::vector<Report> out;
    for (auto& text : leaks) {
        ReportProblem(ReportKind::Leak, text);
        out.push_back({ReportKind::Leak, text});
    }

    std::vector<SimThread*> toJoin;
    {
        std::unique_lock<std::mutex> lk(K.mu);
        if (K.mode == ClockMode::RealTime) StopRealTimeClock(lk);
        K.mode = ClockMode::Auto;
        // Threads left blocked leave through their wait; the DPC threads stop.
        for (auto& owned : K.threads) {
            SimThread* t = owned.get();
            if (t == self || t->terminated) continue;
            if (!t->internal) {
                t->kill = true;
                t->terminated = true;
                t->cv.notify_one();
            }
        }
        StopCpus(lk);
        StopWorkers(lk);
        StopServiceThreads(lk);
        for (auto& owned : K.threads)
            if (owned->ownsPthread) toJoin.push_back(owned.get());
    }
    for (SimThread* t : toJoin) pthread_join(t->pthread, nullptr);

    {
        std::lock_guard<std::mutex> lk(K.mu);
        K.timeline.clear();
        K.hardwareIds.clear();
        K.cpus.clear();
        K.flushWaiters.clear();
        K.settleWaiters.clear();
        K.armed.clear();
        ResetWorkers();
        ResetServiceThreads();
        ResetIo();
        ResetSyncPoints();
        ResetObjects();
    }
    ResetWmi();
    ResetLoader();
    ResetPool();
    {
        std::lock_guard<std::mutex> lk(K.mu);
        K.threads.clear();
        K.runnable = 0;
        K.bootThread = nullptr;
        K.booted = false;
    }
    tlsCurrent = nullptr;
    return out;
}

}  // namespace kwsim
