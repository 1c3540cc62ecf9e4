// Included first by the one translation unit of a module that instantiates its GUIDs:
// every DEFINE_GUID after it defines the GUID instead of declaring it.
#if defined(_WIN32)
#  include <initguid.h>
#else
#  ifndef INITGUID
#    define INITGUID
#  endif
#  include "kwplat/guids.h"
#endif
