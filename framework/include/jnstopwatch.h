// CJnStopwatch: a microsecond stopwatch on the performance counter. Each reading returns
// the whole microseconds since the previous reading (or the start) and counts on from
// there; the fraction of a microsecond not returned is carried into the next reading, so
// readings taken at a steady rate add up to the time that really passed.
#pragma once

#include "kwplat/kernel.h"

class CJnStopwatch {
public:
    CJnStopwatch() { m_Restart(); }

    void m_Restart()
    {
        LARGE_INTEGER frequency;
        m_llLast = KeQueryPerformanceCounter(&frequency).QuadPart;
        m_llFrequency = frequency.QuadPart;
    }

    ULONG m_Read()
    {
        LARGE_INTEGER frequency;
        LONGLONG now = KeQueryPerformanceCounter(&frequency).QuadPart;
        LONGLONG counts = now - m_llLast;
        if (counts <= 0 || m_llFrequency <= 0) return 0;
        ULONGLONG microseconds = static_cast<ULONGLONG>(counts) * 1000000ULL / static_cast<ULONGLONG>(m_llFrequency);
        m_llLast += static_cast<LONGLONG>(microseconds * static_cast<ULONGLONG>(m_llFrequency) / 1000000ULL);
        return microseconds > 0xFFFFFFFFULL ? 0xFFFFFFFFUL : static_cast<ULONG>(microseconds);
    }

private:
    LONGLONG m_llLast;
    LONGLONG m_llFrequency;
};
