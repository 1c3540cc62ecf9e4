// The URB engine: submission, the frame schedule on the hardware timeline, control and
// bulk transfers against the device model, delivery of completions and cancellation.
#include <algorithm>
#include <cstring>

#include "host_internal.h"

namespace kwsim::usb::detail {

namespace {

void CancelRoutine(PDEVICE_OBJECT pdo, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KwSimSyncPoint(sync::kHostCancel);
    ContextOf(pdo)->core->Cancel(irp);
}

void CompleteAt(PIRP irp, KIRQL irql)
{
    KIRQL old = KeGetCurrentIrql();
    if (old < irql) KeRaiseIrql(irql, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (old < irql) KeLowerIrql(old);
}

enum class Step { More, Finished, Nak };

// The host's own answers to the standard requests it carries out itself.
bool Standard(Transfer& t, ControlReply& reply)
{
    const SetupPacket& s = t.setup;
    Device& model = *t.dev->model;
    switch (s.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
        if (!s.In() || s.Recipient() != 0) return false;
        uint8_t type = s.wValue >> 8, index = s.wValue & 0xFF;
        std::vector<uint8_t> data;
        if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
            data = model.DeviceDescriptor();
        } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            data = model.ConfigurationDescriptor(index);
            if (t.view >= 0 && data.size() >= 9) data = InterfaceView(data, (uint8_t)t.view);
        } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
            data = model.StringDescriptor(index, s.wIndex);
        } else {
            return false;
        }
        reply = data.empty() ? ControlReply::Stalled() : ControlReply::Ok(std::move(data));
        return true;
    }
    case USB_REQUEST_SET_CONFIGURATION:
        if (s.Recipient() != 0) return false;
        model.SetConfiguration((uint8_t)s.wValue);
        for (auto [number, alternate] : t.alternates) model.SetInterface(number, alternate);
        reply = ControlReply::Ok();
        return true;
    case USB_REQUEST_SET_INTERFACE:
        if (s.Recipient() != 1) return false;
        model.SetInterface((uint8_t)s.wIndex, (uint8_t)s.wValue);
        reply = ControlReply::Ok();
        return true;
    case USB_REQUEST_CLEAR_FEATURE:
        if (s.Recipient() != 2 || s.wValue != USB_FEATURE_ENDPOINT_STALL) return false;
        model.ClearHalt((uint8_t)s.wIndex);
        reply = ControlReply::Ok();
        return true;
    default:
        return false;
    }
}

// Runs a control transfer's stages against the device. Returns the packets it took on
// the bus (0 when it hangs).
int ExecuteControl(Transfer& t)
{
    DeviceState& d = *t.dev;
    t.started = true;
    if (!d.controlFaults.empty()) {
        ControlFault f = d.controlFaults.front();
        d.controlFaults.pop_front();
        switch (f.what) {
        case ControlFault::What::Fail: t.usbd = f.status; return 1;
        case ControlFault::What::Stall: t.usbd = USBD_STATUS_STALL_PID; return 2;
        case ControlFault::What::Hang: t.hung = true; return 0;
        }
    }
    const SetupPacket& s = t.setup;
    ControlReply reply;
    if (s.Type() != 0 || !Standard(t, reply)) {
        std::span<const uint8_t> out;
        if (!s.In() && t.length) out = {t.buffer, t.length};
        reply = d.model->Control(s, out);
    }
    switch (reply.kind) {
    case ControlReply::Kind::NoAnswer: t.hung = true; return 0;
    case ControlReply::Kind::Stall: t.usbd = USBD_STATUS_STALL_PID; return 2;
    case ControlReply::Kind::Ack: break;
    }
    ULONG n = t.length;
    if (s.In()) {
        n = std::min<ULONG>((ULONG)reply.data.size(), t.length);
        if (n) memcpy(t.buffer, reply.data.data(), n);
    }
    t.done = n;
    int mp0 = d.descriptor.bMaxPacketSize0 ? d.descriptor.bMaxPacketSize0 : 8;
    return 2 + (int)((n + mp0 - 1) / mp0);
}

