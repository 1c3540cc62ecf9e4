// GUIDs: DEFINE_GUID(name, ...) declares the GUID in every translation unit and defines
// it in the one that includes "kwplat/initguid.h" first (one per module), as initguid.h
// does on Windows.
//
// DEFINE_GUID is deliberately defined outside the include guard: including initguid.h
// after this header switches it to defining.

#include "kwplat/types.h"

#if defined(_WIN32)
#  include <guiddef.h>
#else
#  undef DEFINE_GUID
#  ifdef INITGUID
#    define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
        extern "C" const GUID name;                                        \
        extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#  else
#    define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern "C" const GUID name
#  endif
#  ifndef KW_GUIDS_H_ONCE
#    define KW_GUIDS_H_ONCE
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0; }
#    define InlineIsEqualGUID IsEqualGUID
#  endif
#endif
