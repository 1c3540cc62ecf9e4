// A test fixture booted as an older Windows: OnWindows<5, 0, DriverTest> runs the tests
// of DriverTest on Windows 2000 (WDM 1.10).
#pragma once

#include "simkernel/sim.h"

namespace kwsim::test {

template <ULONG Major, ULONG Minor, class Fixture>
class OnWindows : public Fixture {
protected:
    BootOptions Options() override
    {
        BootOptions o = Fixture::Options();
        o.osMajor = Major;
        o.osMinor = Minor;
        return o;
    }
};

}  // namespace kwsim::test
