// Service threads: internal sim threads that run posted work in order at a fixed IRQL,
// for the simulated PC's own services (USB completions and the like).
#include <deque>

#include "kernel_internal.h"

namespace kwsim {

struct ServiceThread {
    detail::SimThread* thread = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    std::deque<std::function<void()>> queue;  // K.mu
    bool stop = false;                        // K.mu
    bool ended = false;                       // K.mu: the body has left its loop
};

}  // namespace kwsim

namespace kwsim::detail {

namespace {

std::vector<std::unique_ptr<ServiceThread>> gServices;  // K.mu

void ServiceMain(ServiceThread* s, SimThread* self)
{
    std::unique_lock<std::mutex> lk(K.mu);
    for (;;) {
        while (s->queue.empty() && !s->stop) Block(lk, self, WaitKind::Idle);
        if (s->queue.empty()) break;  // stopped with nothing left to do
        std::function<void()> fn = std::move(s->queue.front());
        s->queue.pop_front();
        lk.unlock();
        self->irql = s->irql;
        fn();
        if (self->irql != s->irql || self->spinLocksHeld) {
            Verify("work posted to service thread '" + self->name + "' returned at IRQL " +
                   std::to_string(self->irql) + (self->spinLocksHeld ? " holding a spin lock" : ""));
            self->spinLocksHeld = 0;
        }
        self->irql = PASSIVE_LEVEL;
        fn = nullptr;  // what the work captured goes before K.mu is taken again
        lk.lock();
    }
    s->ended = true;
}  // the thread ends through ThreadExit, as every sim thread does

}  // namespace

void StopServiceThreads(std::unique_lock<std::mutex>&)
{
    for (auto& s : gServices) {
        s->stop = true;
        if (!s->ended) Wake(s->thread, STATUS_SUCCESS);
    }
}

void ResetServiceThreads() { gServices.clear(); }

}  // namespace kwsim::detail

namespace kwsim {
using namespace detail;

ServiceThread* StartServiceThread(const std::string& name, KIRQL irql)
{
    std::lock_guard<std::mutex> lk(K.mu);
    gServices.push_back(std::make_unique<ServiceThread>());
    ServiceThread* s = gServices.back().get();
    s->irql = irql;
    SimThread* t = NewThread(name);
    t->internal = true;
    t->fn = [s, t] { ServiceMain(s, t); };
    s->thread = t;
    LaunchThread(t);
    return s;
}

void PostToServiceThread(ServiceThread* service, std::function<void()> fn)
{
    std::lock_guard<std::mutex> lk(K.mu);
    if (service->stop) {
        Verify("work posted to service thread '" + service->thread->name + "' after it was stopped");
        return;
    }
    service->queue.push_back(std::move(fn));
    if (service->thread->waitKind == WaitKind::Idle) Wake(service->thread, STATUS_SUCCESS);
}

void StopServiceThread(ServiceThread* service)
{
    SimThread* self = Current();
    if (self == service->thread) Fatal("StopServiceThread called by the service thread itself");
    pthread_t pthread;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        if (service->stop) return;
        service->stop = true;
        if (service->thread->waitKind == WaitKind::Idle) Wake(service->thread, STATUS_SUCCESS);
        pthread = service->thread->pthread;
        service->thread->ownsPthread = false;  // joined here, not at Shutdown
    }
    // The thread only finishes work that cannot wait (it runs at raised IRQL or ends), and
    // the caller stays runnable meanwhile, so joining it directly keeps the count exact.
    pthread_join(pthread, nullptr);
}

}  // namespace kwsim