// One bulk packet of the transfer at the head of the endpoint.
Step BulkPacket(DeviceState& d, Endpoint& ep, Transfer& t)
{
    if (!t.faultChecked) {
        t.faultChecked = true;
        auto it = d.bulkFaults.find(ep.info.address);
        if (it != d.bulkFaults.end() && !it->second.empty()) {
            BulkFault f = it->second.front();
            it->second.pop_front();
            if (f.what == BulkFault::What::Fail) {
                t.usbd = f.status;
                if (f.status == USBD_STATUS_STALL_PID) ep.halted = true;
                return Step::Finished;
            }
            t.limit = std::min(f.bytes, t.length);
            if (t.limit == 0 && t.length) return Step::Finished;
        }
    }
    ULONG room = t.limit - t.done;
    ULONG mps = ep.info.maxPacketSize;
    if (ep.info.address & 0x80) {
        size_t max = std::min(mps, room);
        std::vector<uint8_t> packet;
        Handshake h = d.model->BulkIn(ep.info.address, max, packet);
        if (h == Handshake::Nak) return Step::Nak;
        if (h == Handshake::Stall) {
            ep.halted = true;
            t.usbd = USBD_STATUS_STALL_PID;
            return Step::Finished;
        }
        if (packet.size() > max) {  // more than the host asked for: babble halts the endpoint
            ep.halted = true;
            t.usbd = USBD_STATUS_BABBLE_DETECTED;
            return Step::Finished;
        }
        if (!packet.empty()) memcpy(t.buffer + t.done, packet.data(), packet.size());
        t.done += (ULONG)packet.size();
        if (t.done == t.limit) return Step::Finished;
        if (packet.size() < max) {
            if (!(t.flags & USBD_SHORT_TRANSFER_OK)) t.usbd = USBD_STATUS_ERROR_SHORT_TRANSFER;
            return Step::Finished;
        }
        return Step::More;
    }
    ULONG n = std::min(mps, room);
    Handshake h = d.model->BulkOut(ep.info.address, std::span<const uint8_t>(t.buffer + t.done, n));
    if (h == Handshake::Nak) return Step::Nak;
    if (h == Handshake::Stall) {
        ep.halted = true;
        t.usbd = USBD_STATUS_STALL_PID;
        return Step::Finished;
    }
    t.done += n;
    return t.done == t.limit ? Step::Finished : Step::More;
}

Endpoint* EndpointOf(DeviceState& d, uint8_t address)
{
    auto it = d.endpoints.find(address);
    return it == d.endpoints.end() ? nullptr : &it->second;
}

// The transfer an endpoint would carry in frame F, if any.
Transfer* Serviceable(const Endpoint& ep, int64_t frame)
{
    if (ep.queue.empty() || ep.parked || ep.halted || ep.readyFrame > frame) return nullptr;
    Transfer* t = ep.queue.front();
    return t->cancelPending || t->eligibleFrame > frame ? nullptr : t;
}

}  // namespace

// ---- submission ----

