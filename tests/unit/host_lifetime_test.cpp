// The host's C API under racing clients (open, requests, close, removal, host stop, modules added and
// removed from many threads), its clock scale and its exit without a stop.
#include <chrono>
#include <cmath>
#include <latch>

#include "core_test_levels.h"
#include "core_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A kelvo_getSetupLevel request: kelvo_ioctl's code, and the output record in out.
int setupLevel(int handle, kelvo_kelvo_getSetupLevel_out& out) {
    const kelvo_kelvo_getSetupLevel_in in{0};
    kelvo_ioctl_header header{
        kelvo_test::address(&in), kelvo_test::address(&out), sizeof(in), sizeof(out), 0, 0};
    return kelvo_ioctl(handle, KELVO_IOCTL_kelvo_getSetupLevel, &header);
}

// Runs body(t) on threads t = 0 .. count - 1 released together, and waits for them.
void together(std::size_t count, const std::function<void(std::size_t)>& body) {
    std::latch start(1);
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < count; ++t) {
        threads.emplace_back([&, t] {
            start.wait();
            body(t);
        });
    }
    start.count_down();
}

class HostLifetime : public kelvo_test::HostedTest {
protected:
    // A result outside the documented set, checked once the round's threads are joined.
    void expectIn(const char* call, int result, std::initializer_list<int> allowed) {
        if (std::find(allowed.begin(), allowed.end(), result) != allowed.end()) {
            return;
        }
        std::lock_guard g(lock_);
        unexpected_.push_back(std::string(call) + " answered " + std::to_string(result));
    }

    std::mutex lock_;
    std::vector<std::string> unexpected_;
    // Plugging and removal are the matter here, not the FPGA levels.
    kelvo_test::ScopedProductLevels levels_{3};
};

// One race: which clients run against one open handle of a fresh module.
struct Race {
    const char* name;
    bool requests; // loops kelvo_getSetupLevel until refused
    bool close;    // closes the handle
    bool remove;   // removes the module
    bool opens;    // opens and closes further handles on the module
    bool listing;  // reads the module's properties and interface names
    bool stop;     // stops the host
};

TEST_F(HostLifetime, RacingClientsNeverTouchFreedEntriesAndEveryCallAnswersItsCode) {
    const Race races[] = {
        {"requests, close and removal", true, true, true, false, false, false},
        {"close and removal", false, true, true, false, false, false},
        {"requests and removal, then close", true, false, true, false, false, false},
        {"opens, listing and removal", false, true, true, true, true, false},
        {"requests, close and host stop", true, true, false, false, false, true},
        {"everything at once", true, true, true, true, true, true},
    };
    constexpr int kRounds = 60;
    constexpr int kMaxRequests = 400;
    constexpr auto kBudget = std::chrono::milliseconds(400); // per race; rounds beyond it are skipped
    for (const Race& race : races) {
        SCOPED_TRACE(race.name);
        const auto end = Clock::now() + kBudget;
        for (int round = 0; round < kRounds && (round < 3 || Clock::now() < end); ++round) {
            const int index = kelvo_host_add_module("solstra");
            ASSERT_GE(index, 0) << "round " << round;
            const unsigned device = static_cast<unsigned>(index);
            const int handle = kelvo_open("smu_kelvo", device);
            ASSERT_GE(handle, 0);
            std::vector<std::function<void()>> clients; // run together
            auto client = [&](std::function<void()> body) { clients.push_back(std::move(body)); };
            // Once a request is refused (closed, removed or stopped) none is accepted again.
            if (race.requests) {
                client([&] {
                    bool refused = false;
                    for (int i = 0; i < kMaxRequests; ++i) {
                        kelvo_kelvo_getSetupLevel_out out{};
                        const int result = setupLevel(handle, out);
                        expectIn(refused ? "request after a refusal" : "request", result,
                                 {refused ? KELVO_E_INVALID : 0, KELVO_E_INVALID, KELVO_E_STATE});
                        // A device on its way out closes its I/O gate first.
                        if (result == 0 && out.status != KELVO_STATUS_IO_GATE_CLOSED) {
                            expectIn("request's status", out.status, {0});
                            expectIn("request's setup level", static_cast<int>(out.setupLevel), {3});
                        }
                        if (refused) {
                            break;
                        }
                        refused = result != 0;
                    }
                });
            }
            if (race.close) {
                client([&] { expectIn("close", kelvo_close(handle), {0, race.stop ? KELVO_E_STATE : 0}); });
            }
            if (race.remove) {
                client([&] {
                    expectIn("remove", kelvo_host_remove_module(device),
                             {0, race.stop ? KELVO_E_INVALID : 0, race.stop ? KELVO_E_STATE : 0});
                });
            }
            if (race.opens) {
                client([&] {
                    for (int i = 0; i < 20; ++i) {
                        const int extra = kelvo_open("smu_kelvo", device);
                        expectIn("open", extra >= 0 ? 0 : extra, {0, KELVO_E_INVALID, KELVO_E_STATE});
                        if (extra < 0) {
                            break;
                        }
                        expectIn("close of an extra handle", kelvo_close(extra), {0, KELVO_E_STATE});
                    }
                });
            }
            if (race.listing) {
                client([&] {
                    for (int i = 0; i < 50; ++i) {
                        char text[64];
                        const int serial =
                            kelvo_property_read(device, nullptr, "serialNumber", text, sizeof(text));
                        const int name = kelvo_interface_name(device, 0, text, sizeof(text));
                        if (serial < 0 || name < 0) {
                            expectIn("property read", std::min(serial, 0), {0, KELVO_E_INVALID});
                            expectIn("interface name", std::min(name, 0), {0, KELVO_E_INVALID});
                            break;
                        }
                    }
                });
            }
            if (race.stop) {
                client([&] { kelvo_host_stop(); });
            }
            together(clients.size(), [&](std::size_t c) { clients[c](); });
            if (!race.close) {
                EXPECT_EQ(kelvo_close(handle), 0) << "a revoked handle is released by its close";
            }
            if (race.stop) {
                EXPECT_FALSE(kelvo_host::started());
                ASSERT_EQ(kelvo_host_start(), 0);
            } else if (!race.remove) {
                EXPECT_EQ(kelvo_host_remove_module(device), 0);
            }
            EXPECT_EQ(kelvo_host::openHandles(), 0u) << "round " << round;
            EXPECT_EQ(kelvo_list_devices(nullptr, 0), 0);
            EXPECT_TRUE(kelvo_host::faults().empty());
            ASSERT_TRUE(unexpected_.empty()) << "round " << round << ": " << unexpected_.front();
        }
    }
}

