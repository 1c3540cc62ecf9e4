// The bus driver's own trace channel (the specific driver's channel of the framework).
#pragma once

#define KW_UBUS_TRACE 7
