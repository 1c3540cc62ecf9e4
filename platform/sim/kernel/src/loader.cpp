// The driver loader: a driver is a Linux shared module exporting DriverEntry, opened
// with its own copy of everything it links statically (so globals are private and an
// unload followed by a load starts from scratch).
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel_internal.h"
#include "simkernel/registry.h"

namespace kwsim::detail {

namespace {

struct Module {
    std::string name;
    void* handle = nullptr;
    uintptr_t begin = 0, end = 0;
    PDRIVER_OBJECT driver = nullptr;
    std::u16string registryPath;
    UNICODE_STRING registryPathString{};
    std::u16string driverName;
};

std::mutex gLoaderMu;
std::vector<std::unique_ptr<Module>> gModules;
std::string gModuleDir;
_OBJECT_TYPE gDriverType{"Driver", true};

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void SetUnicode(UNICODE_STRING& u, std::u16string& s)
{
    u.Buffer = reinterpret_cast<PWSTR>(s.data());
    u.Length = (USHORT)(s.size() * sizeof(WCHAR));
    u.MaximumLength = (USHORT)(u.Length + sizeof(WCHAR));
}

struct RangeSearch {
    uintptr_t base;
    uintptr_t begin, end;
};

int FindRange(struct dl_phdr_info* info, size_t, void* data)
{
    RangeSearch* r = static_cast<RangeSearch*>(data);
    if (info->dlpi_addr != r->base) return 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        uintptr_t b = info->dlpi_addr + ph.p_vaddr, e = b + ph.p_memsz;
        if (!r->begin || b < r->begin) r->begin = b;
        if (e > r->end) r->end = e;
    }
    return 1;
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP) { return STATUS_INVALID_DEVICE_REQUEST; }

std::string ModulePath(const std::string& name)
{
    if (name.find('/') != std::string::npos) return name;
    std::string dir = gModuleDir;
    if (dir.empty())
        if (const char* env = getenv("KWSIM_MODULE_DIR")) dir = env;
    if (dir.empty()) dir = ".";
    return dir + "/" + name + ".so";
}

bool InModule(const Module& m, const void* p)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    return a >= m.begin && a < m.end;
}

// What still points into a module's code: calling it after the unload would crash.
std::vector<std::string> CodeReferences(const Module& m)
{
    std::vector<std::string> refs;
    std::lock_guard<std::mutex> lk(K.mu);
    for (auto& [key, entry] : K.timeline)
        if (entry.kind == EntryKind::Timer && entry.timer->Dpc && InModule(m, (const void*)entry.timer->Dpc->DeferredRoutine))
            refs.push_back("a timer with DPC routine " + SymbolName((const void*)entry.timer->Dpc->DeferredRoutine) +
                           " is still set");
    for (auto& cpu : K.cpus)
        for (PLIST_ENTRY e = cpu->queue.Flink; e != &cpu->queue; e = e->Flink) {
            KDPC* dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
            if (InModule(m, (const void*)dpc->DeferredRoutine))
                refs.push_back("DPC routine " + SymbolName((const void*)dpc->DeferredRoutine) + " is still queued");
        }
    for (auto& t : K.threads)
        if (!t->terminated && t->start && InModule(m, (const void*)t->start))
            refs.push_back("thread '" + t->name + "' is still running");
    return refs;
}

}  // namespace

void CollectModuleLeaks(std::vector<std::string>& out)
{
    std::lock_guard<std::mutex> lk(gLoaderMu);
    for (auto& m : gModules) out.push_back("driver " + m->name + " is still loaded");
}

void ResetLoader()
{
    std::lock_guard<std::mutex> lk(gLoaderMu);
    for (auto& m : gModules)
        if (m->handle) dlclose(m->handle);
    gModules.clear();
}

}  // namespace kwsim::detail

