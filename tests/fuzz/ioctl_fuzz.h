// The I/O-control fuzzing engine: a host with one module of each board,
// driven through the C API by a byte string read as a sequence of requests.
//
// The same engine serves the libFuzzer entry (fuzz_entry.cpp), the replay of
// the kept regression inputs (replay_main.cpp, built with any compiler) and
// the allocation-failure sweep (alloc_sweep.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo_fuzz {

// What a run of inputs did.
struct Counters {
    std::uint64_t requests = 0; // requests of every kind
    std::uint64_t events = 0;   // resets, closes and re-opens, removals
};

struct Options {
    // Rare events (resets, closes and re-opens, removals) at most one per
    // eventSpacing requests; 0 switches them off. The replay and the sweep
    // let every event of an input run (eventSpacing 1).
    std::uint64_t eventSpacing = 1000;
    // The stand-in clock's speed over real time while the host runs (0
    // leaves it as the caller set it). Settles and time-outs keep their
    // order and outcome; a full setup then costs little real time.
    double clockScale = 0;
    // The product's setup levels the devices climb, 1 to this one (a level
    // table for tests stops there). The fuzzer, its replay and the findings
    // take the whole product (19); the sweeps keep their level until they
    // take the whole product too.
    std::uint32_t topLevel = 5;
};

// The boards, one module each, in device order.
const std::vector<std::string>& boards();

// Starts the host, adds one module of each board and opens their handles;
// aborts when that fails.
void start(const Options& options);
// Closes everything and stops the host.
void stop();
// Runs one input. A driver halt ends the process (the stand-in aborts); a
// fault the host saw, or a handle the harness cannot get back, aborts too.
void runInput(const std::uint8_t* data, std::size_t size);
const Counters& counters();
// The last request of the code table: the transport's code, the header's
// result field (bytes written to the output record) and the output size.
struct Outcome {
    std::int32_t transport = 0;
    std::uint32_t result = 0;
    std::uint64_t outputSize = 0;
    std::int32_t status = 0; // the operation's status word
    std::uint32_t code = 0;
};
Outcome lastOutcome();
// The highest setup level every board reached at start.
std::uint32_t topLevel();

// Seed inputs: one valid request of every code on every board (seeds.cpp),
// and one of each of the platform's requests (notifier, read, write, memory
// map). They pick registered names: the host must be running.
std::vector<std::vector<std::uint8_t>> seeds();
// The platform's requests on one board: an unknown code, the notifier's
// open (also on a second handle) and close, read, write, memory map.
std::vector<std::vector<std::uint8_t>> platformSeeds(unsigned board);
// The seed of one code (index into the code table) on one board: the code's
// request, after those it needs (the reservation of channel 0, a route).
std::vector<std::uint8_t> seedForCode(unsigned board, unsigned codeIndex);
// The registered names (of every registry and board, in the order found at
// start): a table request's name byte picks one of them.
const std::vector<std::string>& registeredNames();
// The address fields of a code's input record, in the order a table request
// reads their choices: a name (its length follows it) or a buffer.
struct AddressFieldAt {
    std::uint32_t offset;
    bool name;
};
std::vector<AddressFieldAt> addressFields(unsigned codeIndex);
// Codes of the table and each one's name.
unsigned codeCount();
std::uint32_t code(unsigned codeIndex);
const char* codeName(unsigned codeIndex);

// Requests a reset of a board's device to a level through the reset code:
// the operation's status word (the transport's code when that failed).
std::int32_t resetDevice(unsigned board, std::uint32_t level);
// The same without opening the device's handles again afterwards (a reset
// invalidates their sessions), and that re-opening alone.
std::int32_t resetOnly(unsigned board, std::uint32_t level);
void reopen(unsigned board);
// The setup level of a board's device (a negative status when unanswered).
std::int64_t setupLevel(unsigned board);
// The host's device index of a board's module, and its first handle on "smu_kelvo".
int deviceIndex(unsigned board);
int firstHandle(unsigned board);

} // namespace kelvo_fuzz
