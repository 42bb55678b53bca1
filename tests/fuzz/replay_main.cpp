// Replays fuzzing inputs without libFuzzer, and writes the seeds.
//   kelvo_fuzz_replay FILE|DIR...   every file on a freshly started host
//   kelvo_fuzz_replay --one-host FILE|DIR...   in turn on one host, as the fuzzer does
//   kelvo_fuzz_replay --seeds DIR   writes the seed corpus into DIR
//   kelvo_fuzz_replay --check-seeds every code's seed reaches its operation
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ioctl_fuzz.h"

namespace fs = std::filesystem;
using namespace kelvo_fuzz;

namespace {

// Every code's seed: the transport answers 0 and the whole output record comes back.
int checkSeeds() {
    start(Options{0});
    int failures = 0;
    for (unsigned board = 0; board < boards().size(); ++board) {
        for (const Seed& seed : seedsOf(board)) {
            if (seed.codeIndex < 0) {
                continue;
            }
            runInput(seed.bytes.data(), seed.bytes.size());
            const Outcome outcome = lastOutcome();
            const bool reached = outcome.transport == 0 && outcome.result == outcome.outputSize;
            if (!reached || outcome.status < 0) {
                std::printf("seed of %s on %s: transport %d, %u of %llu bytes, status %d\n",
                            seed.name.c_str(), boards()[board].c_str(), outcome.transport, outcome.result,
                            static_cast<unsigned long long>(outcome.outputSize), outcome.status);
                failures += reached ? 0 : 1;
            }
        }
    }
    stop();
    return failures == 0 ? 0 : 1;
}

int writeSeeds(const fs::path& folder) {
    fs::create_directories(folder);
    start(Options{0});
    const std::vector<std::vector<std::uint8_t>> all = seeds();
    stop();
    for (std::size_t n = 0; n < all.size(); ++n) {
        char name[32];
        std::snprintf(name, sizeof(name), "seed-%04zu", n);
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(all[n].data()), static_cast<std::streamsize>(all[n].size()));
    }
    std::printf("%zu seeds written to %s\n", all.size(), folder.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--seeds" && argc == 3) {
        return writeSeeds(argv[2]);
    }
    if (first == "--check-seeds") {
        return checkSeeds();
    }
    const bool oneHost = first == "--one-host";
    std::vector<fs::path> files;
    for (int i = oneHost ? 2 : 1; i < argc; ++i) {
        if (!fs::is_directory(argv[i])) {
            files.emplace_back(argv[i]);
            continue;
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(argv[i])) {
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    for (std::size_t n = 0; n < files.size(); ++n) {
        std::ifstream in(files[n], std::ios::binary);
        const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in),
                                             std::istreambuf_iterator<char>()};
        if (!oneHost || n == 0) {
            start(Options{1});
        }
        runInput(data.data(), data.size());
        if (!oneHost || n + 1 == files.size()) {
            stop();
        }
        std::printf("replayed %s (%zu bytes)\n", files[n].c_str(), data.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
