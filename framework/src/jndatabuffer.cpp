#include "jndatabuffer.h"

CJnDataBuffer::CJnDataBuffer(CJnMemoryPool* pAllocator)
    : m_pucData(nullptr), m_pucViewBase(nullptr), m_ulLength(0), m_pAllocator(pAllocator)
{
}

CJnDataBuffer* CJnDataBuffer::sm_Create(ULONG ulLength)
{
    CJnMemoryPool* pool = CJnMemoryPool::sm_Get();
    if (!pool) return nullptr;
    CJnDataBuffer* buffer = new CJnDataBuffer(pool);
    if (!buffer) return nullptr;
    if (ulLength) {
        buffer->m_pucData = static_cast<PUCHAR>(pool->m_Allocate(ulLength, NonPagedPool));
        if (!buffer->m_pucData) {
            buffer->m_Delete();
            return nullptr;
        }
        buffer->m_ulLength = ulLength;
    }
    return buffer;
}

CJnDataBuffer* CJnDataBuffer::sm_CreateCopy(const void* pData, ULONG ulLength)
{
    if (!pData && ulLength) return nullptr;
    CJnDataBuffer* buffer = sm_Create(ulLength);
    if (buffer && ulLength) RtlCopyMemory(buffer->m_pucData, pData, ulLength);
    return buffer;
}

void CJnDataBuffer::sm_Free(CJnMemoryPool* pAllocator, void* p)
{
    if (!p) return;
    pAllocator->m_Free(p);
    ExFreePool(p);
}

void CJnDataBuffer::m_Delete()
{
    CJnMemoryPool* pool = m_pAllocator;
    sm_Free(pool, m_Block());
    this->~CJnDataBuffer();
    sm_Free(pool, this);
}

BOOLEAN CJnDataBuffer::m_Consume(ULONG ulCount)
{
    if (ulCount > m_ulLength) return FALSE;
    if (!ulCount) return TRUE;
    if (!m_pucViewBase) m_pucViewBase = m_pucData;
    m_pucData += ulCount;
    m_ulLength -= ulCount;
    return TRUE;
}

BOOLEAN CJnDataBuffer::m_Truncate(ULONG ulLength)
{
    if (ulLength > m_ulLength) return FALSE;
    m_ulLength = ulLength;
    return TRUE;
}

BOOLEAN CJnDataBuffer::m_RemoveRange(ULONG ulOffset, ULONG ulCount)
{
    if (ulOffset > m_ulLength || ulCount > m_ulLength - ulOffset) return FALSE;
    ULONG tail = m_ulLength - ulOffset - ulCount;
    if (ulCount && tail) RtlMoveMemory(m_pucData + ulOffset, m_pucData + ulOffset + ulCount, tail);
    m_ulLength -= ulCount;
    return TRUE;
}

BOOLEAN CJnDataBuffer::m_Append(const void* pData, ULONG ulLength)
{
    if (!ulLength) return TRUE;
    if (!pData || ulLength > MAXULONG - m_ulLength) return FALSE;
    // The data moves to a block of the new size, so the front consumed so far is given back.
    ULONG total = m_ulLength + ulLength;
    PUCHAR block = static_cast<PUCHAR>(m_pAllocator->m_Allocate(total, NonPagedPool));
    if (!block) return FALSE;
    if (m_ulLength) RtlCopyMemory(block, m_pucData, m_ulLength);
    RtlCopyMemory(block + m_ulLength, pData, ulLength);
    sm_Free(m_pAllocator, m_Block());
    m_pucData = block;
    m_pucViewBase = nullptr;
    m_ulLength = total;
    return TRUE;
}
