// The libFuzzer entry over the I/O-control engine (built by the preset `fuzz`).
//
// Environment: KELVO_FUZZ_EVENTS=N lets the rare events (resets, closes and
// re-opens, removals) happen at most once in N requests (1000 by default);
// 0 switches them off, to measure the rate without them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ioctl_fuzz.h"
#include "kelvo/ioctl.h"

namespace {

// At exit (libFuzzer ends with exit()): the host stops before the
// stand-in's statics go, and the counts are printed.
void finish() {
    kelvo_fuzz::stop();
    const kelvo_fuzz::Counters& counters = kelvo_fuzz::counters();
    std::fprintf(stderr, "kelvo_fuzz: %llu requests, %llu events (top level %u)\n",
                 static_cast<unsigned long long>(counters.requests),
                 static_cast<unsigned long long>(counters.events), kelvo_fuzz::topLevel());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelvo_fuzz::Options options;
    options.clockScale = 1000;
    options.topLevel = KELVO_SETUP_LEVEL_COMPLETE;
    const char* events = std::getenv("KELVO_FUZZ_EVENTS");
    if (events != nullptr) {
        options.eventSpacing = std::strtoull(events, nullptr, 10);
    }
    kelvo_fuzz::start(options);
    std::atexit(finish);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    kelvo_fuzz::runInput(data, size);
    return 0;
}
