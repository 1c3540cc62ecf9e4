// What the registry's kernel routines (Zw*, Rtl*) and its text form share.
#pragma once

#include <string>
#include <string_view>

#include "simkernel/registry.h"

namespace kwsim::detail {

// Reports a call of `routine` above PASSIVE_LEVEL (registry routines are pageable).
void RequirePassive(const char* routine);

// The key behind a kernel key handle, if the handle grants `need`.
// STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH or STATUS_ACCESS_DENIED otherwise.
NTSTATUS ResolveKeyHandle(HANDLE handle, ACCESS_MASK need, RegKey* key);
// A new kernel handle to key with `access` (generic rights mapped to key rights).
HANDLE InsertKeyHandle(const RegKey& key, ACCESS_MASK access);

// Names compare after the kernel's upcase mapping.
bool SameName(std::u16string_view a, std::u16string_view b);

std::string ToUtf8(std::u16string_view text);
// False when the text is not well-formed UTF-8.
bool FromUtf8(std::string_view text, std::u16string* out);

}  // namespace kwsim::detail
