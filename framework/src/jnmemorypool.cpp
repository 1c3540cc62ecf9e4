#include "jnmemorypool.h"

CJnMemoryPool* CJnMemoryPool::sm_pPool;
LONG CJnMemoryPool::sm_lReferences;

void* CJnMemoryPool::operator new(size_t size) noexcept
{
    return ExAllocatePoolWithTag(NonPagedPool, size, kObjectTag);
}

void CJnMemoryPool::operator delete(void* p) noexcept
{
    if (p) ExFreePoolWithTag(p, kObjectTag);
}

CJnMemoryPool::CJnMemoryPool() : m_status(STATUS_SUCCESS), m_pLast(&m_first), m_ulNextSlot(0)
{
    RtlZeroMemory(&m_first, sizeof m_first);
    KeInitializeSpinLock(&m_lock);
}

CJnMemoryPool::~CJnMemoryPool() { m_FreeAll(); }

CJnMemoryPool* CJnMemoryPool::sm_AddReference()
{
    if (!sm_pPool) {
        sm_pPool = new CJnMemoryPool();
        if (!sm_pPool) return nullptr;
    }
    sm_lReferences++;
    return sm_pPool;
}

void CJnMemoryPool::sm_Release()
{
    if (sm_lReferences <= 0) return;
    if (--sm_lReferences == 0) {
        delete sm_pPool;
        sm_pPool = nullptr;
    }
}

CJnMemoryPool::RecordBlock* CJnMemoryPool::m_LastBlock(RecordBlock** pPrevious)
{
    RecordBlock* previous = nullptr;
    RecordBlock* b = &m_first;
    while (b->pNext) {
        previous = b;
        b = b->pNext;
    }
    if (pPrevious) *pPrevious = previous;
    return b;
}

void* CJnMemoryPool::m_Allocate(SIZE_T size, POOL_TYPE poolType)
{
    void* p = ExAllocatePoolWithTag(poolType, size, kAllocationTag);
    if (!p) {
        m_status = STATUS_NO_MEMORY;
        return nullptr;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    RecordBlock* last = m_pLast;
    if (m_ulNextSlot == kSlotsPerBlock) {
        // The record grows by a zeroed block. If that fails the allocation fails, and the
        // record of every live allocation stays as it is.
        RecordBlock* block = static_cast<RecordBlock*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(RecordBlock), kRecordTag));
        if (!block) {
            KeReleaseSpinLock(&m_lock, irql);
            ExFreePoolWithTag(p, kAllocationTag);
            m_status = STATUS_NO_MEMORY;
            return nullptr;
        }
        RtlZeroMemory(block, sizeof *block);
        last->pNext = block;
        last = m_pLast = block;
        m_ulNextSlot = 0;
    }
    last->slots[m_ulNextSlot++] = p;
    KeReleaseSpinLock(&m_lock, irql);
    return p;
}

NTSTATUS CJnMemoryPool::m_Free(void* p)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    RecordBlock* previous;
    RecordBlock* last = m_LastBlock(&previous);
    for (RecordBlock* b = &m_first; b; b = b->pNext) {
        ULONG used = b == last ? m_ulNextSlot : kSlotsPerBlock;
        for (ULONG i = 0; i < used; i++) {
            if (b->slots[i] != p) continue;
            // The last recorded pointer takes the freed slot.
            b->slots[i] = last->slots[m_ulNextSlot - 1];
            last->slots[--m_ulNextSlot] = nullptr;
            RecordBlock* empty = nullptr;
            if (m_ulNextSlot == 0 && previous) {
                previous->pNext = nullptr;
                empty = last;
                m_pLast = previous;
                m_ulNextSlot = kSlotsPerBlock;
            }
            KeReleaseSpinLock(&m_lock, irql);
            if (empty) ExFreePoolWithTag(empty, kRecordTag);
            return STATUS_SUCCESS;
        }
    }
    KeReleaseSpinLock(&m_lock, irql);
    return STATUS_INVALID_PARAMETER;
}

void CJnMemoryPool::m_FreeAll()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    RecordBlock* chain = m_first.pNext;
    ULONG firstUsed = chain ? kSlotsPerBlock : m_ulNextSlot;
    ULONG lastUsed = m_ulNextSlot;
    RecordBlock first = m_first;
    RtlZeroMemory(&m_first, sizeof m_first);
    m_pLast = &m_first;
    m_ulNextSlot = 0;
    KeReleaseSpinLock(&m_lock, irql);

    for (ULONG i = 0; i < firstUsed; i++) ExFreePool(first.slots[i]);
    while (chain) {
        RecordBlock* next = chain->pNext;
        ULONG used = next ? kSlotsPerBlock : lastUsed;
        for (ULONG i = 0; i < used; i++) ExFreePool(chain->slots[i]);
        ExFreePoolWithTag(chain, kRecordTag);
        chain = next;
    }
}

ULONG CJnMemoryPool::m_RecordedCount()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    ULONG n = 0;
    for (RecordBlock* b = &m_first; b; b = b->pNext) n += b->pNext ? kSlotsPerBlock : m_ulNextSlot;
    KeReleaseSpinLock(&m_lock, irql);
    return n;
}

void* CJnMemoryPool::sm_AllocateForSystem(SIZE_T size, POOL_TYPE poolType)
{
    return ExAllocatePoolWithTag(poolType, size, kAllocationTag);
}

void* JnAllocate(SIZE_T size, POOL_TYPE poolType)
{
    CJnMemoryPool* pool = CJnMemoryPool::sm_Get();
    return pool ? pool->m_Allocate(size, poolType) : nullptr;
}

void JnFree(void* p)
{
    if (!p) return;
    if (CJnMemoryPool* pool = CJnMemoryPool::sm_Get()) pool->m_Free(p);
    ExFreePool(p);
}
