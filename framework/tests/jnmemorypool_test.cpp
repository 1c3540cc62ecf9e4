// The framework memory pool: recording, record growth, free-all and allocation failure.
#include <vector>

#include "jnmemorypool.h"
#include "simtest.h"

namespace kwsim::test {
namespace {

class MemoryPoolTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        pool = CJnMemoryPool::sm_AddReference();
        ASSERT_NE(pool, nullptr);
    }
    void TearDown() override
    {
        while (CJnMemoryPool::sm_ReferenceCount()) CJnMemoryPool::sm_Release();
        SimTest::TearDown();
    }
    static size_t Blocks(const char* tag)
    {
        size_t n = 0;
        for (auto& b : LivePoolBlocks()) n += TagName(b.tag) == tag;
        return n;
    }
    CJnMemoryPool* pool = nullptr;
};

TEST_F(MemoryPoolTest, ReferencesCreateAndDestroyThePool)
{
    EXPECT_EQ(Blocks("JnKO"), 1u);
    EXPECT_EQ(CJnMemoryPool::sm_AddReference(), pool) << "a second reference shares the pool";
    EXPECT_EQ(CJnMemoryPool::sm_ReferenceCount(), 2);
    JnAllocate(10);
    CJnMemoryPool::sm_Release();
    EXPECT_EQ(Blocks("JnKi"), 1u) << "one reference left: nothing is freed";
    CJnMemoryPool::sm_Release();
    EXPECT_EQ(CJnMemoryPool::sm_Get(), nullptr);
    EXPECT_TRUE(LivePoolBlocks().empty()) << "the last release frees every allocation and the pool";
    EXPECT_EQ(JnAllocate(10), nullptr) << "no pool, no memory";
}

TEST_F(MemoryPoolTest, TheHundredAndFirstAllocationChainsARecordBlock)
{
    std::vector<void*> p;
    for (int i = 0; i < 100; i++) p.push_back(JnAllocate(8));
    EXPECT_EQ(Blocks("JnKP"), 0u);
    p.push_back(JnAllocate(8));
    EXPECT_EQ(Blocks("JnKP"), 1u);
    EXPECT_EQ(pool->m_RecordedCount(), 101u);
    // Free one from the first block: the last recorded pointer moves into its slot and
    // the second block, now empty, goes.
    JnFree(p[3]);
    EXPECT_EQ(Blocks("JnKP"), 0u);
    EXPECT_EQ(pool->m_RecordedCount(), 100u);
    for (size_t i = 0; i < p.size(); i++) {
        if (i != 3) {
            EXPECT_EQ(pool->m_Free(p[i]), STATUS_SUCCESS) << i;
        }
    }
    EXPECT_EQ(pool->m_RecordedCount(), 0u);
    for (size_t i = 0; i < p.size(); i++)
        if (i != 3) ExFreePool(p[i]);
}

TEST_F(MemoryPoolTest, FreeAllReleasesEverythingRecorded)
{
    for (int i = 0; i < 250; i++) JnAllocate(4, i % 2 ? PagedPool : NonPagedPool);
    EXPECT_EQ(Blocks("JnKP"), 2u);
    pool->m_FreeAll();
    EXPECT_EQ(Blocks("JnKi"), 0u);
    EXPECT_EQ(Blocks("JnKP"), 0u);
    EXPECT_EQ(pool->m_RecordedCount(), 0u);
    void* again = JnAllocate(4);
    EXPECT_EQ(pool->m_RecordedCount(), 1u);
    JnFree(again);
}

TEST_F(MemoryPoolTest, MemoryFromOutsideThePoolIsRefusedButStillFreedByTheCaller)
{
    void* outside = ExAllocatePoolWithTag(NonPagedPool, 16, KW_TAG("Else"));
    EXPECT_EQ(pool->m_Free(outside), STATUS_INVALID_PARAMETER);
    JnFree(outside);
    EXPECT_EQ(Blocks("Else"), 0u);
}

TEST_F(MemoryPoolTest, BuffersForTheSystemStayOutOfTheRecord)
{
    void* forSystem = CJnMemoryPool::sm_AllocateForSystem(32, PagedPool);
    ASSERT_NE(forSystem, nullptr);
    EXPECT_EQ(pool->m_RecordedCount(), 0u);
    CJnMemoryPool::sm_Release();
    EXPECT_EQ(Blocks("JnKi"), 1u) << "the final free-all leaves what the system owns";
    ExFreePool(forSystem);  // as the Plug and Play manager does
}

TEST_F(MemoryPoolTest, FailuresYieldNullAndKeepTheRecord)
{
    PoolFailTag(CJnMemoryPool::kAllocationTag, 1);
    EXPECT_EQ(JnAllocate(8), nullptr);
    EXPECT_EQ(pool->m_Status(), STATUS_NO_MEMORY);

    std::vector<void*> p;
    for (int i = 0; i < 100; i++) p.push_back(JnAllocate(8));
    PoolFailTag(CJnMemoryPool::kRecordTag, 1);
    EXPECT_EQ(JnAllocate(8), nullptr) << "the record cannot grow";
    EXPECT_EQ(pool->m_RecordedCount(), 100u) << "and keeps every live allocation";
    EXPECT_EQ(Blocks("JnKi"), 100u);
    EXPECT_NE(JnAllocate(8), nullptr);
    EXPECT_EQ(Blocks("JnKP"), 1u);
}

struct Counted : CJnObject {
    static int constructed;
    int value;
    explicit Counted(int v) : value(v) { constructed++; }
};
int Counted::constructed;

TEST_F(MemoryPoolTest, FrameworkObjectsComeFromThePool)
{
    Counted::constructed = 0;
    Counted* c = new Counted(5);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(pool->m_RecordedCount(), 1u);
    delete c;
    EXPECT_EQ(pool->m_RecordedCount(), 0u);
    PoolFailNth(1);
    Counted* failed = new Counted(6);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(Counted::constructed, 1) << "no constructor runs on a failed allocation";
    Counted* paged = new (PagedPool) Counted(7);
    EXPECT_EQ(LivePoolBlocks().back().type, PagedPool);
    delete paged;
}

}  // namespace
}  // namespace kwsim::test
