// Replays fuzzing inputs without libFuzzer (any compiler), and writes the seeds.
//
//   kelvo_fuzz_replay FILE|DIR...   runs every file on a freshly started host
//   kelvo_fuzz_replay --one-host FILE|DIR...
//                                   runs them in turn on one host, as the
//                                   fuzzer does
//   kelvo_fuzz_replay --seeds DIR   writes the seed corpus into DIR
//   kelvo_fuzz_replay --check-seeds checks that every code's seed reaches its operation
#include <algorithm>
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

// Every code's seed reaches its operation: the transport answers 0 and the
// whole output record comes back.
int checkSeeds() {
    kelvo_fuzz::Options options;
    options.eventSpacing = 0;
    kelvo_fuzz::start(options);
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
            }
        }
    }
    kelvo_fuzz::stop();
    return failures == 0 ? 0 : 1;
}

int writeSeeds(const fs::path& folder) {
    fs::create_directories(folder);
    unsigned n = 0;
    for (const std::vector<std::uint8_t>& seed : kelvo_fuzz::seeds()) {
        char name[32];
        std::snprintf(name, sizeof(name), "seed-%04u", n++);
        std::ofstream out(folder / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
    }
    std::printf("%u seeds written to %s\n", n, folder.c_str());
    return 0;
}

void startHost() {
    kelvo_fuzz::Options options;
    options.eventSpacing = 1;
    kelvo_fuzz::start(options);
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
