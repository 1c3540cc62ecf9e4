// tarvo-sim: the simulated PC on the command line. For now it boots the simulated
// kernel, loads the sample driver, lets it run for a virtual second and unloads it,
// printing what the machine did (and, on request, registry subtrees).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "simkernel/registry.h"
#include "simkernel/sim.h"

namespace {

void Print(const char* what, const std::string& text)
{
    printf("%s", what);
    printf("%s", text.c_str());
}

std::string Seconds(int64_t t)
{
    char buf[48];
    snprintf(buf, sizeof buf, "%lld.%07lld s", (long long)(t / kwsim::kSec), (long long)(t % kwsim::kSec));
    return buf;
}

}  // namespace

int main(int argc, char** argv)
{
    int64_t runFor = kwsim::kSec;
    std::vector<std::string> dumps;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--run-ms") && i + 1 < argc) {
            runFor = atoll(argv[++i]) * kwsim::kMs;
        } else if (!strcmp(argv[i], "--registry") && i + 1 < argc) {
            dumps.push_back(argv[++i]);
        } else {
            fprintf(stderr, "usage: tarvo-sim [--run-ms N] [--registry KEYPATH]...\n");
            return 2;
        }
    }

    int problems = 0;
    kwsim::BootOptions options;
    options.threadName = "tarvo-sim";
    options.onReport = [&](const kwsim::Report& r) {
        problems++;
        printf("!! %s: %s\n", kwsim::ReportKindName(r.kind), r.text.c_str());
    };
    kwsim::SetModuleDirectory(KWSIM_MODULE_DIR);
    kwsim::Boot(options);
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
    Print("debug output of the drivers:\n", kwsim::DebugOutput());
    for (auto& path : dumps) Print("registry:\n", kwsim::DumpRegistry(path));
    auto leaks = kwsim::Shutdown();
    printf("simulated kernel shut down: %d problem(s) reported\n", problems);
    return problems == 0 && driver.driverObject ? 0 : 1;
}
