// GoogleTest fixture that boots a fresh simulated kernel for every test.
//
// Every verifier report, debug break, deadlock and leak fails the test at once, unless
// the test said it expects it (ExpectReport). At the end of the test the kernel shuts
// down and reports what was left behind.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "simkernel/sim.h"

namespace kwsim::test {

class SimTest : public ::testing::Test {
public:
    // Shut the kernel down now (TearDown then does nothing more).
    void ShutdownAndCheck();

protected:
    void SetUp() override
    {
#ifdef KWSIM_MODULE_DIR
        SetModuleDirectory(KWSIM_MODULE_DIR);
#endif
        BootOptions options = Options();
        options.onReport = [this](const Report& r) { OnReport(r); };
        Boot(options);
    }

    void TearDown() override { ShutdownAndCheck(); }

    // Tests override this to boot differently (clock mode, processors, OS version).
    virtual BootOptions Options() { return {}; }

    // The next report of `kind` whose text contains `fragment` is expected, not a failure.
    void ExpectReport(ReportKind kind, const std::string& fragment);
    // Number of expected reports that have arrived.
    int ExpectedReportsSeen();

private:
    struct Expectation {
        ReportKind kind;
        std::string fragment;
        bool seen = false;
    };
    void OnReport(const Report& report);

    std::mutex mu_;
    std::vector<Expectation> expected_;
    bool shutDown_ = false;
};

}  // namespace kwsim::test

namespace kwsim::test {

inline LARGE_INTEGER Relative(int64_t dt)
{
    LARGE_INTEGER t;
    t.QuadPart = -dt;
    return t;
}

inline LARGE_INTEGER Absolute(int64_t interruptTime)
{
    LARGE_INTEGER t;
    t.QuadPart = SystemTimeAtBoot() + interruptTime;
    return t;
}

}  // namespace kwsim::test
