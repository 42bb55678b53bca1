// The simulated module: the hardware behind each PCI function.
#pragma once
