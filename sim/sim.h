// The simulated module: the hardware behind each PCI function.
//
//   sim::Bus bus;
//   auto module = bus.plug("solstra");            // or bus.plugForeign(identity)
//   module->config().removePcieCapability();      // fault knobs
//   module->bridge().setSlot(7);
//   EXPECT_EQ(module->deviceErrorCount(), 0u);
#pragma once

#include "block.h"
#include "bridge.h"
#include "bridge_interrupts.h"
#include "bridge_registers.h"
#include "bus.h"
#include "fpga.h"
#include "module.h"
#include "pci_config.h"
#include "switched_bim.h"
#include "timing_chip.h"
