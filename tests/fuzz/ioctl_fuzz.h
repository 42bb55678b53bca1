// The I/O-control fuzzing engine: a host with one module of each board, driven
// through the C API by a byte string read as a sequence of requests.
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
    // Rare events at most one per eventSpacing requests; 0 switches them off.
    std::uint64_t eventSpacing = 1000;
    // The stand-in clock's speed over real time while the host runs.
    double clockScale = 1000;
};

// The boards, one module each, in device order.
const std::vector<std::string>& boards();
// Start and stop abort on a failure, stop also when kernel-layer objects
// outlived the host; so does an input on a driver halt, a host fault or a lost handle.
void start(const Options& options);
void stop();
void runInput(const std::uint8_t* data, std::size_t size);
const Counters& counters();
// The last table request: the transport's code, the bytes written, the
// output size and the operation's status word.
struct Outcome {
    std::int32_t transport = 0;
    std::uint32_t result = 0;
    std::uint64_t outputSize = 0;
    std::int32_t status = 0;
};
Outcome lastOutcome();
// The lowest setup level the boards reached at start.
std::uint32_t topLevel();

// A seed: one valid request of a code at the top level (after those it needs)
// or one of the platform's requests (codeIndex -1); made while the host runs.
struct Seed {
    std::string name;
    int codeIndex;
    std::vector<std::uint8_t> bytes;
};
// Every code's but the reset's, then the platform's, on one board.
std::vector<Seed> seedsOf(unsigned board);
// Every board's, and the rare events.
std::vector<std::vector<std::uint8_t>> seeds();

// A reset through the reset code: its status word (or the transport's code);
// resetOnly leaves the handles it invalidated, reopen opens them anew.
std::int32_t resetDevice(unsigned board, std::uint32_t level);
std::int32_t resetOnly(unsigned board, std::uint32_t level);
void reopen(unsigned board);
// A board's setup level (a negative status when unanswered).
std::int64_t setupLevel(unsigned board);
int deviceIndex(unsigned board);
int firstHandle(unsigned board); // on "smu_kelvo"

} // namespace kelvo_fuzz
