// The libFuzzer entry over the I/O-control engine (preset `fuzz`). KELVO_FUZZ_EVENTS=N: the rare events
// at most once in N requests (1000 by default; 0 switches them off).
#include <cstdio>
#include <cstdlib>

#include "ioctl_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* events = std::getenv("KELVO_FUZZ_EVENTS");
    kelvo_fuzz::start(
        {events != nullptr ? std::strtoull(events, nullptr, 10) : kelvo_fuzz::Options{}.eventSpacing});
    // At exit (libFuzzer ends with exit()): the host stops before the stand-in's statics go.
    std::atexit([] {
        kelvo_fuzz::stop();
        std::fprintf(stderr, "kelvo_fuzz: %llu requests, %llu events (top level %u)\n",
                     static_cast<unsigned long long>(kelvo_fuzz::counters().requests),
                     static_cast<unsigned long long>(kelvo_fuzz::counters().events), kelvo_fuzz::topLevel());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    kelvo_fuzz::runInput(data, size);
    return 0;
}
