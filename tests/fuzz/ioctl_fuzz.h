// The I/O-control fuzzing engine: one module of each board, driven through the C API by a byte string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo_fuzz {

struct Counters {
    std::uint64_t requests = 0;
    std::uint64_t events = 0; // resets, closes and re-opens, removals
};

struct Options {
    std::uint64_t eventSpacing = 1000; // rare events at most one per so many requests; 0 switches them off
    double clockScale = 1000;          // the stand-in clock's speed over real time while the host runs
};

// The boards, one module each, in device order.
const std::vector<std::string>& boards();
// Each aborts on a failure: stop also on kernel-layer objects outliving the host, an input on a driver
// halt, a host fault or a lost handle.
void start(const Options& options);
void stop();
void runInput(const std::uint8_t* data, std::size_t size);
const Counters& counters();
// The last table request: the transport's code, bytes written, output size, status word.
struct Outcome {
    std::int32_t transport = 0;
    std::uint32_t result = 0;
    std::uint64_t outputSize = 0;
    std::int32_t status = 0;
};
Outcome lastOutcome();
// The lowest setup level the boards reached at start.
std::uint32_t topLevel();

// A seed: a code's valid request at the top level (after those it needs) or a platform request (-1).
struct Seed {
    std::string name;
    int codeIndex;
    std::vector<std::uint8_t> bytes;
};
// Every code's but the reset's, then the platform's, on one board.
std::vector<Seed> seedsOf(unsigned board);
// Every board's, and the rare events.
std::vector<std::vector<std::uint8_t>> seeds();

// A reset: its status word (or the transport's code); resetOnly leaves the handles it invalidated.
std::int32_t resetDevice(unsigned board, std::uint32_t level);
std::int32_t resetOnly(unsigned board, std::uint32_t level);
void reopen(unsigned board);
// A board's setup level (a negative status when unanswered).
std::int64_t setupLevel(unsigned board);
int deviceIndex(unsigned board);
int firstHandle(unsigned board); // on "smu_kelvo"

} // namespace kelvo_fuzz
