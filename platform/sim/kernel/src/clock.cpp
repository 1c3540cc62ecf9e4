// Kernel time services and the real-time clock mode.
#include "kernel_internal.h"

namespace kwsim::detail {

// 2026-01-01 00:00:00 UTC in 100-ns units since 1601-01-01.
constexpr int64_t kSystemTimeAtBoot = 134116992000000000LL;
constexpr ULONG kClockIncrement = 156250;  // 15.625 ms, the default clock tick
constexpr ULONG kFinestResolution = 5000;  // 0.5 ms

// In real-time mode a plain OS thread (not a sim thread) fires due events when the wall
// clock reaches them; sim threads keep running meanwhile, as on a real machine.
static void ClockMain()
{
    std::unique_lock<std::mutex> lk(K.mu);
    while (!K.clockStop) {
        if (K.timeline.empty()) {
            K.clockCv.wait(lk);
            continue;
        }
        int64_t due = K.timeline.begin()->first.due;
        auto deadline = K.wallBase + std::chrono::nanoseconds((due - K.virtBase) * 100);
        if (std::chrono::steady_clock::now() < deadline) {
            K.clockCv.wait_until(lk, deadline);
            continue;
        }
        if (due > K.now) K.now = due;
        FireDue(lk);
        if (K.runnable == 0) Quiesce(lk);  // wakes threads settling at rest
    }
}

void StartRealTimeClock()
{
    K.virtBase = K.now;
    K.wallBase = std::chrono::steady_clock::now();
    K.clockStop = false;
    K.clockThread = std::thread(ClockMain);
}

void StopRealTimeClock(std::unique_lock<std::mutex>& lk)
{
    int64_t now = CurrentTime();
    K.clockStop = true;
    K.clockCv.notify_all();
    lk.unlock();
    K.clockThread.join();
    lk.lock();
    if (now > K.now) K.now = now;
}

}  // namespace kwsim::detail

namespace kwsim {
int64_t SystemTimeAtBoot() { return detail::kSystemTimeAtBoot; }
}

using namespace kwsim::detail;

extern "C" {

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime_)
{
    CurrentTime_->QuadPart = kSystemTimeAtBoot + CurrentTime();
}

ULONGLONG KeQueryInterruptTime(void) { return (ULONGLONG)CurrentTime(); }

void KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = CurrentTime() / kClockIncrement; }

ULONG KeQueryTimeIncrement(void) { return kClockIncrement; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = kwsim::kSec;  // 10 MHz
    LARGE_INTEGER v;
    v.QuadPart = CurrentTime();
    return v;
}

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution)
{
    std::lock_guard<std::mutex> lk(K.mu);
    if (SetResolution) {
        ULONG r = DesiredTime < kFinestResolution ? kFinestResolution : DesiredTime;
        if (r > kClockIncrement) r = kClockIncrement;
        K.timerResolution = r;
    } else {
        K.timerResolution = kClockIncrement;
    }
    return K.timerResolution;
}

}  // extern "C"
