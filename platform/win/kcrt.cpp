// The kernel C++ runtime of our drivers: operator new and delete come from non-paged
// pool, a pure virtual call stops the machine, and nothing here needs a constructor to
// run before DriverEntry (kernel images have no static initialisation).
#include "kwplat/kernel.h"

namespace {
const ULONG kCppTag = KW_TAG("KwNw");
}

void* operator new(size_t size) { return ExAllocatePoolWithTag(NonPagedPool, size, kCppTag); }
void* operator new[](size_t size) { return ExAllocatePoolWithTag(NonPagedPool, size, kCppTag); }
void operator delete(void* p) noexcept
{
    if (p) ExFreePoolWithTag(p, kCppTag);
}
void operator delete[](void* p) noexcept
{
    if (p) ExFreePoolWithTag(p, kCppTag);
}
void operator delete(void* p, size_t) noexcept
{
    if (p) ExFreePoolWithTag(p, kCppTag);
}
void operator delete[](void* p, size_t) noexcept
{
    if (p) ExFreePoolWithTag(p, kCppTag);
}

extern "C" void __cxa_pure_virtual()
{
    // A call through a pure virtual slot is a driver bug: stop the machine.
    KeBugCheckEx(0xD0000001u, 0, 0, 0, 0);
}
