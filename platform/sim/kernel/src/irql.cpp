// Interrupt request levels (per thread) and spin locks.
#include <sched.h>

#include <cstdio>

#include "kernel_internal.h"
#include "simkernel/syncpoint.h"

using namespace kwsim::detail;

namespace {

std::string LockText(PKSPIN_LOCK lock)
{
    char buf[64];
    snprintf(buf, sizeof buf, "spin lock %p", (void*)lock);
    return buf;
}

// The lock word holds its owner's SimThread while taken. A waiter spins on the host
// processor; if the owner is itself blocked in the simulated kernel (a stall, or a
// forbidden wait), the waiter lets virtual time pass instead so the owner can go on.
void AcquireRaw(PKSPIN_LOCK lock, SimThread* self)
{
    const ULONG_PTR me = reinterpret_cast<ULONG_PTR>(self);
    ULONG_PTR cur = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (cur == me) {
        Verify(LockText(lock) + " acquired again by thread '" + self->name + "', which already holds it");
        return;
    }
    int64_t blockedSince = -1;
    int blockedChecks = 0;
    for (unsigned spins = 0;; spins++) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        if ((spins & 1023) != 1023) {
            __builtin_ia32_pause();
            continue;
        }
        SimThread* owner = reinterpret_cast<SimThread*>(expected);
        PassSyncPoint(kwsim::sync::kSpinLockOwnerCheck);
        WaitKind kind = owner->waitKind;
        // The owner seen by the failed exchange may have released the lock and gone on
        // (even to sleep) before its state was read: only an owner that still holds the
        // lock, and is found blocked at several checks in a row, counts as blocked.
        if (kind == WaitKind::None || __atomic_load_n(lock, __ATOMIC_ACQUIRE) != expected) {
            sched_yield();
            blockedSince = -1;
            blockedChecks = 0;
            continue;
        }
        int64_t now = kwsim::Now();
        if (blockedSince < 0) blockedSince = now;
        if (kind != WaitKind::Dispatcher && ++blockedChecks < 3) {
            sched_yield();
            continue;
        }
        if (kind != WaitKind::Dispatcher || now - blockedSince > kwsim::kSec)
            Fatal(LockText(lock) + ": thread '" + self->name + "' spins while the owner '" + owner->name +
                  "' is blocked\n" + kwsim::DescribeThreads());
        SleepFor(kwsim::kUs, "KeAcquireSpinLock");
    }
    self->spinLocksHeld++;
}

void ReleaseRaw(PKSPIN_LOCK lock, SimThread* self)
{
    const ULONG_PTR me = reinterpret_cast<ULONG_PTR>(self);
    ULONG_PTR cur = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (cur != me) {
        if (cur == 0)
            Verify(LockText(lock) + " released by thread '" + self->name + "' while it is not held");
        else
            Verify(LockText(lock) + " released by thread '" + self->name + "', but it is held by '" +
                   reinterpret_cast<SimThread*>(cur)->name + "'");
        return;
    }
    self->spinLocksHeld--;
    __atomic_store_n(lock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" {

volatile CHAR KeNumberProcessors = 1;

KIRQL KeGetCurrentIrql(void) { return Current()->irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    SimThread* self = Current();
    KIRQL old = self->irql;
    if (NewIrql < old)
        Verify("KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher IRQL " + std::to_string(old));
    self->irql = NewIrql;
    return old;
}

void KeLowerIrql(KIRQL NewIrql)
{
    SimThread* self = Current();
    if (NewIrql > self->irql)
        Verify("KeLowerIrql to " + std::to_string(NewIrql) + " from the lower IRQL " + std::to_string(self->irql));
    self->irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    SimThread* self = Current();
    KIRQL old = self->irql;
    if (old > DISPATCH_LEVEL) Verify("KeAcquireSpinLock at IRQL " + std::to_string(old));
    else self->irql = DISPATCH_LEVEL;
    AcquireRaw(SpinLock, self);
    return old;
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    SimThread* self = Current();
    if (self->irql < DISPATCH_LEVEL)
        Verify("KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(self->irql) + ", below DISPATCH_LEVEL");
    AcquireRaw(SpinLock, self);
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    SimThread* self = Current();
    ReleaseRaw(SpinLock, self);
    KeLowerIrql(NewIrql);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    SimThread* self = Current();
    if (self->irql < DISPATCH_LEVEL)
        Verify("KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(self->irql) + ", below DISPATCH_LEVEL");
    ReleaseRaw(SpinLock, self);
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }

}  // extern "C"
