// The framework data buffer: creation from the pool, in-place editing, append and delete.
#include <cstring>
#include <string>

#include "jndatabuffer.h"
#include "jnpooledtest.h"

namespace kwsim::test {
namespace {

using DataBufferTest = PooledTest;

std::string Text(const CJnDataBuffer* b) { return std::string(reinterpret_cast<const char*>(b->m_GetData()), b->m_GetLength()); }

CJnDataBuffer* Make(const char* text) { return CJnDataBuffer::sm_CreateCopy(text, static_cast<ULONG>(strlen(text))); }

TEST_F(DataBufferTest, CreatesFromThePoolAndDeletesEverything)
{
    CJnDataBuffer* b = CJnDataBuffer::sm_Create(100);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->m_GetLength(), 100u);
    EXPECT_NE(b->m_GetData(), nullptr);
    EXPECT_EQ(b->m_GetAllocator(), pool);
    EXPECT_EQ(pool->m_RecordedCount(), 2u) << "the object and its data are both pool blocks";
    b->m_Delete();
    EXPECT_EQ(pool->m_RecordedCount(), 0u);

    CJnDataBuffer* empty = CJnDataBuffer::sm_Create(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->m_GetLength(), 0u);
    EXPECT_EQ(empty->m_GetData(), nullptr);
    EXPECT_EQ(pool->m_RecordedCount(), 1u);
    empty->m_Delete();

    CJnDataBuffer* copy = Make("hello");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(Text(copy), "hello");
    copy->m_Delete();
    EXPECT_EQ(CJnDataBuffer::sm_CreateCopy(nullptr, 4), nullptr);
}

TEST_F(DataBufferTest, CreationFailsCleanlyWhenThePoolIsShort)
{
    PoolFailNth(1);  // the object
    EXPECT_EQ(CJnDataBuffer::sm_Create(16), nullptr);
    PoolFailNth(2);  // its data
    EXPECT_EQ(CJnDataBuffer::sm_Create(16), nullptr);
    EXPECT_EQ(pool->m_RecordedCount(), 0u) << "the object is given back when its data cannot be had";
    while (CJnMemoryPool::sm_ReferenceCount()) CJnMemoryPool::sm_Release();
    EXPECT_EQ(CJnDataBuffer::sm_Create(16), nullptr) << "no pool, no buffer";
    pool = nullptr;
}

TEST_F(DataBufferTest, TruncateShortensInPlace)
{
    CJnDataBuffer* b = Make("abcdef");
    PUCHAR data = b->m_GetData();
    EXPECT_FALSE(b->m_Truncate(7));
    EXPECT_EQ(Text(b), "abcdef");
    EXPECT_TRUE(b->m_Truncate(6));
    EXPECT_TRUE(b->m_Truncate(2));
    EXPECT_EQ(Text(b), "ab");
    EXPECT_EQ(b->m_GetData(), data);
    EXPECT_TRUE(b->m_Truncate(0));
    EXPECT_EQ(b->m_GetLength(), 0u);
    b->m_Delete();
}

TEST_F(DataBufferTest, RemoveRangeMovesTheRestDown)
{
    struct Case {
        ULONG offset, count;
        bool ok;
        const char* after;
    } cases[] = {
        {2, 3, true, "abfgh"},      // middle
        {0, 2, true, "cdefgh"},     // front
        {5, 3, true, "abcde"},      // tail
        {0, 8, true, ""},           // everything
        {3, 0, true, "abcdefgh"},   // nothing
        {8, 0, true, "abcdefgh"},   // nothing, at the end
        {9, 0, false, "abcdefgh"},  // offset past the end
        {6, 3, false, "abcdefgh"},  // runs past the end
        {2, MAXULONG, false, "abcdefgh"},  // a count that would wrap
    };
    for (const Case& c : cases) {
        CJnDataBuffer* b = Make("abcdefgh");
        EXPECT_EQ(b->m_RemoveRange(c.offset, c.count), c.ok ? TRUE : FALSE) << c.offset << "+" << c.count;
        EXPECT_EQ(Text(b), c.after) << c.offset << "+" << c.count;
        b->m_Delete();
    }
}

TEST_F(DataBufferTest, ConsumeAdvancesInPlaceAndTheWholeBlockIsStillFreed)
{
    struct Case {
        ULONG count;
        bool ok;
        const char* after;
    } cases[] = {
        {0, true, "abcdefgh"},
        {3, true, "defgh"},
        {8, true, ""},
        {9, false, "abcdefgh"},
        {MAXULONG, false, "abcdefgh"},
    };
    for (const Case& c : cases) {
        CJnDataBuffer* b = Make("abcdefgh");
        PUCHAR data = b->m_GetData();
        EXPECT_EQ(b->m_Consume(c.count), c.ok ? TRUE : FALSE) << c.count;
        EXPECT_EQ(Text(b), c.after) << c.count;
        if (c.ok) EXPECT_EQ(b->m_GetData(), data + c.count) << "nothing is copied";
        b->m_Delete();  // ASan and the pool record see the original block freed
        EXPECT_EQ(pool->m_RecordedCount(), 0u) << c.count;
    }

    // Consumed twice, then edited and grown: every operation works on the view.
    CJnDataBuffer* b = Make("0123456789");
    PUCHAR block = b->m_GetData();
    EXPECT_TRUE(b->m_Consume(2));
    EXPECT_TRUE(b->m_Consume(3));
    EXPECT_EQ(Text(b), "56789");
    EXPECT_TRUE(b->m_RemoveRange(1, 2));
    EXPECT_EQ(Text(b), "589");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 5), "01234") << "the consumed front is left alone";
    EXPECT_TRUE(b->m_Truncate(2));
    EXPECT_TRUE(b->m_Append("XY", 2));
    EXPECT_EQ(Text(b), "58XY");
    EXPECT_EQ(pool->m_RecordedCount(), 2u) << "the append gave the consumed block back";
    EXPECT_TRUE(b->m_Consume(1));
    EXPECT_EQ(Text(b), "8XY");
    b->m_Delete();
}

TEST_F(DataBufferTest, AppendGrowsOrLeavesTheBufferAsItWas)
{
    CJnDataBuffer* b = CJnDataBuffer::sm_Create(0);
    EXPECT_TRUE(b->m_Append("abc", 3));
    EXPECT_TRUE(b->m_Append("defg", 4));
    EXPECT_TRUE(b->m_Append(nullptr, 0));
    EXPECT_EQ(Text(b), "abcdefg");
    EXPECT_EQ(pool->m_RecordedCount(), 2u) << "the old block is given back";

    uint64_t before = PoolAllocationCount();
    EXPECT_FALSE(b->m_Append("x", MAXULONG - 6)) << "a length past 32 bits";
    EXPECT_FALSE(b->m_Append(nullptr, 1));
    EXPECT_EQ(PoolAllocationCount(), before) << "refused before allocating";

    PUCHAR data = b->m_GetData();
    PoolFailNth(1);
    EXPECT_FALSE(b->m_Append("hij", 3));
    EXPECT_EQ(Text(b), "abcdefg");
    EXPECT_EQ(b->m_GetData(), data);

    ASSERT_TRUE(b->m_Truncate(2));
    EXPECT_TRUE(b->m_Append("Z", 1));
    EXPECT_EQ(Text(b), "abZ") << "append follows a truncate";
    b->m_Delete();
}

}  // namespace
}  // namespace kwsim::test
