// How fast the simulated kernel runs: virtual seconds simulated per real second.
//
//   PeriodicTimer     a 1 ms periodic timer with a DPC (the pattern of every driver tick)
//   EventRing         64 threads pass a token around a ring of events, each holder
//                     sleeping 1 ms of virtual time before passing it on
//   OneShotTimers     10,000 one-shot timers spread over 10 virtual seconds
//
// Run: build/host/platform/sim/kwsim_kernel_bench
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "simkernel/sim.h"

using namespace kwsim;

namespace {

LARGE_INTEGER Rel(int64_t dt)
{
    LARGE_INTEGER t;
    t.QuadPart = -dt;
    return t;
}

struct Booted {
    Booted()
    {
        BootOptions o;
        o.threadName = "bench";
        Boot(o);
    }
    ~Booted() { Shutdown(); }
};

void PeriodicTimer(benchmark::State& state)
{
    const int64_t span = 100 * kSec;
    for (auto _ : state) {
        Booted sim;
        static long ticks;
        ticks = 0;
        KTIMER timer;
        KDPC dpc;
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { ticks++; }, nullptr);
        KeSetTimerEx(&timer, Rel(kMs), 1, &dpc);
        Advance(span);
        KeCancelTimer(&timer);
        KeFlushQueuedDpcs();
        if (ticks != span / kMs) state.SkipWithError("wrong tick count");
    }
    state.counters["virtual_s_per_real_s"] =
        benchmark::Counter((double)state.iterations() * span / kSec, benchmark::Counter::kIsRate);
    state.counters["timer_fires_per_s"] =
        benchmark::Counter((double)state.iterations() * span / kMs, benchmark::Counter::kIsRate);
}

void EventRing(benchmark::State& state)
{
    const int n = 64;
    const int hops = 20000;
    for (auto _ : state) {
        Booted sim;
        std::vector<KEVENT> events(n);
        for (auto& e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
        static std::atomic<int> left;
        left = hops;
        std::vector<ThreadRef> threads;
        for (int i = 0; i < n; i++)
            threads.push_back(StartThread("ring", [&, i] {
                for (;;) {
                    KeWaitForSingleObject(&events[i], Executive, KernelMode, FALSE, nullptr);
                    int l = --left;
                    if (l >= 0) {
                        LARGE_INTEGER d = Rel(kMs);
                        KeDelayExecutionThread(KernelMode, FALSE, &d);
                    }
                    KeSetEvent(&events[(i + 1) % n], 0, FALSE);
                    if (l < 0) return;
                }
            }));
        KeSetEvent(&events[0], 0, FALSE);
        for (auto& t : threads) Join(t);
    }
    state.counters["virtual_s_per_real_s"] =
        benchmark::Counter((double)state.iterations() * hops * kMs / kSec, benchmark::Counter::kIsRate);
    state.counters["hops_per_s"] = benchmark::Counter((double)state.iterations() * hops, benchmark::Counter::kIsRate);
}

void OneShotTimers(benchmark::State& state)
{
    const int n = 10000;
    const int64_t span = 10 * kSec;
    for (auto _ : state) {
        Booted sim;
        static std::atomic<int> fired;
        fired = 0;
        std::vector<KTIMER> timers(n);
        std::vector<KDPC> dpcs(n);
        std::mt19937 rng(1);
        for (int i = 0; i < n; i++) {
            KeInitializeTimer(&timers[i]);
            KeInitializeDpc(&dpcs[i], [](PKDPC, PVOID, PVOID, PVOID) { fired++; }, nullptr);
            KeSetTimer(&timers[i], Rel(1 + (int64_t)(rng() % span)), &dpcs[i]);
        }
        Advance(span);
        KeFlushQueuedDpcs();
        if (fired != n) state.SkipWithError("not every timer fired");
    }
    state.counters["virtual_s_per_real_s"] =
        benchmark::Counter((double)state.iterations() * span / kSec, benchmark::Counter::kIsRate);
    state.counters["timers_per_s"] = benchmark::Counter((double)state.iterations() * n, benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(PeriodicTimer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(EventRing)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(OneShotTimers)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
