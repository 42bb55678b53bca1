// The hardware-fault sweep: each fault knob of the simulated module on at each setup level under the seeds
// and the operations, then a full reset stops at the row's level with its code; cleared, nothing is left
// and a full reset reaches the top. Then the knobs read at a module's addition.
//   hw_fault_sweep [--board NAME] [--knob TEXT] [--levels all|sample] [--seed S]
//   (sample: one board and one level per knob, from --seed, KELVO_SWEEP_SEED or the clock)
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <optional>

#include "ioctl_fuzz.h"
#include "module_faults.h"
#include "requests.h"

namespace {

// The requests a knob may decide, in the order of kelvo_test::Decided (after kNothing); then one none does.
struct Operation {
    const char* name;
    std::int32_t (*run)(int handle);
};
const Operation kOperations[] = {
    {"arm_read Brixel.Signature",
     [](int h) { return readRegister(h, "Brixel_Ver2.3.0f7", 0x40000000u).status; }},
    {"arm_read IOPort2RegMap", [](int h) { return readRegister(h, "IOPort2RegMap_Ver2.3.0f7", 0).status; }},
    // The "Manufacturing" map's serial number got, changed (so the flush writes), set and the map flushed.
    {"storageMap setRaw+flush",
     [](int h) {
         std::uint32_t serial = 0;
         const auto raw = [&](std::uint32_t code) {
             return rawElement(h, code, kManufacturing, kSerialField, 0, &serial, 4);
         };
         std::int32_t status = raw(KELVO_IOCTL_storageMap_getRaw);
         serial ^= 1;
         status = status ? status : raw(KELVO_IOCTL_storageMap_setRaw);
         const kelvo_storageMap_flush_in flush{
             address(kManufacturing), std::strlen(kManufacturing), 0, {}, 0};
         return status ? status : ask(h, KELVO_IOCTL_storageMap_flush, flush);
     }},
    // 64 bytes of the sequencer's no-ops to the device on channel 1: added, started, stopped, cleared.
    {"DMA to the device, channel 1",
     [](int h) {
         alignas(4096) static std::uint8_t page[4096] = {};
         kal::usermem::Scope scope;
         scope.add(page, sizeof(page));
         std::int32_t first = ask(h, KELVO_IOCTL_brixelTools_addTransferToDevice,
                                  kelvo_brixelTools_addTransferToDevice_in{1, 0, address(page), 64, 1, 0});
         const auto keep = [&first](std::int32_t status) { first = first ? first : status; };
         if (first == 0) {
             keep(ask(h, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{1, 0, {}, 0}));
             keep(ask(h, KELVO_IOCTL_brixelTools_stopDMA, kelvo_brixelTools_stopDMA_in{1, 0}));
         }
         keep(ask(h, KELVO_IOCTL_brixelTools_clearTransfers, kelvo_brixelTools_clearTransfers_in{1, 0}));
         return first; // the first error
     }},
    {"deviceWindow_read flashWindow",
     [](int h) {
         std::vector<std::uint8_t> bytes(256);
         return readWindow(h, "flashWindow", bytes);
     }},
};

using Knob = kelvo_test::ModuleFault;

// A step that takes three minutes of real time ends the run, naming the step.
char runningStep[512];
void onHang(int) {
    const char text[] = "FAILED: hang: a step took more than three minutes: ";
    (void)!write(2, text, sizeof(text) - 1);
    (void)!write(2, runningStep, strlen(runningStep));
    std::_Exit(2);
}

// A step's bound of stand-in time: the longest waits and twenty clean full resets.
std::uint64_t stepBoundNs = ~std::uint64_t{0};

std::string hex(std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), value > -1000000 && value < 1000000 ? "%d" : "0x%08X", value);
    return text;
}

struct RowResult {
    std::string verdict = "ok";
    std::int32_t setupStatus = 0;
    std::int64_t setupLevel = 0;
    std::int32_t operationStatus = 0;
    std::uint64_t longestNs = 0;
    void check(bool ok, const std::string& what) { verdict = ::check(ok, what) ? verdict : "FAILED"; }
    void expect(const std::string& what, std::int32_t got, std::int32_t expected) {
        check(got == expected, what + " answered " + hex(got) + ", expected " + hex(expected));
    }
    void checkNoLeak(const std::string& where, const kal::live::Counts& before) {
        const kal::live::Counts after = kal::live::now();
        check(after == before, where + ": leaked: before " + kal::live::describe(before) + ", after " +
                                   kal::live::describe(after));
    }
    // Runs a step (three minutes of real time at most) within the bound of stand-in time.
    template <class Step> void step(const std::string& what, Step run) {
        std::snprintf(runningStep, sizeof(runningStep), "%s\n", what.c_str());
        alarm(180);
        const std::uint64_t before = nVOKAL1_getMonotonicCounter();
        run();
        const std::uint64_t ns = nVOKAL1_getMonotonicCounter() - before;
        alarm(0);
        longestNs = std::max(longestNs, ns);
        check(ns <= stepBoundNs, what + " took " + std::to_string(ns / 1000000) + " ms of stand-in time");
    }
};

