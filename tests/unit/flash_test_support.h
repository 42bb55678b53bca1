// The flash access set over a simulated board: BAR 0 mapped, the bridge and
// timing-chip maps, the SPI engine, write protection and serial-flash
// controller, and the flash window over them.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "storage/tymo_controllers.h"
#include "regs/arm_dispatcher.h"
#include "bridge/tymo_reg_maps.h"
#include "regs_sim_support.h"
#include "storage/flash_window.h"

namespace kelvo_test {

class FlashBench {
public:
    explicit FlashBench(const std::string& board = "solstra") : sim(board) {
        nVOAPALS100::tStatus status;
        maps = new (status, false)
            kelvo_driver::TYMORegMaps(reinterpret_cast<uintptr_t>(sim.bar),
                                      kelvo_driver::mappedSizeOfBar0(*sim.device), dispatcher, status);
        EXPECT_TRUE(status.isSuccess());
        sim.module->flash().setBusyTimes(0, 0, 0);
    }
    ~FlashBench() {
        delete window;
        delete controllers;
        delete maps;
    }
    FlashBench(const FlashBench&) = delete;
    FlashBench& operator=(const FlashBench&) = delete;

    int64_t buildControllers() {
        nVOAPALS100::tStatus status;
        controllers = new (status, false) kelvo_driver::TYMOControllers(
            reinterpret_cast<uintptr_t>(sim.bar), kelvo_driver::mappedSizeOfBar0(*sim.device), *maps, status);
        return status.getCode();
    }
    int64_t buildWindow() {
        int64_t code = buildControllers();
        if (code != 0) {
            return code;
        }
        nVOAPALS100::tStatus status;
        window = new (status, false) devicewindow::FlashWindow(controllers->getFlashController(), status);
        return status.getCode();
    }
    sim::SerialFlash& flash() { return sim.module->flash(); }

    SimBoard sim;
    armki::ARMDispatcher dispatcher;
    kelvo_driver::TYMORegMaps* maps = nullptr;
    kelvo_driver::TYMOControllers* controllers = nullptr;
    devicewindow::FlashWindow* window = nullptr;
};

} // namespace kelvo_test
