// The simulated module: the hardware behind each PCI function.
//
//   sim::Bus bus;
//   auto module = bus.plug("solstra");            // or bus.plugForeign(identity)
//   module->config().removePcieCapability();      // fault knobs
//   module->bridge().setSlot(7);
//   EXPECT_EQ(module->deviceErrorCount(), 0u);
#pragma once

#include "sim/block.h"
#include "sim/bridge.h"
#include "sim/bridge_interrupts.h"
#include "sim/bridge_registers.h"
#include "sim/bus.h"
#include "sim/fpga.h"
#include "sim/module.h"
#include "sim/pci_config.h"
#include "sim/switched_bim.h"
#include "sim/timing_chip.h"