// The knob on at each level from first to last.
RowResult sweepKnob(unsigned board, const Knob& knob, std::uint32_t first, std::uint32_t last) {
    RowResult result;
    const std::string where = kelvo_fuzz::boards()[board] + ": " + knob.name;
    const std::shared_ptr<sim::Module> module =
        kelvo_host::module(static_cast<unsigned>(kelvo_fuzz::deviceIndex(board)));
    // Every read of the clock 0.1 ms on: a loop spinning on it ends after a fixed number of rounds.
    std::optional<kal::clock::ScopedStepped> stepped;
    if (knob.stepped) {
        stepped.emplace(100000);
    }
    using enum kelvo_test::Decided;
    const Operation* const decided =
        knob.decides == kNothing ? nullptr : &kOperations[static_cast<int>(knob.decides) - 1];
    const bool present = kelvo_fuzz::boards()[board].starts_with(knob.onlyOn);
    const bool meets = present && knob.level != 0;
    for (std::uint32_t level = first; level <= last; ++level) {
        const std::string at = where + " (on at level " + std::to_string(level) + ")";
        kelvo_fuzz::resetDevice(board, level);
        const kal::live::Counts before = kal::live::now();
        if (knob.live) {
            knob.set(*module, true);
        }
        result.step(at + ", seeds", [&] {
            for (const kelvo_fuzz::Seed& seed : kelvo_fuzz::seedsOf(board)) {
                if (seed.codeIndex >= 0) {
                    kelvo_fuzz::runInput(seed.bytes.data(), seed.bytes.size());
                }
            }
        });
        for (const Operation& other : kOperations) { // any answer but a hang
            if (&other != decided) {
                result.step(at + ", " + other.name, [&] { other.run(kelvo_fuzz::firstHandle(board)); });
            }
        }
        if (decided != nullptr && level >= knob.requestLevel) {
            const std::vector<std::uint8_t> stored = module->flash().contents();
            result.step(at + ", " + decided->name,
                        [&] { result.operationStatus = decided->run(kelvo_fuzz::firstHandle(board)); });
            result.expect(at + ": " + decided->name, result.operationStatus, present ? knob.requestCode : 0);
            if (knob.decides == kFlushManufacturing && result.operationStatus != 0) {
                // A failed write may have left the sector erased (as a power loss would).
                knob.set(*module, false);
                module->flash().load(stored);
                knob.set(*module, true);
            }
        }
        if (!knob.live) {
            knob.set(*module, true);
        }
        result.step(at + ", reset",
                    [&] { result.setupStatus = kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE); });
        result.setupLevel = kelvo_fuzz::setupLevel(board);
        const std::int32_t setupCode = level == KELVO_SETUP_LEVEL_COMPLETE && knob.setupCodeAfterTop
                                           ? knob.setupCodeAfterTop
                                           : knob.setupCode;
        result.expect(at + ": the reset", result.setupStatus, meets ? setupCode : 0);
        result.expect(at + ": the level after the reset", static_cast<std::int32_t>(result.setupLevel),
                      meets ? knob.level - 1 : KELVO_SETUP_LEVEL_COMPLETE);
        // Cleared: nothing left behind, and the device comes back (at the top level by that full reset).
        knob.set(*module, false);
        const std::int32_t back = kelvo_fuzz::resetDevice(board, level);
        result.checkNoLeak(at, before);
        const std::int32_t again = level != KELVO_SETUP_LEVEL_COMPLETE
                                       ? kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE)
                                       : back;
        result.check(again == 0 && kelvo_fuzz::setupLevel(board) == KELVO_SETUP_LEVEL_COMPLETE,
                     at + ": did not recover: the reset answered " + hex(again));
    }
    return result;
}

