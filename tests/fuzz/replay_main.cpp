// Replays fuzzing inputs without libFuzzer (any compiler), and writes the seeds.
//
//   kelvo_fuzz_replay FILE|DIR...   runs every file on a freshly started host
//   kelvo_fuzz_replay --one-host FILE|DIR...
//                                   runs them in turn on one host, as the
//                                   fuzzer does
//   kelvo_fuzz_replay --seeds DIR   writes the seed corpus into DIR
//   kelvo_fuzz_replay --check-seeds checks that every code's seed reaches its operation
//   kelvo_fuzz_replay --levels      checks that a reset reaches every level on every board
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ioctl_fuzz.h"
#include "kelvo/ioctl.h"

namespace fs = std::filesystem;

namespace {

// The stand-in clock's speed in the replay (the fuzzer's too);
// KELVO_FUZZ_CLOCK_SCALE sets another.
const double kClockScale = std::getenv("KELVO_FUZZ_CLOCK_SCALE") != nullptr
                               ? std::strtod(std::getenv("KELVO_FUZZ_CLOCK_SCALE"), nullptr)
                               : 1000;

// Starts the engine at the complete level; eventSpacing 0: no resets or removals.
void startAtTop(std::uint64_t eventSpacing) {
    kelvo_fuzz::Options options;
    options.eventSpacing = eventSpacing;
    options.clockScale = kClockScale;
    options.topLevel = KELVO_SETUP_LEVEL_COMPLETE;
    kelvo_fuzz::start(options);
}

// Every code's seed reaches its operation: the transport answers 0 and the
// whole output record comes back.
int checkSeeds() {
    startAtTop(0);
    int failures = 0;
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        for (unsigned index = 0; index < kelvo_fuzz::codeCount(); ++index) {
            if (kelvo_fuzz::code(index) == KELVO_IOCTL_kdut_reset) {
                continue; // its seed is the reset event
            }
            const std::vector<std::uint8_t> seed = kelvo_fuzz::seedForCode(board, index);
            kelvo_fuzz::runInput(seed.data(), seed.size());
            const kelvo_fuzz::Outcome outcome = kelvo_fuzz::lastOutcome();
            if (outcome.transport != 0 || outcome.result != outcome.outputSize) {
                std::printf("seed of %s on %s: transport %d, %u of %llu bytes\n", kelvo_fuzz::codeName(index),
                            kelvo_fuzz::boards()[board].c_str(), outcome.transport, outcome.result,
                            static_cast<unsigned long long>(outcome.outputSize));
                ++failures;
            } else if (outcome.status < 0 || std::getenv("KELVO_FUZZ_VERBOSE") != nullptr) {
                std::printf("seed of %s on %s: the operation answers %d\n", kelvo_fuzz::codeName(index),
                            kelvo_fuzz::boards()[board].c_str(), outcome.status);
            }
        }
    }
    kelvo_fuzz::stop();
    return failures == 0 ? 0 : 1;
}

// A reset to each level, from the level above it (19 down to 0, then back
// to 19 from 0), reaches that level and answers -52010 below 19 and 0 at 19
// on every board; prints each reset's time.
int checkLevels() {
    startAtTop(0);
    int failures = 0;
    if (kelvo_fuzz::topLevel() != KELVO_SETUP_LEVEL_COMPLETE) {
        std::printf("the boards reach level %u at start\n", kelvo_fuzz::topLevel());
        ++failures;
    }
    std::vector<std::uint32_t> levels;
    for (std::uint32_t level = KELVO_SETUP_LEVEL_COMPLETE; level-- > 0;) {
        levels.push_back(level);
    }
    levels.push_back(KELVO_SETUP_LEVEL_COMPLETE);
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        std::uint32_t from = KELVO_SETUP_LEVEL_COMPLETE;
        for (std::uint32_t level : levels) {
            const auto begin = std::chrono::steady_clock::now();
            const std::int32_t status = kelvo_fuzz::resetDevice(board, level);
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
            const std::int64_t reached = kelvo_fuzz::setupLevel(board);
            std::printf("%s: %2u -> %2u answers %d, at %lld (%.1f ms)\n", kelvo_fuzz::boards()[board].c_str(),
                        from, level, status, static_cast<long long>(reached), ms);
            const std::int32_t expected =
                level == KELVO_SETUP_LEVEL_COMPLETE ? 0 : KELVO_STATUS_SETUP_TARGET_REACHED;
            if (status != expected || reached != level) {
                ++failures;
            }
            from = level;
        }
    }
    kelvo_fuzz::stop();
    return failures == 0 ? 0 : 1;
}

int writeSeeds(const fs::path& folder) {
    fs::create_directories(folder);
    unsigned n = 0;
    startAtTop(kelvo_fuzz::Options{}.eventSpacing); // the seeds pick registered names
    const std::vector<std::vector<std::uint8_t>> all = kelvo_fuzz::seeds();
    kelvo_fuzz::stop();
    for (const std::vector<std::uint8_t>& seed : all) {
        char name[32];
        std::snprintf(name, sizeof(name), "seed-%04u", n++);
        std::ofstream out(folder / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
    }
    std::printf("%u seeds written to %s\n", n, folder.c_str());
    return 0;
}

void startHost() {
    startAtTop(1);
}

void replay(const fs::path& file, bool freshHost) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
    if (freshHost) {
        startHost();
    }
    kelvo_fuzz::runInput(data.data(), data.size());
    if (freshHost) {
        kelvo_fuzz::stop();
    }
    std::printf("replayed %s (%zu bytes)\n", file.c_str(), data.size());
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--seeds") {
        return writeSeeds(argv[2]);
    }
    if (argc == 2 && std::string(argv[1]) == "--check-seeds") {
        return checkSeeds();
    }
    if (argc == 2 && std::string(argv[1]) == "--levels") {
        return checkLevels();
    }
    const bool oneHost = argc > 1 && std::string(argv[1]) == "--one-host";
    std::vector<fs::path> files;
    for (int i = oneHost ? 2 : 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            for (const fs::directory_entry& entry : fs::directory_iterator(argv[i])) {
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.' &&
                    entry.path().extension() != ".md") {
                    files.push_back(entry.path());
                }
            }
        } else {
            files.emplace_back(argv[i]);
        }
    }
    std::sort(files.begin(), files.end());
    if (oneHost) {
        startHost();
    }
    for (const fs::path& file : files) {
        replay(file, !oneHost);
    }
    if (oneHost) {
        kelvo_fuzz::stop();
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