NTSTATUS Core::Internal(PdoContext* ctx, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
    auto complete = [irp](NTSTATUS st) {
        irp->IoStatus.Status = st;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return st;
    };
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        auto* out = static_cast<PULONG>(s->Parameters.Others.Argument1);
        if (!out) return complete(STATUS_INVALID_PARAMETER);
        {
            std::lock_guard<std::mutex> lk(mu);
            *out = ctx->dev->present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
        }
        return complete(STATUS_SUCCESS);
    }
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB && code != IOCTL_INTERNAL_USB_RESET_PORT)
        return complete(STATUS_INVALID_DEVICE_REQUEST);
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB && !s->Parameters.Others.Argument1) return complete(STATUS_INVALID_PARAMETER);
    if (code == IOCTL_INTERNAL_USB_RESET_PORT && KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportProblem(ReportKind::Verifier, "IOCTL_INTERNAL_USB_RESET_PORT sent at IRQL " +
                                                std::to_string(KeGetCurrentIrql()) + "; it is a PASSIVE_LEVEL request");

    auto* t = new Transfer;
    t->irp = irp;
    t->dev = ctx->dev;
    t->view = ctx->view;
    std::vector<PIRP> done;
    bool refused = false;
    {
        std::lock_guard<std::mutex> lk(mu);
        DeviceState& d = *t->dev;
        USBD_STATUS refusal = USBD_STATUS_SUCCESS;
        if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
            t->kind = Kind::ResetPort;
        } else {
            t->urb = static_cast<PURB>(s->Parameters.Others.Argument1);
            refusal = Decode(*this, *t);
        }
        if (!d.present) refusal = USBD_STATUS_DEVICE_GONE;
        t->logId = LogSubmit(*t, code);
        bool inlineMode = options.completion == Completion::Inline;
        if (!USBD_SUCCESS(refusal)) {
            refused = true;
            t->usbd = refusal;
            outbox = &done;
            Deliver(t);
        } else if (t->local || (inlineMode && TryNow(t))) {
            if (inlineMode) {
                outbox = &done;
            } else {
                IoMarkIrpPending(irp);
            }
            if (t->onSubmit) t->onSubmit(*t);
            Deliver(t);
        } else {
            Queue(t);
        }
        outbox = nullptr;
        ScheduleTick();  // what was delivered may have freed an endpoint or the control pipe
    }
    if (done.empty()) return STATUS_PENDING;
    // Refused requests complete at the caller's IRQL, the ones served at once as any
    // completion does, at DISPATCH_LEVEL.
    NTSTATUS st = irp->IoStatus.Status;
    for (PIRP p : done) CompleteAt(p, refused ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    return st;
}

bool Core::TryNow(Transfer* t)
{
    DeviceState& d = *t->dev;
    if (d.resetUntil >= 0) return false;
    if (t->kind == Kind::Control) {
        if (!d.control.empty() || d.controlFreeAt > Now()) return false;
        ExecuteControl(*t);
        return !t->hung;
    }
    if (t->kind != Kind::Bulk) return false;
    Endpoint* ep = EndpointOf(d, t->endpoint);
    if (!ep || !ep->queue.empty() || ep->parked || ep->halted) return false;
    for (;;) {
        Step step = BulkPacket(d, *ep, *t);
        if (step == Step::Finished) return true;
        if (step == Step::Nak) {
            ep->parked = true;
            return false;
        }
    }
}

void Core::Queue(Transfer* t)
{
    DeviceState& d = *t->dev;
    PIRP irp = t->irp;
    IoMarkIrpPending(irp);
    t->eligibleFrame = FrameAfter(Now());
    irp->Tail.Overlay.DriverContext[0] = t;
    switch (t->kind) {
    case Kind::Control:
        d.control.push_back(t);
        t->where = Where::Control;
        break;
    case Kind::Bulk:
        EndpointOf(d, t->endpoint)->queue.push_back(t);
        t->where = Where::Endpoint;
        break;
    case Kind::ResetPort:
        // Reset signalling starts with the next frame; the device is back in its
        // default state from now on.
        if (d.resetUntil < 0) {
            d.resetUntil = t->eligibleFrame * kFrame + kPortResetTime;
            d.model->BusReset();
        }
        d.resets.push_back(t);
        t->where = Where::Reset;
        ScheduleTick();
        return;  // a port reset cannot be cancelled: it ends on its own
    }
    // The cancel routine takes mu, so it finds the transfer queued.
    IoSetCancelRoutine(irp, CancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        Remove(t);
        t->usbd = USBD_STATUS_CANCELED;
        Deliver(t);
        return;
    }
    ScheduleTick();
}

// ---- the frame schedule ----

void Core::Tick(int64_t due)
{
    std::lock_guard<std::mutex> lk(mu);
    if (stopped) return;
    if (tickAt && *tickAt == due) tickAt.reset();
    DeliverDue(due);
    int64_t frame = due / kFrame;
    if (frame > lastFrame) {
        lastFrame = frame;
        for (auto& owned : devices) {
            DeviceState& d = *owned;
            if (!d.present) continue;
            if (d.resetUntil >= 0) {
                if (d.resetUntil > due) continue;
                FinishReset(d);
            }
            RunControl(d, frame);
            RunBulk(d, frame);
        }
    }
    ScheduleTick();
}

