// CJnQueueTimer: a kernel timer and its DPC as the request queues use them: each arming is
// made for one request (the "armed-for" tag), and a DPC run knows whether it comes for the
// arming that is current. A run that was already queued when its arming was cancelled or
// replaced finds nothing: cancelling clears the tag, and re-arming clears the timer's
// signal state until the new due time has come.
//
// Every call but m_Destroy is made under the owner's lock; the DPC routine takes that lock
// and asks m_Expired.
#pragma once

#include "kwplat/kernel.h"

class CJnQueueTimer {
public:
    // The longest wait the queues arm (about 14,600 years): longer timeouts never expire.
    static const LONGLONG kLongest = 0x4000000000000000LL;

    CJnQueueTimer() : m_pArmedFor(nullptr) {}
    void m_Initialize(PKDEFERRED_ROUTINE routine, PVOID context);

    // Milliseconds to 100-ns units, in 64 bits and clamped to kLongest.
    static LONGLONG sm_FromMilliseconds(ULONGLONG milliseconds);

    // (Re)arms the timer to expire after `interval` (100-ns units) for `armedFor`.
    void m_Arm(PVOID armedFor, LONGLONG interval);
    void m_Cancel();
    PVOID m_ArmedFor() const { return m_pArmedFor; }
    bool m_IsArmed() const { return m_pArmedFor != nullptr; }
    // In the DPC: the tag of the arming that has expired now (the timer is then disarmed),
    // or null for a stale run.
    PVOID m_Expired();
    bool m_Owns(PKDPC dpc) const { return dpc == &m_Dpc; }
    // After m_Cancel, without the owner's lock, at PASSIVE_LEVEL: waits until no DPC of
    // the timer is queued or running (a run still to come finds the timer disarmed).
    void m_Destroy();

private:
    KTIMER m_Timer;
    KDPC m_Dpc;
    PVOID m_pArmedFor;
};
