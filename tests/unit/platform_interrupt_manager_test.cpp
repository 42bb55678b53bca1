// The bridge's interrupt managers over a plain register file in BAR 0, so
// that every status value can be read: the mask words the option words
// select, which status values claim an interrupt, and the status-pushing
// form's ring (the test writes it as the bridge would, by bus address).
#include <cstdint>
#include <memory>
#include <vector>

#include "bridge_test_support.h"
#include "control.h"
#include "platform/brixel_interrupts.h"

namespace {

using kelvo_driver::nVOAPAL000::tBrixelInterruptManager;
using kelvo_driver::nVOAPAL000::tBrixelInterruptManagerISP;
using kelvo_driver::nVOAPAL000::tDMAConfiguration;
using kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor;
using kelvo_test::ChipAccess;
using nVOAPALS100::tStatus;
using Trace = std::vector<ChipAccess>;

constexpr ChipAccess R32(std::uint64_t offset, std::uint64_t value) {
    return {false, offset, 4, value};
}
constexpr ChipAccess W32(std::uint64_t offset, std::uint64_t value) {
    return {true, offset, 4, value};
}
constexpr ChipAccess W64(std::uint64_t offset, std::uint64_t value) {
    return {true, offset, 8, value};
}

class InterruptManagers : public kelvo_test::SimulatedBarTest {
protected:
    static constexpr std::uint64_t kFile = 0x80000; // free BAR 0 space
    void SetUp() override {
        SimulatedBarTest::SetUp();
        regs = &module->bar0().add<sim::LatchBlock>(kFile, "interrupt-registers", 0x400,
                                                    sim::kWidth32 | sim::kWidth64);
        window = tPCIMemorySpaceAccessor(bar + kFile, 0x400);
        tStatus status;
        device->configureDMA(tDMAConfiguration::kDMAType64Bit, status);
        ASSERT_TRUE(status.isSuccess());
    }
    void TearDown() override {
        module->bar0().remove("interrupt-registers");
        SimulatedBarTest::TearDown();
    }
    std::unique_ptr<tBrixelInterruptManagerISP> pushing(std::uint32_t bridge, std::uint32_t application,
                                                        bool msi, tStatus& status,
                                                        const tDMAConfiguration* configuration = nullptr) {
        return std::make_unique<tBrixelInterruptManagerISP>(
            &window, configuration ? *configuration : device->getDMAConfiguration(), bridge, application, msi,
            status);
    }
    Trace trace() {
        Trace out;
        for (const sim::Access& a : regs->trace()) {
            out.push_back({a.write, a.offset, a.width, a.value});
        }
        regs->clearTrace();
        return out;
    }
    // The writes that start pushing into the area at bus with a control word.
    static Trace startsPushing(std::uint64_t bus, std::uint32_t control) {
        Trace t = {W32(0x3B4, 0)};
        for (std::uint64_t r = 0x3C0; r <= 0x3F8; r += 8) {
            t.push_back(W64(r, 0));
        }
        t.insert(t.end(), {W64(0x3B8, bus), W32(0x3B4, control), W32(0x5C, 1)});
        return t;
    }
    void* pci() { return device->deviceInfo().pciHandle; }

    sim::LatchBlock* regs = nullptr;
    tPCIMemorySpaceAccessor window;
};

TEST_F(InterruptManagers, OptionWordsSelectOneBitOfEachPair) {
    const struct {
        std::uint32_t options;
        std::uint32_t word;
    } rows[] = {
        {0, 0x54000500},          {0x10000000, 0x94000500}, {0x10000A00, 0x94000A00},
        {0x11000000, 0xA4000500}, {0x12000000, 0x98000500}, {0x00000200, 0x94000600},
        {0x00000800, 0x94000900}, {0xFFFFFFFF, 0xA8000A00}, {0xFCFFF5FF, 0x94000500},
    };
    tBrixelInterruptManager manager(&window, false);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options);
        manager.enableInterrupts(row.options);
        EXPECT_EQ(trace(), Trace{W32(0x5C, row.word)});
    }
    trace();
}

