#include "simkernel/syncpoint.h"

#include <atomic>

#include "kernel_internal.h"

namespace kwsim::detail {

struct SyncPointState {
    int armed = 0;  // threads still to park
    int reached = 0;
    std::vector<SimThread*> parked;
    std::vector<SimThread*> waiters;  // tests waiting for `reached`
};

static std::map<std::string, SyncPointState> gPoints;  // K.mu
static std::atomic<int> gArmedPoints{0};

void PassSyncPoint(const char* name)
{
    if (gArmedPoints.load(std::memory_order_acquire) == 0) return;
    SimThread* self = tlsCurrent;
    if (!self || self == &K.hardware) return;
    std::unique_lock<std::mutex> lk(K.mu);
    auto it = gPoints.find(name);
    if (it == gPoints.end() || it->second.armed == 0) return;
    SyncPointState& p = it->second;
    p.armed--;
    p.reached++;
    for (SimThread* w : p.waiters) Wake(w, STATUS_SUCCESS);
    p.waiters.clear();
    p.parked.push_back(self);
    self->waitCall = name;
    Block(lk, self, WaitKind::Parked);
}

void ResetSyncPoints()
{
    gPoints.clear();
    gArmedPoints = 0;
}

}  // namespace kwsim::detail

extern "C" void KwSimSyncPoint(const char* name) { kwsim::detail::PassSyncPoint(name); }

namespace kwsim {
using namespace detail;

SyncPoint::SyncPoint(std::string name, int times) : name_(std::move(name))
{
    std::lock_guard<std::mutex> lk(K.mu);
    SyncPointState& p = gPoints[name_];
    if (p.armed == 0 && times > 0) gArmedPoints++;
    p.armed += times;
}

SyncPoint::~SyncPoint()
{
    Disarm();
    Release();
}

void SyncPoint::WaitUntilReached(int count)
{
    SimThread* self = Current();
    std::unique_lock<std::mutex> lk(K.mu);
    while (gPoints[name_].reached < count) {
        gPoints[name_].waiters.push_back(self);
        self->blockCount = 0;
        self->hasTimeout = false;
        self->waitCall = "SyncPoint::WaitUntilReached";
        Block(lk, self, WaitKind::Dispatcher);
    }
}

int SyncPoint::Reached() const
{
    std::lock_guard<std::mutex> lk(K.mu);
    auto it = gPoints.find(name_);
    return it == gPoints.end() ? 0 : it->second.reached;
}

void SyncPoint::Release()
{
    std::lock_guard<std::mutex> lk(K.mu);
    auto it = gPoints.find(name_);
    if (it == gPoints.end()) return;
    for (SimThread* t : it->second.parked) Wake(t, STATUS_SUCCESS);
    it->second.parked.clear();
}

void SyncPoint::Disarm()
{
    std::lock_guard<std::mutex> lk(K.mu);
    auto it = gPoints.find(name_);
    if (it == gPoints.end()) return;
    if (it->second.armed > 0) gArmedPoints--;
    it->second.armed = 0;
}

}  // namespace kwsim
