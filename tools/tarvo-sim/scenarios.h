// The runs tarvo-sim knows. Each boots its own simulated PC, prints what happened in
// virtual time and returns the program's exit code: 0 when nothing was reported and the
// run did what it set out to do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvosim {

struct Options {
    std::optional<int64_t> runFor;       // --run-ms, in 100-ns units
    std::vector<std::string> registry;   // --registry: subtrees printed before shutdown
};

// An application talks to channel A of a four-channel adapter through a loop-back plug,
// then the USB traffic it caused is told request by request.
int RunLoopBack(const Options& options);
// The sample driver loaded, left running and unloaded.
int RunSample(const Options& options);

// Boots the simulated PC with the calling thread as its sim thread "tarvo-sim"; each
// report (verifier, leak, deadlock, break) is printed as it comes and counted in
// `problems`, which must outlive the kernel's shutdown.
void Boot(int& problems);

// "    12.3456 ms", as in the column of the USB traffic; unpadded "12.3456 ms".
std::string Milliseconds(int64_t t, bool padded = true);

}  // namespace tarvosim
