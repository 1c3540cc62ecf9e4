// The object namespace: device names, symbolic links and callback objects.
#include <algorithm>
#include <cstdio>

#include "io_internal.h"

struct _CALLBACK_OBJECT;

namespace kwsim::detail {

IoState IO;

static _OBJECT_TYPE gCallbackType{"Callback"};
static POBJECT_TYPE gCallbackTypePtr = &gCallbackType;

std::u16string Upcase(const std::u16string& s)
{
    std::u16string u = s;
    for (auto& c : u) c = RtlUpcaseUnicodeChar(c);
    return u;
}

std::u16string FromUnicode(PCUNICODE_STRING s)
{
    if (!s || !s->Buffer) return u"";
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? (char)c : '?';
    return out;
}

// "\DosDevices\X" is "\??\X".
std::u16string NormalizePath(const std::u16string& path)
{
    static const std::u16string dos = u"\\DOSDEVICES\\";
    std::u16string up = Upcase(path);
    if (up.compare(0, dos.size(), dos) == 0) return u"\\??\\" + path.substr(dos.size());
    return path;
}

NamespaceEntry* FindEntry(const std::u16string& path)
{
    auto it = IO.names.find(Upcase(NormalizePath(path)));
    return it == IO.names.end() ? nullptr : &it->second;
}

NTSTATUS InsertName(const std::u16string& path, NamespaceEntry entry)
{
    std::u16string norm = NormalizePath(path);
    std::u16string key = Upcase(norm);
    if (IO.names.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    entry.name = norm;
    IO.names.emplace(key, std::move(entry));
    return STATUS_SUCCESS;
}

void RemoveName(const std::u16string& path) { IO.names.erase(Upcase(NormalizePath(path))); }

void CollectNamespaceLeaks(std::vector<std::string>& out)
{
    for (auto& [key, e] : IO.names)
        if (e.kind == NamespaceEntry::Link)
            out.push_back("symbolic link " + Narrow(e.name) + " -> " + Narrow(e.target) + " was not deleted");
}

struct CallbackRegistration {
    _CALLBACK_OBJECT* object;
    PCALLBACK_FUNCTION function;
    PVOID context;
};

}  // namespace kwsim::detail

typedef struct _CALLBACK_OBJECT CALLBACK_OBJECT;
struct _CALLBACK_OBJECT {
    std::u16string name;
    bool allowMultiple;
    std::vector<kwsim::detail::CallbackRegistration*> registrations;
};

namespace kwsim {
using namespace detail;

PDEVICE_OBJECT FindDevice(const std::u16string& path)
{
    std::lock_guard<std::mutex> lk(K.mu);
    std::u16string p = path;
    for (int hops = 0; hops < 8; hops++) {
        NamespaceEntry* e = FindEntry(p);
        if (!e) return nullptr;
        if (e->kind == NamespaceEntry::Device) return static_cast<PDEVICE_OBJECT>(e->object);
        if (e->kind != NamespaceEntry::Link) return nullptr;
        p = e->target;
    }
    return nullptr;
}

std::u16string SymbolicLinkTarget(const std::u16string& link)
{
    std::lock_guard<std::mutex> lk(K.mu);
    NamespaceEntry* e = FindEntry(link);
    return e && e->kind == NamespaceEntry::Link ? e->target : u"";
}

std::vector<std::u16string> NamespaceEntries(const std::u16string& directory)
{
    std::lock_guard<std::mutex> lk(K.mu);
    std::u16string prefix = Upcase(NormalizePath(directory)) + u"\\";
    std::vector<std::u16string> out;
    for (auto& [key, e] : IO.names)
        if (key.compare(0, prefix.size(), prefix) == 0 && key.find(u'\\', prefix.size()) == std::u16string::npos)
            out.push_back(e.name.substr(prefix.size()));
    std::sort(out.begin(), out.end());
    return out;
}

std::u16string DeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lk(K.mu);
    for (auto& [key, e] : IO.names)
        if (e.kind == NamespaceEntry::Device && e.object == device) return e.name;
    return u"";
}

}  // namespace kwsim

