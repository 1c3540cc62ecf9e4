// CJnControlQueue: the serial port's wait mask, the comm events received so far and the one
// IOCTL_SERIAL_WAIT_ON_MASK request that waits for them. The request completes as soon as
// an event in the mask has been recorded, with those events as its 32-bit event word.
#pragma once

#include "jnirpqueue.h"

class CJnControlQueue : public CJnIrpQueue {
public:
    static const ULONG kTraceChannel = 30;
    // SERIAL_EV_RXCHAR to SERIAL_EV_EVENT2, without SERIAL_EV_PERR: the events a wait returns.
    static const ULONG kResolvableEvents = 0x1DFF;

    CJnControlQueue();
    ~CJnControlQueue();

    // A WAIT_ON_MASK request: 0 when it was completed at once (an event is already
    // recorded), STATUS_PENDING when held, otherwise the status it was completed with
    // (mask 0 or a wait already held: STATUS_INVALID_PARAMETER, event word 0, information 4).
    NTSTATUS m_QueueIrp(PIRP irp);
    // Completes the given request (not queued) or else the held one when a recorded event
    // is in the mask; TRUE when a request was completed.
    BOOLEAN m_ResolveCurrentEventMask(PIRP irp);
    // Records events whatever the mask (the mask applies when resolving).
    void m_SetCommEventsReceived(ULONG events);
    void m_ClearCommEvents(ULONG events);
    ULONG m_GetCommEventsReceived();
    ULONG m_GetWaitMask();
    // TRUE when every one of the given event bits is in the mask.
    BOOLEAN m_IsInMask(ULONG events);
    // A new mask (validated by the caller): the recorded events are cleared and a held
    // request completes with event word 0.
    void m_SetWaitMask(ULONG mask);
    // Completes a held request with STATUS_CANCELLED, information 0.
    void m_CancelWait();

private:
    NTSTATUS m_OnInsert(PIRP irp, PVOID context) override;
    void m_OnCancel(PIRP irp, ULONG state) override;
    // Under the lock: decides the held request with an event word.
    void m_DecideHeld(PIRP irp, NTSTATUS status, ULONG eventWord, ULONG_PTR information);
    static void sm_SetEventWord(PIRP irp, ULONG eventWord);
    static void sm_CompleteNow(PIRP irp, NTSTATUS status, ULONG eventWord);

    ULONG m_ulWaitMask;
    ULONG m_ulEventsReceived;
    LIST_ENTRY m_Pending;
    ULONG m_ulPendingCount;
};
