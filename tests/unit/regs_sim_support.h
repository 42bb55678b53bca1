// Helpers for register-map tests over the simulated module: a plugged board
// with BAR 0 mapped, the regions and PCI adapters the non-isolated group
// builds, and a dispatcher that records names.
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
#include "sim.h"

namespace kelvo_test {

// One board over the stand-in's PCI bus, BAR 0 mapped through the driver's PCI device.
class SimBoard {
public:
    explicit SimBoard(const std::string& board = "solstra") {
        module = bus.plug(board);
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

// A dispatcher that keeps names, like the register-map dispatcher: -240024 for an absent name.
class RecordingDispatcher {
public:
    void add(const char* name, arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>& map,
             nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        names.emplace_back(name);
        maps.push_back(&map);
    }
    void remove(const char* name, nVOAPALS100::tStatus& status) {
        removed.emplace_back(name);
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name) {
                names.erase(names.begin() + static_cast<long>(i));
                maps.erase(maps.begin() + static_cast<long>(i));
                return;
            }
        }
        KELVO_SET_STATUS(status, -240024);
    }
    std::vector<std::string> names;
    std::vector<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>*> maps;
    std::vector<std::string> removed;
};

// A checker that only counts its calls.
class CountingChecker : public kdut::HardwareStateCheckerInterface {
public:
    void checkHardwareState(nVOAPALS100::tStatus&) override { ++calls; }
    int calls = 0;
};

} // namespace kelvo_test