// Knobs of what the driver reads once, at a module's addition (its PCI configuration space, the flash, the
// DMA masks): the addition answers the knob's setup code, an added device stands below the knob's level (or
// at the top); once removed nothing is left.
#define SET(...) [](sim::Module& m, bool) { __VA_ARGS__; }
const std::vector<Knob>& additionKnobs() {
    static const std::vector<Knob> table = {
        {.name = "every configuration read fails",
         .set = SET(m.config().failAllReads(true)),
         .setupCode = nVOKAL_kStatusValueTooLarge},
        {.name = "a flipped bit in the stored serial number", .set = SET(m.flash().setReadBitFlip(0, 0x01))},
        // Level 14 cannot set a DMA mask.
        {.name = "every DMA mask refused",
         .set = SET(kelvo_test::changePciKnobs(m, [](kal::pci::Knobs& k) { k.refuseDMA = true; })),
         .level = 14},
    };
    return table;
}
#undef SET

RowResult additionKnob(unsigned board, const Knob& knob) {
    RowResult result;
    const std::string& name = kelvo_fuzz::boards()[board];
    const std::string where = name + ": added with " + knob.name;
    const kal::live::Counts before = kal::live::now();
    int index = -1;
    result.step(where,
                [&] { index = kelvo_host::addModule(name, [&](sim::Module& m) { knob.set(m, true); }); });
    result.setupStatus = std::min(index, 0);
    result.expect(where + ": the addition", result.setupStatus, knob.setupCode);
    if (index >= 0) {
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        kelvo_kelvo_getSetupLevel_out out{};
        result.setupLevel = ask(handle, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{}, out) == 0
                                ? out.setupLevel
                                : -1;
        kelvo_close(handle);
        result.expect(where + ": the added device's level", static_cast<std::int32_t>(result.setupLevel),
                      knob.level != 0 ? knob.level - 1 : KELVO_SETUP_LEVEL_COMPLETE);
        kelvo_host_remove_module(static_cast<unsigned>(index));
    }
    result.checkNoLeak(where, before);
    const int clean = kelvo_host_add_module(name.c_str());
    result.check(clean >= 0 && kelvo_host_remove_module(static_cast<unsigned>(clean)) == 0,
                 where + ": a module without the knob could not be added and removed after it");
    return result;
}

void print(const std::string& board, const std::string& row, const RowResult& r) {
    std::printf("%s | %s | %s at %lld | %s | %.1f ms | %s\n", board.c_str(), row.c_str(),
                hex(r.setupStatus).c_str(), static_cast<long long>(r.setupLevel),
                hex(r.operationStatus).c_str(), r.longestNs / 1e6, r.verdict.c_str());
}

} // namespace

int main(int argc, char** argv) {
    const std::string onlyBoard = option(argc, argv, "--board", ""),
                      onlyKnob = option(argc, argv, "--knob", "");
    const bool sample = std::string(option(argc, argv, "--levels", "")) == "sample";
    const unsigned long long seed = sampleSeed(option(argc, argv, "--seed"));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGALRM, onHang);
    kelvo_fuzz::start(kelvo_fuzz::Options{0, 100.0});
    RowResult start;
    start.step("a clean full reset", [] { kelvo_fuzz::resetDevice(0, KELVO_SETUP_LEVEL_COMPLETE); });
    stepBoundNs = 600ull * 1000 * 1000 * 1000 + 20 * start.longestNs;
    std::printf(
        "hw_fault_sweep: seed %llu; board, knob, the reset's code at its level, the operation's code, "
        "the longest step, the verdict\n",
        seed);
    const auto chosen = [&](const std::string& name) { return name.find(onlyKnob) != std::string::npos; };
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        const std::string& name = kelvo_fuzz::boards()[board];
        if (onlyBoard.empty() ? sample && board != seed % kelvo_fuzz::boards().size() : name != onlyBoard) {
            continue;
        }
        for (unsigned row = 0; const Knob& knob : kelvo_test::moduleFaults()) {
            const std::uint32_t level = sample ? (seed + row++ * 7) % (KELVO_SETUP_LEVEL_COMPLETE + 1) : 0;
            if (chosen(knob.name)) {
                print(name, knob.name,
                      sweepKnob(board, knob, level, sample ? level : KELVO_SETUP_LEVEL_COMPLETE));
            }
        }
        for (const Knob& knob : additionKnobs()) {
            if (chosen(knob.name)) {
                print(name, std::string(knob.name) + " (at the addition)", additionKnob(board, knob));
            }
        }
    }
    std::printf("hw_fault_sweep: %llu requests\n",
                static_cast<unsigned long long>(kelvo_fuzz::counters().requests));
    kelvo_fuzz::stop();
    return verdict("hw_fault_sweep");
}
