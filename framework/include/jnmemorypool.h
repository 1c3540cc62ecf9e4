// CJnMemoryPool: the framework's allocator. Every framework object and buffer comes from
// it; it records every live allocation so that whatever is left when the driver unloads
// is freed with the last reference.
//
// One pool per driver (module-private), created by the first reference and destroyed by
// the last. Framework classes derive from CJnObject, whose operator new and delete use
// the pool; raw buffers use JnAllocate/JnFree.
#pragma once

#include "kwplat/kernel.h"

class CJnMemoryPool {
public:
    static const ULONG kObjectTag = KW_TAG("JnKO");
    static const ULONG kRecordTag = KW_TAG("JnKP");
    static const ULONG kAllocationTag = KW_TAG("JnKi");
    static const ULONG kSlotsPerBlock = 100;

    // Reference counting of the driver's pool: the first reference creates it (null when
    // that fails), the last release frees every recorded allocation and the pool.
    static CJnMemoryPool* sm_AddReference();
    static void sm_Release();
    static CJnMemoryPool* sm_Get() { return sm_pPool; }
    static LONG sm_ReferenceCount() { return sm_lReferences; }

    // Allocates and records; null when the pool or the record cannot grow.
    void* m_Allocate(SIZE_T size, POOL_TYPE poolType);
    // Removes p from the record: STATUS_INVALID_PARAMETER when the record does not hold
    // it. The caller releases the memory with ExFreePool in both cases.
    NTSTATUS m_Free(void* p);
    // Frees every recorded allocation and shrinks the record to its first block.
    void m_FreeAll();
    // Memory whose ownership passes to the system (IDs, texts, device relations that the
    // Plug and Play manager frees with ExFreePool) must not stay in the record, or the
    // free-all at unload would free it a second time: allocate it outside the record.
    static void* sm_AllocateForSystem(SIZE_T size, POOL_TYPE poolType);

    ULONG m_RecordedCount();
    const char* m_Name() const { return "DuZodav"; }
    NTSTATUS m_Status() const { return m_status; }

private:
    struct RecordBlock {
        RecordBlock* pNext;
        void* slots[kSlotsPerBlock];
    };

    CJnMemoryPool();
    ~CJnMemoryPool();
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* p) noexcept;

    RecordBlock* m_LastBlock(RecordBlock** pPrevious);

    static CJnMemoryPool* sm_pPool;
    static LONG sm_lReferences;

    NTSTATUS m_status;
    RecordBlock m_first;
    RecordBlock* m_pLast;  // the last block of the chain: allocation does not walk it
    ULONG m_ulNextSlot;    // next free slot in the last block
    KSPIN_LOCK m_lock;
};

// Allocates from the driver's pool (null without a pool or when it is exhausted).
void* JnAllocate(SIZE_T size, POOL_TYPE poolType = NonPagedPool);
// Returns memory from JnAllocate (or memory the pool does not record) to the system.
void JnFree(void* p);

// Base of framework objects: `new` and `delete` go through the driver's pool. A failed
// allocation yields null (kernel code is built with -fcheck-new).
class CJnObject {
public:
    static void* operator new(size_t size) noexcept { return JnAllocate(size, NonPagedPool); }
    static void* operator new(size_t size, POOL_TYPE poolType) noexcept { return JnAllocate(size, poolType); }
    static void* operator new[](size_t size) noexcept { return JnAllocate(size, NonPagedPool); }
    static void operator delete(void* p) noexcept { JnFree(p); }
    static void operator delete(void* p, POOL_TYPE) noexcept { JnFree(p); }
    static void operator delete[](void* p) noexcept { JnFree(p); }
};
