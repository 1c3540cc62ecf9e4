#include "vcpbase.h"
#include "jndebugmanager.h"

namespace {
// A rate of 0 never reaches the line (the port refuses it and so does the device); should a
// registry default of 0 stand in the shadow, the character time is that of the slowest
// standard rate rather than a division by zero.
const ULONG kSlowestRate = 75;
}  // namespace

CVcpBase::CVcpBase() : m_ulBaudRate(115200)
{
    m_LineControl.StopBits = STOP_BIT_1;
    m_LineControl.Parity = NO_PARITY;
    m_LineControl.WordLength = 8;
}

LONGLONG CVcpBase::m_GetCharTime() const
{
    ULONG rate = m_ulBaudRate ? m_ulBaudRate : kSlowestRate;
    ULONG bitTime = (10000000 + rate - 1) / rate;
    ULONG bits = 1 + m_LineControl.WordLength + (m_LineControl.Parity != NO_PARITY ? 1 : 0) +
                 (m_LineControl.StopBits == STOP_BITS_2 ? 2 : 1);
    LONGLONG charTime = (LONGLONG)bits * bitTime;
    JnTrace(kTraceChannel, "CVcpBase::m_GetCharTime - CharTime low %d CharTime high %d", (ULONG)charTime,
            (ULONG)(charTime >> 32));
    return charTime;
}