void Core::DeliverDue(int64_t now)
{
    // Collected first: delivering one may take others out of `due` (an abort).
    std::vector<Transfer*> ready;
    for (auto it = due.begin(); it != due.end() && it->first <= now;) {
        Transfer* t = it->second;
        if (t->cancelPending || !Claim(t)) {
            ++it;
            continue;
        }
        it = due.erase(it);
        t->where = Where::None;
        ready.push_back(t);
    }
    for (Transfer* t : ready) Deliver(t);
}

void Core::RunControl(DeviceState& d, int64_t frame)
{
    if (d.control.empty()) return;
    Transfer* t = d.control.front();
    int64_t start = frame * kFrame;
    if (t->started || t->cancelPending || t->eligibleFrame > frame || d.controlFreeAt > start) return;
    int packets = ExecuteControl(*t);
    if (t->hung) return;  // it keeps EP0 until it is cancelled
    int frames = (packets + kControlPacketsPerFrame - 1) / kControlPacketsPerFrame;
    int64_t end = (frame + frames) * kFrame;
    d.controlFreeAt = end;
    d.control.pop_front();
    t->where = Where::Due;
    t->dueAt = end;
    due.emplace(end, t);
}

void Core::RunBulk(DeviceState& d, int64_t frame)
{
    // The endpoints with work take a packet each in turn; the first of the turn is the
    // one after last frame's first, so an extra packet goes round fairly.
    std::vector<Endpoint*> order;
    for (auto& [address, ep] : d.endpoints)
        if (Serviceable(ep, frame)) order.push_back(&ep);
    if (order.empty()) return;
    auto first = std::find_if(order.begin(), order.end(), [&](Endpoint* ep) { return ep->info.address > d.firstOfTurn; });
    if (first == order.end()) first = order.begin();
    d.firstOfTurn = (*first)->info.address;
    std::rotate(order.begin(), first, order.end());
    int budget = kBulkPacketsPerFrame;
    for (bool progress = true; budget > 0 && progress;) {
        progress = false;
        for (Endpoint* ep : order) {
            if (budget == 0) break;
            Transfer* t = Serviceable(*ep, frame);
            if (!t) continue;
            Step step = BulkPacket(d, *ep, *t);
            if (step == Step::Nak) {
                ep->parked = true;
                continue;
            }
            budget--;
            progress = true;
            if (step == Step::Finished) {
                ep->queue.pop_front();
                t->where = Where::Due;
                t->dueAt = (frame + 1) * kFrame;
                due.emplace(t->dueAt, t);
            }
        }
    }
}

void Core::FinishReset(DeviceState& d)
{
    d.resetUntil = -1;
    // The hub restores what the driver had selected; pipes stay valid.
    if (d.configuration) {
        d.model->SetConfiguration(d.configuration);
        for (auto [number, alternate] : d.alternates)
            if (alternate) d.model->SetInterface(number, alternate);
    }
    for (auto& [address, ep] : d.endpoints) {
        ep.halted = false;
        ep.parked = false;
        ep.readyFrame = 0;
    }
    std::vector<Transfer*> resets = d.resets;
    for (Transfer* t : resets) {
        Remove(t);
        Deliver(t);
    }
}