using namespace kwsim::detail;

extern "C" {

POBJECT_TYPE* ExCallbackObjectType = &gCallbackTypePtr;

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify("IoCreateSymbolicLink called above PASSIVE_LEVEL");
    std::lock_guard<std::mutex> lk(K.mu);
    NamespaceEntry e;
    e.kind = NamespaceEntry::Link;
    e.target = NormalizePath(FromUnicode(DeviceName));
    return InsertName(FromUnicode(SymbolicLinkName), e);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify("IoDeleteSymbolicLink called above PASSIVE_LEVEL");
    std::lock_guard<std::mutex> lk(K.mu);
    NamespaceEntry* e = FindEntry(FromUnicode(SymbolicLinkName));
    if (!e || e->kind != NamespaceEntry::Link) return STATUS_OBJECT_NAME_NOT_FOUND;
    RemoveName(FromUnicode(SymbolicLinkName));
    return STATUS_SUCCESS;
}

static void DestroyCallback(void* body)
{
    CALLBACK_OBJECT* cb = static_cast<CALLBACK_OBJECT*>(body);
    if (!cb->name.empty()) RemoveName(cb->name);
    for (auto* r : cb->registrations) delete r;
    cb->~CALLBACK_OBJECT();
}

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                          BOOLEAN AllowMultipleCallbacks)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify("ExCreateCallback called above PASSIVE_LEVEL");
    std::lock_guard<std::mutex> lk(K.mu);
    *CallbackObject = nullptr;
    std::u16string name = ObjectAttributes ? FromUnicode(ObjectAttributes->ObjectName) : u"";
    if (!name.empty()) {
        if (NamespaceEntry* e = FindEntry(name)) {
            if (e->kind != NamespaceEntry::Callback) return STATUS_OBJECT_TYPE_MISMATCH;
            HeaderOf(e->object)->refs++;
            *CallbackObject = static_cast<PCALLBACK_OBJECT>(e->object);
            return STATUS_SUCCESS;
        }
    }
    if (!Create) return STATUS_OBJECT_NAME_NOT_FOUND;
    void* body = AllocateObject(&gCallbackType, sizeof(CALLBACK_OBJECT), DestroyCallback);
    CALLBACK_OBJECT* cb = new (body) CALLBACK_OBJECT{name, AllowMultipleCallbacks != 0, {}};
    if (!name.empty()) {
        NamespaceEntry e;
        e.kind = NamespaceEntry::Callback;
        e.object = cb;
        NTSTATUS st = InsertName(name, e);
        if (!NT_SUCCESS(st)) {
            cb->name.clear();
            DereferenceLocked(cb);
            return st;
        }
    }
    *CallbackObject = cb;
    return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction, PVOID CallbackContext)
{
    std::lock_guard<std::mutex> lk(K.mu);
    if (!CallbackObject->allowMultiple && !CallbackObject->registrations.empty()) return nullptr;
    auto* r = new CallbackRegistration{CallbackObject, CallbackFunction, CallbackContext};
    CallbackObject->registrations.push_back(r);
    HeaderOf(CallbackObject)->refs++;
    return r;
}

void ExUnregisterCallback(PVOID CallbackRegistration_)
{
    auto* r = static_cast<CallbackRegistration*>(CallbackRegistration_);
    std::lock_guard<std::mutex> lk(K.mu);
    auto& regs = r->object->registrations;
    regs.erase(std::remove(regs.begin(), regs.end(), r), regs.end());
    CALLBACK_OBJECT* cb = r->object;
    delete r;
    DereferenceLocked(cb);
}

void ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2)
{
    std::vector<CallbackRegistration> calls;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        for (auto* r : static_cast<CALLBACK_OBJECT*>(CallbackObject)->registrations) calls.push_back(*r);
    }
    for (auto& c : calls) c.function(c.context, Argument1, Argument2);
}

}  // extern "C"
