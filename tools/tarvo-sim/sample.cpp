// The sample driver's run: boot, load KwSample, let it run, unload, and print what the
// machine did.
#include <cstdio>

#include "scenarios.h"
#include "simkernel/registry.h"
#include "simkernel/sim.h"

namespace tarvosim {

namespace {

std::string Seconds(int64_t t)
{
    char buf[48];
    snprintf(buf, sizeof buf, "%lld.%07lld s", (long long)(t / kwsim::kSec), (long long)(t % kwsim::kSec));
    return buf;
}

}  // namespace

int RunSample(const Options& options)
{
    const int64_t runFor = options.runFor.value_or(kwsim::kSec);
    int problems = 0;
    Boot(problems);
    printf("simulated kernel booted (virtual time %s)\n", Seconds(kwsim::Now()).c_str());

    kwsim::LoadedDriver driver = kwsim::LoadDriver("KwSample");
    printf("KwSample loaded: DriverEntry returned 0x%08X\n", (unsigned)driver.entryStatus);
    if (driver.driverObject) {
        printf("running for %s of virtual time...\n", Seconds(runFor).c_str());
        kwsim::Advance(runFor);
        printf("threads at %s:\n%s", Seconds(kwsim::Now()).c_str(), kwsim::DescribeThreads().c_str());
        kwsim::UnloadDriver(driver);
        printf("KwSample unloaded at %s\n", Seconds(kwsim::Now()).c_str());
    }
    printf("debug output of the drivers:\n%s", kwsim::DebugOutput().c_str());
    for (auto& path : options.registry) printf("registry:\n%s", kwsim::DumpRegistry(path).c_str());
    kwsim::Shutdown();
    printf("simulated kernel shut down: %d problem(s) reported\n", problems);
    return problems == 0 && driver.driverObject ? 0 : 1;
}

}  // namespace tarvosim