void Core::ScheduleTick()
{
    if (stopped) return;
    int64_t now = Now();
    int64_t base = std::max((lastFrame + 1) * kFrame, (now + kFrame - 1) / kFrame * kFrame);
    int64_t next = INT64_MAX;
    auto consider = [&](int64_t t) { next = std::min(next, std::max(t, base)); };
    for (auto& [at, t] : due) {
        if (t->cancelPending) continue;
        consider(at);
        break;
    }
    for (auto& owned : devices) {
        DeviceState& d = *owned;
        if (!d.present) continue;
        if (d.resetUntil >= 0) {
            consider(d.resetUntil);
            continue;
        }
        if (!d.control.empty()) {
            Transfer* t = d.control.front();
            if (!t->started && !t->cancelPending) consider(std::max(t->eligibleFrame * kFrame, d.controlFreeAt));
        }
        for (auto& [address, ep] : d.endpoints) {
            if (ep.queue.empty() || ep.parked || ep.halted) continue;
            Transfer* t = ep.queue.front();
            if (!t->cancelPending) consider(std::max(t->eligibleFrame, ep.readyFrame) * kFrame);
        }
    }
    if (next == INT64_MAX) {
        if (tickAt) CancelScheduled(tickId);
        tickAt.reset();
        return;
    }
    if (tickAt && *tickAt <= next) return;
    if (tickAt) CancelScheduled(tickId);
    std::weak_ptr<Core> weak = weak_from_this();
    tickId = ScheduleAt(next, [weak, next] {
        if (auto core = weak.lock()) core->Tick(next);
    });
    tickAt = next;
}

void Core::Ready(DeviceState* d, uint8_t address)
{
    d->readyPending.fetch_and(~ReadyBit(address));
    std::lock_guard<std::mutex> lk(mu);
    if (stopped || !d->present) return;
    Endpoint* ep = EndpointOf(*d, address);
    if (!ep || !ep->parked) return;
    ep->parked = false;
    ep->readyFrame = FrameAfter(Now());
    ScheduleTick();
}

void Link::EndpointReady(uint8_t address)
{
    std::shared_ptr<Core> alive = core.lock();  // keeps `dev` valid while we look at it
    if (!alive) return;
    uint32_t bit = ReadyBit(address);
    if (dev->readyPending.fetch_or(bit) & bit) return;  // one is on its way already
    std::weak_ptr<Core> weak = core;
    DeviceState* d = dev;
    ScheduleAt(Now(), [weak, d, address] {
        if (auto c = weak.lock()) c->Ready(d, address);
    });
}

// ---- leaving the queues ----

bool Core::Claim(Transfer* t)
{
    if (t->kind == Kind::ResetPort || IoSetCancelRoutine(t->irp, nullptr)) return true;
    t->cancelPending = true;
    return false;
}

void Core::Remove(Transfer* t)
{
    DeviceState& d = *t->dev;
    // What a request leaves free serves others from the next frame on, whatever of the
    // current instant the host has already served.
    int64_t next = FrameAfter(Now());
    switch (t->where) {
    case Where::None: break;
    case Where::Control:
        if (d.control.front() == t) d.controlFreeAt = std::max(d.controlFreeAt, next * kFrame);
        d.control.erase(std::find(d.control.begin(), d.control.end(), t));
        break;
    case Where::Endpoint:
        // The endpoint may be gone already (its pipe closed while a cancel was under way).
        if (Endpoint* ep = EndpointOf(d, t->endpoint)) {
            auto it = std::find(ep->queue.begin(), ep->queue.end(), t);
            if (it == ep->queue.begin()) ep->readyFrame = std::max(ep->readyFrame, next);
            if (it != ep->queue.end()) ep->queue.erase(it);
            // A new transfer is worth one poll whatever the last one was told.
            if (ep->queue.empty()) ep->parked = false;
        }
        break;
    case Where::Due:
        for (auto it = due.lower_bound(t->dueAt); it != due.end() && it->first == t->dueAt; ++it)
            if (it->second == t) {
                due.erase(it);
                break;
            }
        break;
    case Where::Reset: d.resets.erase(std::find(d.resets.begin(), d.resets.end(), t)); break;
    }
    t->where = Where::None;
}

