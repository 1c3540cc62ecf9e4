// Compiled by the test command with `g++ -m32 -fsyntax-only`: the interface header as a
// 32-bit driver sees it. The header checks its own 32-bit offsets; this file makes sure
// the compiler really built for 32-bit pointers.
#include "kwiserial.h"

static_assert(sizeof(void*) == 4, "compiled for 32-bit pointers");
static_assert(sizeof(ISerial) == 164, "ISerial, 32-bit");
static_assert(sizeof(ReleaseKwISerialRequestStruct) == 8, "ReleaseKwISerialRequestStruct, 32-bit");
static_assert(sizeof(CreateKwISerialResponseStruct) == 4, "CreateKwISerialResponseStruct, 32-bit");