TEST_F(HostLifetime, ModulesAddedAtOnceFillTheBusAndEachDeviceIsRemovedOnce) {
    constexpr int kAdds = 40; // 31 fit on the bus
    std::vector<int> added(kAdds, 0);
    std::atomic<int> next{0};
    together(8, [&](std::size_t) {
        for (int i = next++; i < kAdds; i = next++) {
            added[static_cast<std::size_t>(i)] = kelvo_host_add_module("solstra");
        }
    });
    std::sort(added.begin(), added.end()); // the 9 refused first
    ASSERT_EQ(std::vector<int>(added.begin(), added.begin() + 9), std::vector<int>(9, KELVO_E_FULL));
    const std::vector<unsigned> devices(added.begin() + 9, added.end());
    EXPECT_EQ(std::adjacent_find(devices.begin(), devices.end()), devices.end()) << "an index given twice";
    EXPECT_EQ(kelvo_list_devices(nullptr, 0), 31);
    for (unsigned device : devices) {
        const int handle = kelvo_open("smu_kelvo", device);
        kelvo_kelvo_getSetupLevel_out out{};
        EXPECT_EQ((std::pair{setupLevel(handle, out), out.setupLevel}), std::pair(0, 3u))
            << device; // in order
        EXPECT_EQ(kelvo_close(handle), 0);
    }
    // Two removals of each device at once: one removes it, the other is refused.
    std::vector<int> removed(devices.size() * 2, 1);
    together(removed.size(), [&](std::size_t r) { removed[r] = kelvo_host_remove_module(devices[r / 2]); });
    for (std::size_t d = 0; d < devices.size(); ++d) {
        EXPECT_EQ(std::minmax({removed[2 * d], removed[2 * d + 1]}), std::make_pair(KELVO_E_INVALID, 0))
            << "device " << devices[d];
    }
    EXPECT_EQ(kelvo_list_devices(nullptr, 0), 0);
    EXPECT_GE(kelvo_host_add_module("solstra"), 0) << "the bus has room again";
}

TEST(HostClockScale, OnlyAFiniteFactorAboveZeroIsTaken) {
    const double before = kal::clock::scale();
    for (double bad : {0.0, -1.0, std::nan(""), 1e300}) {
        EXPECT_EQ(kelvo_host_set_clock_scale(bad), KELVO_E_INVALID) << bad;
        EXPECT_EQ(kal::clock::scale(), before);
    }
    EXPECT_EQ(kelvo_host_set_clock_scale(250.0), 0);
    EXPECT_EQ(kal::clock::scale(), 250.0);
    kal::clock::setScale(before);
}

} // namespace

TEST(HostExit, AClientThatEndsWithoutStoppingTheHostExitsCleanly) {
    // The host's modules used to be unplugged by a static destructor after the stand-in bus (a use after
    // free).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (kelvo_host_start() != 0 || kelvo_host_add_module("solstra") < 0) {
                std::exit(2);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