namespace kwsim {
using namespace detail;

void SetModuleDirectory(const std::string& dir)
{
    std::lock_guard<std::mutex> lk(gLoaderMu);
    gModuleDir = dir;
}

LoadedDriver LoadDriver(const std::string& name)
{
    SimThread* self = Current();
    LoadedDriver result;
    if (self->irql != PASSIVE_LEVEL) Verify("a driver is loaded above PASSIVE_LEVEL");
    std::string path = ModulePath(name);
    std::string base = name.substr(name.find_last_of('/') + 1);
    if (base.size() > 3 && base.compare(base.size() - 3, 3, ".so") == 0) base.resize(base.size() - 3);

    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        fprintf(stderr, "[kwsim] cannot load %s: %s\n", path.c_str(), dlerror());
        result.entryStatus = STATUS_DRIVER_UNABLE_TO_LOAD;
        return result;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (!entry) {
        fprintf(stderr, "[kwsim] %s exports no DriverEntry\n", path.c_str());
        dlclose(handle);
        result.entryStatus = STATUS_DRIVER_UNABLE_TO_LOAD;
        return result;
    }

    auto m = std::make_unique<Module>();
    m->name = base;
    m->handle = handle;
    Dl_info info;
    dladdr((const void*)entry, &info);
    RangeSearch range{reinterpret_cast<uintptr_t>(info.dli_fbase), 0, 0};
    dl_iterate_phdr(FindRange, &range);
    m->begin = range.begin;
    m->end = range.end;
    m->registryPath = Widen("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + base);
    GetRegistry().CreatePath(m->registryPath);  // as installing the service would have
    SetUnicode(m->registryPathString, m->registryPath);
    m->driverName = Widen("\\Driver\\" + base);

    PDRIVER_OBJECT drv;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        drv = static_cast<PDRIVER_OBJECT>(
            AllocateObject(&gDriverType, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION), nullptr));
    }
    PDRIVER_EXTENSION ext = reinterpret_cast<PDRIVER_EXTENSION>(drv + 1);
    drv->Type = IO_TYPE_DRIVER;
    drv->Size = sizeof(DRIVER_OBJECT);
    drv->DriverStart = reinterpret_cast<PVOID>(m->begin);
    drv->DriverSize = (ULONG)(m->end - m->begin);
    drv->DriverExtension = ext;
    SetUnicode(drv->DriverName, m->driverName);
    drv->DriverInit = entry;
    for (auto& f : drv->MajorFunction) f = InvalidDeviceRequest;
    ext->DriverObject = drv;
    ext->ServiceKeyName = m->registryPathString;
    ext->ServiceKeyName.Buffer += m->registryPath.size() - base.size();
    ext->ServiceKeyName.Length = ext->ServiceKeyName.MaximumLength = (USHORT)(base.size() * sizeof(WCHAR));
    m->driver = drv;

    NTSTATUS status = entry(drv, &m->registryPathString);
    if (self->irql != PASSIVE_LEVEL || self->spinLocksHeld)
        Verify("DriverEntry of " + base + " returned at IRQL " + std::to_string(self->irql));
    result.driverObject = drv;
    result.entryStatus = status;
    result.module = handle;
    if (!NT_SUCCESS(status)) {
        // A failed DriverEntry is unloaded without DriverUnload.
        auto refs = CodeReferences(*m);
        for (auto& r : refs) Verify("DriverEntry of " + base + " failed, but " + r);
        if (refs.empty()) dlclose(handle);
        ObfDereferenceObject(drv);
        result.driverObject = nullptr;
        result.module = nullptr;
        return result;
    }
    std::lock_guard<std::mutex> lk(gLoaderMu);
    gModules.push_back(std::move(m));
    return result;
}

bool UnloadDriver(LoadedDriver& driver)
{
    SimThread* self = Current();
    std::unique_ptr<Module> m;
    {
        std::lock_guard<std::mutex> lk(gLoaderMu);
        auto it = std::find_if(gModules.begin(), gModules.end(),
                               [&](auto& mod) { return mod->driver == driver.driverObject; });
        if (it == gModules.end()) return false;
        if (!driver.driverObject->DriverUnload) return false;
        m = std::move(*it);
        gModules.erase(it);
    }
    m->driver->Flags |= DRVO_UNLOAD_INVOKED;
    m->driver->DriverUnload(m->driver);
    if (self->irql != PASSIVE_LEVEL || self->spinLocksHeld)
        Verify("DriverUnload of " + m->name + " returned at IRQL " + std::to_string(self->irql));
    auto refs = CodeReferences(*m);
    for (auto& r : refs) Verify("driver " + m->name + " unloaded, but " + r);
    if (refs.empty()) {
        dlclose(m->handle);
    }
    ObfDereferenceObject(m->driver);
    driver = LoadedDriver{};
    if (!refs.empty()) {
        // Its code is still in use: keep the module mapped until shutdown.
        m->driver = nullptr;
        std::lock_guard<std::mutex> lk(gLoaderMu);
        gModules.push_back(std::move(m));
    }
    return true;
}

}  // namespace kwsim
