// Object manager essentials: reference-counted objects, kernel handles, system threads.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "kernel_internal.h"

namespace kwsim::detail {

static _OBJECT_TYPE gThreadType{"Thread"};
static _OBJECT_TYPE gEventType{"Event"};
static POBJECT_TYPE gThreadTypePtr = &gThreadType;
static POBJECT_TYPE gEventTypePtr = &gEventType;

void* AllocateObject(const _OBJECT_TYPE* type, size_t size, void (*destroy)(void*))
{
    void* raw = calloc(1, sizeof(ObjectHeader) + size);
    if (!raw) Fatal("out of host memory");
    ObjectHeader* h = new (raw) ObjectHeader{kObjectMagic, type, {1}, destroy};
    K.objects.insert(h);
    return h + 1;
}

ObjectHeader* HeaderOf(const void* body)
{
    if (!body) return nullptr;
    ObjectHeader* h = const_cast<ObjectHeader*>(static_cast<const ObjectHeader*>(body) - 1);
    return K.objects.count(h) ? h : nullptr;
}

static void DestroyObject(ObjectHeader* h)
{
    K.objects.erase(h);
    void* body = h + 1;
    if (h->type == &gThreadType) {
        _ETHREAD* t = static_cast<_ETHREAD*>(body);
        if (t->Tcb.Sim) t->Tcb.Sim->object = nullptr;
    }
    if (h->destroy) h->destroy(body);
    h->~ObjectHeader();
    free(h);
}

HANDLE InsertHandle(void* body)
{
    HeaderOf(body)->refs++;
    uintptr_t value = (uintptr_t)0xFFFFFFFF80000000ull | K.nextHandle;
    K.nextHandle += 4;
    K.handles[value] = body;
    return reinterpret_cast<HANDLE>(value);
}

static std::string ObjectName(ObjectHeader* h)
{
    std::string s = h->type->name;
    if (h->type == &gThreadType) {
        _ETHREAD* t = reinterpret_cast<_ETHREAD*>(h + 1);
        if (t->Tcb.Sim) s += " '" + t->Tcb.Sim->name + "'";
    }
    if (h->type->describe) s += " " + h->type->describe(h + 1);
    return s;
}

void CollectObjectLeaks(std::vector<std::string>& out)
{
    std::unordered_map<void*, intptr_t> handleRefs;
    for (auto& [value, body] : K.handles) {
        char buf[48];
        snprintf(buf, sizeof buf, "handle %p to ", reinterpret_cast<void*>(value));
        out.push_back(buf + ObjectName(HeaderOf(body)) + " object is still open");
        handleRefs[body]++;
    }
    for (ObjectHeader* h : K.objects) {
        void* body = h + 1;
        intptr_t expected = handleRefs[body];
        if (h->type == &gThreadType) {
            SimThread* t = static_cast<_ETHREAD*>(body)->Tcb.Sim;
            if (t && !t->terminated) expected++;  // a live thread holds its own reference
            if (t && t->external) continue;
        }
        if (h->type->ownLeakReport) continue;
        intptr_t extra = h->refs - expected;
        if (extra > 0)
            out.push_back(std::to_string(extra) + " reference(s) to " + ObjectName(h) + " object not released");
    }
}

void ResetObjects()
{
    K.handles.clear();
    auto objects = K.objects;
    for (ObjectHeader* h : objects) DestroyObject(h);
    K.objects.clear();
    K.nextHandle = 4;
}

}  // namespace kwsim::detail

using namespace kwsim::detail;

extern "C" {

POBJECT_TYPE* PsThreadType = &gThreadTypePtr;
POBJECT_TYPE* ExEventObjectType = &gEventTypePtr;

LONG_PTR ObfReferenceObject(PVOID Object)
{
    std::lock_guard<std::mutex> lk(K.mu);
    ObjectHeader* h = HeaderOf(Object);
    if (!h) {
        char buf[96];
        snprintf(buf, sizeof buf, "ObReferenceObject on %p, which is not an object", Object);
        Verify(buf);
        return 0;
    }
    return ++h->refs;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    std::lock_guard<std::mutex> lk(K.mu);
    return DereferenceLocked(Object);
}

}  // extern "C"

