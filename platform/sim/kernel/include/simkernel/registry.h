// The registry of the simulated PC: one in-memory tree shared by the kernel's Zw*/Rtl*
// routines, the simulated Win32 user mode and the test kit. Drivers never include this.
//
// Key and value names are case-insensitive (compared after the kernel's upcase mapping)
// and keep the case they were created with. Subkeys enumerate in the order of their
// upcased names, values in the order they were first set. A value keeps its type and
// its raw bytes exactly as written.
//
// The tree is rebuilt at every Boot with the skeleton the drivers rely on:
//   \Registry\Machine\System\CurrentControlSet\{Services,Control,Enum}
//   \Registry\Machine\System\CurrentControlSet\Services\EventLog\System
//   \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
//   \Registry\Machine\Hardware\DeviceMap
//   \Registry\User\.Default  (RTL_REGISTRY_USER: the system account's user key)
// \Registry, \Registry\Machine and \Registry\User only hold hives: keys cannot be
// created directly below them, and their hive keys cannot be deleted.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kwplat/kernel.h"

namespace kwsim {

struct RegNode;  // a key of the tree
// A reference to a key. It stays valid after the key is deleted; every operation on a
// deleted key then gives STATUS_KEY_DELETED.
using RegKey = std::shared_ptr<RegNode>;

struct RegValue {
    std::u16string name;  // as stored
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct RegKeyInfo {
    std::u16string name;  // the key's own name (last path component), as stored
    std::u16string className;
    int64_t lastWriteTime = 0;  // system time (100 ns since 1601) of the last change
    ULONG subKeys = 0;
    ULONG values = 0;
    ULONG maxSubKeyNameBytes = 0;
    ULONG maxClassBytes = 0;  // of the subkeys
    ULONG maxValueNameBytes = 0;
    ULONG maxValueDataBytes = 0;
    bool isVolatile = false;
};

// Roots of the Rtl registry routines' RelativeTo values 1 to 5.
extern const char16_t* const kRtlRegistryRoots[RTL_REGISTRY_MAXIMUM];

class Registry {
public:
    // A key by path. With `base` null the path is absolute ("\Registry\..."); otherwise
    // it is relative to base (and must not begin with a backslash). An empty relative
    // path is base itself. Missing keys: STATUS_OBJECT_NAME_NOT_FOUND.
    NTSTATUS Open(const RegKey& base, std::u16string_view path, RegKey* key);
    // ZwCreateKey's rules: every key but the last must exist (else
    // STATUS_OBJECT_NAME_NOT_FOUND); options 0 or REG_OPTION_VOLATILE; a volatile parent
    // takes only volatile children; an existing key is opened as it is.
    NTSTATUS Create(const RegKey& base, std::u16string_view path, ULONG options, RegKey* key,
                    ULONG* disposition = nullptr, std::u16string_view className = {});
    // Creates every missing key of an absolute path, also where Create refuses
    // (machine setup and fixtures).
    NTSTATUS CreatePath(std::u16string_view absolutePath, RegKey* key = nullptr);
    // ZwDeleteKey's rules: STATUS_CANNOT_DELETE while the key has subkeys.
    NTSTATUS Delete(const RegKey& key);
    // The key with everything below it (setup, fixtures, user mode's tree deletion).
    NTSTATUS DeleteTree(const RegKey& key);

    NTSTATUS SetValue(const RegKey& key, std::u16string_view name, ULONG type, const void* data, size_t size);
    NTSTATUS QueryValue(const RegKey& key, std::u16string_view name, RegValue* value);
    NTSTATUS DeleteValue(const RegKey& key, std::u16string_view name);

    // Subkey number `index` in enumeration order; STATUS_NO_MORE_ENTRIES past the end.
    NTSTATUS EnumKey(const RegKey& key, ULONG index, RegKeyInfo* info);
    NTSTATUS EnumValue(const RegKey& key, ULONG index, RegValue* value);
    NTSTATUS QueryKey(const RegKey& key, RegKeyInfo* info);

    // Full path with the stored case ("\Registry\Machine\..."); a deleted key keeps the
    // path it had.
    std::u16string PathOf(const RegKey& key);
    bool IsDeleted(const RegKey& key);

    // A fresh tree holding the boot skeleton (done by Boot).
    void Reset();

private:
    NTSTATUS Split(std::u16string_view path, bool absolute, std::vector<std::u16string_view>* parts);
    NTSTATUS Walk(const RegKey& base, std::u16string_view path, bool allButLast, RegKey* key,
                  std::u16string_view* last);
    std::mutex mu_;
    RegKey root_;
};

// The tree of the simulated PC.
Registry& GetRegistry();

// ---- text form ----
//
// One key per section, values below it, in UTF-8:
//
//   ; a comment
//   [\Registry\Machine\System\CurrentControlSet\Services\KwUSer36]
//   "LogLevel"=dword:00000001                 REG_DWORD, 8 hex digits at most
//   "Total"=qword:0000000000000010            REG_QWORD
//   "PortName"="COM5"                         REG_SZ with its terminating zero
//   "Raw"=unterminated:"COM5"                 REG_SZ written without a terminator
//   "Path"=expand:"%SystemRoot%\\inf"         REG_EXPAND_SZ with its terminator
//   "Multi"=multi:"a","b"                     REG_MULTI_SZ: a\0b\0\0 (no strings: \0)
//   "Data"=hex:01,02,03                       REG_BINARY (hex: alone is empty)
//   "Other"=hex(8):00,01                      any type (hex number) with raw bytes
//   @="text"                                  the key's default (unnamed) value
//   "Old"=-                                   delete the value
//   [-\Registry\Machine\...\Gone]             delete the key and everything below it
//
// In quoted text \\ is a backslash and \" a quote. A section creates its key and every
// missing key above it.

// Applies the text to the tree. On a syntax error nothing after the bad line is
// applied and `error` says "line N: ...".
bool LoadRegistryText(std::string_view text, std::string* error = nullptr);
// The key at `path` and everything below it in the text form above (keys in
// enumeration order, values in their order); loading the dump into an empty tree
// gives the same dump again. A missing key gives a comment line saying so.
std::string DumpRegistry(std::string_view path = "\\Registry");

// ---- kernel handles ----

// A kernel handle (ZwClose closes it) to the key at an absolute path, created first
// (with every missing key above it) when `create` is set. For the sim's own kernel
// services, e.g. a device's hardware key.
NTSTATUS OpenKeyHandle(std::u16string_view path, ACCESS_MASK access, bool create, HANDLE* handle);
// The key behind a kernel key handle.
NTSTATUS KeyFromHandle(HANDLE handle, RegKey* key);

}  // namespace kwsim
