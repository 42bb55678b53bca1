// The bridge's interrupt managers over registers that read back any value; the ring written by bus address.
#include <numeric>

#include "bridge_test_support.h"
#include "platform/brixel_interrupts.h"

namespace {

using kelvo_driver::nVOAPAL000::tBrixelInterruptManager, kelvo_driver::nVOAPAL000::tBrixelInterruptManagerISP;
using kelvo_test::R32, kelvo_test::W32, kelvo_test::W64, nVOAPALS100::tStatus;
using Trace = std::vector<kelvo_test::ChipAccess>;
using M = tBrixelInterruptManager;

class InterruptManagers : public kelvo_test::SimulatedBarTest {
protected:
    void SetUp() override {
        SimulatedBarTest::SetUp();
        regs =
            &module->bar0().add<sim::LatchBlock>(0x80000, "registers", 0x400, sim::kWidth32 | sim::kWidth64);
        window = {bar + 0x80000, 0x400};
        tStatus status;
        device->configureDMA(kelvo_driver::nVOAPAL000::tDMAConfiguration::kDMAType64Bit, status);
    }
    std::unique_ptr<M> make(bool isp, std::uint32_t bridge, std::uint32_t application, bool msi,
                            tStatus& status) {
        return isp ? std::make_unique<tBrixelInterruptManagerISP>(&window, device->getDMAConfiguration(),
                                                                  bridge, application, msi, status)
                   : std::make_unique<M>(&window, msi);
    }
    Trace trace() { // and clears it
        Trace out = kelvo_test::accessesOf(*regs);
        regs->clearTrace();
        return out;
    }

    sim::LatchBlock* regs = nullptr;
    kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor window;
};

// What pushing claims by: the mask, bit 31 set and bit 0 clear.
TEST_F(InterruptManagers, OptionWordsAndStatusBoundaries) {
    using Op = std::uint32_t (*)(M&, std::uint32_t);
    const Op kEnable = [](M& m, std::uint32_t options) { return m.enableInterrupts(options), 0u; };
    const Op kAcknowledge = [](M& m, std::uint32_t) { return m.acknowledgeInterrupt() ? 1u : 0u; };
    const Op kRearm = [](M& m, std::uint32_t) { return m.rearmInterrupt(), 0u; };
    const Op kDequeue = [](M& m, std::uint32_t) { return m.dequeueInterrupt(); };
    const struct {
        bool isp, msi;
        Op op;
        std::uint32_t at, value; // a register preset, or the option word
        std::uint32_t result;    // claimed, or the word dequeued
        Trace accesses;
    } rows[] = {
        {false, false, kEnable, 0, 0x00000A00, 0, {W32(0x5C, 0x94000A00)}},
        {false, false, kEnable, 0, 0x11000000, 0, {W32(0x5C, 0xA4000500)}},
        {false, false, kEnable, 0, 0x12000000, 0, {W32(0x5C, 0x98000500)}},
        {false, false, kEnable, 0, 0xFCFFF5FF, 0, {W32(0x5C, 0x94000500)}},
        {false, false, kAcknowledge, 0x60, 0x7FFFFFFF, 0, {R32(0x60, 0x7FFFFFFF)}},
        {false, false, kAcknowledge, 0x60, 0xFFFFFFFE, 1, {R32(0x60, 0xFFFFFFFE), W32(0x5C, 0x40000000)}},
        {false, false, kAcknowledge, 0x60, 0xFFFFFFFF, 0, {R32(0x60, 0xFFFFFFFF)}},
        {false, false, kDequeue, 0x68, 0x50000003, 0x50000003, {R32(0x68, 0x50000003)}},
        {false, false, kDequeue, 0x68, 0xFFFFFFFF, 0, {R32(0x68, 0xFFFFFFFF)}},
        {true, false, kAcknowledge, 0x5C, 0x80000000, 1, {R32(0x5C, 0x80000000), W32(0x5C, 0x40000000)}},
        {true, false, kAcknowledge, 0x5C, 0x80000001, 0, {R32(0x5C, 0x80000001)}},
        {true, false, kAcknowledge, 0x5C, 0x7FFFFFFE, 0, {R32(0x5C, 0x7FFFFFFE)}},
        {true, true, kAcknowledge, 0x5C, 0, 1, {}},
        {true, true, kRearm, 0x5C, 0, 0, {W32(0x5C, 0x80000001)}},
    };
    for (const auto& row : rows) {
        tStatus status;
        auto manager = make(row.isp, 1, 1, row.msi, status);
        regs->setLatch(row.at, 4, row.value);
        trace();
        EXPECT_EQ(row.op(*manager, row.value), row.result) << row.value;
        EXPECT_EQ(trace(), row.accesses) << row.value;
    }
}

// Counts outside 1 to 8 are refused untouched; the ring reads in order, then 0.
TEST_F(InterruptManagers, TheRingIsPushedReadAndReleased) {
    const struct {
        std::uint32_t bridge, application;
        std::int64_t code;
        std::uint32_t control;
    } rows[] = {{1, 1, 0, 0x10802},
                {8, 8, 0, 0x14010},
                {3, 5, 0, 0x11808},
                {0, 1, KELVO_STATUS_INVALID_PARAMETER, 0},
                {9, 1, KELVO_STATUS_INVALID_PARAMETER, 0},
                {1, 0, KELVO_STATUS_INVALID_PARAMETER, 0},
                {1, 9, KELVO_STATUS_INVALID_PARAMETER, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bridge * 16 + row.application);
        trace();
        tStatus status;
        auto manager = make(true, row.bridge, row.application, false, status);
        ASSERT_EQ(status.getCode(), row.code);
        const Trace built = trace();
        if (row.code != 0) {
            EXPECT_EQ(built, Trace{});
            continue;
        }
        const std::uint64_t bus = regs->latch(0x3B8, 8);
        Trace start = {W32(0x5C, 0x54000500), W32(0x3B4, 0)};
        for (std::uint64_t r = 0x3C0; r <= 0x3F8; r += 8) {
            start.push_back(W64(r, 0));
        }
        start.insert(start.end(), {W64(0x3B8, bus), W32(0x3B4, row.control), W32(0x5C, 1)});
        EXPECT_EQ(built, start);
        std::vector<std::uint32_t> area((row.bridge + row.application) * 2); // pushed full
        std::iota(area.begin(), area.end(), 0x10000001u);
        ASSERT_TRUE(kal::dma::write(device->deviceInfo().pciHandle, bus, area.data(), area.size() * 4));
        std::vector<std::uint32_t> ring(area.begin(), area.begin() + row.bridge * 2 + 1), read;
        ring.back() = 0;
        const std::uint64_t completes = kal::dma::completeCalls();
        for (std::size_t i = 0; i < ring.size(); ++i) {
            read.push_back(manager->dequeueInterrupt());
        }
        manager->rearmInterrupt();
        read.push_back(manager->dequeueInterrupt());
        ring.push_back(0); // the first entry, cleared
        EXPECT_EQ(read, ring);
        EXPECT_EQ(kal::dma::completeCalls(), completes + 2) << "before the first entry of each pass";
        trace();
        manager->deactivate(); // stops pushing; reactivate starts it again
        manager->reactivate();
        start.insert(start.begin(), {W32(0x5C, 0x40000000), W32(0x3B4, 0)});
        EXPECT_EQ(trace(), start);
        manager.reset();
        EXPECT_EQ(trace(), (Trace{W32(0x3B4, 0), W32(0x5C, 0x40000000)}))
            << "pushing stops before the area goes";
    }
}

} // namespace
