#include "jnnodepool.h"
#include "jndebugmanager.h"

namespace {
const char kSourcePath[] = "framework\\include\\jnnodepool";
}

CJnNodePoolBase::CJnNodePoolBase(JnListNode* nodes, UCHAR* inUse, ULONG count)
    : m_pNodes(nodes), m_pInUse(inUse), m_ulCount(count), m_lFreeIndex(count ? 0 : -1)
{
    RtlZeroMemory(nodes, count * sizeof(JnListNode));
    RtlZeroMemory(inUse, count);
}

JnListNode* CJnNodePoolBase::m_Allocate()
{
    LONG index = m_lFreeIndex;
    if (index < 0 || m_pInUse[index]) {
        index = -1;
        for (ULONG i = 0; i < m_ulCount; i++)
            if (!m_pInUse[i]) {
                index = (LONG)i;
                break;
            }
        if (index < 0) return nullptr;
    }
    m_pInUse[index] = 1;
    m_lFreeIndex = -1;
    JnListNode* node = &m_pNodes[index];
    RtlZeroMemory(node, sizeof *node);
    return node;
}

bool CJnNodePoolBase::m_Release(JnListNode* node)
{
    if (node < m_pNodes) {
        JnAssertPrint(kSourcePath, 116);
        return false;
    }
    if (node >= m_pNodes + m_ulCount) {
        JnAssertPrint(kSourcePath, 117);
        return false;
    }
    ULONG index = (ULONG)(node - m_pNodes);
    if (!m_pInUse[index]) {
        JnAssertPrint(kSourcePath, 122);
        return false;
    }
    m_pInUse[index] = 0;
    if (m_lFreeIndex < 0) m_lFreeIndex = (LONG)index;
    return true;
}

ULONG CJnNodePoolBase::m_InUse() const
{
    ULONG n = 0;
    for (ULONG i = 0; i < m_ulCount; i++) n += m_pInUse[i] != 0;
    return n;
}

bool CJnNodeList::m_Add(PVOID data)
{
    JnListNode* node = m_pPool->m_Allocate();
    if (!node) return false;
    node->pData = data;
    node->pPrevious = m_pTail;
    if (m_pTail) m_pTail->pNext = node;
    else m_pHead = node;
    m_pTail = node;
    m_ulCount++;
    return true;
}

JnListNode* CJnNodeList::m_Find(PVOID data) const
{
    for (JnListNode* n = m_pHead; n; n = n->pNext)
        if (n->pData == data) return n;
    return nullptr;
}

bool CJnNodeList::m_Contains(PVOID data) const { return m_Find(data) != nullptr; }

bool CJnNodeList::m_Remove(PVOID data)
{
    JnListNode* node = m_Find(data);
    if (!node) return false;
    if (m_pCursor == node) m_pCursor = node->pNext;
    if (node->pPrevious) node->pPrevious->pNext = node->pNext;
    else m_pHead = node->pNext;
    if (node->pNext) node->pNext->pPrevious = node->pPrevious;
    else m_pTail = node->pPrevious;
    m_ulCount--;
    m_pPool->m_Release(node);
    return true;
}

void CJnNodeList::m_RemoveAll()
{
    while (m_pHead) m_Remove(m_pHead->pData);
    m_pCursor = nullptr;
}

PVOID CJnNodeList::m_First()
{
    m_pCursor = m_pHead;
    return m_pCursor ? m_pCursor->pData : nullptr;
}

PVOID CJnNodeList::m_Next()
{
    if (m_pCursor) m_pCursor = m_pCursor->pNext;
    return m_pCursor ? m_pCursor->pData : nullptr;
}
