// Pool: every block is a host allocation of exactly the asked size (so the address
// sanitizer sees overruns), recorded with its tag for the leak report. New blocks are
// filled with 0xA5 and freed ones with 0xDD, so code that trusts pool contents fails.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel_internal.h"

namespace kwsim::detail {

namespace {

struct BlockInfo {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    uint64_t serial;
};

struct Pool {
    std::mutex mu;
    std::unordered_map<void*, BlockInfo> blocks;
    uint64_t attempts = 0;
    uint64_t failAt = 0;
    ULONG failTag = 0;
    int64_t failTagCount = 0;
    std::vector<void*> quarantine;  // blocks the verifier refused to free
};

Pool P;

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0 && type != NonPagedPoolNx; }

// Counts one allocation attempt and decides whether fault injection fails it.
bool AttemptLocked(ULONG tag, uint64_t* serial)
{
    *serial = ++P.attempts;
    bool fail = P.failAt == *serial;
    if (P.failTagCount != 0 && P.failTag == tag) {
        fail = true;
        if (P.failTagCount > 0) P.failTagCount--;
    }
    return !fail;
}

}  // namespace

bool PoolAttempt(ULONG tag)
{
    std::lock_guard<std::mutex> lk(P.mu);
    uint64_t serial;
    return AttemptLocked(tag, &serial);
}

void CollectPoolLeaks(std::vector<std::string>& out)
{
    std::lock_guard<std::mutex> lk(P.mu);
    std::vector<std::pair<void*, BlockInfo>> sorted(P.blocks.begin(), P.blocks.end());
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.second.serial < b.second.serial; });
    for (auto& [p, b] : sorted) {
        if (b.tag == KW_TAG("Irp ")) continue;  // IRPs have their own leak line
        char buf[160];
        snprintf(buf, sizeof buf, "pool block %p of %zu bytes, tag '%s', allocation #%llu, was not freed", p, b.size,
                 kwsim::TagName(b.tag).c_str(), (unsigned long long)b.serial);
        out.push_back(buf);
    }
}

void ResetPool()
{
    std::lock_guard<std::mutex> lk(P.mu);
    for (auto& [p, b] : P.blocks) free(p);
    P.blocks.clear();
    for (void* p : P.quarantine) free(p);
    P.quarantine.clear();
    P.attempts = 0;
    P.failAt = 0;
    P.failTag = 0;
    P.failTagCount = 0;
}

bool CheckFreeRange(const void* p, size_t size)
{
    std::lock_guard<std::mutex> lk(K.mu);
    uintptr_t begin = reinterpret_cast<uintptr_t>(p);
    auto it = K.armed.lower_bound(begin);
    if (it != K.armed.end() && it->first < begin + size) {
        char buf[200];
        snprintf(buf, sizeof buf, "pool block %p freed while it holds a %s at offset %zu", p, it->second,
                 (size_t)(it->first - begin));
        Verify(buf);
        return false;
    }
    return true;
}

}  // namespace kwsim::detail

namespace kwsim {
using namespace detail;

std::string TagName(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; i++) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

std::vector<PoolBlock> LivePoolBlocks()
{
    std::lock_guard<std::mutex> lk(P.mu);
    std::vector<PoolBlock> out;
    for (auto& [p, b] : P.blocks) out.push_back({p, b.size, b.tag, b.type, b.serial});
    std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.serial < b.serial; });
    return out;
}

uint64_t PoolAllocationCount()
{
    std::lock_guard<std::mutex> lk(P.mu);
    return P.attempts;
}

void PoolFailNth(uint64_t n)
{
    std::lock_guard<std::mutex> lk(P.mu);
    P.failAt = n ? P.attempts + n : 0;
}

void PoolFailTag(ULONG tag, int64_t count)
{
    std::lock_guard<std::mutex> lk(P.mu);
    P.failTag = tag;
    P.failTagCount = count;
}

void PoolClearFaults()
{
    std::lock_guard<std::mutex> lk(P.mu);
    P.failAt = 0;
    P.failTag = 0;
    P.failTagCount = 0;
}

}  // namespace kwsim

using namespace kwsim::detail;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    SimThread* self = Current();
    if (IsPaged(PoolType) && self->irql > APC_LEVEL)
        Verify("paged pool allocated at IRQL " + std::to_string(self->irql) + " (tag '" + kwsim::TagName(Tag) + "')");
    else if (self->irql > DISPATCH_LEVEL)
        Verify("pool allocated at IRQL " + std::to_string(self->irql));
    uint64_t serial;
    {
        std::lock_guard<std::mutex> lk(P.mu);
        if (!AttemptLocked(Tag, &serial)) return nullptr;
    }
    void* p = malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (!p) return nullptr;
    memset(p, 0xA5, NumberOfBytes);
    std::lock_guard<std::mutex> lk(P.mu);
    P.blocks[p] = BlockInfo{NumberOfBytes, Tag, PoolType, serial};
    return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, KW_TAG("None"));
}

void ExFreePoolWithTag(PVOID P_, ULONG Tag)
{
    SimThread* self = Current();
    char buf[160];
    if (!P_) {
        Verify("ExFreePool(NULL)");
        return;
    }
    BlockInfo info;
    {
        std::lock_guard<std::mutex> lk(P.mu);
        auto it = P.blocks.find(P_);
        if (it == P.blocks.end()) {
            snprintf(buf, sizeof buf, "ExFreePool(%p): not a pool block, or freed already", P_);
            Verify(buf);
            return;
        }
        info = it->second;
        if (Tag && Tag != info.tag) {
            snprintf(buf, sizeof buf, "pool block %p freed with tag '%s' but allocated with '%s'", P_,
                     kwsim::TagName(Tag).c_str(), kwsim::TagName(info.tag).c_str());
            Verify(buf);
        }
        P.blocks.erase(it);
    }
    if (IsPaged(info.type) && self->irql > APC_LEVEL)
        Verify("paged pool freed at IRQL " + std::to_string(self->irql));
    else if (self->irql > DISPATCH_LEVEL)
        Verify("pool freed at IRQL " + std::to_string(self->irql));
    if (!CheckFreeRange(P_, info.size)) {
        // The kernel still links to memory in the block: keep it alive until shutdown.
        std::lock_guard<std::mutex> lk(P.mu);
        P.quarantine.push_back(P_);
        return;
    }
    memset(P_, 0xDD, info.size);
    free(P_);
}

void ExFreePool(PVOID P_) { ExFreePoolWithTag(P_, 0); }

}  // extern "C"
