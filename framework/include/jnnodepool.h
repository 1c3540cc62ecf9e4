// The fixed-size node pool behind the framework's linked lists: list nodes come from an
// array embedded in the list's owner, so adding to a list never allocates. CJnNodeList
// is the doubly linked list built from it (count and cursor included).
#pragma once

#include "kwplat/kernel.h"

struct JnListNode {
    JnListNode* pNext;
    JnListNode* pPrevious;
    PVOID pData;
};

class CJnNodePoolBase {
public:
    // A free node (cleared) or null when every node is in use.
    JnListNode* m_Allocate();
    // Returns a node; a node outside the array or one already free is refused with an
    // assertion print and false.
    bool m_Release(JnListNode* node);
    ULONG m_InUse() const;

protected:
    CJnNodePoolBase(JnListNode* nodes, UCHAR* inUse, ULONG count);

private:
    JnListNode* m_pNodes;
    UCHAR* m_pInUse;
    ULONG m_ulCount;
    LONG m_lFreeIndex;  // a node known to be free, or -1
};

template <ULONG N>
class CJnNodePool : public CJnNodePoolBase {
public:
    CJnNodePool() : CJnNodePoolBase(m_Nodes, m_InUseFlags, N) {}

private:
    JnListNode m_Nodes[N];
    UCHAR m_InUseFlags[N];
};

// Not locked: the owner guards the list and its pool with its own lock.
class CJnNodeList {
public:
    explicit CJnNodeList(CJnNodePoolBase& pool) : m_pPool(&pool), m_pHead(nullptr), m_pTail(nullptr), m_pCursor(nullptr), m_ulCount(0) {}
    bool m_Add(PVOID data);          // false when the pool is exhausted
    bool m_Remove(PVOID data);       // false when data is not listed
    bool m_Contains(PVOID data) const;
    void m_RemoveAll();
    ULONG m_Count() const { return m_ulCount; }
    // Cursor walk: first, then next until null.
    PVOID m_First();
    PVOID m_Next();

private:
    JnListNode* m_Find(PVOID data) const;
    CJnNodePoolBase* m_pPool;
    JnListNode* m_pHead;
    JnListNode* m_pTail;
    JnListNode* m_pCursor;
    ULONG m_ulCount;
};