// Which register values claim an interrupt, and what each form writes to
// claim and re-arm it.
TEST_F(InterruptManagers, StatusBoundariesClaimAnInterrupt) {
    enum Op { kAcknowledge, kRearm, kDequeue };
    struct Row {
        const char* what;
        bool isp;
        bool msi;
        Op op;
        std::uint64_t at; // register preset
        std::uint32_t value;
        std::uint32_t result; // claimed, or the word dequeued
        Trace accesses;
    };
    const Row rows[] = {
        {"status 0", false, false, kAcknowledge, 0x60, 0, 0, {R32(0x60, 0)}},
        {"status 0x7FFFFFFF", false, false, kAcknowledge, 0x60, 0x7FFFFFFF, 0, {R32(0x60, 0x7FFFFFFF)}},
        {"status 0x80000000",
         false,
         false,
         kAcknowledge,
         0x60,
         0x80000000,
         1,
         {R32(0x60, 0x80000000), W32(0x5C, 0x40000000)}},
        {"status 0xFFFFFFFE",
         false,
         false,
         kAcknowledge,
         0x60,
         0xFFFFFFFE,
         1,
         {R32(0x60, 0xFFFFFFFE), W32(0x5C, 0x40000000)}},
        {"status of a silent device",
         false,
         false,
         kAcknowledge,
         0x60,
         0xFFFFFFFF,
         0,
         {R32(0x60, 0xFFFFFFFF)}},
        {"message-signalled", false, true, kAcknowledge, 0x60, 0, 1, {}},
        {"re-armed", false, false, kRearm, 0x60, 0, 0, {W32(0x5C, 0x80000000)}},
        {"message-signalled, never re-armed", false, true, kRearm, 0x60, 0, 0, {}},
        {"a queued word", false, false, kDequeue, 0x68, 0x50000003, 0x50000003, {R32(0x68, 0x50000003)}},
        {"an empty queue", false, false, kDequeue, 0x68, 0xFFFFFFFF, 0, {R32(0x68, 0xFFFFFFFF)}},
        {"pushing: mask 0x80000000",
         true,
         false,
         kAcknowledge,
         0x5C,
         0x80000000,
         1,
         {R32(0x5C, 0x80000000), W32(0x5C, 0x40000000)}},
        {"pushing: mask 0xFFFFFFFE",
         true,
         false,
         kAcknowledge,
         0x5C,
         0xFFFFFFFE,
         1,
         {R32(0x5C, 0xFFFFFFFE), W32(0x5C, 0x40000000)}},
        {"pushing: bit 0 set", true, false, kAcknowledge, 0x5C, 0x80000001, 0, {R32(0x5C, 0x80000001)}},
        {"pushing: bit 31 clear", true, false, kAcknowledge, 0x5C, 0x7FFFFFFE, 0, {R32(0x5C, 0x7FFFFFFE)}},
        {"pushing: a silent device", true, false, kAcknowledge, 0x5C, 0xFFFFFFFF, 0, {R32(0x5C, 0xFFFFFFFF)}},
        {"pushing: message-signalled", true, true, kAcknowledge, 0x5C, 0, 1, {}},
        {"pushing: re-armed", true, false, kRearm, 0x5C, 0, 0, {W32(0x5C, 0x80000001)}},
        {"pushing: re-armed under MSI as well", true, true, kRearm, 0x5C, 0, 0, {W32(0x5C, 0x80000001)}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tStatus status;
        std::unique_ptr<tBrixelInterruptManager> manager =
            row.isp ? pushing(1, 1, row.msi, status)
                    : std::make_unique<tBrixelInterruptManager>(&window, row.msi);
        ASSERT_TRUE(status.isSuccess());
        regs->setLatch(row.at, 4, row.value);
        trace();
        std::uint32_t result = 0;
        switch (row.op) {
        case kAcknowledge:
            result = manager->acknowledgeInterrupt() ? 1 : 0;
            break;
        case kRearm:
            manager->rearmInterrupt();
            break;
        case kDequeue:
            result = manager->dequeueInterrupt();
            break;
        }
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(trace(), row.accesses);
    }
}

// Counts outside 1 to 8 and a device without DMA are refused; otherwise the
// control word tells the bridge the ring's entries and the area's quadwords.
TEST_F(InterruptManagers, PushingStartsOnlyWithCountsTheBridgeTakes) {
    const tDMAConfiguration off; // DMA disabled
    struct Row {
        const char* what;
        std::uint32_t bridge;
        std::uint32_t application;
        const tDMAConfiguration* configuration;
        std::int64_t code;
        std::uint32_t control;
    } const rows[] = {
        {"one and one", 1, 1, nullptr, 0, 0x10802},
        {"eight and eight", 8, 8, nullptr, 0, 0x14010},
        {"three and five", 3, 5, nullptr, 0, 0x11808},
        {"no bridge quadword", 0, 1, nullptr, tStatus::kInvalidParameter, 0},
        {"nine bridge quadwords", 9, 1, nullptr, tStatus::kInvalidParameter, 0},
        {"no application quadword", 1, 0, nullptr, tStatus::kInvalidParameter, 0},
        {"nine application quadwords", 1, 9, nullptr, tStatus::kInvalidParameter, 0},
        {"DMA disabled", 1, 1, &off, tStatus::kNotImplemented, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tStatus status;
        auto manager = pushing(row.bridge, row.application, false, status, row.configuration);
        EXPECT_EQ(status.getCode(), row.code);
        const Trace built = trace();
        Trace expected;
        if (row.code == 0) {
            ASSERT_EQ(built.size(), 13u);
            expected = startsPushing(built[10].value, row.control);
            expected.insert(expected.begin(), W32(0x5C, 0x54000500));
            const std::vector<std::uint8_t> area((row.bridge + row.application) * 8, 0xA5);
            EXPECT_TRUE(kal::dma::write(pci(), built[10].value, area.data(), area.size()))
                << "the bridge may write the whole area";
        } else if (row.code == tStatus::kNotImplemented) {
            expected = {W32(0x5C, 0x54000500)};
        }
        EXPECT_EQ(built, expected);
        manager.reset();
        Trace destroyed = {W32(0x5C, 0x40000000)};
        if (row.code == 0) {
            destroyed.insert(destroyed.begin(), W32(0x3B4, 0)); // pushing stops before the area goes
        }
        EXPECT_EQ(trace(), destroyed);
    }
}

// The ring's entries in order, then 0; made visible once per pass; a re-arm
// clears the first entry and starts over; deactivation stops pushing and
// reactivation starts it again at the same area.
TEST_F(InterruptManagers, TheRingIsReadInOrderAndStartedOver) {
    const struct {
        std::uint32_t bridge;
        std::uint32_t application;
    } rows[] = {{1, 1}, {3, 2}, {8, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bridge);
        tStatus status;
        auto manager = pushing(row.bridge, row.application, false, status);
        ASSERT_TRUE(status.isSuccess());
        const std::uint64_t bus = regs->latch(0x3B8, 8);
        const std::uint32_t control = static_cast<std::uint32_t>(regs->latch(0x3B4, 4));
        // The whole area, application quadwords included, pushed full.
        std::vector<std::uint32_t> area((row.bridge + row.application) * 2);
        for (std::uint32_t i = 0; i < area.size(); ++i) {
            area[i] = 0x10000000u | (i + 1);
        }
        ASSERT_TRUE(kal::dma::write(pci(), bus, area.data(), area.size() * 4));
        std::vector<std::uint32_t> words(area.begin(), area.begin() + row.bridge * 2); // the ring
        for (int pass = 0; pass < 2; ++pass) {
            const std::uint64_t completes = kal::dma::completeCalls();
            std::vector<std::uint32_t> read;
            for (std::size_t i = 0; i <= words.size(); ++i) {
                read.push_back(manager->dequeueInterrupt());
            }
            EXPECT_EQ(kal::dma::completeCalls(), completes + 1);
            std::vector<std::uint32_t> expected = words;
            expected.push_back(0);
            EXPECT_EQ(read, expected);
            trace();
            manager->rearmInterrupt();
            EXPECT_EQ(trace(), Trace{W32(0x5C, 0x80000001)});
            std::uint32_t first = 1;
            ASSERT_TRUE(kal::dma::read(pci(), bus, &first, 4));
            EXPECT_EQ(first, 0u);
            words[0] = 0; // what the second pass reads first
        }
        manager->deactivate();
        EXPECT_EQ(trace(), (Trace{W32(0x5C, 0x40000000), W32(0x3B4, 0)}));
        manager->reactivate();
        Trace again = startsPushing(bus, control);
        again.insert(again.begin(), W32(0x5C, 0x54000500));
        EXPECT_EQ(trace(), again);
        manager.reset();
        trace();
        EXPECT_FALSE(kal::dma::read(pci(), bus, words.data(), 4)) << "the area is released";
        kal::dma::clearFaults();
    }
}

} // namespace
