// Registry helpers of the framework (used by the information sets and the debug
// manager). Paths relative to a RelativeTo root (the RtlWriteRegistryValue values
// 0 to 5) are made absolute first: an empty path is refused, a missing leading backslash
// is supplied and the root is prepended.
#pragma once

#include "jnstring.h"

// Builds the absolute form of `path` below root `relativeTo` (STATUS_INVALID_PARAMETER
// for an empty path or an unknown root).
NTSTATUS JnRegistryMakeAbsolute(ULONG relativeTo, PCUNICODE_STRING path, CJnString& absolute);
// Creates (or opens) a key below the Services root with KEY_ALL_ACCESS.
NTSTATUS JnRegistryCreateKey(PCUNICODE_STRING pathBelowServices, PHANDLE key);
// Opens the existing key `name` below an open key.
NTSTATUS JnRegistryOpenKey(HANDLE parent, PCUNICODE_STRING name, ACCESS_MASK access, PHANDLE key);
// Opens, or creates when missing, the key `name` below an open key.
NTSTATUS JnRegistryOpenOrCreateKey(HANDLE parent, PCUNICODE_STRING name, ACCESS_MASK access, PHANDLE key);
// A REG_DWORD of exactly 4 bytes; anything else is STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS JnRegistryReadDword(HANDLE key, PCWSTR valueName, PULONG value);
NTSTATUS JnRegistryReadDwordAt(PCUNICODE_STRING absolutePath, PCWSTR valueName, PULONG value);
// A REG_SZ value, however long.
NTSTATUS JnRegistryReadString(HANDLE key, PCWSTR valueName, CJnString& value);
NTSTATUS JnRegistryWriteDword(PCUNICODE_STRING absolutePath, PCWSTR valueName, ULONG value);
// REG_SZ or REG_EXPAND_SZ only (STATUS_INVALID_PARAMETER otherwise).
NTSTATUS JnRegistryWriteString(PCUNICODE_STRING absolutePath, PCWSTR valueName, ULONG type, PCUNICODE_STRING value);
