// CJnDataBuffer: a length-counted byte buffer object. It carries write data into the bus
// driver and received data into the port driver; ownership passes with the call that hands
// it over, so the driver that frees it is often not the one that made it.
//
// For that reason a buffer remembers the memory pool it came from and gives its data and
// itself back to that pool: each driver has its own pool, and a block freed through the
// wrong one would stay in its owner's record and be freed a second time when that driver
// unloads. The object has no virtual functions, so nothing in it points into the code of
// the driver that made it. Buffers are created with sm_Create/sm_CreateCopy and destroyed
// with m_Delete; `delete` is not available. Data is non-paged: buffers are handed on at
// DISPATCH_LEVEL.
#pragma once

#include "jnmemorypool.h"

class CJnDataBuffer : public CJnObject {
public:
    // A buffer of ulLength bytes (contents undefined) from the driver's pool, or null when
    // the pool is missing or exhausted. A length of 0 gives a buffer without data.
    static CJnDataBuffer* sm_Create(ULONG ulLength);
    // A buffer holding a copy of ulLength bytes at pData (null pData only with length 0).
    static CJnDataBuffer* sm_CreateCopy(const void* pData, ULONG ulLength);

    // Frees the data and the object through the pool they came from.
    void m_Delete();

    ULONG m_GetLength() const { return m_ulLength; }
    PUCHAR m_GetData() const { return m_pucData; }
    CJnMemoryPool* m_GetAllocator() const { return m_pAllocator; }

    // Consumes ulCount bytes from the front in place: the data pointer moves on and the
    // length drops; the block's start is kept as the view base, so delete and append still
    // free the whole block. FALSE (nothing changed) when ulCount is longer than the buffer.
    BOOLEAN m_Consume(ULONG ulCount);
    // Shortens the buffer in place; FALSE (nothing changed) when ulLength is longer.
    BOOLEAN m_Truncate(ULONG ulLength);
    // Removes ulCount bytes at ulOffset, moving the rest down; FALSE (nothing changed) when
    // the range does not lie inside the buffer.
    BOOLEAN m_RemoveRange(ULONG ulOffset, ULONG ulCount);
    // Appends a copy of ulLength bytes; FALSE (nothing changed) when memory is short or the
    // length would overflow 32 bits.
    BOOLEAN m_Append(const void* pData, ULONG ulLength);

private:
    explicit CJnDataBuffer(CJnMemoryPool* pAllocator);
    ~CJnDataBuffer() {}
    static void operator delete(void* p) noexcept { CJnObject::operator delete(p); }

    // Start of the data block: the view base once the front has been consumed in place.
    PUCHAR m_Block() const { return m_pucViewBase ? m_pucViewBase : m_pucData; }
    static void sm_Free(CJnMemoryPool* pAllocator, void* p);

    PUCHAR m_pucData;          // first byte of the data
    PUCHAR m_pucViewBase;      // start of the block when m_pucData has moved into it, else null
    ULONG m_ulLength;          // bytes from m_pucData
    CJnMemoryPool* m_pAllocator;  // pool of the driver that made the buffer
};