void Core::Deliver(Transfer* t)
{
    if (USBD_SUCCESS(t->usbd) && t->onSuccess) t->onSuccess(*t);
    PIRP irp = t->irp;
    if (t->urb) {
        t->urb->UrbHeader.Status = t->usbd;
        if (t->lengthField) *t->lengthField = t->done;
    }
    irp->IoStatus.Status = NtFromUsbd(t->usbd);
    irp->IoStatus.Information = 0;
    LogComplete(*t);
    delete t;
    if (outbox)
        outbox->push_back(irp);
    else
        PostToServiceThread(completion, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
}

void Core::Cancel(PIRP irp)
{
    std::lock_guard<std::mutex> lk(mu);
    auto* t = static_cast<Transfer*>(irp->Tail.Overlay.DriverContext[0]);
    Remove(t);
    t->usbd = USBD_STATUS_CANCELED;
    Deliver(t);
    ScheduleTick();
}

void Core::FailAll(DeviceState* d, USBD_STATUS usbd)
{
    std::vector<Transfer*> all(d->control.begin(), d->control.end());
    for (auto& [address, ep] : d->endpoints) all.insert(all.end(), ep.queue.begin(), ep.queue.end());
    all.insert(all.end(), d->resets.begin(), d->resets.end());
    for (auto& [at, t] : due)
        if (t->dev == d) all.push_back(t);
    std::sort(all.begin(), all.end(), [](Transfer* a, Transfer* b) { return a->logId < b->logId; });
    for (Transfer* t : all) {
        if (t->cancelPending || !Claim(t)) continue;
        Remove(t);
        t->usbd = usbd;
        Deliver(t);
    }
    d->resetUntil = -1;
}

void Core::Abort(DeviceState* d, uint8_t address)
{
    std::vector<Transfer*> pending, finished;
    if (Endpoint* ep = EndpointOf(*d, address)) pending.assign(ep->queue.begin(), ep->queue.end());
    for (auto& [at, t] : due)
        if (t->dev == d && t->kind == Kind::Bulk && t->endpoint == address) finished.push_back(t);
    // What already finished keeps its outcome; it is only delivered sooner.
    for (Transfer* t : finished) {
        if (t->cancelPending || !Claim(t)) continue;
        Remove(t);
        Deliver(t);
    }
    for (Transfer* t : pending) {
        if (t->cancelPending || !Claim(t)) continue;
        Remove(t);
        t->usbd = USBD_STATUS_CANCELED;
        Deliver(t);
    }
}

void Core::ClosePipes(DeviceState* d, const std::function<bool(const Pipe&)>& which)
{
    std::vector<uint8_t> closed;
    for (auto it = d->pipes.begin(); it != d->pipes.end();) {
        if (which(it->second)) {
            closed.push_back(it->second.endpoint);
            it = d->pipes.erase(it);
        } else {
            ++it;
        }
    }
    for (uint8_t address : closed) {
        Abort(d, address);
        bool used = false;
        for (auto& [handle, pipe] : d->pipes) used |= pipe.endpoint == address;
        if (!used) d->endpoints.erase(address);
    }
}

void Core::OpenInterface(DeviceState& d, USBD_INTERFACE_INFORMATION& info, const AltSetting& setting, int view)
{
    d.alternates[setting.number] = setting.alternate;
    info.Class = setting.cls;
    info.SubClass = setting.subClass;
    info.Protocol = setting.protocol;
    info.InterfaceHandle = (USBD_INTERFACE_HANDLE)NewHandle();
    info.NumberOfPipes = (ULONG)setting.endpoints.size();
    for (size_t k = 0; k < setting.endpoints.size(); k++) {
        const EndpointInfo& e = setting.endpoints[k];
        Endpoint& ep = d.endpoints[e.address];
        ep = Endpoint{};
        ep.info = e;
        uintptr_t handle = NewHandle();
        USBD_PIPE_INFORMATION& p = info.Pipes[k];
        d.pipes[handle] = Pipe{e.address, setting.number, view, p.MaximumTransferSize};
        p.MaximumPacketSize = e.maxPacketSize;
        p.EndpointAddress = e.address;
        p.Interval = e.interval;
        p.PipeType = (USBD_PIPE_TYPE)e.Type();
        p.PipeHandle = (USBD_PIPE_HANDLE)handle;
    }
}

}  // namespace kwsim::usb::detail
