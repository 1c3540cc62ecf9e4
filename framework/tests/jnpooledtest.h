// Fixture for tests of framework-based kernel code: a fresh simulated kernel with the
// driver's memory pool in place, as DriverEntry leaves it. A test that leaves framework
// allocations behind fails: the pool's free-all at the last release would otherwise
// hide the leak.
#pragma once

#include "jnmemorypool.h"
#include "simtest.h"

namespace kwsim::test {

class PooledTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        pool = CJnMemoryPool::sm_AddReference();
        ASSERT_NE(pool, nullptr);
    }
    void TearDown() override
    {
        if (pool) {
            EXPECT_EQ(pool->m_RecordedCount(), 0u) << "framework allocations left behind";
        }
        while (CJnMemoryPool::sm_ReferenceCount()) CJnMemoryPool::sm_Release();
        SimTest::TearDown();
    }

    CJnMemoryPool* pool = nullptr;
};

}  // namespace kwsim::test