namespace kwsim::detail {

intptr_t DereferenceLocked(void* Object)
{
    ObjectHeader* h = HeaderOf(Object);
    if (!h || h->refs <= 0) {
        char buf[112];
        snprintf(buf, sizeof buf, "ObDereferenceObject on %p, which is not a referenced object", Object);
        Verify(buf);
        return 0;
    }
    intptr_t left = --h->refs;
    if (left == 0) DestroyObject(h);
    return left;
}

}  // namespace kwsim::detail

extern "C" {

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify("ObReferenceObjectByHandle above PASSIVE_LEVEL");
    std::lock_guard<std::mutex> lk(K.mu);
    *Object = nullptr;
    auto it = K.handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == K.handles.end()) return STATUS_INVALID_HANDLE;
    ObjectHeader* h = HeaderOf(it->second);
    if (ObjectType && h->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    h->refs++;
    *Object = it->second;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = OBJ_KERNEL_HANDLE;
        HandleInformation->GrantedAccess = GENERIC_ALL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE)
{
    std::lock_guard<std::mutex> lk(K.mu);
    ObjectHeader* h = HeaderOf(Object);
    if (!h) return STATUS_INVALID_PARAMETER;
    if (ObjectType && h->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    h->refs++;
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify("ZwClose called above PASSIVE_LEVEL");
    void* body;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        auto it = K.handles.find(reinterpret_cast<uintptr_t>(Handle));
        if (it == K.handles.end()) {
            char buf[64];
            snprintf(buf, sizeof buf, "ZwClose of the invalid handle %p", Handle);
            Verify(buf);
            return STATUS_INVALID_HANDLE;
        }
        body = it->second;
        K.handles.erase(it);
    }
    ObfDereferenceObject(body);
    return STATUS_SUCCESS;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID ClientId,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify("PsCreateSystemThread called above PASSIVE_LEVEL");
    SimThread* t;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        t = NewThread("system thread " + SymbolName((const void*)StartRoutine));
        t->start = StartRoutine;
        t->startContext = StartContext;
        *ThreadHandle = InsertHandle(t->object);
        if (ClientId) {
            ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
            ClientId->UniqueThread = reinterpret_cast<HANDLE>(t->id * 4);
        }
    }
    LaunchThread(t);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS)
{
    SimThread* self = Current();
    if (!self->ownsPthread || self->internal)
        Fatal("PsTerminateSystemThread called by '" + self->name + "', which is not a system thread");
    ThreadExit(self);
    longjmp(self->exitJump, 1);
}

PETHREAD PsGetCurrentThread(void) { return Current()->object; }
PKTHREAD KeGetCurrentThread(void) { return &Current()->object->Tcb; }
HANDLE PsGetCurrentThreadId(void) { return reinterpret_cast<HANDLE>(Current()->id * 4); }
HANDLE PsGetCurrentProcessId(void) { return reinterpret_cast<HANDLE>(4); }

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING)
{
    if (MajorVersion) *MajorVersion = K.options.osMajor;
    if (MinorVersion) *MinorVersion = K.options.osMinor;
    if (BuildNumber) *BuildNumber = K.options.osBuild;
    return FALSE;  // a free build
}

MM_SYSTEMSIZE MmQuerySystemSize(void) { return K.options.systemSize; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    std::lock_guard<std::mutex> lk(K.mu);
    if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY) Verify("KeSetPriorityThread to " + std::to_string(Priority));
    KPRIORITY old = Thread->Sim->priority;
    Thread->Sim->priority = Priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    std::lock_guard<std::mutex> lk(K.mu);
    return Thread->Sim->priority;
}

LONG KeSetBasePriorityThread(PKTHREAD Thread, LONG Increment)
{
    std::lock_guard<std::mutex> lk(K.mu);
    LONG old = Thread->Sim->priority - 8;
    Thread->Sim->priority = 8 + Increment;
    return old;
}

}  // extern "C"
