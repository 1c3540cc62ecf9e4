// Sync points: named places in the simulated kernel (and, through KW_SYNC_POINT, in
// kernel code) where a test can park the next thread that passes, to force an
// interleaving. A parked thread is blocked in the simulated kernel, so the rest of the
// machine runs on (and time may pass) until the test releases it.
#pragma once

#include <string>

namespace kwsim {

// The places the simulated kernel offers.
namespace sync {
inline constexpr const char* kBeforeDpc = "BeforeDpc";                   // a DPC thread, before the routine
inline constexpr const char* kCancelBeforeRoutine = "IoCancelIrp";       // IoCancelIrp: Cancel set, cancel lock held
inline constexpr const char* kCsqInsert = "IoCsqInsertIrp";              // inserted, cancel routine not yet set
inline constexpr const char* kCompleteRequest = "IoCompleteRequest";    // before the completion walk
// A spin-lock waiter that found the lock taken, before it looks at the owner it saw.
inline constexpr const char* kSpinLockOwnerCheck = "KeAcquireSpinLockOwnerCheck";
}  // namespace sync

class SyncPoint {
public:
    // Arms `name`: the next `times` threads that pass it park there.
    explicit SyncPoint(std::string name, int times = 1);
    ~SyncPoint();  // releases whatever is still parked and disarms
    SyncPoint(const SyncPoint&) = delete;
    SyncPoint& operator=(const SyncPoint&) = delete;

    // Blocks the calling sim thread until `count` threads have parked here in all.
    void WaitUntilReached(int count = 1);
    int Reached() const;
    // Lets every parked thread go on (those arriving later park again while armed).
    void Release();
    void Disarm();

private:
    std::string name_;
};

}  // namespace kwsim
