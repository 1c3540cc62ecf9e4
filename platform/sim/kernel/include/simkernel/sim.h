// Control surface of the simulated kernel for tests, the simulator tool and the other
// parts of the simulated PC (USB host, chip, wire). Drivers never include this.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kwplat/kernel.h"

namespace kwsim {

// Virtual time is counted in 100-ns units, like every kernel time value.
constexpr int64_t kUs = 10;
constexpr int64_t kMs = 10'000;
constexpr int64_t kSec = 10'000'000;

enum class ClockMode {
    Auto,     // when every sim thread is blocked, time jumps to the next due event
    Stepped,  // time moves only inside Advance()
    RealTime  // time follows the wall clock
};

enum class ReportKind { Verifier, Leak, Deadlock, BugCheck, DebugBreak };
const char* ReportKindName(ReportKind kind);

struct Report {
    ReportKind kind;
    std::string text;
};

struct BootOptions {
    ClockMode clock = ClockMode::Auto;
    int processors = 1;
    // Receives every verifier report, leak and debug break as it happens. Without a
    // handler reports are printed to stderr and kept for TakeReports().
    std::function<void(const Report&)> onReport;
    // DbgPrint output is always kept; echo copies it to stderr as well.
    bool echoDebugOutput = false;
    // Windows version the simulated PC reports (IoIsWdmVersionAvailable, PsGetVersion).
    ULONG osMajor = 6;
    ULONG osMinor = 1;
    ULONG osBuild = 7601;
    // Memory class MmQuerySystemSize reports (a PC of today is a large system).
    MM_SYSTEMSIZE systemSize = MmLargeSystem;
    // Name of the sim thread the booting thread becomes.
    const char* threadName = "test";
};

// Boot a fresh simulated kernel; the calling thread becomes a sim thread ("test").
void Boot(const BootOptions& options = {});
// Let every other sim thread come to rest (time does not move), report what is left
// (pool blocks, threads, handles, object references, timers, DPCs), stop all threads
// and reset the kernel. Returns the leak reports (they also reach the report handler).
std::vector<Report> Shutdown();
bool IsBooted();

// ---- clock ----
int64_t Now();                  // interrupt time: 100 ns since boot
int64_t SystemTimeAtBoot();     // KeQuerySystemTime() at boot
ClockMode GetClockMode();
void SetClockMode(ClockMode mode);
// Stepped mode: let time run for dt (events fall due in order, each after the machine
// has come to rest). In auto mode the same as a delay of the calling thread.
void Advance(int64_t dt);
void AdvanceTo(int64_t when);
// Wait until every other sim thread is blocked; time does not move.
void Settle();

// ---- threads ----
// Registers the calling OS thread as a sim thread (it counts as runnable).
void RegisterThread(const char* name);
void UnregisterThread();
bool IsSimThread();
void SetThreadName(const char* name);
// A sim thread running fn at PASSIVE_LEVEL; Join waits for it through the dispatcher.
struct ThreadRef {
    PKTHREAD thread = nullptr;
};
ThreadRef StartThread(const char* name, std::function<void()> fn);
void Join(ThreadRef& ref);
// One line per sim thread: name, state, IRQL and what it waits on.
std::string DescribeThreads();

// ---- service threads ----
// An internal sim thread of the simulated PC's own services (the USB host's completions,
// later the Plug and Play and power managers): it runs posted work in order at `irql`,
// is not reported as a leak, and ends at Shutdown unless stopped before.
struct ServiceThread;
ServiceThread* StartServiceThread(const std::string& name, KIRQL irql);
// Queues fn; callable from any context, hardware callbacks included. The thread counts as
// runnable from this call until the queue is empty, so the machine does not rest (and
// time does not move) while posted work waits. fn must return at `irql`, holding no lock.
void PostToServiceThread(ServiceThread* service, std::function<void()> fn);
// Runs what is still queued and ends the thread. Called from a sim thread other than the
// service thread; the pointer stays valid (posting to it is then refused) until Shutdown.
void StopServiceThread(ServiceThread* service);

// ---- hardware timeline ----
// Run fn at virtual time `due` outside every sim thread's context (the model of a
// piece of hardware). It may signal objects, queue DPCs and schedule more callbacks,
// but must not wait. Returns an id for Cancel.
uint64_t ScheduleAt(int64_t due, std::function<void()> fn);
bool CancelScheduled(uint64_t id);

// ---- reports ----
void ReportProblem(ReportKind kind, const std::string& text);
std::vector<Report> TakeReports();

// ---- pool ----
struct PoolBlock {
    const void* address;
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    uint64_t serial;  // 1 for the first allocation after boot
};
std::vector<PoolBlock> LivePoolBlocks();
uint64_t PoolAllocationCount();           // allocations attempted since boot
void PoolFailNth(uint64_t n);             // fail the n-th attempt from now (1 = the next one)
void PoolFailTag(ULONG tag, int64_t count = -1);  // fail allocations of a tag (count, or all)
void PoolClearFaults();
std::string TagName(ULONG tag);

// ---- debug output ----
std::string DebugOutput();
void ClearDebugOutput();

// ---- drivers ----
void SetModuleDirectory(const std::string& dir);
struct LoadedDriver {
    PDRIVER_OBJECT driverObject = nullptr;
    NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
    void* module = nullptr;
};
// Load "name" (or a path) as a driver module and run its DriverEntry at PASSIVE_LEVEL
// with the service key "\Registry\Machine\System\CurrentControlSet\Services\<name>".
// A module that cannot be opened gives STATUS_DRIVER_UNABLE_TO_LOAD. A failing
// DriverEntry unloads the module again without calling DriverUnload.
LoadedDriver LoadDriver(const std::string& name);
// Call DriverUnload and unload the module; refuses (false) a driver without DriverUnload.
bool UnloadDriver(LoadedDriver& driver);

}  // namespace kwsim

#ifndef STATUS_DRIVER_UNABLE_TO_LOAD
#  define STATUS_DRIVER_UNABLE_TO_LOAD ((NTSTATUS)0xC000026CL)
#endif
