// Register-map tests over the simulated module: a plugged board with BAR 0 mapped and its PCI adapters.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/hardware_state_checker.h"
#include "pci_test_support.h"
#include "platform/pci_device.h"
#include "regmaps/kelvo_reg_access_reg_map.h"
#include "regs/front_end_accessors.h"
#include "sim/sim.h"

namespace kelvo_test {

// One board over the stand-in's PCI bus, BAR 0 mapped through the driver's PCI device.
class SimBoard {
public:
    explicit SimBoard(const std::string& board = "solstra") {
        sim::ModuleOptions options;
        options.plainFpgas = true;
        module = bus.plug(board, options);
        nVOAPALS100::tStatus status;
        device = new (status, false) kelvo_driver::nVOAPAL000::tPCIDevice(deviceInfoOf(*module), status);
        bar = device->mapMemoryWindow(0, status, 0);
        EXPECT_TRUE(status.isSuccess());
        const uint64_t base = reinterpret_cast<uintptr_t>(bar);
        fpgaRegion = voquantasharedsource::tPCIMemorySpace(base + sim::Module::kNisoFpgaBase,
                                                           sim::Module::kNisoFpgaSize);
        barRegion = voquantasharedsource::tPCIMemorySpace(base, 0x40000);
    }
    ~SimBoard() {
        device->unmapMemoryWindow(0, bar, 0);
        kelvo_driver::nVOAPAL000::deleteObject(device);
    }
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    sim::FpgaSpace& niso() { return module->nisoFpga(); }
    sim::FpgaSpace& iso() { return module->isoFpga(); }
    sim::IsolationLink& link() { return module->isolationLink(); }

    sim::Bus bus;
    std::shared_ptr<sim::Module> module;
    kelvo_driver::nVOAPAL000::tPCIDevice* device = nullptr;
    void* bar = nullptr;
    voquantasharedsource::tPCIMemorySpace fpgaRegion;
    voquantasharedsource::tPCIMemorySpace barRegion;
    voquantasharedsource::PCIMemorySpaceAccessorAdapter fpga{&fpgaRegion};
    voquantasharedsource::PCIMemorySpaceAccessorAdapter barAccessor{&barRegion};
};

// A checker that counts its calls and sets `code` when it is not 0.
class CountingChecker : public kdut::HardwareStateCheckerInterface {
public:
    void checkHardwareState(nVOAPALS100::tStatus& status) override {
        ++calls;
        if (code != 0) {
            KELVO_SET_STATUS(status, code);
        }
    }
    int64_t code = 0;
    int calls = 0;
};

} // namespace kelvo_test
