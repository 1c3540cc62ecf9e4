// tarvo-sim: the simulated PC on the command line. By default an application exchanges
// a message with itself over channel A of an adapter with a loop-back plug, and the USB
// traffic it caused is printed decoded; --sample runs the sample driver instead.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scenarios.h"
#include "simkernel/sim.h"

namespace tarvosim {

std::string Milliseconds(int64_t t, bool padded)
{
    char buf[48];
    snprintf(buf, sizeof buf, padded ? "%6lld.%04lld ms" : "%lld.%04lld ms", (long long)(t / kwsim::kMs),
             (long long)(t % kwsim::kMs));
    return buf;
}

void Boot(int& problems)
{
    kwsim::BootOptions boot;
    boot.threadName = "tarvo-sim";
    boot.onReport = [&problems](const kwsim::Report& r) {
        problems++;
        printf("!! %s: %s\n", kwsim::ReportKindName(r.kind), r.text.c_str());
    };
    kwsim::SetModuleDirectory(KWSIM_MODULE_DIR);
    kwsim::Boot(boot);
}

}  // namespace tarvosim

int main(int argc, char** argv)
{
    tarvosim::Options options;
    bool sample = false;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--run-ms") && i + 1 < argc) {
            options.runFor = atoll(argv[++i]) * kwsim::kMs;
        } else if (!strcmp(argv[i], "--registry") && i + 1 < argc) {
            options.registry.push_back(argv[++i]);
        } else if (!strcmp(argv[i], "--sample")) {
            sample = true;
        } else {
            fprintf(stderr,
                    "usage: tarvo-sim [--sample] [--run-ms N] [--registry KEYPATH]...\n"
                    "  default    loop-back exchange on channel A at 115,200 baud, USB traffic decoded\n"
                    "  --sample   load the sample driver instead\n"
                    "  --run-ms   virtual time the port stays open after the exchange (default 100),\n"
                    "             or the sample driver runs (default 1000)\n"
                    "  --registry print a registry subtree before shutdown\n");
            return 2;
        }
    }
    return sample ? tarvosim::RunSample(options) : tarvosim::RunLoopBack(options);
}
